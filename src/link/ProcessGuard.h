#pragma once
// Every way out of the process stops the drive while the port is open: a request to
// terminate (SIGTERM, SIGHUP, SIGINT) goes to the GUI thread for an orderly stop, a
// second request, exit() from anywhere (the xcb plugin's broken X connection) and a crash
// write the stop commands straight to the port. Only SIGKILL and power loss remain.
// Those abrupt ways then leave the run's journal row that the program kept ready.
#include <QByteArrayView>
#include <QObject>
#include <functional>

class QSocketNotifier;

namespace vyt {

class ProcessGuard : public QObject {
    Q_OBJECT
public:
    // Sets the handlers and the exit hook once and answers the one guard. Call it on the
    // GUI thread after the QApplication exists.
    static ProcessGuard &install();

    // An open serial port's descriptor, a target of the emergency stop (every session's
    // port is one, up to eight). Set it after opening; clear it before closing, so that a
    // reused descriptor never gets the stop.
    static void setStopTarget(int fd);
    // With a descriptor: that target only (another port of the process stays one);
    // without: all of them.
    static void clearStopTarget(int fd = -1);

    // Writes "SOR 0" CR "V 0" CR to every target with ::write and forgets them; nothing
    // without one.
    // Async-signal-safe, and bounded: a held line costs at most a few milliseconds.
    static void writeEmergencyStop();

    // The run journal's row for the run going on, preformatted, with its two endings:
    // `crashed` for a fatal signal, `ended` for an impatient request or exit(). It goes to
    // fd (the journal, opened O_APPEND) once, after the stop. A row longer than
    // kCrashRowCapacity is refused (false) and the previous one forgotten.
    static constexpr qsizetype kCrashRowCapacity = 2048;
    static bool setCrashRow(int fd, QByteArrayView crashed, QByteArrayView ended);
    // Forgets the row (the run's last row is written, or the descriptor about to close).
    static void clearCrashRow();
    // Writes the row kept, if any, and forgets it. Async-signal-safe.
    static void writeCrashRow(bool crashed);

    // Forgets a request that was taken: for an ending that did not end the process
    // (tests record the ending instead), so that the next request is orderly again.
    static void forgetRequest();

    // Runs once, after the stop, when the X connection broke and exit() is about to end
    // the process: for the record of a run that is cut short. Empty to remove.
    static void setLastWords(std::function<void()> words);

signals:
    // Delivered on the GUI thread. The receiver stops the drive through its link and ends
    // the program (endProgram) before it returns; a request it lets pass is forgotten.
    // A second request before that is handled in the signal handler: stop and _exit.
    void terminationRequested(int signalNumber);

private:
    explicit ProcessGuard(int readFd);
    void takeRequest();

    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace vyt
