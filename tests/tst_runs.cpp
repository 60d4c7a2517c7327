// The runs as the controller sees them: the dosing and flow sequences on the wire,
// pauses and durations measured, Stop, Exit and a lost link in the middle of a wait,
// potentiometer mode, and the window staying live while the program waits.
//
// A run goes on after Start's click from its own timers, so a test clicks Start and
// waits until the run has ended. What the operator does meanwhile is scripted with
// Script: its actions fire from timers, which also run inside the program's own waits.
#include "config/MediaPresets.h"
#include "config/NumberText.h"
#include "config/SettingsStore.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/PumpRun.h"
#include "ui/DesktopNotices.h"
#include "session/RunReport.h"
#include "support/AppFixture.h"
#include "support/LineWait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using namespace vyt;
using namespace vyt::test;
using vyt::sim::Fault;

namespace {

constexpr int kRunDeadlineMs = 60000;

// Operator actions that fire once their condition holds, polled every 2 ms from the
// event loop, so they also fire inside the program's nested waits.
class Script {
public:
    Script() = default;
    Script(const Script &) = delete;
    Script &operator=(const Script &) = delete;
    ~Script() { qDeleteAll(m_timers); }

    void when(std::function<bool()> condition, std::function<void()> action)
    {
        auto *timer = new QTimer;
        m_timers << timer;
        timer->setInterval(2);
        QObject::connect(timer, &QTimer::timeout, [timer, condition, action] {
            if (!condition())
                return;
            timer->stop();
            action();
        });
        timer->start();
    }

private:
    QList<QTimer *> m_timers;
};

// Clicks Start as the operator does and waits for the run to end. A run still going
// after the deadline is stopped and the call answers false.
bool clickStart(AppFixture &app, int deadlineMs = kRunDeadlineMs)
{
    bool overdue = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        overdue = true;
        app.find<QPushButton>("cmdStop")->click();
    });
    watchdog.start(deadlineMs);
    app.find<QPushButton>("cmdStart")->click();
    return app.waitForRunEnd(deadlineMs + 10000) && !overdue;
}

// Everything the program has sent so far: a marker goes out behind it, and the line
// keeps the order, so once the marker is in, nothing sent before it is missing.
QStringList sentSoFar(AppFixture &app) { return app.sentSoFar(); }

// The controller has answered once and the limits are out, as after a first run;
// the simulator's record starts empty.
void prime(AppFixture &app) { app.primeController(); }

int countOf(const sim::ControllerSim &sim, const QString &line)
{
    return int(sim.receivedLines().count(line));
}

QStringList dose(qint64 target)
{
    const QString t = QString::number(target);
    return {"LA " + t, "NP " + t, "M"};
}

const QStringList kDosingSetUp{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"};
const QStringList kStop{"SOR 0", "V 0"};

void chooseType(AppFixture &app, int type)
{
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(type); // the question answered OK
    app.messages().clear();
}

struct Dosing {
    int type = 1;
    int unit = 0;
    QString quantity = QStringLiteral("30");
    QString times = QStringLiteral("3"); // empty: endless
    QString pause = QStringLiteral("0");
    int pauseUnit = 0;
    QString factor = QStringLiteral("1");
    QString density = QStringLiteral("1");
};

void setUpDosing(AppFixture &app, const Dosing &d)
{
    chooseType(app, d.type);
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(d.unit);
    app.enter("txtDichte", d.density);
    app.enter("txtKalibrierFaktor", d.factor);
    app.enter("txtMenge", d.quantity);
    if (d.times.isEmpty())
        app.find<QCheckBox>("cbxEndlosDosierung")->setChecked(true);
    else
        app.enter("txtWiederholung", d.times);
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(d.pauseUnit);
    app.enter("txtPause", d.pause);
    app.find<QPushButton>("cmdStart")->setFocus();
}

struct Flow {
    int type = 1;
    int unit = 0;
    QString rate = QStringLiteral("5");
    QString density = QStringLiteral("1");
    QString duration = QStringLiteral("2"); // empty: endless
    int durationUnit = 1;
    QString maxSpeed; // empty: the type's
};

void setUpFlow(AppFixture &app, const Flow &f)
{
    chooseType(app, f.type);
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    if (!f.maxSpeed.isEmpty())
        app.enter("txtMaximaldrehzahl", f.maxSpeed);
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(f.unit);
    app.enter("txtDichte", f.density);
    app.enter("txtFoerderstrom", f.rate);
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(f.durationUnit);
    if (f.duration.isEmpty())
        app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    else
        app.enter("txtDauer", f.duration);
    app.find<QPushButton>("cmdStart")->setFocus();
}

// Times at which the simulator received each line, on one clock with the test.
class LineClock {
public:
    LineClock(sim::ControllerSim &sim, const QElapsedTimer &clock)
    {
        QObject::connect(&sim, &sim::ControllerSim::lineReceived, &m_context,
                         [this, &clock](const QString &line) {
                             m_lines << qMakePair(line, clock.nsecsElapsed());
                         });
    }
    // When the n-th (0-based) occurrence of line arrived; -1 if it never did.
    [[nodiscard]] qint64 at(const QString &line, int n = 0) const
    {
        for (const auto &l : m_lines) {
            if (l.first == line && n-- == 0)
                return l.second;
        }
        return -1;
    }
    [[nodiscard]] QList<QPair<QString, qint64>> lines() const { return m_lines; }

private:
    QObject m_context;
    QList<QPair<QString, qint64>> m_lines;
};

} // namespace

class tst_runs : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void threeDosesWithPauses();
    void doseTargets_data();
    void doseTargets();
    void doseTooLarge();
    void endlessDosingUntilStop();
    void stopDuringArrivalWait_data();
    void stopDuringArrivalWait();
    void notificationAmongOtherBytes_data();
    void notificationAmongOtherBytes();
    void flowOnTheWire_data();
    void flowOnTheWire();
    void stopDuringFlowSendsStopTwice_data();
    void stopDuringFlowSendsStopTwice();
    void flowChecks_data();
    void flowChecks();
    void potentiometerOnAndOff();
    void stopClearsPotentiometer();
    void potentiometerSilentController();
    void startAsksVersionFirst_data();
    void startAsksVersionFirst();
    void clickDuringStartCheck_data();
    void clickDuringStartCheck();
    void exitCancelledRunGoesOn();
    void linkLostInPotentiometerMode();
    void enterWithInvalidEntryStartsNothing();
    void enterWithValidEntryUsesIt();
    void entriesDuringRun_data();
    void entriesDuringRun();
    void linkLostDuringRun_data();
    void linkLostDuringRun();
    void exitDuringRun_data();
    void exitDuringRun();
    void consoleDuringArrivalWait();
    void statusBarCountsDoses();
    void windowStaysLive_data();
    void windowStaysLive();
    void summaries_data();
    void summaries();
    void stopRecordsWhatIsKnown_data();
    void stopRecordsWhatIsKnown();
    void desktopToldWhenAway_data();
    void desktopToldWhenAway();
};

void tst_runs::threeDosesWithPauses()
{
    AppFixture app;
    Dosing d;
    d.pause = "300";
    setUpDosing(app, d);
    QCOMPARE(app.state().Encoderaufloesung, 16.0f);
    QCOMPARE(app.state().Verdraengungsvolumen, 3.0f);
    // Real moves: the simulator's motor takes its time to get there.
    QElapsedTimer clock;
    clock.start();
    LineClock lines(app.sim(), clock);
    // The first input after the n-th move was armed is the n-th arrival.
    QList<qint64> arrivals;
    QObject::connect(&app.window().MSComm1(), &MSComm::inputArrived, &app.window(), [&] {
        const int armed = int(app.sim().receivedLines().filter(QRegularExpression("^NP ")).size());
        if (armed > arrivals.size())
            arrivals << clock.nsecsElapsed();
    });
    QStringList progress;
    QObject::connect(&app.window().run(), &PumpRun::fortschritt, &app.window(),
                     [&](const QString &text) { progress << text; });

    QVERIFY(clickStart(app));
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QStringList expected{"VER", "SP 6000", "AC 500", "LCC 230", "LPC 400"};
    expected << kDosingSetUp << dose(640) << dose(1280) << dose(1920);
    QCOMPARE(sentSoFar(app), expected);
    QCOMPARE(app.messages().count(), 0);
    QCOMPARE(app.sim().position(), qint64(1920));

    // One notification per dose; the next dose goes out no earlier than a pause after it.
    QCOMPARE(arrivals.size(), 3);
    for (int i = 0; i < 2; ++i) {
        const qint64 arrival = arrivals.at(i);
        QVERIFY(arrival > lines.at("M", i + 1));
        const qint64 next = lines.at(i == 0 ? "LA 1280" : "LA 1920");
        // The run's own handler of the same input runs first and starts the pause; under a
        // sanitizer on a loaded machine it may take milliseconds before `arrival` is taken.
        const qint64 handlerSlack = 15 * 1000000LL;
        QVERIFY2(
            next - arrival >= 300 * 1000000LL - handlerSlack,
            qPrintable(QStringLiteral("dose %1: %2 ms").arg(i + 2).arg((next - arrival) / 1e6)));
    }
    // A pause after the first and the second dose, none after the last.
    QVERIFY(progress.filter("Dose 1 of 3 done, pause").size() > 0);
    QVERIFY(progress.filter("Dose 2 of 3 done, pause").size() > 0);
    QCOMPARE(progress.filter("Dose 3 of 3 done").size(), 0);
}

void tst_runs::doseTargets_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("quantity");
    QTest::addColumn<QString>("times");
    QTest::addColumn<QString>("factor");
    QTest::addColumn<QString>("density");
    QTest::addColumn<QStringList>("doses"); // after the set-up lines

    QTest::newRow("30 µl three times") << 1 << 0 << "30"
                                       << "3"
                                       << "1"
                                       << "1" << (dose(640) + dose(1280) + dose(1920));
    QTest::newRow("2.5 rev.") << 1 << 2 << "2.5"
                              << "1"
                              << "1"
                              << "1" << dose(160);
    QTest::newRow("-30 µl moves backwards") << 1 << 0 << "-30"
                                            << "2"
                                            << "1"
                                            << "1" << (dose(-640) + dose(-1280));
    QTest::newRow("30 mg at density 2") << 1 << 1 << "30"
                                        << "1"
                                        << "1"
                                        << "2" << dose(320);
    QTest::newRow("factor 0.5") << 1 << 0 << "30"
                                << "1"
                                << "0.5"
                                << "1" << dose(320);
    QTest::newRow("half an increment rounds to even") << 1 << 2 << "0.0390625"
                                                      << "1"
                                                      << "1"
                                                      << "1" << dose(2);
    QTest::newRow("dose 0 keeps the target") << 1 << 0 << "0"
                                             << "2"
                                             << "1"
                                             << "1" << (dose(0) + dose(0));
    // The factor may be 0: nothing moves, nothing is divided by it.
    QTest::newRow("factor 0") << 1 << 0 << "30"
                              << "2"
                              << "0"
                              << "1" << (dose(0) + dose(0));
    QTest::newRow("1500000 rev. on 100 lines is the last that fits") << 3 << 2 << "1500000"
                                                                     << "1"
                                                                     << "1"
                                                                     << "1" << dose(600000000);
    // 4000000 rev. are 256000000 increments: the third dose would pass 600000000.
    QTest::newRow("re-based past 600000000")
        << 1 << 2 << "4000000"
        << "3"
        << "1"
        << "1"
        << (dose(256000000) + dose(512000000) + QStringList{"HO", "LA 0", "M"} + dose(256000000));
}

void tst_runs::doseTargets()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    QFETCH(QString, quantity);
    QFETCH(QString, times);
    QFETCH(QString, factor);
    QFETCH(QString, density);
    QFETCH(QStringList, doses);
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.type = type;
    d.unit = unit;
    d.quantity = quantity;
    d.times = times;
    d.factor = factor;
    d.density = density;
    setUpDosing(app, d);
    prime(app);
    QVERIFY(clickStart(app));
    QCOMPARE(sentSoFar(app), kDosingSetUp + doses);
    QCOMPARE(app.messages().texts(), QStringList());
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::doseTooLarge()
{
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.type = 3; // 100 lines
    d.unit = 2;
    d.quantity = "1500001";
    setUpDosing(app, d);
    QCOMPARE(app.state().Encoderaufloesung, 100.0f);
    prime(app);
    QVERIFY(clickStart(app));
    QCOMPARE(app.messages().texts(), QStringList{"Please enter a value from -1500000 to 1500000."});
    const Message &m = app.messages().messages().first();
    QCOMPARE(m.title, QStringLiteral("Caution"));
    QCOMPARE(m.buttons, MsgButtons::Ok);
    QCOMPARE(m.icon, MsgIcon::Exclamation);
    QCOMPARE(sentSoFar(app), kDosingSetUp);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::endlessDosingUntilStop()
{
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.unit = 2;
    d.quantity = "1";
    d.times.clear();
    d.pause = "10";
    setUpDosing(app, d);
    QCOMPARE(app.state().settings.Wiederholung, kEndlessRepetitions);
    prime(app);
    QStringList progress;
    QObject::connect(&app.window().run(), &PumpRun::fortschritt, &app.window(),
                     [&](const QString &text) { progress << text; });
    Script script;
    script.when([&] { return countOf(app.sim(), "M") >= 12; },
                [&] { app.find<QPushButton>("cmdStop")->click(); });
    QVERIFY(clickStart(app));
    const QStringList lines = sentSoFar(app);
    QVERIFY(lines.size() > 6 + 3 * 10);
    QCOMPARE(lines.mid(0, 6), kDosingSetUp);
    // Every dose 64 increments further on; Stop's two commands are the last.
    const QStringList doses = lines.mid(6, lines.size() - 6 - 2);
    QCOMPARE(doses.size() % 3, 0);
    for (int i = 0; i < doses.size() / 3; ++i)
        QCOMPARE(doses.mid(3 * i, 3), dose(64 * (i + 1)));
    QCOMPARE(lines.mid(lines.size() - 2), kStop);
    // The pause follows every dose of an endless run.
    for (int i = 1; i <= 10; ++i)
        QVERIFY2(progress.filter(QStringLiteral("Dose %1 done, pause").arg(i)).size() > 0,
                 qPrintable(QString::number(i)));
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::stopDuringArrivalWait_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("controller never notifies") << true;
    QTest::newRow("long move") << false;
}

void tst_runs::stopDuringArrivalWait()
{
    QFETCH(bool, silent);
    AppFixture app;
    Dosing d;
    d.quantity = silent ? "30" : "300000"; // 100000 revolutions take minutes
    setUpDosing(app, d);
    prime(app);
    if (silent)
        app.sim().setFault(Fault::Silent);
    const QString target = silent ? "NP 640" : "NP 6400000";
    QElapsedTimer sinceMove;
    Script script;
    script.when([&] { return countOf(app.sim(), target) == 1 && countOf(app.sim(), "M") == 2; },
                [&] { sinceMove.start(); });
    script.when([&] { return sinceMove.isValid() && sinceMove.elapsed() >= 200; },
                [&] { app.find<QPushButton>("cmdStop")->click(); });
    QVERIFY(clickStart(app));
    QVERIFY(sinceMove.isValid());
    QVERIFY(sinceMove.elapsed() < 10000);
    const qint64 P = silent ? 640 : 6400000;
    QCOMPARE(sentSoFar(app), kDosingSetUp + dose(P) + kStop);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QCOMPARE(app.messages().count(), 0);
}

void tst_runs::notificationAmongOtherBytes_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("junk glued in front by the controller") << 0;
    QTest::newRow("junk and notification in one chunk") << 1;
    QTest::newRow("notification in two pieces") << 2;
}

void tst_runs::notificationAmongOtherBytes()
{
    QFETCH(int, kind);
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    setUpDosing(app, d);
    prime(app);
    QObject context;
    if (kind == 0) {
        app.sim().setFault(Fault::GluedNotification, 0);
    } else {
        // The controller stays quiet; the notification comes in by hand after each move.
        app.sim().setFault(Fault::Silent);
        QObject::connect(
            &app.sim(), &sim::ControllerSim::lineReceived, &context, [&](const QString &line) {
                const QStringList l = app.sim().receivedLines();
                if (line != "M" || l.size() < 2 || !l.at(l.size() - 2).startsWith("NP"))
                    return;
                if (kind == 1) {
                    app.sim().sendRaw("xyzp\r\n");
                } else {
                    app.sim().sendRaw("p");
                    QTimer::singleShot(30, &context, [&] { app.sim().sendRaw("\r\n"); });
                }
            });
    }
    QVERIFY(clickStart(app, 30000));
    QCOMPARE(sentSoFar(app), kDosingSetUp + dose(640) + dose(1280) + dose(1920));
    QCOMPARE(app.messages().count(), 0);
}

void tst_runs::flowOnTheWire_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("density");
    QTest::addColumn<QString>("duration");
    QTest::addColumn<int>("durationUnit");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("summary"); // what the status line keeps afterwards

    QTest::newRow("5 ml/min on 3 µl for 2 s") << 1 << 0 << "5"
                                              << "1"
                                              << "2" << 1 << "V 1667" << 2000
                                              << "Flow ended after 0:02, 0.1666667 ml";
    QTest::newRow("2 g/min at density 2 on 6 µl") << 9 << 1 << "2"
                                                  << "2"
                                                  << "500" << 0 << "V 167" << 500
                                                  << "Flow ended after 0:00, 0.01666667 g";
    QTest::newRow("2.5 rpm rounds to even") << 0 << 2 << "2.5"
                                            << "1"
                                            << "500" << 0 << "V 2" << 500
                                            << "Flow ended after 0:00, 0.02083333 rev.";
    QTest::newRow("-1500.4 rpm") << 0 << 2 << "-1500.4"
                                 << "1"
                                 << "0.5" << 1 << "V -1500" << 500
                                 << "Flow ended after 0:00, -12.50333 rev.";
}

void tst_runs::flowOnTheWire()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    QFETCH(QString, rate);
    QFETCH(QString, density);
    QFETCH(QString, duration);
    QFETCH(int, durationUnit);
    QFETCH(QString, speed);
    QFETCH(int, ms);
    QFETCH(QString, summary);
    AppFixture app;
    Flow f;
    f.type = type;
    f.unit = unit;
    f.rate = rate;
    f.density = density;
    f.duration = duration;
    f.durationUnit = durationUnit;
    setUpFlow(app, f);
    prime(app);
    QElapsedTimer clock;
    clock.start();
    LineClock lines(app.sim(), clock);
    QVERIFY(clickStart(app));
    QCOMPARE(sentSoFar(app), (QStringList{"DIPROG", "SOR 0", "CONTMOD", speed} + kStop));
    const double took = (lines.at("SOR 0", 1) - lines.at(speed)) / 1e6;
    // The stop goes out after the duration; the line's own delay is well under 50 ms.
    QVERIFY2(took >= ms - 50 && took < ms + 1500, qPrintable(QString::number(took)));
    QCOMPARE(app.messages().count(), 0);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QCOMPARE(app.find<QLabel>("lblStatus")->text(), summary);
}

void tst_runs::stopDuringFlowSendsStopTwice_data()
{
    QTest::addColumn<QString>("duration"); // empty: endless
    QTest::addColumn<int>("durationUnit");
    QTest::newRow("endless") << QString() << 1;
    QTest::newRow("24 h") << "24" << 3;
}

void tst_runs::stopDuringFlowSendsStopTwice()
{
    QFETCH(QString, duration);
    QFETCH(int, durationUnit);
    AppFixture app;
    Flow f;
    f.duration = duration;
    f.durationUnit = durationUnit;
    setUpFlow(app, f);
    prime(app);
    QElapsedTimer running;
    Script script;
    script.when([&] { return countOf(app.sim(), "V 1667") == 1; }, [&] { running.start(); });
    script.when([&] { return running.isValid() && running.elapsed() >= 300; },
                [&] { app.find<QPushButton>("cmdStop")->click(); });
    QVERIFY(clickStart(app));
    QVERIFY(running.elapsed() < 10000);
    // Once from Stop at once, once more from the end of the run.
    QCOMPARE(sentSoFar(app), (QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 1667"} + kStop + kStop));
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QCOMPARE(app.messages().count(), 0);
}

void tst_runs::flowChecks_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("maxSpeed");
    QTest::addColumn<QString>("duration");
    QTest::addColumn<int>("durationUnit");
    QTest::addColumn<QString>("message"); // empty: the run starts

    const QString tooFast =
        "The continuous flow needs a velocity of %1 rpm\nand is bigger than the max. velocity.";
    const QString tooLong = "The value must be smaller than 86400 sec or 24 hours.";
    QTest::newRow("1666.667 rpm over 1500") << 0 << "5"
                                            << "1500"
                                            << "2" << 1 << tooFast.arg("1666.667");
    QTest::newRow("backwards shows the sign") << 0 << "-5"
                                              << "1500"
                                              << "2" << 1 << tooFast.arg("-1666.667");
    QTest::newRow("the maximum itself passes") << 2 << "1500"
                                               << "1500"
                                               << "2" << 1 << QString();
    QTest::newRow("24 h passes") << 0 << "5"
                                 << ""
                                 << "24" << 3 << QString();
    QTest::newRow("86400 s passes") << 0 << "5"
                                    << ""
                                    << "86400" << 1 << QString();
    QTest::newRow("1441 min") << 0 << "5"
                              << ""
                              << "1441" << 2 << tooLong;
    QTest::newRow("86401 s") << 0 << "5"
                             << ""
                             << "86401" << 1 << tooLong;
}

void tst_runs::flowChecks()
{
    QFETCH(int, unit);
    QFETCH(QString, rate);
    QFETCH(QString, maxSpeed);
    QFETCH(QString, duration);
    QFETCH(int, durationUnit);
    QFETCH(QString, message);
    AppFixture app;
    Flow f;
    f.unit = unit;
    f.rate = rate;
    f.maxSpeed = maxSpeed;
    f.duration = duration;
    f.durationUnit = durationUnit;
    setUpFlow(app, f);
    app.sim().clearReceived();
    Script script;
    script.when(
        [&] {
            const QStringList l = app.sim().receivedLines();
            return l.contains("CONTMOD") && l.last().startsWith("V ");
        },
        [&] { app.find<QPushButton>("cmdStop")->click(); });
    QVERIFY(clickStart(app));
    if (message.isEmpty()) {
        QCOMPARE(app.messages().count(), 0);
        const QStringList lines = sentSoFar(app);
        QVERIFY2(lines.contains("CONTMOD") && lines.size() >= 4, qPrintable(lines.join('|')));
        QCOMPARE(lines.mid(lines.size() - 4), kStop + kStop);
    } else {
        QCOMPARE(app.messages().texts(), QStringList{message});
        const Message &m = app.messages().messages().first();
        QCOMPARE(m.title, QStringLiteral("Error"));
        QCOMPARE(m.buttons, MsgButtons::Ok);
        QCOMPARE(m.icon, MsgIcon::Exclamation);
        // Only the question whether the controller is there went out.
        QCOMPARE(sentSoFar(app), QStringList{"VER"});
    }
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::potentiometerOnAndOff()
{
    AppFixture app;
    setUpFlow(app, Flow{});
    auto *box = app.find<QCheckBox>("cbxPotentiometer");
    auto *start = app.find<QPushButton>("cmdStart");
    app.sim().clearReceived();
    box->click();
    // Its check of the controller goes on from the reply.
    QVERIFY(waitForQuietLine(app.window().link()));
    QVERIFY(box->isChecked());
    QVERIFY(!start->isEnabled());
    QVERIFY(app.find<QPushButton>("cmdStop")->hasFocus());
    QCOMPARE(sentSoFar(app), (QStringList{"VER", "DIPROG", "CONTMOD", "SOR 1"}));
    QVERIFY(app.sim().motion().potentiometer);
    app.sim().clearReceived();
    box->click();
    QVERIFY(!box->isChecked());
    QVERIFY(start->isEnabled());
    QCOMPARE(sentSoFar(app), kStop);
    QCOMPARE(app.messages().count(), 0);
    QVERIFY(app.find<QLabel>("lblStatus")->text().isEmpty());
}

void tst_runs::stopClearsPotentiometer()
{
    AppFixture app;
    setUpFlow(app, Flow{});
    auto *box = app.find<QCheckBox>("cbxPotentiometer");
    box->click();
    // Its check of the controller goes on from the reply.
    QVERIFY(waitForQuietLine(app.window().link()));
    QVERIFY(box->isChecked());
    (void)sentSoFar(app);
    app.sim().clearReceived();
    app.find<QPushButton>("cmdStop")->click();
    QVERIFY(!box->isChecked());
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    // Clearing the box is a click on it: its Stop runs inside the first one.
    QCOMPARE(sentSoFar(app), kStop + kStop);
}

void tst_runs::potentiometerSilentController()
{
    AppFixture app;
    setUpFlow(app, Flow{});
    app.sim().setFault(Fault::Silent);
    app.sim().clearReceived();
    auto *box = app.find<QCheckBox>("cbxPotentiometer");
    box->click();
    // Its check of the controller goes on from the reply.
    QVERIFY(waitForQuietLine(app.window().link()));
    QCOMPARE(app.messages().texts(),
             QStringList{"Pump controller on serial port Com1: doesn't respond."});
    // The box does not claim a mode the controller is not in.
    QVERIFY(!box->isChecked());
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QCOMPARE(sentSoFar(app), QStringList{"VER"});
}

// One dose with instant moves, the controller not yet asked for its version.
void setUpFirstStart(AppFixture &app)
{
    app.sim().setInstantMoves(true);
    Dosing d;
    d.times = "1";
    setUpDosing(app, d);
    QVERIFY(app.state().KeineAntwort);
    app.sim().clearReceived();
}

void tst_runs::startAsksVersionFirst_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("controller answers") << false;
    QTest::newRow("controller silent") << true;
}

void tst_runs::startAsksVersionFirst()
{
    QFETCH(bool, silent);
    AppFixture app;
    setUpFirstStart(app);
    if (silent)
        app.sim().setFault(Fault::Silent);
    QVERIFY(clickStart(app));
    if (silent) {
        QCOMPARE(app.messages().texts(),
                 QStringList{"Pump controller on serial port Com1: doesn't respond."});
        QCOMPARE(app.messages().messages().first().title, QStringLiteral("Error"));
        QCOMPARE(sentSoFar(app), QStringList{"VER"});
        QVERIFY(app.state().KeineAntwort);
    } else {
        QCOMPARE(app.messages().count(), 0);
        QCOMPARE(sentSoFar(app), QStringList({"VER", "SP 6000", "AC 500", "LCC 230", "LPC 400"}) +
                                     kDosingSetUp + dose(640));
        QVERIFY(!app.state().KeineAntwort);
    }
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::clickDuringStartCheck_data()
{
    QTest::addColumn<bool>("stop");
    // A double click on Start, or Start and at once Stop, while a slow controller
    // is still answering Start's question.
    QTest::newRow("Start again") << false;
    QTest::newRow("Stop") << true;
}

void tst_runs::clickDuringStartCheck()
{
    QFETCH(bool, stop);
    AppFixture app;
    setUpFirstStart(app);
    app.sim().setFault(Fault::LateJustUnder); // replies 600 ms late
    Script script;
    bool clicked = false;
    script.when([&] { return countOf(app.sim(), "VER") == 1; },
                [&] {
                    clicked = true;
                    app.find<QPushButton>(stop ? "cmdStop" : "cmdStart")->click();
                });
    QVERIFY(clickStart(app));
    QVERIFY(clicked);
    QCOMPARE(app.messages().texts(), QStringList());
    QVERIFY(!app.state().KeineAntwort);
    const QStringList expected =
        stop ? QStringList{"VER", "SOR 0", "V 0"}
             : QStringList({"VER", "SP 6000", "AC 500", "LCC 230", "LPC 400"}) + kDosingSetUp +
                   dose(640);
    QCOMPARE(sentSoFar(app), expected);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_runs::exitCancelledRunGoesOn()
{
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.pause = "200";
    setUpDosing(app, d);
    prime(app);
    Script script;
    script.when([&] { return countOf(app.sim(), "NP 640") == 1; },
                [&] {
                    app.messages().script({MsgResult::Cancel});
                    app.find<QPushButton>("cmdBeenden")->click();
                });
    QVERIFY(clickStart(app));
    QCOMPARE(app.messages().texts(), QStringList{"Do you want to save the settings?"});
    QVERIFY(!app.ends().ended());
    QCOMPARE(sentSoFar(app), kDosingSetUp + dose(640) + dose(1280) + dose(1920));
}

void tst_runs::linkLostInPotentiometerMode()
{
    AppFixture app;
    setUpFlow(app, Flow{});
    auto *box = app.find<QCheckBox>("cbxPotentiometer");
    box->click();
    // Its check of the controller goes on from the reply.
    QVERIFY(waitForQuietLine(app.window().link()));
    QVERIFY(box->isChecked());
    QVERIFY(waitForLine(app.sim(), "SOR 1"));
    app.sim().hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!app.window().MSComm1().PortOpen(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(app.messages().count(), 1, 10000);
    QCOMPARE(app.messages().messages().first().title, QStringLiteral("Serial port COM1:"));
    QVERIFY(!box->isChecked());
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QVERIFY(app.find<QLabel>("lblStatus")->text().isEmpty());
}

void tst_runs::enterWithInvalidEntryStartsNothing()
{
    AppFixture app;
    Dosing d;
    d.times = "1";
    setUpDosing(app, d);
    app.sim().clearReceived();
    auto *menge = app.find<QLineEdit>("txtMenge");
    menge->setFocus();
    menge->selectAll();
    QTest::keyClicks(menge, "abc");
    QTest::keyClick(menge, Qt::Key_Return);
    QCOMPARE(app.messages().texts(), QStringList{"Please enter a real number."});
    QCOMPARE(app.state().settings.Menge, 30.0f);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QCOMPARE(sentSoFar(app), QStringList());
}

void tst_runs::enterWithValidEntryUsesIt()
{
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.unit = 2;
    d.quantity = "1";
    d.times = "1";
    setUpDosing(app, d);
    prime(app);
    auto *menge = app.find<QLineEdit>("txtMenge");
    menge->setFocus();
    menge->selectAll();
    QTest::keyClicks(menge, "50");
    QTest::keyClick(menge, Qt::Key_Return);
    QVERIFY(app.waitForRunEnd());
    QCOMPARE(app.state().settings.Menge, 50.0f);
    QCOMPARE(sentSoFar(app), kDosingSetUp + dose(50 * 64));
    QCOMPARE(app.messages().count(), 0);
}

void tst_runs::entriesDuringRun_data()
{
    QTest::addColumn<bool>("leaveField");
    QTest::addColumn<QStringList>("doses");
    // The operator types "5" of a "50" into the quantity field during the first dose.
    QTest::newRow("typed, still in the field") << false << (dose(640) + dose(1280) + dose(1920));
    QTest::newRow("typed and accepted") << true << (dose(640) + dose(960) + dose(1280));
}

void tst_runs::entriesDuringRun()
{
    QFETCH(bool, leaveField);
    QFETCH(QStringList, doses);
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.unit = 2;
    d.quantity = "10";
    d.pause = "200";
    setUpDosing(app, d);
    prime(app);
    auto *menge = app.find<QLineEdit>("txtMenge");
    Script script;
    script.when([&] { return countOf(app.sim(), "NP 640") == 1; },
                [&] {
                    menge->setFocus();
                    menge->selectAll();
                    QTest::keyClicks(menge, "5");
                    if (leaveField)
                        QTest::keyClick(menge, Qt::Key_Tab);
                });
    QVERIFY(clickStart(app));
    QCOMPARE(sentSoFar(app), kDosingSetUp + doses);
    QCOMPARE(app.messages().count(), 0);
}

// An endless flow, or a dose whose arrival never comes: a run that waits until told.
// Answers the last line the run sends before it waits.
QString setUpRunThatWaits(AppFixture &app, bool flow)
{
    if (flow) {
        Flow f;
        f.duration.clear();
        setUpFlow(app, f);
    } else {
        setUpDosing(app, Dosing{});
    }
    prime(app);
    if (!flow)
        app.sim().setFault(Fault::Silent);
    return flow ? QStringLiteral("V 1667") : QStringLiteral("NP 640");
}

void tst_runs::linkLostDuringRun_data()
{
    QTest::addColumn<bool>("flow");
    QTest::addColumn<QString>("status"); // how the status line begins
    QTest::addColumn<QString>("interrupted"); // the row's interrupted dose
    // The controller never heard the stop: the line, the message and the row say so.
    QTest::newRow("waiting for arrival")
        << false
        << "Stopped by the lost link during dose 1 of 3 (up to 30 µl of it delivered); 0 µl in "
           "completed doses; the stop could not be sent. The pump may still be running. Stop it "
           "at the controller."
        << "30";
    QTest::newRow("endless flow") << true << "Flow cut off by the lost link after 0:0"
                                  << "";
}

void tst_runs::linkLostDuringRun()
{
    QFETCH(bool, flow);
    QFETCH(QString, status);
    QFETCH(QString, interrupted);
    AppFixture app;
    QFile::remove(app.window().runJournal().path());
    const QString last = setUpRunThatWaits(app, flow);
    QElapsedTimer sinceLoss;
    int linesAtLoss = -1;
    QStringList progressAfter;
    QObject::connect(&app.window().run(), &PumpRun::fortschritt, &app.window(),
                     [&](const QString &text) {
                         if (sinceLoss.isValid() && !text.isEmpty())
                             progressAfter << text;
                     });
    Script script;
    script.when(
        [&] { return countOf(app.sim(), last) == 1 && app.sim().receivedLines().size() >= 3; },
        [&] {
            linesAtLoss = int(app.sim().receivedLines().size());
            sinceLoss.start();
            app.sim().hangUp();
        });
    QVERIFY(clickStart(app));
    QVERIFY(sinceLoss.isValid());
    QVERIFY2(sinceLoss.elapsed() < 5000, qPrintable(QString::number(sinceLoss.elapsed())));
    QCOMPARE(app.sim().receivedLines().size(), linesAtLoss);
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    QVERIFY(!app.window().MSComm1().PortOpen());
    QVERIFY(!app.state().SchnittstelleOffen);
    QVERIFY(progressAfter.isEmpty());
    // Told once, after the run has ended.
    QTRY_COMPARE_WITH_TIMEOUT(app.messages().count(), 1, 10000);
    QCOMPARE(app.messages().messages().first().title, QStringLiteral("Serial port COM1:"));
    QVERIFY(app.messages().messages().first().text.startsWith(
        QStringLiteral("The connection to the device %1 was lost (the line hung up).")
            .arg(app.sim().devicePath())));
    QVERIFY(app.messages().messages().first().text.endsWith(
        QStringLiteral(" The stop could not be sent. The pump may still be running. Stop it at the "
                       "controller.")));
    const QString shown = app.find<QLabel>("lblStatus")->text();
    QVERIFY2(shown.startsWith(status), qPrintable(shown));
    QVERIFY2(shown.endsWith(QStringLiteral("the stop could not be sent. The pump may still be "
                                           "running. Stop it at the controller.")),
             qPrintable(shown));
    const QList<QStringList> rows = RunJournal::readRows(app.window().runJournal().path());
    QCOMPARE(rows.size(), 1);
    const RunRecord row = RunRecord::fromFields(rows.first());
    QCOMPARE(row.endedBy, QStringLiteral("link lost"));
    QCOMPARE(row.interruptedDose, interrupted);

    // The next Start asks for the port again.
    QString dialog;
    onNextModal([&](QWidget *w) {
        dialog = w->objectName();
        if (auto *ok = w->findChild<QPushButton *>(QStringLiteral("cmdOK")))
            ok->click();
    });
    app.messages().setDefault(MsgResult::Cancel);
    QVERIFY(clickStart(app));
    QCOMPARE(dialog, QStringLiteral("frmSchnittstelle"));
    QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    int lossReports = 0;
    for (const Message &m : app.messages().messages())
        lossReports +=
            m.title == QStringLiteral("Serial port COM1:") && m.buttons == MsgButtons::Ok;
    QCOMPARE(lossReports, 1);
}

void tst_runs::exitDuringRun_data()
{
    QTest::addColumn<bool>("flow");
    QTest::newRow("waiting for arrival") << false;
    QTest::newRow("endless flow") << true;
}

void tst_runs::exitDuringRun()
{
    QFETCH(bool, flow);
    AppFixture app;
    const QString last = setUpRunThatWaits(app, flow);
    bool leaving = false;
    QStringList progressAfter;
    QObject::connect(&app.window().run(), &PumpRun::fortschritt, &app.window(),
                     [&](const QString &text) {
                         if (leaving)
                             progressAfter << text;
                     });
    Script script;
    script.when(
        [&] { return countOf(app.sim(), last) == 1 && app.sim().receivedLines().size() >= 3; },
        [&] {
            leaving = true;
            app.messages().script({MsgResult::No});
            app.find<QPushButton>("cmdBeenden")->click();
        });
    QVERIFY(clickStart(app));
    QVERIFY(leaving);
    QCOMPARE(app.ends().count(), 1);
    QCOMPARE(app.messages().texts(), QStringList{"Do you want to save the settings?"});
    QVERIFY(waitForLine(app.sim(), "V 0"));
    const QStringList before =
        flow ? QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 1667"} : kDosingSetUp + dose(640);
    QCOMPARE(app.sim().receivedLines(), before + kStop);
    QVERIFY(!app.window().MSComm1().PortOpen());
    QVERIFY(progressAfter.isEmpty());
}

void tst_runs::consoleDuringArrivalWait()
{
    // The operator opens the console while a dose moves and sends a query; the dose's
    // notification comes glued in front of the query's reply. The query keeps its reply,
    // the run its arrival, and the next dose goes out while the console is still open.
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.times = "2";
    setUpDosing(app, d);
    prime(app);
    app.sim().setFault(Fault::GluedNotification, 1);
    bool nextDoseWhileOpen = false;
    QString transcript;
    Script script;
    script.when([&] { return countOf(app.sim(), "NP 640") == 1; },
                [&] {
                    onNextModal([&](QWidget *console) {
                        auto *command = console->findChild<QLineEdit *>(QStringLiteral("txtCommand"));
                        command->setText(QStringLiteral("GN"));
                        QTest::keyClick(command, Qt::Key_Return);
                        nextDoseWhileOpen = waitForLine(app.sim(), QStringLiteral("NP 1280"));
                        transcript = console->findChild<QPlainTextEdit *>(QStringLiteral("txtTerminal"))
                                         ->toPlainText();
                        console->close();
                    });
                    QWidget *focus =
                        QApplication::focusWidget() ? QApplication::focusWidget() : &app.window();
                    QTest::keyClick(focus, Qt::Key_H, Qt::ShiftModifier | Qt::ControlModifier);
                    // The second notification is held as well: Stop ends the run.
                    app.find<QPushButton>("cmdStop")->click();
                });
    QVERIFY(clickStart(app, 15000));
    QVERIFY(nextDoseWhileOpen);
    // The command and its reply, each with its time and mark; the glued notification is no line.
    QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} > GN\n"
                                "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} < -?\\d+$")
                 .match(transcript)
                 .hasMatch(),
             qPrintable(transcript));
    QCOMPARE(sentSoFar(app), kDosingSetUp + dose(640) + QStringList{"GN"} + dose(1280) + kStop);
}

void tst_runs::statusBarCountsDoses()
{
    AppFixture app;
    app.sim().setInstantMoves(true);
    Dosing d;
    d.pause = "50";
    setUpDosing(app, d);
    auto *status = app.find<QLabel>("lblStatus");
    QVERIFY(status->text().isEmpty());
    prime(app);
    QStringList atMove;
    QObject context;
    QObject::connect(&app.sim(), &sim::ControllerSim::lineReceived, &context,
                     [&](const QString &line) {
                         if (line.startsWith("NP"))
                             atMove << status->text();
                     });
    QVERIFY(clickStart(app));
    QCOMPARE(atMove, (QStringList{"Dose 1 of 3", "Dose 2 of 3", "Dose 3 of 3"}));
    // The summary stays until the operator changes a value.
    QCOMPARE(status->text(), QStringLiteral("3 of 3 doses done, 90 µl"));
    auto *menge = app.find<QLineEdit>("txtMenge");
    menge->setFocus();
    QTest::keyClick(menge, Qt::Key_5);
    QVERIFY(status->text().isEmpty());
}

void tst_runs::windowStaysLive_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("flow of 1 s") << 0;
    QTest::newRow("arrival wait of 1 s") << 1;
    QTest::newRow("pause of 1 s") << 2;
}

void tst_runs::windowStaysLive()
{
    QFETCH(int, kind);
    AppFixture app;
    app.sim().setInstantMoves(true);
    if (kind == 0) {
        Flow f;
        f.duration = "1";
        setUpFlow(app, f);
    } else {
        Dosing d;
        d.times = "2";
        d.pause = "1";
        d.pauseUnit = 1;
        setUpDosing(app, d);
    }
    prime(app);
    if (kind == 1)
        app.sim().setFault(Fault::Silent);
    int ticks = 0;
    QElapsedTimer waiting;
    qint64 waited = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (waiting.isValid() && waited < 0)
            ++ticks;
    });
    ticker.start(10);
    Script script;
    const QString begins = kind == 0 ? "V 1667" : "NP 640";
    script.when([&] { return countOf(app.sim(), begins) == 1; }, [&] { waiting.start(); });
    if (kind == 1)
        script.when([&] { return waiting.isValid() && waiting.elapsed() >= 1000; },
                    [&] { app.find<QPushButton>("cmdStop")->click(); });
    // The run ends right after its wait: the flow's time is up, Stop, or the second dose
    // that follows the pause arrives at once.
    QVERIFY(clickStart(app));
    QVERIFY(waiting.isValid());
    waited = waiting.elapsed();
    QVERIFY2(waited >= 900, qPrintable(QString::number(waited)));
    // A timer of 10 ms fires about a hundred times a second while the program waits.
    QVERIFY2(ticks >= waited / 10 / 2,
             qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(waited)));
}

void tst_runs::summaries_data()
{
    using End = RunOutcome::End;
    QTest::addColumn<bool>("flow");
    QTest::addColumn<qint64>("repetitions");
    QTest::addColumn<int>("end");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<double>("amount"); // dosing: delivered; flow: motor seconds
    QTest::addColumn<qint64>("cut");     // the number of the dose cut short (0: none)
    QTest::addColumn<QString>("summary");
    QTest::newRow("all doses") << false << qint64(5) << int(End::Completed) << qint64(5) << 150.0
                               << qint64(0) << "5 of 5 doses done, 150 µl";
    QTest::newRow("stopped") << false << qint64(5) << int(End::Stopped) << qint64(3) << 90.0
                             << qint64(0) << "Stopped after 3 of 5 doses, 90 µl";
    QTest::newRow("endless") << false << qint64(kEndlessRepetitions) << int(End::Stopped)
                             << qint64(41) << 1230.0 << qint64(0)
                             << "Endless dosing stopped after 41 doses, 1230 µl";
    QTest::newRow("lost link") << false << qint64(5) << int(End::LinkLost) << qint64(2) << 60.0
                               << qint64(0) << "Stopped by the lost link after 2 of 5 doses, 60 µl";
    // A dose cut short in its move: how much of it arrived is unknown, so it is told apart.
    QTest::newRow("stopped in a move") << false << qint64(1) << int(End::Stopped) << qint64(0) << 0.0
                                       << qint64(1)
                                       << "Stopped during dose 1 of 1 (up to 30 µl of it delivered); "
                                          "0 µl in completed doses";
    QTest::newRow("endless, stopped in a move")
        << false << qint64(kEndlessRepetitions) << int(End::Stopped) << qint64(3) << 90.0 << qint64(4)
        << "Endless dosing stopped during dose 4 (up to 30 µl of it delivered); 90 µl in completed doses";
    QTest::newRow("lost link in a move")
        << false << qint64(5) << int(End::LinkLost) << qint64(2) << 60.0 << qint64(3)
        << "Stopped by the lost link during dose 3 of 5 (up to 30 µl of it delivered); 60 µl in "
           "completed doses; the stop could not be sent. The pump may still be running. Stop it at "
           "the controller.";
    QTest::newRow("no reply in a move")
        << false << qint64(5) << int(End::NoReply) << qint64(0) << 0.0 << qint64(1)
        << "Stopped, the controller did not respond, during dose 1 of 5 (up to 30 µl of it "
           "delivered); 0 µl in completed doses";
    QTest::newRow("flow of 2 min") << true << qint64(0) << int(End::Completed) << qint64(0) << 120.0
                                   << qint64(0) << "Flow ended after 2:00, 10 ml";
    QTest::newRow("flow stopped") << true << qint64(0) << int(End::Stopped) << qint64(0) << 30.0
                                  << qint64(0) << "Flow stopped after 0:30, 2.5 ml";
    QTest::newRow("flow, lost link")
        << true << qint64(0) << int(End::LinkLost) << qint64(0) << 3.0 << qint64(0)
        << "Flow cut off by the lost link after 0:03, 0.25 ml until then; the stop could not be "
           "sent. The pump may still be running. Stop it at the controller.";
    QTest::newRow("program ended: nobody reads it")
        << false << qint64(5) << int(End::ProgramEnded) << qint64(1) << 30.0 << qint64(2) << "";
}

void tst_runs::summaries()
{
    QFETCH(bool, flow);
    QFETCH(qint64, repetitions);
    QFETCH(int, end);
    QFETCH(qint64, done);
    QFETCH(double, amount);
    QFETCH(qint64, cut);
    QFETCH(QString, summary);
    RunPlan plan;
    plan.mode = flow ? RunPlan::Mode::Flow : RunPlan::Mode::Dosing;
    plan.setValue = flow ? 5 : 30;
    plan.unit = flow ? QStringLiteral("ml/min") : QStringLiteral("µl");
    plan.repetitions = repetitions;
    RunOutcome outcome;
    outcome.end = RunOutcome::End(end);
    outcome.dosesDone = done;
    (flow ? outcome.motorSeconds : outcome.delivered) = amount;
    outcome.interruptedNumber = cut;
    outcome.interruptedDose = cut > 0 ? 30 : 0;
    QCOMPARE(runSummary(plan, outcome), summary);
}

void tst_runs::stopRecordsWhatIsKnown_data()
{
    QTest::addColumn<QString>("quantity");
    QTest::addColumn<QString>("times");
    QTest::addColumn<QString>("pause");
    QTest::addColumn<bool>("inMove"); // Stop while the first dose moves, else in the pause
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("fields"); // doses done, delivered, delivered unit, interrupted
    // A move of about 7 s at 6000 rpm: how much of it arrived nobody can tell.
    QTest::newRow("in the move") << "2000" << "1" << "0" << true
                                 << "Stopped during dose 1 of 1 (up to 2000 µl of it delivered); "
                                    "0 µl in completed doses"
                                 << QStringList{"0", "0", "µl", "2000"};
    QTest::newRow("in the pause") << "30" << "2" << "300" << false
                                  << "Stopped after 1 of 2 doses, 30 µl"
                                  << QStringList{"1", "30", "µl", ""};
}

void tst_runs::stopRecordsWhatIsKnown()
{
    QFETCH(QString, quantity);
    QFETCH(QString, times);
    QFETCH(QString, pause);
    QFETCH(bool, inMove);
    QFETCH(QString, summary);
    QFETCH(QStringList, fields);
    AppFixture app;
    QFile::remove(app.window().runJournal().path());
    // A named medium of these values: its name goes into the row.
    {
        auto store = openStore();
        QVERIFY(saveMedium(*store, 1, 1, {QStringLiteral("Water 20 °C"), 0.9982f, 1.02f}));
    }
    chooseType(app, 0);
    Dosing d;
    d.quantity = quantity;
    d.times = times;
    d.pause = pause;
    d.density = QStringLiteral("0.9982");
    d.factor = QStringLiteral("1.02");
    setUpDosing(app, d);
    prime(app);
    Script script;
    if (inMove)
        script.when([&] { return app.sim().position() > 0; },
                    [&] { app.find<QPushButton>("cmdStop")->click(); });
    else
        script.when([&] { return app.find<QLabel>("lblStatus")->text().contains("pause"); },
                    [&] { app.find<QPushButton>("cmdStop")->click(); });
    QVERIFY(clickStart(app));
    QCOMPARE(app.find<QLabel>("lblStatus")->text(), summary);
    const QList<QStringList> rows = RunJournal::readRows(app.window().runJournal().path());
    QCOMPARE(rows.size(), 1);
    const RunRecord row = RunRecord::fromFields(rows.first());
    QCOMPARE(row.endedBy, QStringLiteral("stopped"));
    QCOMPARE((QStringList{QString::number(row.dosesDone), row.delivered, row.deliveredUnit,
                          row.interruptedDose}),
             fields);
    QCOMPARE((QStringList{row.medium, row.density, row.calibrationFactor}),
             (QStringList{"Water 20 °C", "0.9982", "1.02"}));
}

void tst_runs::desktopToldWhenAway_data()
{
    QTest::addColumn<bool>("away");   // another program's window is active
    QTest::addColumn<bool>("method"); // the doses are a method's step
    QTest::addColumn<QStringList>("told");
    QTest::newRow("at the window") << false << false << QStringList{};
    QTest::newRow("away, a run") << true << false << QStringList{"3 of 3 doses done, 90 µl"};
    QTest::newRow("away, a method: its end only")
        << true << true << QStringList{"Method M completed: 2 steps."};
}

void tst_runs::desktopToldWhenAway()
{
    QFETCH(bool, away);
    QFETCH(bool, method);
    QFETCH(QStringList, told);
    AppFixture app;
    app.sim().setInstantMoves(true);
    setUpDosing(app, Dosing{});
    prime(app);
    QStringList sent;
    DesktopNotices notices(app.window().session(), app.window(),
                           [&sent](const QString &, const QString &body) { sent << body; });
    if (away)
        QApplication::setActiveWindow(nullptr);
    else
        app.window().activateWindow();
    QTRY_COMPARE(QApplication::activeWindow() != nullptr, !away);
    if (method) {
        const auto m = parseMethod(R"({"format": "vyt-method/1", "name": "M", "steps": [)"
                                   R"({"dose": {"quantity": 30, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}},)"
                                   R"({"dose": {"quantity": 30, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]})",
                                   nullptr);
        QVERIFY(m);
        QVERIFY(!app.window().session().methods().start(*m));
        QTRY_VERIFY_WITH_TIMEOUT(!app.window().session().methods().running(), 10000);
    } else {
        QVERIFY(clickStart(app));
    }
    QTRY_COMPARE(sent, told);
}

QTEST_MAIN(tst_runs)
#include "tst_runs.moc"
