#include "session/PumpRun.h"

#include "session/RunReport.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "session/Clock.h"
#include "session/ProgramEnd.h"

#include <algorithm>
#include <cmath>

namespace vyt {
namespace {

constexpr int kDisplayMs = 500;
const QString kVorsicht = QStringLiteral("Caution");

int barValue(qint64 v) { return int(std::clamp<qint64>(v, 0, 1000000)); }

} // namespace

PumpRun::PumpRun(PumpState &state, ControllerLink &link, Attendant &attendant)
    : m_state(state), m_link(link), m_attendant(attendant)
{
    m_display.setInterval(kDisplayMs);
    connect(&m_display, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Pause)
            showPauseProgress();
        else if (m_phase == Phase::Flow)
            showFlowProgress();
    });
    connect(&m_deadline, &Deadline::expired, this, [this] {
        if (m_phase == Phase::Pause) {
            nextDose();
        } else if (m_phase == Phase::Flow) {
            m_completed = true;
            flowOver();
        }
    });
    // The line's one reader hands on the notification wherever it found it; everything
    // else that can end a wait (Stop, a lost link, the program ending) pokes. Queued, so
    // that Stop's own commands go out before the run reacts to it.
    connect(&m_link.line(), &LineQueue::notification, this, [this] {
        if (m_phase == Phase::Arrival && m_armed)
            afterArrival(true);
    });
    connect(&m_link, &ControllerLink::linkLost, this, &PumpRun::wake, Qt::QueuedConnection);
}

void PumpRun::stopRequested()
{
    // Queued, so that Stop's own commands go out before the run reacts to it.
    QMetaObject::invokeMethod(this, &PumpRun::wake, Qt::QueuedConnection);
}

bool PumpRun::abgebrochen() const { return m_state.Abbruch || programEnding(); }

float PumpRun::drehzahl() const { return flowSpeed(m_values, m_values.settings.Foerderstrom); }

float PumpRun::flowSpeed(const PumpState &state, float F)
{
    const PumpSettings &s = state.settings;
    const float G = state.Getriebeuntersetzung;
    const float K = s.Kalibrierfaktor;
    switch (s.Foerderstromeinheit) {
    case 0: return F / state.Verdraengungsvolumen * 1000.0f * G * K;
    case 1: return F / state.Verdraengungsvolumen / s.Dichte * 1000.0f * G * K;
    case 2: return F * G * K;
    default: return 0;
    }
}

std::optional<float> PumpRun::doseRevolutions(const PumpState &state, float Q)
{
    const PumpSettings &s = state.settings;
    const float K = s.Kalibrierfaktor;
    const float Vd = state.Verdraengungsvolumen;
    const float G = state.Getriebeuntersetzung;
    switch (s.Mengeneinheit) {
    case 0: return Q / Vd * G * K;
    case 1: return Q / Vd / s.Dichte * G * K;
    case 2: return Q * G * K;
    default: return std::nullopt;
    }
}

bool PumpRun::doseFits(const PumpState &state, float R)
{
    // Written so that a dose that is no number (a damaged store) is refused too.
    return std::fabs(double(R)) <= kPositionLimit / 4.0 / state.Encoderaufloesung;
}

bool PumpRun::flowFits(const PumpState &state, float rate)
{
    // Written so that a speed that is no number (a damaged store) is refused too.
    return std::fabs(flowSpeed(state, rate)) <= state.settings.Maximaldrehzahl;
}

bool PumpRun::quantityFits(const PumpState &state, float quantity)
{
    // A unit outside the table leaves the dose unchecked here; the run keeps its last one.
    const auto R = doseRevolutions(state, quantity);
    return !R || doseFits(state, *R);
}

std::optional<PumpRun::Refusal> PumpRun::startRefusal(const PumpState &state)
{
    const PumpSettings &s = state.settings;
    if (s.Betriebsart != 2)
        return firstDoseRefusal(state);
    if (!flowFits(state, s.Foerderstrom))
        return Refusal{QStringLiteral("txtFoerderstrom"),
                       QStringLiteral("The continuous flow needs a velocity of ") +
                           generalForm(flowSpeed(state, s.Foerderstrom)) +
                           QStringLiteral(" rpm\nand is bigger than the max. velocity.")};
    const float D = inSekunden(s.Dauer, s.Dauereinheit).value_or(s.Dauer);
    if (D > 86400.0f)
        return Refusal{QStringLiteral("txtDauer"),
                       QStringLiteral("The value must be smaller than 86400 sec or 24 hours.")};
    return std::nullopt;
}

std::optional<PumpRun::Refusal> PumpRun::firstDoseRefusal(const PumpState &state)
{
    if (quantityFits(state, state.settings.Menge))
        return std::nullopt;
    return Refusal{QStringLiteral("txtMenge"), doseLimitMessage(state)};
}

QString PumpRun::doseLimitMessage(const PumpState &state)
{
    const PumpSettings &s = state.settings;
    // In double precision: a factor near 0 must not overflow the bound.
    double qmax = kPositionLimit / 4.0 / state.Encoderaufloesung / state.Getriebeuntersetzung /
                  s.Kalibrierfaktor;
    if (s.Mengeneinheit == 0)
        qmax *= state.Verdraengungsvolumen;
    else if (s.Mengeneinheit == 1)
        qmax *= double(state.Verdraengungsvolumen) * s.Dichte;
    const QString bound = generalForm(std::fabs(std::trunc(qmax)));
    return QStringLiteral("Please enter a value from -") + bound + QStringLiteral(" to ") + bound +
           QStringLiteral(".");
}

PumpRun::Progress PumpRun::progress() const
{
    Progress p;
    if (m_phase == Phase::Idle)
        return p;
    p.dosing = m_phase != Phase::Flow;
    p.pausing = m_phase == Phase::Pause;
    p.dose = m_phase == Phase::Pause ? m_dose - 1 : m_dose;
    p.doses = m_count;
    const double total = m_phase == Phase::Pause  ? double(m_values.settings.PauseSekunden)
                         : m_phase == Phase::Flow ? m_flowSeconds
                                                  : -1;
    if (total >= 0 && total < kEndlessSeconds)
        p.secondsLeft = std::max(0.0, total - m_deadline.elapsedMs() / 1000.0);
    return p;
}

void PumpRun::wake()
{
    switch (m_phase) {
    case Phase::Idle: return;
    case Phase::Arrival: checkArrival(); return;
    case Phase::Pause:
        if (abgebrochen())
            finish();
        return;
    case Phase::Flow:
        if (abgebrochen())
            flowOver();
        return;
    }
}

void PumpRun::Dosieren(const PumpState &values, bool followSettings)
{
    m_values = values;
    m_followSettings = followSettings;
    PumpSettings &s = m_values.settings;
    m_position = 0;
    m_revolutions = 0;
    m_state.PositionErreicht = false;
    m_armed = false;
    // What came before the run is not its notification.
    m_link.line().command(QStringLiteral("DIPROG"), true);
    for (const char *c : {"SOR 0", "CONTMOD", "HO", "LA 0", "M"})
        m_link.BefehlSenden(QString::fromLatin1(c));
    m_count = s.Wiederholung;
    m_endless = m_count == kEndlessRepetitions;
    m_dose = 1;
    m_outcome = RunOutcome{};
    m_completed = false;
    m_phase = Phase::Arrival;
    nextDose();
}

void PumpRun::nextDose()
{
    if (m_followSettings)
        m_values = m_state;
    const qint64 i = m_dose;
    m_completed = i > m_count;
    if (m_completed || abgebrochen() || m_state.KeineAntwort) {
        finish();
        return;
    }
    PumpSettings &s = m_values.settings;
    // The last accepted values: a field may hold an entry still being typed.
    const float Q = s.Menge;
    const float E = m_values.Encoderaufloesung;
    float &R = m_revolutions;
    if (const auto r = doseRevolutions(m_values, Q))
        R = *r;
    if (!doseFits(m_values, R)) {
        m_phase = Phase::Idle; // nothing of this run may act while the message is open
        m_outcome.note = doseLimitMessage(m_values);
        m_attendant.tell({m_outcome.note, kVorsicht, MsgButtons::Ok, MsgIcon::Exclamation});
        finish();
        return;
    }
    const double schritt = double(R) * 4.0 * double(E);
    m_position = roundHalfEven(m_position + schritt);
    if (std::fabs(m_position) > kPositionLimit) {
        for (const char *c : {"HO", "LA 0", "M"})
            m_link.BefehlSenden(QString::fromLatin1(c));
        m_position = roundHalfEven(schritt);
    }
    const auto target = wholeForWire(m_position, kPositionLimit);
    if (!target) {
        finish();
        return;
    }
    // Only a notification for this move counts: a late or doubled one is dropped when the
    // move is armed. A query in flight keeps its reply; the move goes out right after it.
    m_state.PositionErreicht = false;
    m_armed = false;
    m_doseQuantity = Q;
    const QString ziel = integerForm(*target);
    if (programEnding()) {
        finish();
        return;
    }
    m_link.line().command(QStringLiteral("LA ") + ziel, true, [this] { m_armed = true; });
    m_link.BefehlSenden(QStringLiteral("NP ") + ziel);
    m_link.BefehlSenden(QStringLiteral("M"));
    m_phase = Phase::Arrival;
    emit fortschritt(m_endless ? tr("Dose %1").arg(i) : tr("Dose %1 of %2").arg(i).arg(m_count),
                     m_endless ? 0 : barValue(i - 1), m_endless ? 0 : barValue(m_count));
}

void PumpRun::checkArrival()
{
    // The notification arrives by its own signal; here only a stop ends the wait.
    if (m_phase == Phase::Arrival && abgebrochen())
        afterArrival(false);
}

void PumpRun::afterArrival(bool arrived)
{
    if (m_followSettings)
        m_values = m_state;
    PumpSettings &s = m_values.settings;
    if (arrived) {
        ++m_outcome.dosesDone;
        m_outcome.delivered += double(m_doseQuantity);
    } else if (m_armed) {
        noteInterruptedDose();
    }
    m_phase = Phase::Arrival;
    m_armed = false;
    m_state.PositionErreicht = false;
    if (programEnding()) {
        finish();
        return;
    }
    if (const auto sec = inSekunden(s.Pause, s.Pauseeinheit))
        s.PauseSekunden = *sec;
    if (abgebrochen() || m_state.KeineAntwort) {
        finish();
        return;
    }
    if (s.PauseSekunden != 0 && m_dose != m_count) {
        startPause();
        return;
    }
    ++m_dose;
    nextDose();
}

void PumpRun::startPause()
{
    m_phase = Phase::Pause;
    m_deadline.start(secondsToWaitMs(m_values.settings.PauseSekunden));
    ++m_dose; // the dose after the pause
    showPauseProgress();
    m_display.start();
}

void PumpRun::showPauseProgress()
{
    const qint64 done = m_dose - 1;
    const double seconds = m_values.settings.PauseSekunden;
    const QString dose = m_endless ? tr("Dose %1 done").arg(done)
                                   : tr("Dose %1 of %2 done").arg(done).arg(m_count);
    const QString rest = seconds >= kEndlessSeconds
                             ? tr(", pause until Stop")
                             : tr(", pause: %1 left")
                                   .arg(durationText(std::ceil(seconds - m_deadline.elapsedMs() / 1000.0)));
    emit fortschritt(dose + rest, m_endless ? 0 : barValue(done), m_endless ? 0 : barValue(m_count));
}

void PumpRun::Foerdern(const PumpState &values, const std::function<void()> &stopProcedure)
{
    m_values = values;
    m_followSettings = false;
    PumpSettings &s = m_values.settings;
    m_stopProcedure = stopProcedure;
    m_outcome = RunOutcome{};
    m_completed = false;
    m_flowStartNs = -1;
    for (const char *c : {"DIPROG", "SOR 0", "CONTMOD"})
        m_link.BefehlSenden(QString::fromLatin1(c));
    if (abgebrochen() || m_state.KeineAntwort) {
        finish();
        return;
    }
    m_speed = drehzahl();
    // The checks before the run bound the speed; this keeps a number that escaped them
    // (no number at all) off the line.
    const auto speed = wholeForWire(m_speed, std::max(double(s.Maximaldrehzahl), 0.0) + 1.0);
    if (!speed) {
        m_phase = Phase::Flow;
        flowOver();
        return;
    }
    m_link.BefehlSenden(QStringLiteral("V ") + integerForm(*speed));
    m_flowStartNs = clockNs();
    // The rate as the operator set it, next to the speed it became.
    const QStringList &units = foerderstromEinheiten();
    const int unit = s.Foerderstromeinheit;
    m_rateText = unit >= 0 && unit < units.size()
                     ? generalForm(s.Foerderstrom) + QLatin1Char(' ') + units.at(unit) + QStringLiteral(" = ")
                     : QString();
    if (const auto sec = inSekunden(s.Dauer, s.Dauereinheit))
        s.DauerSekunden = *sec;
    m_flowSeconds = s.DauerSekunden == 0 ? kEndlessSeconds : double(s.DauerSekunden);
    m_phase = Phase::Flow;
    m_deadline.start(secondsToWaitMs(m_flowSeconds));
    showFlowProgress();
    m_display.start();
}

void PumpRun::showFlowProgress()
{
    const qint64 ms = m_deadline.elapsedMs();
    const QString drehzahlText = tr("Flow %1%2 rpm").arg(m_rateText, generalForm(m_speed));
    if (m_flowSeconds >= kEndlessSeconds) {
        emit fortschritt(drehzahlText + tr(", running for %1").arg(durationText(ms / 1000)), 0, 0);
        return;
    }
    const double rest = std::ceil(std::max(0.0, m_flowSeconds - ms / 1000.0));
    emit fortschritt(drehzahlText + tr(", %1 elapsed, %2 left").arg(durationText(ms / 1000), durationText(rest)),
                     int(std::min<double>(ms, m_flowSeconds * 1000.0)),
                     int(std::min(m_flowSeconds * 1000.0, 2e9)));
}

void PumpRun::flowOver()
{
    // A flow that ran its course ran for its set time: the clock's jitter is no amount.
    if (m_completed)
        m_outcome.motorSeconds = m_flowSeconds;
    else if (m_flowStartNs >= 0)
        m_outcome.motorSeconds = double(clockNs() - m_flowStartNs) / 1e9;
    m_phase = Phase::Idle;
    m_deadline.stop();
    m_display.stop();
    // The program is ending, or the link is gone: nothing more goes out.
    if (!programEnding() && m_state.SchnittstelleOffen && m_stopProcedure)
        m_stopProcedure();
    finish();
}

bool PumpRun::motorMayTurn() const
{
    return (m_phase == Phase::Arrival && m_armed) || m_phase == Phase::Flow;
}

void PumpRun::noteInterruptedDose()
{
    m_outcome.interruptedNumber = m_dose;
    m_outcome.interruptedDose = double(m_doseQuantity);
}

RunOutcome PumpRun::outcomeSoFar() const
{
    RunOutcome so = m_outcome;
    // A crash now would cut this dose short.
    if (m_phase == Phase::Arrival && m_armed) {
        so.interruptedNumber = m_dose;
        so.interruptedDose = double(m_doseQuantity);
    }
    if (m_phase == Phase::Flow && m_flowStartNs >= 0)
        so.motorSeconds = std::min(double(clockNs() - m_flowStartNs) / 1e9, m_flowSeconds);
    return so;
}

void PumpRun::abandon()
{
    if (m_phase == Phase::Idle)
        return;
    if (m_flowStartNs >= 0 && m_phase == Phase::Flow)
        m_outcome.motorSeconds = double(clockNs() - m_flowStartNs) / 1e9;
    if (m_phase == Phase::Arrival && m_armed)
        noteInterruptedDose();
    finish();
}

void PumpRun::finish()
{
    m_phase = Phase::Idle;
    m_deadline.stop();
    m_display.stop();
    m_armed = false;
    using End = RunOutcome::End;
    m_outcome.end = programEnding()                 ? End::ProgramEnded
                    : !m_state.SchnittstelleOffen  ? End::LinkLost
                    : m_state.KeineAntwort         ? End::NoReply
                    : m_completed                  ? End::Completed
                                                   : End::Stopped;
    emit finished();
}

} // namespace vyt
