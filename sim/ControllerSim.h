#pragma once
// A motion controller on the far end of a pseudo-terminal. It reads CR-terminated
// commands, answers the queries with one CR LF line, stays silent for everything
// else and sends "p" CR LF when a position armed with NP is reached. Runs on the
// event loop of the thread that created it; tests use it in-process.
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <memory>

class QFile;
class QSocketNotifier;

namespace vyt::sim {

// Misbehaviour on the line, one at a time. Silent drops replies and notifications;
// NoLineFeed ends replies with CR only; Noise puts 1 to 8 printable bytes (never "p",
// CR, LF, XON or XOFF) before each reply. Pieces sends a reply in three writes, the CR
// and the LF apart. param:
//   Pieces: gap between the pieces in ms (default 20);
//   GluedNotification: 0 = junk glued in front of "p" CR LF, 1 = "p" CR LF held back and
//     glued in front of the next reply;
//   LateJustUnder / LateJustOver: delay in ms (default 600 / 800);
//   Flood: the next command, whatever it is, is answered by this many bytes of junk
//     without CR, LF or "p" (default 1 MB), once; then the fault is cleared;
//   HangUpAfter: the line goes dead when this many commands have arrived (default 1);
//     the last one is recorded but not answered;
//   IgnoresSet: the limit commands are received but change nothing; param picks which
//     (1 "SP", 2 "AC", 4 "LCC", 8 "LPC", added up; 0 = all four);
//   SplitNotification: "p" goes out at once, its CR LF this many ms later (default 20).
// A reply delay (setReplyDelay) is no fault of its own: it goes with any of them.
enum class Fault {
    None,
    Silent,
    NoLineFeed,
    Pieces,
    Noise,
    GluedNotification,
    LateJustUnder,
    LateJustOver,
    Flood,
    HangUpAfter,
    IgnoresSet,
    SplitNotification
};

// "silent", "no-line-feed", "late-just-over=900" ... as the command line writes them.
[[nodiscard]] bool faultFromName(const QString &name, Fault *fault);
[[nodiscard]] QStringList faultNames();

// The drive as the controller sees it: integrated in fixed 1 ms steps, so that the
// same commands at the same times always give the same positions.
struct Motion {
    enum class Mode { Idle, Position, Velocity };

    // Limits as last set ("SP", "AC", "LCC", "LPC") and the encoder.
    qint64 maxRpm = 6000;
    qint64 accel = 500; // rev/s²
    qint64 contCurrent = 230;
    qint64 peakCurrent = 400;
    int encoderLines = 16;

    Mode mode = Mode::Idle;
    double pos = 0;    // counts
    double vel = 0;    // counts/s
    double acc = 0;    // counts/s², last step
    double target = 0; // counts
    double vCmd = 0;   // rpm, from "V"
    bool potentiometer = false;
    qint64 potSinceMs = 0;
    bool armed = false; // "NP"
    double notifyAt = 0;
    double current = 0; // mA
    bool limiting = false;
    double temperature = 25; // °C
    qint64 ms = 0;           // simulated time

    [[nodiscard]] double countsPerRev() const { return 4.0 * encoderLines; }
    [[nodiscard]] double rpm() const { return vel * 60.0 / countsPerRev(); }
    [[nodiscard]] double potRpm() const;
    [[nodiscard]] bool stationary() const;
    // One millisecond; answers true when the armed notification position was reached.
    bool step();
    // Jumps to the target at once; answers true when that passes the armed position.
    bool jumpToTarget();
};

// What the program has set on its end of the line (read back through the master).
struct LineSettings {
    int baud = 0;
    int dataBits = 0;
    char parity = 'N'; // N, E, O
    int stopBits = 0;
    bool xonXoff = false; // IXON and IXOFF
    bool raw = false;     // no echo, no canonical mode, no CR/LF translation
};

class ControllerSim : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultReplyDelayMs = 250;

    explicit ControllerSim(QObject *parent = nullptr);
    ~ControllerSim() override;

    bool start(QString *error = nullptr);     // openpty; raw mode; runs on the caller's event loop
    [[nodiscard]] QString devicePath() const; // the slave path the program opens
    bool addLink(const QString &symlinkPath); // a stable name for the device
    void removeLinks();
    void setLogFile(const QString &path); // appends "<ISO time> <line>" per received line
    [[nodiscard]] bool isLogging() const { return m_log != nullptr; }
    [[nodiscard]] QStringList receivedLines() const; // CR stripped, in order
    // When each of receivedLines() was taken, in ns on CLOCK_BOOTTIME (the program's clock).
    [[nodiscard]] QList<qint64> receivedAtNs() const { return m_receivedAtNs; }
    void clearReceived();
    void setEncoderLines(int lines); // default 16 (4 counts per line)
    void setInstantMoves(bool on);   // arrival right after "M"
    void setLineRate(int baud);      // 0 = off; else 10 bits a byte both ways
    void setFault(Fault fault, int param = 0);
    // Every reply goes out this many ms after its query was taken (0: at once), in the
    // order of the queries; notifications do not wait for it.
    void setReplyDelay(int ms);
    [[nodiscard]] int replyDelay() const { return m_replyDelayMs; }
    [[nodiscard]] Fault fault() const { return m_fault; }
    // Replaces the reply line (without CR LF) for a command, matched on the whole line
    // first, then on its command word; a null reply removes the override.
    void setReply(const QString &query, const QString &reply);
    void setNoiseSeed(quint32 seed) { m_random.seed(seed); }
    void sendRaw(const QByteArray &bytes); // to the program, through pacing
    void hangUp();                         // the program's link is lost
    [[nodiscard]] bool isHungUp() const { return m_master < 0 && m_started; }
    [[nodiscard]] qint64 position() const; // counts
    [[nodiscard]] double speedRpm() const;
    [[nodiscard]] Motion motion() const; // a snapshot, advanced to now
    [[nodiscard]] bool lineSettings(LineSettings *settings) const;
    [[nodiscard]] int notificationsSent() const { return m_notifications; }
    [[nodiscard]] qint64 bytesSent() const { return m_bytesSent; }
    // Received bytes that a flush of the program's output took off the line before they
    // arrived whole (line-rate pacing gives them a time on the line).
    [[nodiscard]] qint64 bytesDropped() const { return m_bytesDropped; }

signals:
    void lineReceived(const QString &line);

private:
    struct Timed {
        double dueMs;
        QByteArray bytes;
    };

    [[nodiscard]] double nowMs() const;
    void advance() const;
    void scheduleMotionEvent();
    void onMotionTimer();
    void flushNotifications();

    void onReadable();
    void takeByte(char byte);
    void processDueLines();
    void dropUnsent();
    void handleLine(const QByteArray &raw);
    [[nodiscard]] QString answerFor(const QString &word, const QString &arg) const;
    void reply(const QString &line);
    void sendReply(const QString &line);
    void releaseDelayedReplies();
    [[nodiscard]] bool ignores(const QString &limitCommand) const;

    void schedule(const QByteArray &bytes, double delayMs);
    void releaseScheduled();
    void toLine(const QByteArray &bytes);
    void pumpPaced();
    void toWire(const QByteArray &bytes);
    void flushWire();
    void closeFds();
    void hangUpWhenDrained();
    void checkDrained();

    int m_master = -1;
    int m_slave = -1; // held open so that the pty outlives the program's open/close
    bool m_started = false;
    bool m_dying = false; // hanging up once the program has read what was sent
    QElapsedTimer m_hangUpClock;
    QString m_path;
    QStringList m_links;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    std::unique_ptr<QFile> m_log;

    QElapsedTimer m_clock;
    mutable Motion m_motion;
    mutable int m_notifyPending = 0;
    int m_notifications = 0;
    QTimer m_motionTimer;
    bool m_instant = false;

    QByteArray m_rxLine;
    std::deque<Timed> m_rxLines;
    double m_rxFreeAt = 0;
    QTimer m_rxTimer;
    QStringList m_received;
    QList<qint64> m_receivedAtNs;

    std::deque<Timed> m_scheduled; // due times never decrease, so order is kept
    QTimer m_scheduleTimer;
    int m_replyDelayMs = 0;
    std::deque<Timed> m_delayedReplies; // the reply line, without CR LF
    QTimer m_replyDelayTimer;
    int m_lineRate = 0;
    std::deque<Timed> m_paced; // dueMs: when the chunk starts on the line
    int m_pacedReleased = 0;   // of the front chunk
    double m_txFreeAt = 0;
    QTimer m_paceTimer;
    QByteArray m_wire;
    bool m_xoff = false;
    qint64 m_bytesSent = 0;
    qint64 m_bytesDropped = 0;
    double m_lastWriteMs = -1e9;

    Fault m_fault = Fault::None;
    int m_faultParam = 0;
    int m_commandsSinceFault = 0;
    bool m_heldNotification = false;
    QHash<QString, QString> m_replies;
    mutable QRandomGenerator m_random{20250611};
};

} // namespace vyt::sim
