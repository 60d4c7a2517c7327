#include "link/ControllerLink.h"

#include "config/FieldRules.h"
#include "config/NumberText.h"
#include "link/MSComm.h"
#include "session/Notice.h"
#include "session/ProgramEnd.h"

#include <QTimer>

namespace vyt {

ControllerLink::ControllerLink(PumpState &state, MSComm &port, Attendant &attendant)
    : m_state(state), m_port(port), m_attendant(attendant), m_line(port)
{
    connect(&m_line, &LineQueue::notification, this, [this] { m_state.PositionErreicht = true; });
    connect(&m_port, &MSComm::linkLost, this, &ControllerLink::onLinkLost);
    connect(&m_port, &MSComm::outputHeld, this, &ControllerLink::onOutputHeld);
    connect(&m_line, &LineQueue::outputDropped, this, &ControllerLink::outputDroppedForStop);
}

ControllerLink::~ControllerLink() = default;

QString ControllerLink::portTitle() const
{
    return QStringLiteral("Serial port COM%1:").arg(m_state.Schnittstelle);
}

bool ControllerLink::SchnittstelleOK()
{
    if (m_state.SchnittstelleOffen)
        return true;
    if (!m_attendant.choosePort(m_state.Schnittstelle))
        return false; // the program is ending
    m_port.setCommPort(m_state.Schnittstelle);
    m_port.setSettings(QStringLiteral("9600,N,8,1"));
    m_port.setHandshaking(1);
    m_port.setInputLen(0);
    if (!m_port.PortOpen() && !m_port.setPortOpen(true)) {
        const MsgResult answer = m_attendant.tell(Notice{
            m_port.ErrorDescription(), portTitle(), MsgButtons::RetryCancel, MsgIcon::Critical});
        if (answer == MsgResult::Retry)
            (void)SchnittstelleOK();
        // The action that needed the port is not carried out, even after a good retry.
        return false;
    }
    m_port.setInBufferCount(0);
    m_state.SchnittstelleOffen = true;
    emit portOpened();
    return true;
}

void ControllerLink::BefehlSenden(const QString &Befehl, QObject *origin)
{
    if (programEnding())
        return;
    m_line.command(Befehl, false, {}, origin);
}

void ControllerLink::sendStop(const QStringList &commands, QObject *origin)
{
    if (programEnding())
        return;
    (void)m_line.stop(commands, origin);
}

QString ControllerLink::silenceMessage() const
{
    return QStringLiteral("Pump controller on serial port Com%1: doesn't respond.")
        .arg(m_state.Schnittstelle);
}

void ControllerLink::ParameterLesen(const QString &Befehl, QObject *context, ReplyHandler done,
                                    OnSilence silence)
{
    if (programEnding())
        return;
    m_line.query(Befehl, kReplyTimeoutMs, context,
                 [this, silence, done = std::move(done)](const LineQueue::Reply &reply) {
                     if (!reply.answered) {
                         m_state.KeineAntwort = true;
                         // A lost link has its own message; the controller is not to blame.
                         if (silence == OnSilence::Tell && !programEnding() && m_port.PortOpen())
                             (void)m_attendant.tell(Notice{silenceMessage(), m_state.FehlerTitel,
                                                           MsgButtons::Ok, MsgIcon::Critical});
                     } else {
                         m_state.KeineAntwort = false;
                     }
                     if (done && !programEnding())
                         done(reply.text);
                 });
}

void ControllerLink::KonsoleBefehlSenden(const QString &Befehl, QObject *context, ReplyHandler done)
{
    if (programEnding())
        return;
    m_line.query(Befehl, kConsoleTimeoutMs, context,
                 [done = std::move(done)](const LineQueue::Reply &reply) {
                     if (done && !programEnding())
                         done(reply.text);
                 });
}

void ControllerLink::ParameterSetzen()
{
    // The callers have refused a limit outside the bounds with its message; this is the
    // last guard, so that nothing out of bounds reaches the controller whatever the path.
    if (!driveLimitsInBounds(m_state) || !SchnittstelleOK())
        return;
    const PumpSettings &s = m_state.settings;
    const QLocale c = QLocale::c();
    BefehlSenden(QStringLiteral("SP ") + generalForm(s.Maximaldrehzahl, c));
    BefehlSenden(QStringLiteral("AC ") + generalForm(s.Beschleunigung, c));
    // The stored, validated current: the field may hold an entry not yet checked.
    BefehlSenden(QStringLiteral("LCC ") + generalForm(s.Dauerstrom, c));
    BefehlSenden(QStringLiteral("LPC ") + generalForm(s.Spitzenstrom, c));
    m_state.ParameterGeaendert = false;
}

void ControllerLink::onOutputHeld()
{
    // The controller said XOFF and has not said XON: a stop may be waiting in our queue.
    // Told once per hold, after the handler that wrote has returned.
    QTimer::singleShot(0, this, [this] {
        if (programEnding() || !m_port.PortOpen() || m_port.BytesPending() == 0)
            return;
        (void)m_attendant.tell(
            Notice{tr("The pump controller on serial port Com%1 does not accept data (it sent "
                      "XOFF). The last commands, a stop among them, may not have reached it; "
                      "they go out as soon as the controller is ready again.")
                       .arg(m_state.Schnittstelle),
                   m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Critical});
    });
}

void ControllerLink::onLinkLost(const QString &lost)
{
    // Asked before anyone hears of the loss: the runs end on it.
    const bool turning = m_motorMayTurn && m_motorMayTurn();
    const QString reason =
        turning ? lost + QLatin1Char(' ') +
                      tr("The stop could not be sent. The pump may still be running. Stop it "
                         "at the controller.")
                : lost;
    m_state.SchnittstelleOffen = false;
    // A re-plugged controller may have restarted on its own stored limits: once the port
    // is open again, it is asked for its version and gets the limits before the next run.
    m_state.KeineAntwort = true;
    m_state.ParameterGeaendert = true;
    m_state.Abbruch = true;
    emit linkLost();
    // Told after the handler that noticed it has returned, once per loss.
    QTimer::singleShot(0, this, [this, reason] {
        if (!programEnding())
            (void)m_attendant.tell(Notice{reason, portTitle(), MsgButtons::Ok, MsgIcon::Critical});
    });
}

} // namespace vyt
