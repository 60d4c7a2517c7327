#pragma once
// Runs a method: its actions one after another through the session's own start path
// (port gate, VER, limits, the run, the journal). Between two actions nothing moves; Stop,
// a lost link or a silent controller end the method, and nothing after it runs.
#include "session/Method.h"
#include "session/Wait.h"

#include <QObject>
#include <QString>
#include <optional>

namespace vyt {

class Session;
struct RunOutcome;

class MethodRun : public QObject {
    Q_OBJECT
public:
    explicit MethodRun(Session &session, QObject *parent = nullptr);

    // Who starts a method: the operator (the window, the command line) or a remote client.
    enum class Starter { Operator, Remote };
    // Checks the method for the pump in use (its pump type, its medium, every step) and
    // starts its first action; nullopt when it started. A remote client waits, as for a
    // dose, while the window has the operator busy; client is its address.
    std::optional<MethodError> start(const Method &method, Starter starter = Starter::Operator,
                                     const QString &client = {});
    // Stop for the method: the session's Stop (the drive stops, the method ends with it).
    void stop();
    // The session was stopped: nothing after the step going on runs.
    void onStop();
    // The operator (or a client) confirms the prompt the method waits at.
    bool continuePrompt();

    [[nodiscard]] bool running() const { return m_running; }
    struct Progress {
        QString name;
        int step = 0;  // 1-based, of the actions
        int steps = 0;
        QString stepText; // "dose 1 of 2", "wait, 0:40 left", "waiting for the operator"
        QString prompt;   // the prompt's text while it waits; empty otherwise
    };
    [[nodiscard]] Progress progress() const;
    // "Method Prime and dose: step 3 of 7, dose 1 of 2"
    [[nodiscard]] QString statusLine() const;

    // How the last method ended: completed, or the reason it did not.
    [[nodiscard]] bool completed() const { return m_completed; }
    [[nodiscard]] QString endReason() const { return m_endReason; }

signals:
    void started();
    void progressChanged();
    // A prompt waits for continuePrompt() (the window shows it, remote and the terminal
    // answer it).
    void promptWaiting(const QString &text);
    void promptAnswered();
    // completed, or why not ("Stopped at step 4 of 7.").
    void finished(bool completed, const QString &why);

private:
    void next();
    void onRunEnded(const RunOutcome &outcome);
    void onStartFailed();
    void finish(bool completed, const QString &why);
    [[nodiscard]] QString where() const; // "step 4 of 7 (3.1, dose)"

    Session &m_session;
    Method m_method;
    QList<MethodAction> m_actions;
    QString m_client;
    int m_index = -1;
    bool m_running = false;
    bool m_starting = false;   // within start(): a refusal of the first step is its answer
    bool m_inRun = false;      // a dose or flow of the method is starting or going on
    bool m_prompting = false;
    bool m_stopRequested = false;
    bool m_completed = false;
    QString m_endReason;
    Deadline m_wait;
};

} // namespace vyt
