// Every line fault of the simulator against every place that talks to the controller:
// Start with its "VER", the drive limits, a dose waiting for arrival and pausing, a flow,
// potentiometer mode, the console's terminal, polling, Load Parameters and EEPSAV.
//
// Each row checks that the program neither crashes nor waits longer than it should, that
// the window stays live (a 10 ms tick keeps ticking), that Stop still puts "SOR 0" and
// "V 0" on the line, that a lost link sends nothing more and the next Start offers the
// port dialog again, and that a flood does not make memory grow without bound.
#include "console/ParameterCompareDialog.h"
#include "console/Transcript.h"
#include "console/frmDirekt.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "session/PumpRun.h"
#include "support/AppFixture.h"
#include "support/LineWait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <functional>
#include <memory>

using namespace vyt;
using namespace vyt::test;
using vyt::sim::Fault;

namespace {

constexpr int kQueryMs = ControllerLink::kReplyTimeoutMs;
constexpr int kConsoleMs = ControllerLink::kConsoleTimeoutMs;
// Two loaded cores: room for scheduling on top of every designed wait.
constexpr int kSlackMs = 500;
constexpr int kStallLimitMs = 250;
constexpr qint64 kGrowthLimitKb = 50 * 1024;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int kPauseMs = 400;
constexpr int kFlowMs = 300;
constexpr int kWatchdogMs = 20000;
constexpr int kFloodBytes = 1 << 20;
constexpr int kNoiseMs = 1500; // endless noise while a dose waits for its arrival

enum class Place {
    StartVer,
    DriveLimits,
    DosingArrival,
    DosingPause,
    Flow,
    Potentiometer,
    Terminal,
    Polling,
    LoadParameters,
    Eepsav
};

struct PlaceInfo {
    Place place;
    const char *name;
    int hangUpAfter; // the command on which the line goes dead
};

// hangUpAfter counts the commands from the moment the fault is armed: VER; SP (of the
// four limits) and the second; the dose's "M" after the six set-up commands and LA, NP;
// "SOR 0" of the flow set-up; GFS of the first poll; GAC of the four reads.
const PlaceInfo kPlaces[] = {
    {Place::StartVer, "start VER", 1},
    {Place::DriveLimits, "drive limits", 2},
    {Place::DosingArrival, "dose arrival", 9},
    {Place::DosingPause, "dose pause", 0},
    {Place::Flow, "flow", 2},
    {Place::Potentiometer, "potentiometer", 1},
    {Place::Terminal, "console terminal", 1},
    {Place::Polling, "polling", 2},
    {Place::LoadParameters, "load parameters", 2},
    {Place::Eepsav, "EEPSAV", 1},
};

struct FaultInfo {
    Fault fault;
    const char *name;
};

const FaultInfo kFaults[] = {
    {Fault::Silent, "silent"},           {Fault::NoLineFeed, "no LF"},
    {Fault::Pieces, "pieces"},           {Fault::Noise, "noise"},
    {Fault::GluedNotification, "glued"}, {Fault::LateJustUnder, "late under"},
    {Fault::LateJustOver, "late over"},  {Fault::Flood, "flood"},
    {Fault::HangUpAfter, "hang-up"},
};

// Faults that only shape replies to queries.
bool shapesRepliesOnly(Fault f)
{
    return f == Fault::NoLineFeed || f == Fault::Pieces || f == Fault::LateJustUnder ||
           f == Fault::LateJustOver;
}

// Why a fault cannot reach a place; empty when it can.
QString notApplicable(Place p, Fault f)
{
    switch (p) {
    case Place::DriveLimits:
        if (shapesRepliesOnly(f) || f == Fault::Noise || f == Fault::GluedNotification)
            return QStringLiteral("the limits are sent without a reply; the dose after them is "
                                  "covered at its own place");
        break;
    case Place::DosingArrival:
        if (shapesRepliesOnly(f))
            return QStringLiteral("the arrival wait reads the notification, not a reply");
        break;
    case Place::DosingPause:
        if (f != Fault::Noise && f != Fault::Flood && f != Fault::HangUpAfter)
            return QStringLiteral("nothing is read or answered during the pause; only bytes "
                                  "arriving unasked or a lost line can reach it");
        break;
    case Place::Flow:
        if (f != Fault::Noise && f != Fault::Flood && f != Fault::HangUpAfter)
            return QStringLiteral("the flow reads nothing; only bytes arriving unasked or a "
                                  "lost line can reach it");
        break;
    default: break;
    }
    return {};
}

// Whether a query of the given time limit gets its reply line under the fault.
bool answered(Fault f, int limitMs)
{
    switch (f) {
    case Fault::Pieces:
    case Fault::Noise:
    case Fault::GluedNotification: return true;
    case Fault::LateJustUnder: return limitMs > 600;
    default: return false;
    }
}

qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// A tick every 10 ms: the longest gap between two ticks is the longest time the window
// could not react. Also samples the resident memory.
class LiveMeter {
public:
    explicit LiveMeter(bool sampleMemory) : m_sampleMemory(sampleMemory)
    {
        m_peakKb = rssKb();
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.restart());
            if (m_sampleMemory)
                m_peakKb = std::max(m_peakKb, rssKb());
        });
        m_sinceTick.start();
        m_timer.start();
    }
    void stop()
    {
        if (!m_timer.isActive())
            return;
        m_longest = std::max(m_longest, m_sinceTick.elapsed());
        m_timer.stop();
        m_peakKb = std::max(m_peakKb, rssKb());
    }
    [[nodiscard]] qint64 longestGapMs() const { return m_longest; }
    [[nodiscard]] qint64 peakKb() const { return m_peakKb; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
    qint64 m_peakKb = 0;
    bool m_sampleMemory;
};

// Acts once its condition holds, polled from the event loop, so also inside the
// program's nested waits.
class When {
public:
    When(std::function<bool()> condition, std::function<void()> action)
    {
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this, condition, action] {
            if (!condition())
                return;
            m_timer.stop();
            m_fired = true;
            action();
        });
        m_timer.start();
    }
    [[nodiscard]] bool fired() const { return m_fired; }

private:
    QTimer m_timer;
    bool m_fired = false;
};

// Endless junk from the controller for a while, never more than 256 KB ahead of what
// the program has taken, so that the backlog sits in the program, not in the simulator.
class NoiseStream {
public:
    NoiseStream(sim::ControllerSim &sim, int durationMs) : m_sim(sim), m_durationMs(durationMs)
    {
        static const char kJunk[] = "0123456789ABCDEFGHIJKLMNOabcdefghijklmno#*+-";
        m_chunk.resize(64 * 1024);
        for (int i = 0; i < m_chunk.size(); ++i)
            m_chunk[i] = kJunk[i % (sizeof kJunk - 1)];
        m_start = sim.bytesSent();
        m_clock.start();
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { pump(); });
        m_timer.start();
        pump();
    }
    [[nodiscard]] qint64 handed() const { return m_handed; }

private:
    void pump()
    {
        if (m_clock.elapsed() > m_durationMs || m_sim.isHungUp()) {
            m_timer.stop();
            return;
        }
        while (m_handed - (m_sim.bytesSent() - m_start) < 256 * 1024) {
            m_sim.sendRaw(m_chunk);
            m_handed += m_chunk.size();
        }
    }
    sim::ControllerSim &m_sim;
    int m_durationMs;
    QByteArray m_chunk;
    qint64 m_start = 0;
    qint64 m_handed = 0;
    QElapsedTimer m_clock;
    QTimer m_timer;
};

int countOf(const QStringList &lines, const char *line)
{
    return int(lines.count(QString::fromLatin1(line)));
}

// "SOR 0" and then "V 0" among the lines from index `from` on.
bool stopOnLine(const QStringList &lines, int from)
{
    const int sor = int(lines.indexOf(QStringLiteral("SOR 0"), from));
    return sor >= 0 && lines.indexOf(QStringLiteral("V 0"), sor + 1) > sor;
}

int noResponseCount(const MessageRecorder &m)
{
    int n = 0;
    for (const QString &t : m.texts())
        n += t.contains(QStringLiteral("doesn't respond"));
    return n;
}

// The controller has answered once and the limits are out, as after a first run.
void prime(AppFixture &app, bool limitsToo)
{
    (void)test::readReply(app.window().link(), QStringLiteral("VER"));
    if (limitsToo)
        app.window().link().ParameterSetzen();
    app.window().link().BefehlSenden(QStringLiteral("ZZ"));
    (void)waitForLine(app.sim(), QStringLiteral("ZZ"));
    app.sim().clearReceived();
}

void setUpDosing(AppFixture &app, const QString &times, const QString &pauseMs)
{
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(0);
    app.enter("txtKalibrierFaktor", QStringLiteral("1"));
    app.enter("txtMenge", QStringLiteral("30"));
    app.enter("txtWiederholung", times);
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(0);
    app.enter("txtPause", pauseMs);
    app.find<QPushButton>("cmdStart")->setFocus();
}

void setUpFlow(AppFixture &app)
{
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(0);
    app.enter("txtFoerderstrom", QStringLiteral("5"));
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(0);
    app.enter("txtDauer", QString::number(kFlowMs));
    app.find<QPushButton>("cmdStart")->setFocus();
}

// A notification held back by the controller, glued in front of the next reply.
void holdNotification(AppFixture &app)
{
    app.sim().setInstantMoves(true);
    app.sim().setFault(Fault::GluedNotification, 1);
    app.window().link().BefehlSenden(QStringLiteral("NP"));
    app.window().link().BefehlSenden(QStringLiteral("M"));
    (void)waitForLine(app.sim(), QStringLiteral("M"));
    app.sim().clearReceived();
}

struct Totals {
    int rows = 0;
    int skipped = 0;
    qint64 longestStallMs = 0;
    QString longestStallRow;
    qint64 floodPeakKb = 0;
    qint64 floodGrowthKb = 0;
};
Totals g_totals;

} // namespace

class tst_faultmatrix : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void faultAtPlace_data();
    void faultAtPlace();
    void cleanupTestCase();
};

void tst_faultmatrix::initTestCase()
{
    QVERIFY(rssKb() > 0);
}

void tst_faultmatrix::faultAtPlace_data()
{
    QTest::addColumn<int>("placeIndex");
    QTest::addColumn<int>("faultIndex");
    for (int p = 0; p < int(std::size(kPlaces)); ++p) {
        for (int f = 0; f < int(std::size(kFaults)); ++f)
            QTest::addRow("%s, %s", kPlaces[p].name, kFaults[f].name) << p << f;
    }
}

void tst_faultmatrix::faultAtPlace()
{
    QFETCH(int, placeIndex);
    QFETCH(int, faultIndex);
    const PlaceInfo &pi = kPlaces[placeIndex];
    const Place place = pi.place;
    const Fault fault = kFaults[faultIndex].fault;
    const QString rowName = QString::fromLatin1(QTest::currentDataTag());
    ++g_totals.rows;
    if (const QString why = notApplicable(place, fault); !why.isEmpty()) {
        ++g_totals.skipped;
        QSKIP(qPrintable(why));
    }
    const bool hangUp = fault == Fault::HangUpAfter;
    const bool flood = fault == Fault::Flood;

    AppFixture app;
    QVERIFY(app.state().SchnittstelleOffen);
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1); // the question answered OK
    sim::ControllerSim &sim = app.sim();
    sim.setInstantMoves(place != Place::DosingArrival);
    auto *cmdStart = app.find<QPushButton>("cmdStart");
    auto *cmdStop = app.find<QPushButton>("cmdStop");
    auto *poti = app.find<QCheckBox>("cbxPotentiometer");

    // The mode each place runs in; Start after a lost link runs it too.
    switch (place) {
    case Place::Flow:
    case Place::Potentiometer: setUpFlow(app); break;
    case Place::DosingPause:
        setUpDosing(app, QStringLiteral("2"), QString::number(kPauseMs));
        break;
    default: setUpDosing(app, QStringLiteral("1"), QStringLiteral("0")); break;
    }
    const bool console = place == Place::Terminal || place == Place::Polling ||
                         place == Place::LoadParameters || place == Place::Eepsav;
    if (place != Place::StartVer && place != Place::Potentiometer)
        prime(app, place != Place::DriveLimits);
    std::unique_ptr<frmDirekt> direkt;
    if (console) {
        direkt = std::make_unique<frmDirekt>(app.state(), app.window().link(),
                                             app.window().consoleTranscript(), &app.window());
        direkt->show();
        QVERIFY(QTest::qWaitForWindowExposed(direkt.get()));
    }
    auto consoleButton = [&](const char *name) {
        return direkt->findChild<QPushButton *>(QString::fromLatin1(name));
    };
    app.messages().clear();

    // Arm the fault for this place.
    const bool queryPlace = place == Place::StartVer || place == Place::Potentiometer || console;
    if (fault == Fault::GluedNotification && queryPlace)
        holdNotification(app);
    else if (place == Place::DosingPause)
        sim.setFault(Fault::None);
    else if (place == Place::DosingArrival && fault == Fault::Noise)
        sim.setFault(Fault::Silent); // the notification never comes: nothing but noise until Stop
    else if (hangUp)
        sim.setFault(fault, pi.hangUpAfter);
    else if (fault == Fault::Flood)
        sim.setFault(fault, kFloodBytes);
    else
        sim.setFault(fault, 0);
    if (place == Place::Terminal)
        direkt->findChild<QLineEdit *>(QStringLiteral("txtCommand"))->setText(QStringLiteral("GN"));
    if (place == Place::Eepsav)
        direkt->showComparisonDialog = [](ParameterCompareDialog &) {};

    QElapsedTimer clock;
    qint64 stopAt = -1;   // when the test pressed Stop during the action
    int linesAtStop = -1; // the simulator's record at that moment
    qint64 lossAt = -1;   // when the program noticed the lost link
    QObject::connect(&app.window().link(), &ControllerLink::linkLost, &app.window(),
                     [&] { lossAt = clock.elapsed(); });
    auto pressStop = [&] {
        stopAt = clock.elapsed();
        linesAtStop = int(sim.receivedLines().size());
        if (place == Place::Polling)
            consoleButton("cmdWerteabfrageStop")->click();
        else
            cmdStop->click();
    };

    // Designed waits that end by Stop only: the arrival of a dose that never reports.
    std::unique_ptr<When> stopper;
    if (place == Place::DriveLimits || place == Place::DosingArrival) {
        const int after = fault == Fault::Silent ? 400 : fault == Fault::Noise ? kNoiseMs : 5000;
        stopper = std::make_unique<When>(
            [&, after] { return clock.isValid() && clock.elapsed() > after; }, pressStop);
    } else if (place == Place::Polling) {
        // One full cycle, then Stop while it pauses or reads.
        stopper = std::make_unique<When>(
            [&] {
                return clock.isValid() && (countOf(sim.receivedLines(), "GRC") >= 1 || lossAt >= 0);
            },
            pressStop);
    }
    // Faults that strike in the middle of the place, not on a command.
    std::unique_ptr<When> during;
    if (place == Place::StartVer) {
        // The fault covers the VER query; the run after it is a place of its own. Cleared
        // as the line arrives, before the simulator acts on it.
        QObject::connect(&sim, &sim::ControllerSim::lineReceived, &app.window(),
                         [&sim](const QString &line) {
                             if (line == QLatin1String("DIPROG"))
                                 sim.setFault(Fault::None);
                         });
    }
    std::unique_ptr<NoiseStream> noise;
    if (place == Place::DosingPause) {
        during =
            std::make_unique<When>([&] { return clock.isValid() && sim.notificationsSent() >= 1; },
                                   [&] {
                                       if (fault == Fault::Flood)
                                           sim.sendRaw(QByteArray(kFloodBytes, 'A'));
                                       else if (fault == Fault::Noise)
                                           noise = std::make_unique<NoiseStream>(sim, kPauseMs / 2);
                                       else if (hangUp)
                                           sim.hangUp();
                                   });
    } else if (place == Place::Flow && fault == Fault::Noise) {
        // Noise while the pump runs and nobody reads.
        during = std::make_unique<When>(
            [&] { return countOf(sim.receivedLines(), "V 1667") >= 1; },
            [&] { noise = std::make_unique<NoiseStream>(sim, kFlowMs / 2); });
    } else if (place == Place::DosingArrival && fault == Fault::Noise) {
        // Endless noise while the dose moves: the arrival wait must not keep it all.
        during =
            std::make_unique<When>([&] { return countOf(sim.receivedLines(), "NP 640") >= 1; },
                                   [&] { noise = std::make_unique<NoiseStream>(sim, kNoiseMs); });
    }
    // Never hang the test: after the deadline, Stop and close.
    bool overdue = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        overdue = true;
        if (direkt)
            direkt->close();
        cmdStop->click();
    });

    const qint64 rssBefore = rssKb();
    LiveMeter meter(flood || fault == Fault::Noise);
    watchdog.start(kWatchdogMs);
    clock.start();
    switch (place) {
    case Place::StartVer:
    case Place::DriveLimits:
    case Place::DosingArrival:
    case Place::DosingPause:
    case Place::Flow:
        cmdStart->click();
        (void)app.waitForRunEnd(kWatchdogMs + 10000);
        break;
    case Place::Potentiometer:
        poti->click();
        // The check of the controller goes on from its reply.
        (void)serveUntil([&] { return !app.window().link().line().busy(); },
                         kWatchdogMs + 10000);
        break;
    case Place::Terminal: consoleButton("cmdSend")->click(); break;
    case Place::Polling: consoleButton("cmdWerteabfrageStart")->click(); break;
    case Place::LoadParameters: consoleButton("cmdParameterLaden")->click(); break;
    case Place::Eepsav: consoleButton("cmdEEPSAV")->click(); break;
    }
    // The console goes on from each reply: its action has ended when nothing is left.
    if (console)
        (void)serveUntil(
            [&] {
                return !direkt->busyReading() && !direkt->AbfrageLaeuft() &&
                       !app.window().link().line().busy();
            },
            kWatchdogMs + 10000);
    const qint64 took = clock.elapsed();
    watchdog.stop();
    stopper.reset();
    during.reset();
    meter.stop();
    const qint64 rssAfter = rssKb();
    const qint64 noiseBytes = noise ? noise->handed() : 0;
    noise.reset();
    QVERIFY2(!overdue, "the action never ended by itself");
    qInfo("took %lld ms, longest stall %lld ms, memory %+lld kB (peak %+lld kB), noise %lld bytes",
          took, meter.longestGapMs(), rssAfter - rssBefore, meter.peakKb() - rssBefore, noiseBytes);
    // Everything sent so far has arrived once a marker behind it has: the line keeps order.
    if (app.state().SchnittstelleOffen && !sim.isHungUp()) {
        sim.setFault(Fault::None);
        app.window().link().BefehlSenden(QStringLiteral("ZZ"));
        QVERIFY(waitForLine(sim, QStringLiteral("ZZ")));
    }
    QStringList lines = sim.receivedLines();
    lines.removeAll(QStringLiteral("ZZ"));

    // The window stayed live throughout.
    if (meter.longestGapMs() > g_totals.longestStallMs) {
        g_totals.longestStallMs = meter.longestGapMs();
        g_totals.longestStallRow = rowName;
    }
    QVERIFY2(
        meter.longestGapMs() < kStallLimitMs,
        qPrintable(QStringLiteral("the window stood still for %1 ms").arg(meter.longestGapMs())));
    // Memory stays bounded under a flood. AddressSanitizer holds freed memory in its
    // quarantine, so resident memory says nothing about the program there.
    if ((flood || fault == Fault::Noise) && !kSanitized) {
        const qint64 growth = rssAfter - rssBefore;
        if (flood) {
            g_totals.floodPeakKb = std::max(g_totals.floodPeakKb, meter.peakKb());
            g_totals.floodGrowthKb = std::max(g_totals.floodGrowthKb, meter.peakKb() - rssBefore);
        }
        QVERIFY2(
            meter.peakKb() - rssBefore < kGrowthLimitKb,
            qPrintable(
                QStringLiteral("resident memory grew by %1 kB").arg(meter.peakKb() - rssBefore)));
        // Endless noise: what the program keeps must not follow what arrives.
        if (noiseBytes > (1 << 20))
            QVERIFY2((meter.peakKb() - rssBefore) * 1024 < noiseBytes / 4,
                     qPrintable(QStringLiteral("%1 kB kept of %2 kB of noise")
                                    .arg(meter.peakKb() - rssBefore)
                                    .arg(noiseBytes / 1024)));
        Q_UNUSED(growth);
    }

    // How long the action may take: its designed waits plus slack; a wait that lasts
    // until Stop by design is measured from the Stop.
    const bool lost = !app.state().SchnittstelleOffen;
    qint64 bound = 0;
    switch (place) {
    case Place::StartVer:
    case Place::Potentiometer: bound = kQueryMs; break;
    case Place::Eepsav: bound = 5 * kQueryMs; break; // the four values to be stored, then EEPSAV
    case Place::Terminal: bound = kConsoleMs; break;
    case Place::LoadParameters: bound = 4 * kQueryMs; break;
    case Place::DosingPause: bound = kPauseMs; break;
    case Place::Flow: bound = kFlowMs; break;
    case Place::DriveLimits:
    case Place::DosingArrival:
        // The move itself, or the Stop that ends a wait for a notification that never comes.
        bound = stopAt >= 0 ? stopAt : 300;
        break;
    case Place::Polling:
        // The read running at Stop finishes: one query.
        bound = (stopAt >= 0 ? stopAt : 0) + kQueryMs;
        break;
    }
    if (lost && lossAt >= 0)
        bound = std::min(bound, lossAt);
    QVERIFY2(
        took <= bound + kSlackMs,
        qPrintable(QStringLiteral("took %1 ms, allowed %2 ms").arg(took).arg(bound + kSlackMs)));

    // What the place did under the fault.
    if (hangUp) {
        QVERIFY(lost);
        QVERIFY(!app.window().MSComm1().PortOpen());
    } else {
        QVERIFY(app.state().SchnittstelleOffen);
        QVERIFY(app.window().MSComm1().PortOpen());
    }
    const int limit = console && place == Place::Terminal ? kConsoleMs : kQueryMs;
    const bool replied = answered(fault, limit);
    switch (place) {
    case Place::StartVer:
        if (!hangUp) {
            QCOMPARE(noResponseCount(app.messages()), replied ? 0 : 1);
            QCOMPARE(countOf(lines, "DIPROG"), replied ? 1 : 0);
            if (!replied)
                QVERIFY(took >= kQueryMs - 10);
        }
        QVERIFY(cmdStart->isEnabled());
        break;
    case Place::Potentiometer:
        if (!hangUp) {
            QCOMPARE(noResponseCount(app.messages()), replied ? 0 : 1);
            QCOMPARE(poti->isChecked(), replied);
            QCOMPARE(countOf(lines, "SOR 1"), replied ? 1 : 0);
            if (!replied)
                QVERIFY(took >= kQueryMs - 10);
        } else {
            QVERIFY(!poti->isChecked());
        }
        break;
    case Place::DriveLimits: {
        const QStringList limits = lines.mid(0, 4);
        QCOMPARE(limits.value(0).left(3), QStringLiteral("SP "));
        if (!hangUp) {
            QCOMPARE(limits.value(3).left(4), QStringLiteral("LPC "));
            QCOMPARE(lines.value(4), QStringLiteral("DIPROG"));
        }
        QVERIFY(cmdStart->isEnabled());
        break;
    }
    case Place::DosingArrival:
    case Place::DosingPause:
        QCOMPARE(noResponseCount(app.messages()), 0);
        QVERIFY(!app.state().PositionErreicht);
        QVERIFY(cmdStart->isEnabled());
        if (!hangUp && stopAt < 0)
            QCOMPARE(countOf(lines, "M"), place == Place::DosingPause ? 3 : 2);
        break;
    case Place::Flow:
        QVERIFY(cmdStart->isEnabled());
        if (!hangUp)
            QVERIFY(stopOnLine(lines, int(lines.indexOf(QStringLiteral("V 1667")))));
        break;
    case Place::Terminal: {
        // The command and its reply; what arrives after the reply's time is shown apart,
        // marked as unsolicited.
        QStringList shown =
            direkt->findChild<QPlainTextEdit *>(QStringLiteral("txtTerminal"))->toPlainText().split(
                QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : std::as_const(shown))
            QVERIFY2(line.size() <= Transcript::kMaxLineBytes + 64, qPrintable(line.left(200)));
        shown.removeIf([](const QString &line) {
            return line.endsWith(QLatin1String(Transcript::kUnsolicited));
        });
        const QString text = shown.join(QLatin1Char('\n'));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} > GN(\n|$)"))
                     .match(text)
                     .hasMatch(),
                 qPrintable(text.left(200)));
        // Of a flood the transcript shows no more than one reply may hold.
        QVERIFY2(text.size() <= ControllerLink::kMaxReplyBytes + 40,
                 qPrintable(QString::number(text.size())));
        if (replied)
            QVERIFY2(shown.size() == 2, qPrintable(text.left(200)));
        QCOMPARE(noResponseCount(app.messages()), 0); // the console's reader is quiet
        break;
    }
    case Place::Polling:
        QVERIFY(stopAt >= 0 || lost);
        if (replied || hangUp)
            QCOMPARE(noResponseCount(app.messages()), 0);
        else
            QVERIFY(noResponseCount(app.messages()) >= 1);
        QVERIFY(consoleButton("cmdZustand")->isEnabled());
        break;
    case Place::LoadParameters: {
        const char *boxes[] = {"txtSP", "txtAC", "txtLCC", "txtLPC"};
        if (!hangUp) {
            // A late or flooded reply can land in the next read, which then counts as answered.
            const bool spills = fault == Fault::LateJustOver || fault == Fault::Flood;
            if (replied || !spills)
                QCOMPARE(noResponseCount(app.messages()), replied ? 0 : 4);
            else
                QVERIFY(noResponseCount(app.messages()) >= 1);
            for (const char *b : boxes) {
                const QString t = direkt->findChild<QLineEdit *>(QString::fromLatin1(b))->text();
                QVERIFY2(replied ? !t.isEmpty() : spills || t.size() < 64, b);
                QVERIFY(t.size() <= ControllerLink::kMaxReplyBytes);
            }
            if (!replied && !spills)
                QVERIFY(took >= 4 * (kQueryMs - 10));
        }
        break;
    }
    case Place::Eepsav: {
        // The values to be stored are read first: a fault that spoils replies strikes there,
        // once, and the controller is then neither asked nor told to save.
        QVERIFY(!app.messages().texts().contains(
            QStringLiteral("Data could not be written into EEPROM.")));
        if (!hangUp) {
            QCOMPARE(noResponseCount(app.messages()), replied ? 0 : 1);
            QCOMPARE(lines.contains(QStringLiteral("EEPSAV")), replied);
        }
        break;
    }
    }

    if (!hangUp) {
        // Stop puts the motor to rest while the link is up, fault or no fault.
        if (stopAt >= 0 && place != Place::Polling)
            QVERIFY2(stopOnLine(lines, linesAtStop), "Stop during the action sent no SOR 0, V 0");
        const int from = int(sim.receivedLines().size());
        app.window().cmdStop_Click();
        QVERIFY(QTest::qWaitFor([&] { return stopOnLine(sim.receivedLines(), from); }, 10000));
        if (console) {
            const int beforeEsc = int(sim.receivedLines().size());
            QTest::keyClick(direkt.get(), Qt::Key_Escape);
            QVERIFY(QTest::qWaitFor(
                [&] {
                    const QStringList l = sim.receivedLines();
                    const int v = int(l.indexOf(QStringLiteral("V 0"), beforeEsc));
                    return v >= 0 && l.indexOf(QStringLiteral("DELAY 100"), v) > v;
                },
                10000));
        }
        QVERIFY(cmdStart->isEnabled());
        return;
    }

    // The line is dead: the program writes nothing more, and the next Start offers the
    // port dialog again; a second controller on Com2 takes over.
    QVERIFY(lossAt >= 0);
    QVERIFY(!app.window().MSComm1().PortOpen());
    QTRY_VERIFY_WITH_TIMEOUT(sim.isHungUp(), 5000);
    const int linesAtLoss = int(sim.receivedLines().size());
    QVERIFY(cmdStart->isEnabled());
    sim::ControllerSim second;
    QVERIFY(second.start());
    second.setInstantMoves(true);
    mapPort(2, second.devicePath());
    QString dialog;
    onNextModal([&](QWidget *w) {
        dialog = w->objectName();
        if (auto *com = w->findChild<QComboBox *>(QStringLiteral("cboCom")))
            com->setCurrentIndex(1);
        if (auto *ok = w->findChild<QPushButton *>(QStringLiteral("cmdOK")))
            ok->click();
    });
    watchdog.start(kWatchdogMs);
    cmdStart->click();
    (void)app.waitForRunEnd(kWatchdogMs + 10000);
    watchdog.stop();
    QVERIFY(!overdue);
    QCOMPARE(dialog, QStringLiteral("frmSchnittstelle"));
    QVERIFY(!app.ends().ended());
    QCOMPARE(app.state().Schnittstelle, qint16(2));
    QCOMPARE(app.window().windowTitle(), QStringLiteral("COM2: vyt-Pump controller"));
    QVERIFY(app.state().SchnittstelleOffen);
    // A re-opened port is a new controller: it is asked for its version and gets the limits.
    QCOMPARE(second.receivedLines().value(0), QStringLiteral("VER"));
    QVERIFY(second.receivedLines().value(1).startsWith(QStringLiteral("SP ")));
    QVERIFY(second.receivedLines().value(4).startsWith(QStringLiteral("LPC ")));
    QCOMPARE(int(sim.receivedLines().size()), linesAtLoss);
    const int from = int(second.receivedLines().size());
    app.window().cmdStop_Click();
    QVERIFY(QTest::qWaitFor([&] { return stopOnLine(second.receivedLines(), from); }, 10000));
    QCOMPARE(int(sim.receivedLines().size()), linesAtLoss);
    // One report of the loss, and no "doesn't respond" blamed on the controller for it.
    int lossReports = 0;
    for (const Message &m : app.messages().messages())
        lossReports += m.title == QStringLiteral("Serial port COM1:");
    QCOMPARE(lossReports, 1);
    QCOMPARE(noResponseCount(app.messages()), 0);
    direkt.reset();
    (void)app.window().MSComm1().setPortOpen(false);
}

void tst_faultmatrix::cleanupTestCase()
{
    qInfo("fault matrix: %d rows, %d not applicable; longest stall %lld ms (%s); flood: peak RSS "
          "%lld kB, at most %lld kB above the start of its row",
          g_totals.rows, g_totals.skipped, g_totals.longestStallMs,
          qPrintable(g_totals.longestStallRow), g_totals.floodPeakKb, g_totals.floodGrowthKb);
}

QTEST_MAIN(tst_faultmatrix)
#include "tst_faultmatrix.moc"
