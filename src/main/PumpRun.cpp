#include "main/PumpRun.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "ui/MessageBox.h"
#include "ui/ProgramEnd.h"
#include "ui/Wait.h"

#include <QElapsedTimer>
#include <QTimer>
#include <cmath>

namespace vyt {
namespace {

constexpr double kEndlosSekunden = 2147483648.0;
const QString kVorsicht = QStringLiteral("Caution");

QString dauerText(qint64 sekunden)
{
    const qint64 h = sekunden / 3600, m = sekunden / 60 % 60, s = sekunden % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'))
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

// Refreshes the status text twice a second while a wait runs; stops with the wait.
class Anzeige {
public:
    explicit Anzeige(std::function<void(qint64 ms)> zeige) : m_zeige(std::move(zeige))
    {
        m_uhr.start();
        m_zeige(0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_zeige(m_uhr.elapsed()); });
        m_timer.start(500);
    }

private:
    std::function<void(qint64)> m_zeige;
    QElapsedTimer m_uhr;
    QTimer m_timer;
};

} // namespace

PumpRun::PumpRun(PumpState &state, ControllerLink &link, QWidget *messageParent)
    : m_state(state), m_link(link), m_messageParent(messageParent)
{
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
    if (std::fabs(speed) > s.Maximaldrehzahl) {
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

bool PumpRun::Warten(float seconds)
{
    return waitSeconds(seconds, [this] { return abgebrochen(); }) == WaitEnd::TimedOut;
}

bool PumpRun::warteAufAnkunft()
{
    // Arrival is the "p" CR LF anywhere in what comes in; whatever came with it is dropped.
    // Only the last two bytes are kept between reads: enough for a notification split
    // across reads, and endless noise on the line cannot fill the memory.
    MSComm &port = m_link.port();
    QByteArray empfangen;
    bool angekommen = false;
    waitUntil(
        [&] {
            if (!angekommen && port.InBufferCount() > 0) {
                empfangen += port.Input();
                angekommen = empfangen.contains("p\r\n");
                empfangen = empfangen.right(2);
            }
            return angekommen || m_state.PositionErreicht || abgebrochen();
        },
        kForever);
    return !abgebrochen();
}

void PumpRun::Dosieren()
{
    PumpSettings &s = m_state.settings;
    m_link.port().setInBufferCount(0);
    double P = 0;
    m_state.PositionErreicht = false;
    for (const char *c : {"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"})
        m_link.BefehlSenden(QString::fromLatin1(c));

    const qint64 N = s.Wiederholung;
    const bool endlos = N == kEndlessRepetitions;
    float R = 0;
    for (qint64 i = 1;; ++i) {
        if (i > N || abgebrochen() || m_state.KeineAntwort)
            break;
        // The last accepted values: a field may hold an entry still being typed.
        const float K = s.Kalibrierfaktor;
        const float Q = s.Menge;
        const float Vd = m_state.Verdraengungsvolumen;
        const float G = m_state.Getriebeuntersetzung;
        const float E = m_state.Encoderaufloesung;
        switch (s.Mengeneinheit) {
        case 0: R = Q / Vd * G * K; break;
        case 1: R = Q / Vd / s.Dichte * G * K; break;
        case 2: R = Q * G * K; break;
        default: break;
        }
        const double grenze = kPositionLimit / 4.0 / E;
        if (std::fabs(double(R)) > grenze) {
            // In double precision: a factor near 0 must not overflow the bound.
            double qmax = grenze / G / K;
            if (s.Mengeneinheit == 0)
                qmax *= Vd;
            else if (s.Mengeneinheit == 1)
                qmax *= double(Vd) * s.Dichte;
            const QString bound = generalForm(std::fabs(std::trunc(qmax)));
            showMessage(m_messageParent,
                        QStringLiteral("Please enter a value from -") + bound +
                            QStringLiteral(" to ") + bound + QStringLiteral("."),
                        kVorsicht, MsgButtons::Ok, MsgIcon::Exclamation);
            break;
        }
        const double schritt = double(R) * 4.0 * double(E);
        P = roundHalfEven(P + schritt);
        if (std::fabs(P) > kPositionLimit) {
            for (const char *c : {"HO", "LA 0", "M"})
                m_link.BefehlSenden(QString::fromLatin1(c));
            P = roundHalfEven(schritt);
        }
        const QString ziel = integerForm(qint64(P));
        m_link.BefehlSenden(QStringLiteral("LA ") + ziel);
        m_link.BefehlSenden(QStringLiteral("NP ") + ziel);
        m_link.BefehlSenden(QStringLiteral("M"));

        emit fortschritt(endlos ? tr("Dose %1").arg(i) : tr("Dose %1 of %2").arg(i).arg(N),
                         endlos ? 0 : int(std::min<qint64>(i - 1, 1000000)),
                         endlos ? 0 : int(std::min<qint64>(N, 1000000)));
        warteAufAnkunft();
        m_state.PositionErreicht = false;
        m_link.port().setInBufferCount(0);
        if (programEnding())
            return;
        if (const auto sec = inSekunden(s.Pause, s.Pauseeinheit))
            s.PauseSekunden = *sec;
        if (abgebrochen() || m_state.KeineAntwort)
            break;
        if (s.PauseSekunden != 0 && i != N && !wartePause(s.PauseSekunden, i, endlos ? 0 : N))
            break;
    }
}

bool PumpRun::wartePause(float seconds, qint64 dosis, qint64 anzahl)
{
    const Anzeige anzeige([&](qint64 ms) {
        const qint64 rest = qint64(std::ceil(std::max(0.0, double(seconds) - ms / 1000.0)));
        const QString dose = anzahl ? tr("Dose %1 of %2 done").arg(dosis).arg(anzahl)
                                    : tr("Dose %1 done").arg(dosis);
        emit fortschritt(dose + tr(", pause: %1 left").arg(dauerText(rest)),
                         anzahl ? int(std::min<qint64>(dosis, 1000000)) : 0,
                         anzahl ? int(std::min<qint64>(anzahl, 1000000)) : 0);
    });
    return Warten(seconds);
}

void PumpRun::Foerdern(const std::function<void()> &stopProcedure)
{
    PumpSettings &s = m_state.settings;
    for (const char *c : {"DIPROG", "SOR 0", "CONTMOD"})
        m_link.BefehlSenden(QString::fromLatin1(c));
    if (abgebrochen() || m_state.KeineAntwort)
        return;
    const float speed = drehzahl();
    m_link.BefehlSenden(QStringLiteral("V ") + integerForm(qint64(roundHalfEven(speed))));
    if (const auto sec = inSekunden(s.Dauer, s.Dauereinheit))
        s.DauerSekunden = *sec;
    const double dauer = s.DauerSekunden == 0 ? kEndlosSekunden : double(s.DauerSekunden);
    {
        const bool endlos = dauer >= kEndlosSekunden;
        const Anzeige anzeige([&](qint64 ms) {
            const qint64 vergangen = ms / 1000;
            const QString drehzahlText = tr("Flow at %1 rpm").arg(generalForm(speed));
            if (endlos) {
                emit fortschritt(drehzahlText + tr(", running for %1").arg(dauerText(vergangen)), 0, 0);
                return;
            }
            const qint64 rest = qint64(std::ceil(std::max(0.0, dauer - ms / 1000.0)));
            emit fortschritt(drehzahlText + tr(", %1 elapsed, %2 left")
                                                .arg(dauerText(vergangen), dauerText(rest)),
                             int(std::min<qint64>(ms, qint64(dauer * 1000))),
                             int(std::min(dauer * 1000.0, 2e9)));
        });
        Warten(float(dauer));
    }
    // The program is ending, or the link is gone: nothing more goes out.
    if (programEnding() || !m_state.SchnittstelleOffen)
        return;
    stopProcedure();
}

} // namespace vyt
