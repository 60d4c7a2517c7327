#include "main/PumpRun.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "ui/MessageBox.h"
#include "ui/ProgramEnd.h"

#include <algorithm>
#include <cmath>

namespace vyt {
namespace {

constexpr double kEndlosSekunden = 2147483648.0;
constexpr int kDisplayMs = 500;
const QString kVorsicht = QStringLiteral("Caution");

// h:mm:ss or m:ss; seconds beyond any real wait are shown as their largest value.
QString dauerText(double sekunden)
{
    const qint64 t = qint64(std::clamp(sekunden, 0.0, kEndlosSekunden));
    const qint64 h = t / 3600, m = t / 60 % 60, s = t % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'))
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

int barValue(qint64 v) { return int(std::clamp<qint64>(v, 0, 1000000)); }

} // namespace

PumpRun::PumpRun(PumpState &state, ControllerLink &link, QWidget *messageParent)
    : m_state(state), m_link(link), m_messageParent(messageParent)
{
    m_display.setInterval(kDisplayMs);
    connect(&m_display, &QTimer::timeout, this, [this] {
        if (m_phase == Phase::Pause)
            showPauseProgress();
        else if (m_phase == Phase::Flow)
            showFlowProgress();
    });
    connect(&m_deadline, &Deadline::expired, this, [this] {
        if (m_phase == Phase::Pause)
            nextDose();
        else if (m_phase == Phase::Flow)
            flowOver();
    });
    // Input is looked at as it arrives; everything else that can end a wait (Stop, a lost
    // link, a reader that found the notification, the program ending) pokes. Queued, so
    // that Stop's own commands go out before the run reacts to it.
    connect(&m_link.port(), &MSComm::inputArrived, this, &PumpRun::checkArrival);
    connect(&Wakeup::instance(), &Wakeup::poked, this, &PumpRun::wake, Qt::QueuedConnection);
}

bool PumpRun::abgebrochen() const { return m_state.Abbruch || programEnding(); }

float PumpRun::drehzahl() const
{
    const PumpSettings &s = m_state.settings;
    const float F = s.Foerderstrom;
    const float G = m_state.Getriebeuntersetzung;
    const float K = s.Kalibrierfaktor;
    switch (s.Foerderstromeinheit) {
    case 0: return F / m_state.Verdraengungsvolumen * 1000.0f * G * K;
    case 1: return F / m_state.Verdraengungsvolumen / s.Dichte * 1000.0f * G * K;
    case 2: return F * G * K;
    default: return 0;
    }
}

bool PumpRun::StartPruefen()
{
    const PumpSettings &s = m_state.settings;
    if (s.Betriebsart != 2)
        return true;
    const float speed = drehzahl();
    // Written so that a speed that is no number (a damaged store) is refused too.
    if (!(std::fabs(speed) <= s.Maximaldrehzahl)) {
        showMessage(m_messageParent,
                    QStringLiteral("The continuous flow needs a velocity of ") + generalForm(speed) +
                        QStringLiteral(" rpm\nand is bigger than the max. velocity."),
                    m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return false;
    }
    const float D = inSekunden(s.Dauer, s.Dauereinheit).value_or(s.Dauer);
    if (D > 86400.0f) {
        showMessage(m_messageParent,
                    QStringLiteral("The value must be smaller than 86400 sec or 24 hours."),
                    m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return false;
    }
    return true;
}

void PumpRun::wake()
{
    switch (m_phase) {
    case Phase::Idle: return;
    case Phase::LineBusy:
        if (abgebrochen() || m_state.KeineAntwort)
            finish();
        else if (!m_link.isReading())
            nextDose();
        return;
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

void PumpRun::Dosieren()
{
    PumpSettings &s = m_state.settings;
    m_link.port().setInBufferCount(0);
    m_position = 0;
    m_revolutions = 0;
    m_state.PositionErreicht = false;
    for (const char *c : {"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"})
        m_link.BefehlSenden(QString::fromLatin1(c));
    m_count = s.Wiederholung;
    m_endless = m_count == kEndlessRepetitions;
    m_dose = 1;
    m_phase = Phase::LineBusy;
    nextDose();
}

void PumpRun::nextDose()
{
    const qint64 i = m_dose;
    if (i > m_count || abgebrochen() || m_state.KeineAntwort) {
        finish();
        return;
    }
    // Arming drops what is unread; a console query waiting for its reply keeps it, and
    // the dose goes out as soon as that reply is in.
    if (m_link.isReading()) {
        m_phase = Phase::LineBusy;
        return;
    }
    PumpSettings &s = m_state.settings;
    // The last accepted values: a field may hold an entry still being typed.
    const float K = s.Kalibrierfaktor;
    const float Q = s.Menge;
    const float Vd = m_state.Verdraengungsvolumen;
    const float G = m_state.Getriebeuntersetzung;
    const float E = m_state.Encoderaufloesung;
    float &R = m_revolutions;
    switch (s.Mengeneinheit) {
    case 0: R = Q / Vd * G * K; break;
    case 1: R = Q / Vd / s.Dichte * G * K; break;
    case 2: R = Q * G * K; break;
    default: break;
    }
    const double grenze = kPositionLimit / 4.0 / E;
    // Written so that a dose that is no number (a damaged store) is refused too.
    if (!(std::fabs(double(R)) <= grenze)) {
        // In double precision: a factor near 0 must not overflow the bound.
        double qmax = grenze / G / K;
        if (s.Mengeneinheit == 0)
            qmax *= Vd;
        else if (s.Mengeneinheit == 1)
            qmax *= double(Vd) * s.Dichte;
        const QString bound = generalForm(std::fabs(std::trunc(qmax)));
        m_phase = Phase::Idle; // nothing of this run may act while the message is open
        showMessage(m_messageParent,
                    QStringLiteral("Please enter a value from -") + bound +
                        QStringLiteral(" to ") + bound + QStringLiteral("."),
                    kVorsicht, MsgButtons::Ok, MsgIcon::Exclamation);
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
    // Only a notification for this move counts: a late or doubled one is dropped here.
    m_link.port().setInBufferCount(0);
    m_state.PositionErreicht = false;
    m_tail.clear();
    const QString ziel = integerForm(*target);
    m_link.BefehlSenden(QStringLiteral("LA ") + ziel);
    m_link.BefehlSenden(QStringLiteral("NP ") + ziel);
    m_link.BefehlSenden(QStringLiteral("M"));
    m_phase = Phase::Arrival;
    emit fortschritt(m_endless ? tr("Dose %1").arg(i) : tr("Dose %1 of %2").arg(i).arg(m_count),
                     m_endless ? 0 : barValue(i - 1), m_endless ? 0 : barValue(m_count));
}

void PumpRun::checkArrival()
{
    if (m_phase != Phase::Arrival)
        return;
    // Arrival is the "p" CR LF anywhere in what comes in; whatever came with it is dropped.
    // Only the last two bytes are kept between reads: enough for a notification split
    // across reads, and endless noise on the line cannot fill the memory. While another
    // reader waits for its reply, its bytes are its own; it reports a notification it finds.
    bool angekommen = false;
    MSComm &port = m_link.port();
    if (!m_link.isReading() && port.InBufferCount() > 0) {
        m_tail += port.Input();
        angekommen = m_tail.contains("p\r\n");
        m_tail = m_tail.right(2);
    }
    if (angekommen || m_state.PositionErreicht || abgebrochen())
        afterArrival();
}

void PumpRun::afterArrival()
{
    PumpSettings &s = m_state.settings;
    m_phase = Phase::LineBusy;
    m_state.PositionErreicht = false;
    if (!m_link.isReading())
        m_link.port().setInBufferCount(0);
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
    m_deadline.start(secondsToWaitMs(m_state.settings.PauseSekunden));
    ++m_dose; // the dose after the pause
    showPauseProgress();
    m_display.start();
}

void PumpRun::showPauseProgress()
{
    const qint64 done = m_dose - 1;
    const double seconds = m_state.settings.PauseSekunden;
    const QString dose = m_endless ? tr("Dose %1 done").arg(done)
                                   : tr("Dose %1 of %2 done").arg(done).arg(m_count);
    const QString rest = seconds >= kEndlosSekunden
                             ? tr(", pause until Stop")
                             : tr(", pause: %1 left")
                                   .arg(dauerText(std::ceil(seconds - m_deadline.elapsedMs() / 1000.0)));
    emit fortschritt(dose + rest, m_endless ? 0 : barValue(done), m_endless ? 0 : barValue(m_count));
}

void PumpRun::Foerdern(const std::function<void()> &stopProcedure)
{
    PumpSettings &s = m_state.settings;
    m_stopProcedure = stopProcedure;
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
    if (const auto sec = inSekunden(s.Dauer, s.Dauereinheit))
        s.DauerSekunden = *sec;
    m_flowSeconds = s.DauerSekunden == 0 ? kEndlosSekunden : double(s.DauerSekunden);
    m_phase = Phase::Flow;
    m_deadline.start(secondsToWaitMs(m_flowSeconds));
    showFlowProgress();
    m_display.start();
}

void PumpRun::showFlowProgress()
{
    const qint64 ms = m_deadline.elapsedMs();
    const QString drehzahlText = tr("Flow at %1 rpm").arg(generalForm(m_speed));
    if (m_flowSeconds >= kEndlosSekunden) {
        emit fortschritt(drehzahlText + tr(", running for %1").arg(dauerText(ms / 1000)), 0, 0);
        return;
    }
    const double rest = std::ceil(std::max(0.0, m_flowSeconds - ms / 1000.0));
    emit fortschritt(drehzahlText + tr(", %1 elapsed, %2 left").arg(dauerText(ms / 1000), dauerText(rest)),
                     int(std::min<double>(ms, m_flowSeconds * 1000.0)),
                     int(std::min(m_flowSeconds * 1000.0, 2e9)));
}

void PumpRun::flowOver()
{
    m_phase = Phase::Idle;
    m_deadline.stop();
    m_display.stop();
    // The program is ending, or the link is gone: nothing more goes out.
    if (!programEnding() && m_state.SchnittstelleOffen && m_stopProcedure)
        m_stopProcedure();
    finish();
}

void PumpRun::finish()
{
    m_phase = Phase::Idle;
    m_deadline.stop();
    m_display.stop();
    m_tail.clear();
    emit finished();
}

} // namespace vyt
