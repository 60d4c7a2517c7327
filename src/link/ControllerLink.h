#pragma once
// The controller link: the port gate and the command protocol. Every byte the
// program sends to the controller goes through here.
#include "config/PumpState.h"
#include "link/LineQueue.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

namespace vyt {

class Attendant;
class MSComm;

class ControllerLink : public QObject {
    Q_OBJECT
public:
    static constexpr int kReplyTimeoutMs = 700;
    static constexpr int kConsoleTimeoutMs = 300;
    // The most of one reply that is kept; anything before it is dropped.
    static constexpr qsizetype kMaxReplyBytes = LineParser::kMaxLineBytes;

    // The attendant chooses the port and hears every message; it outlives the link.
    ControllerLink(PumpState &state, MSComm &port, Attendant &attendant);
    ~ControllerLink() override;

    // The gate in front of every controller action: the first call lets the operator
    // choose the port and opens it; later calls answer true at once.
    [[nodiscard]] bool SchnittstelleOK();
    // Sends Befehl and CR in its turn; reads nothing. origin: who sends it (the line tells).
    void BefehlSenden(const QString &Befehl, QObject *origin = nullptr);
    // A stop never waits behind queued output: what has not gone out is dropped, then the
    // commands go, each with its CR.
    void sendStop(const QStringList &commands, QObject *origin = nullptr);
    enum class OnSilence { Tell, Quiet };
    using ReplyHandler = std::function<void(const QString &reply)>;
    // Sends Befehl in its turn and hands the cleaned reply line to done (0.7 s, one message
    // on silence; Quiet leaves the message to the caller: a request from another program
    // answers it). KeineAntwort tells whether it came. Nothing runs if context is gone.
    void ParameterLesen(const QString &Befehl, QObject *context, ReplyHandler done,
                        OnSilence silence = OnSilence::Tell);
    // The operator's message for a silent controller.
    [[nodiscard]] QString silenceMessage() const;
    // Sends the four drive limits from the settings.
    void ParameterSetzen();
    // The console's reader: 0.3 s, silent time-out, the same cleaning.
    void KonsoleBefehlSenden(const QString &Befehl, QObject *context, ReplyHandler done);

    // Removes every CR LF pair; the first "p" is the position notification.
    // Answers whether a "p" was found.
    static bool cleanReply(QString &reply) { return LineQueue::cleanReply(reply); }

    // The line's requests and what arrives on it.
    [[nodiscard]] LineQueue &line() { return m_line; }

    // Asked when the link is lost: whether the motor may be turning, so that the message
    // says the stop could not reach it.
    void setMotorCheck(std::function<bool()> motorMayTurn) { m_motorMayTurn = std::move(motorMayTurn); }

    [[nodiscard]] QString portTitle() const; // "Serial port COM3:"
    [[nodiscard]] MSComm &port() { return m_port; }

signals:
    // The link was lost; the port is closed and the operator has been told.
    void linkLost();
    // The port was opened (at start-up, or again after a loss, perhaps another one).
    void portOpened();
    // A stop dropped this many bytes that had not gone out yet; told before its commands go.
    void outputDroppedForStop(qint64 bytes);

private:
    void onLinkLost(const QString &reason);
    void onOutputHeld();

    PumpState &m_state;
    MSComm &m_port;
    Attendant &m_attendant;
    LineQueue m_line;
    std::function<bool()> m_motorMayTurn;
};

} // namespace vyt
