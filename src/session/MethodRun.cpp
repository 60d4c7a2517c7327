#include "session/MethodRun.h"

#include "config/MediaPresets.h"
#include "config/SettingsStore.h"
#include "session/PumpRun.h"
#include "session/Session.h"

#include <QTimer>
#include <cmath>

namespace vyt {

MethodRun::MethodRun(Session &session, QObject *parent)
    : QObject(parent), m_session(session), m_wait(this)
{
    connect(&m_wait, &Deadline::expired, this, [this] {
        if (m_running && !m_inRun && !m_prompting)
            next();
    });
    connect(&session, &Session::runEnded, this,
            [this](const RunPlan &, const RunOutcome &outcome) { onRunEnded(outcome); });
    connect(&session, &Session::startFailed, this, [this] { onStartFailed(); });
    // Nothing moves in a wait or at a prompt, but the method cannot go on without the link.
    connect(&session, &Session::linkLost, this, [this] {
        if (m_running && !m_inRun)
            finish(false, tr("The link to the controller was lost at %1.").arg(where()));
    });
}

std::optional<MethodError> MethodRun::start(const Method &method, Starter starter,
                                            const QString &client)
{
    if (m_running)
        return MethodError{{}, {}, tr("A method is running already.")};
    if (m_session.running())
        return MethodError{{}, {}, tr("A run is going on.")};
    if (m_session.potentiometerOn())
        return MethodError{{}, {}, tr("Potentiometer mode is on.")};
    if (starter == Starter::Remote) {
        if (const QString busy = m_session.busyReason(); !busy.isEmpty())
            return MethodError{{}, {}, busy};
    }
    std::optional<MediumValues> medium;
    if (!method.medium.isEmpty()) {
        const auto store = openStore();
        const PumpState &state = m_session.state();
        for (const MediumPreset &m : loadMedia(*store, state.Schnittstelle, state.settings.Pumpentyp))
            if (m.name == method.medium)
                medium = MediumValues{m.density, m.factor};
    }
    MethodError error;
    const auto actions = planMethod(method, m_session.state(), medium, &error);
    if (!actions)
        return error;
    // The medium is the operator's setting from now on, as if chosen in the window.
    if (medium) {
        PumpSettings s = m_session.state().settings;
        s.Dichte = medium->density;
        s.Kalibrierfaktor = medium->factor;
        m_session.setRunSettings(s);
    }
    m_method = method;
    m_actions = *actions;
    m_client = client;
    m_index = -1;
    m_running = true;
    m_stopRequested = false;
    m_completed = false;
    m_endReason.clear();
    m_starting = true;
    next();
    m_starting = false;
    // The first step could not start: the method is refused, as a dose would be.
    if (!m_running && !m_completed)
        return MethodError{m_actions.value(m_index).step, stepKindName(m_actions.value(m_index).kind),
                           m_endReason};
    emit started();
    return std::nullopt;
}

void MethodRun::stop()
{
    m_session.stop(); // the drive stops first; onStop() ends the method
}

void MethodRun::onStop()
{
    if (!m_running)
        return;
    m_stopRequested = true;
    // A run of the method ends by itself and says so; a wait or a prompt ends here.
    if (!m_inRun)
        finish(false, tr("Stopped at %1.").arg(where()));
}

bool MethodRun::continuePrompt()
{
    if (!m_running || !m_prompting)
        return false;
    m_prompting = false;
    emit promptAnswered();
    next();
    return true;
}

MethodRun::Progress MethodRun::progress() const
{
    Progress p;
    if (!m_running)
        return p;
    p.name = m_method.name;
    p.step = m_index + 1;
    p.steps = int(m_actions.size());
    const MethodAction &a = m_actions.at(qBound(0, m_index, int(m_actions.size()) - 1));
    if (m_prompting) {
        p.stepText = tr("waiting for the operator");
        p.prompt = a.text;
    } else if (a.kind == MethodStep::Kind::Wait) {
        const double left = std::max(0.0, a.seconds - double(m_wait.elapsedMs()) / 1000.0);
        p.stepText = tr("wait, %1 left").arg(durationText(std::ceil(left)));
    } else {
        QString text = m_inRun ? m_session.runProgressText() : QString();
        if (!text.isEmpty())
            text[0] = text.at(0).toLower();
        p.stepText = text.isEmpty() ? stepKindName(a.kind) : text;
    }
    return p;
}

QString MethodRun::statusLine() const
{
    const Progress p = progress();
    if (!m_running)
        return {};
    return tr("Method %1: step %2 of %3").arg(p.name).arg(p.step).arg(p.steps) +
           (p.stepText.isEmpty() ? QString() : QStringLiteral(", ") + p.stepText);
}

QString MethodRun::where() const
{
    if (m_index < 0 || m_index >= m_actions.size())
        return tr("the start");
    const MethodAction &a = m_actions.at(m_index);
    return tr("step %1 of %2 (%3, %4)")
        .arg(m_index + 1)
        .arg(m_actions.size())
        .arg(a.step, stepKindName(a.kind));
}

void MethodRun::next()
{
    if (!m_running)
        return;
    ++m_index;
    if (m_index >= m_actions.size()) {
        finish(true, tr("Method %1 completed: %2 steps.").arg(m_method.name).arg(m_actions.size()));
        return;
    }
    const MethodAction &a = m_actions.at(m_index);
    emit progressChanged();
    switch (a.kind) {
    case MethodStep::Kind::Wait: m_wait.start(secondsToWaitMs(a.seconds)); return;
    case MethodStep::Kind::Prompt:
        m_prompting = true;
        emit progressChanged();
        emit promptWaiting(a.text);
        return;
    case MethodStep::Kind::Repeat: next(); return; // unrolled already
    case MethodStep::Kind::Dose:
    case MethodStep::Kind::Flow: break;
    }
    RunPlan plan = a.plan;
    plan.note = tr("method %1 step %2/%3").arg(m_method.name).arg(m_index + 1).arg(m_actions.size());
    Session::Origin origin;
    origin.kind = Session::Origin::Kind::Method;
    origin.client = m_client;
    m_inRun = true;
    if (const auto refusal = m_session.start(plan, origin)) {
        m_inRun = false;
        const QString message =
            refusal->message.isEmpty() ? tr("the run did not start") : refusal->message;
        finish(false, m_starting ? message : tr("%1 did not start: %2").arg(where(), message));
    }
}

void MethodRun::onRunEnded(const RunOutcome &outcome)
{
    if (!m_running || !m_inRun)
        return;
    m_inRun = false;
    using End = RunOutcome::End;
    switch (outcome.end) {
    case End::Completed:
        // After every other listener has seen the run end: the window, remote control.
        QTimer::singleShot(0, this, &MethodRun::next);
        return;
    case End::Stopped: finish(false, tr("Stopped at %1.").arg(where())); return;
    case End::LinkLost:
        finish(false, tr("The link to the controller was lost at %1.").arg(where()));
        return;
    case End::NoReply:
        finish(false, tr("The controller did not respond at %1.").arg(where()));
        return;
    case End::ProgramEnded: finish(false, tr("The program ended at %1.").arg(where())); return;
    }
}

void MethodRun::onStartFailed()
{
    if (!m_running || !m_inRun)
        return;
    m_inRun = false;
    finish(false, m_stopRequested ? tr("Stopped at %1.").arg(where())
                                  : tr("%1 did not start.").arg(where()));
}

void MethodRun::finish(bool completed, const QString &why)
{
    if (!m_running)
        return;
    m_running = false;
    m_prompting = false;
    m_inRun = false;
    m_wait.stop();
    m_completed = completed;
    m_endReason = why;
    if (m_starting)
        return; // start() answers it
    emit progressChanged();
    emit finished(completed, why);
}

} // namespace vyt
