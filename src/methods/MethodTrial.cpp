#include "methods/MethodTrial.h"

#include "session/Clock.h"
#include "session/MethodRun.h"
#include "session/Notice.h"
#include "session/Session.h"
#include "sim/ControllerSim.h"

namespace vyt {

MethodTrial::MethodTrial(QObject *parent) : QObject(parent)
{
    m_collect.setInterval(50);
    connect(&m_collect, &QTimer::timeout, this, &MethodTrial::collectLines);
}

MethodTrial::~MethodTrial()
{
    // The session first: it stops its simulated drive on the way out.
    if (m_session)
        m_session->shutdown();
    m_session.reset();
}

std::optional<MethodError> MethodTrial::start(const Method &method, const PumpState &values)
{
    if (m_running)
        return MethodError{{}, {}, tr("A trial is running already.")};
    if (m_session)
        m_session->shutdown();
    m_session.reset();
    m_sim = std::make_unique<sim::ControllerSim>();
    if (!m_sim->start())
        return MethodError{{}, {}, tr("The simulated controller cannot be started.")};
    m_nobody = std::make_unique<UnattendedAttendant>();
    m_session = std::make_unique<Session>(*m_nobody, values.Schnittstelle);
    m_session->useTrialDevice(m_sim->devicePath());
    PumpState &state = m_session->state();
    state = values;
    // A line of its own, not yet open, its controller not yet asked.
    state.SchnittstelleOffen = false;
    state.KeineAntwort = true;
    state.ParameterGeaendert = true;
    state.Abbruch = false;
    state.PositionErreicht = false;
    MethodRun &methods = m_session->methods();
    connect(&methods, &MethodRun::promptWaiting, this, [&methods] {
        QTimer::singleShot(0, &methods, [&methods] { (void)methods.continuePrompt(); });
    });
    connect(&methods, &MethodRun::finished, this,
            [this](bool completed, const QString &why) { end(completed, why); });
    m_lines.clear();
    m_startNs = clockNs();
    m_running = true;
    if (auto refused = methods.start(method)) {
        m_running = false;
        return refused;
    }
    m_collect.start();
    return std::nullopt;
}

void MethodTrial::stop()
{
    if (m_running && m_session)
        m_session->methods().stop();
}

void MethodTrial::collectLines()
{
    if (!m_sim)
        return;
    const QStringList received = m_sim->receivedLines();
    const QList<qint64> at = m_sim->receivedAtNs();
    for (qsizetype i = m_lines.size(); i < received.size() && i < at.size(); ++i) {
        const Line line{double(at.at(i) - m_startNs) / 1e9, received.at(i)};
        m_lines << line;
        emit lineReceived(line.seconds, line.command);
    }
}

void MethodTrial::end(bool completed, const QString &why)
{
    if (!m_running)
        return;
    m_running = false;
    const double seconds = double(clockNs() - m_startNs) / 1e9;
    // The stop's own lines arrive a moment later.
    QTimer::singleShot(100, this, [this, completed, why, seconds] {
        collectLines();
        m_collect.stop();
        emit finished(completed, why, seconds);
    });
}

} // namespace vyt
