// The session without a window: a plan goes on the wire as given and leaves the
// operator's settings alone, a refused plan moves nothing, and two sessions on two
// simulated controllers run side by side in one process.
#include "config/PortMapping.h"
#include "config/SettingsStore.h"
#include "config/MediaPresets.h"
#include "journal/RunJournal.h"
#include "link/MSComm.h"
#include "session/Session.h"
#include "sim/ControllerSim.h"
#include "support/core/StoreEnv.h"

#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace vyt;
using vyt::test::mapPort;

namespace {

// An empty store, and no journal left from another test.
void useEmptyStoreAndJournal()
{
    test::useEmptyStore();
    QFile::remove(RunJournal::defaultPath());
}

// The lines the controller received from the first one that starts with first on.
QStringList linesFrom(const sim::ControllerSim &sim, const QString &first)
{
    const QStringList all = sim.receivedLines();
    const qsizetype at = all.indexOf(first);
    return at < 0 ? QStringList() : all.mid(at);
}

// A plan from elsewhere than the window's Start: it runs as given.
const Session::Origin kClient{Session::Origin::Kind::Remote, QStringLiteral("127.0.0.1")};

RunPlan dosePlan(float quantity, qint16 unit, qint32 count)
{
    RunPlan plan;
    plan.mode = RunPlan::Mode::Dosing;
    plan.quantity = quantity;
    plan.quantityUnit = unit;
    plan.count = count;
    return plan;
}

RunPlan flowPlan(float rate, qint16 unit, float duration)
{
    RunPlan plan;
    plan.mode = RunPlan::Mode::Flow;
    plan.rate = rate;
    plan.rateUnit = unit;
    plan.duration = duration;
    plan.durationUnit = 1; // s
    return plan;
}

// Settings that differ from every plan below in each run value.
void setOperatorValues(PumpSettings &s)
{
    s.Betriebsart = 2;
    s.Menge = 77;
    s.Mengeneinheit = 1;
    s.Wiederholung = 9;
    s.Pause = 5;
    s.Pauseeinheit = 1;
    s.Foerderstrom = 4;
    s.Foerderstromeinheit = 1;
    s.Dauer = 3;
    s.Dauereinheit = 2;
}

bool sameRunValues(const PumpSettings &a, const PumpSettings &b)
{
    return a.Betriebsart == b.Betriebsart && a.Menge == b.Menge &&
           a.Mengeneinheit == b.Mengeneinheit && a.Wiederholung == b.Wiederholung &&
           a.Pause == b.Pause && a.Pauseeinheit == b.Pauseeinheit &&
           a.Foerderstrom == b.Foerderstrom && a.Foerderstromeinheit == b.Foerderstromeinheit &&
           a.Dauer == b.Dauer && a.Dauereinheit == b.Dauereinheit;
}

} // namespace

class tst_session : public QObject {
    Q_OBJECT
private slots:
    void init() { useEmptyStoreAndJournal(); }
    void planGoesOnTheWire_data();
    void planGoesOnTheWire();
    void refusedPlanMovesNothing_data();
    void refusedPlanMovesNothing();
    void twoSessionsSideBySide();
};

void tst_session::planGoesOnTheWire_data()
{
    QTest::addColumn<RunPlan>("plan");
    QTest::addColumn<QStringList>("wire"); // from "DIPROG" on, until the run has ended
    QTest::addColumn<QString>("deliveredUnit");
    // vyt-P01: 1.5 µl per revolution, 16 lines: 3 µl are 2 rev., 128 increments.
    QTest::newRow("dose 3 µl twice")
        << dosePlan(3, 0, 2)
        << QStringList{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M", "LA 128", "NP 128",
                       "M", "LA 256", "NP 256", "M"}
        << "µl";
    QTest::newRow("dose 1.5 rev. once")
        << dosePlan(1.5f, 2, 1)
        << QStringList{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M", "LA 96", "NP 96", "M"}
        << "rev.";
    // 0.3 ml/min at 1.5 µl per revolution: 200 rpm, stopped after its second.
    QTest::newRow("flow 0.3 ml/min for 1 s")
        << flowPlan(0.3f, 0, 1)
        << QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 200", "SOR 0", "V 0"} << "ml";
    QTest::newRow("flow 150 rpm for 1 s")
        << flowPlan(150, 2, 1) << QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 150", "SOR 0", "V 0"}
        << "rev.";
}

void tst_session::planGoesOnTheWire()
{
    QFETCH(RunPlan, plan);
    QFETCH(QStringList, wire);
    QFETCH(QString, deliveredUnit);
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    mapPort(1, sim.devicePath());
    UnattendedAttendant nobody;
    Session session(nobody, 1);
    session.loadSettings();
    setOperatorValues(session.state().settings);
    const PumpSettings before = session.state().settings;
    QSignalSpy ended(&session, &Session::runEnded);
    // Without a window the medium in force is the saved one of the values in force.
    session.state().settings.Dichte = 1.26f;
    session.state().settings.Kalibrierfaktor = 1; // the wire above is for a factor of 1
    {
        auto store = openStore();
        QVERIFY(saveMedium(*store, 1, session.state().settings.Pumpentyp,
                           {QStringLiteral("Glycerol"), 1.26f, 1}));
        QVERIFY(saveMedium(*store, 1, session.state().settings.Pumpentyp,
                           {QStringLiteral("Water"), 1, 1.1f}));
    }

    QVERIFY(!session.start(plan, kClient));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
    // The controller was asked and got the limits before the run.
    QCOMPARE(sim.receivedLines().mid(0, 5),
             (QStringList{"VER", "SP 6000", "AC 500", "LCC 230", "LPC 400"}));
    QCOMPARE(linesFrom(sim, QStringLiteral("DIPROG")), wire);
    const auto outcome = ended.at(0).at(1).value<RunOutcome>();
    QCOMPARE(outcome.end, RunOutcome::End::Completed);
    // The plan ran; what the operator had set is untouched.
    QVERIFY(sameRunValues(session.state().settings, before));
    const RunRecord row = RunRecord::fromFields(RunJournal::readRows(session.journal().path()).last());
    QCOMPARE((QStringList{row.medium, row.density, row.calibrationFactor, row.deliveredUnit,
                          row.interruptedDose, row.endedBy}),
             (QStringList{"Glycerol", "1.26", "1", deliveredUnit, "", "completed"}));
}

void tst_session::refusedPlanMovesNothing_data()
{
    QTest::addColumn<RunPlan>("plan");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("message");
    QTest::newRow("flow faster than the drive")
        << flowPlan(10, 0, 1) << QStringLiteral("txtFoerderstrom")
        << QStringLiteral("The continuous flow needs a velocity of 6666.667 rpm\n"
                          "and is bigger than the max. velocity.");
    QTest::newRow("flow longer than a day")
        << flowPlan(0.3f, 0, 86401) << QStringLiteral("txtDauer")
        << QStringLiteral("The value must be smaller than 86400 sec or 24 hours.");
}

void tst_session::refusedPlanMovesNothing()
{
    QFETCH(RunPlan, plan);
    QFETCH(QString, field);
    QFETCH(QString, message);
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    mapPort(1, sim.devicePath());
    UnattendedAttendant nobody;
    Session session(nobody, 1);
    session.loadSettings();
    QSignalSpy failed(&session, &Session::startFailed);

    // The controller is asked first; the refusal follows its answer.
    QVERIFY(!session.start(plan, kClient));
    QTRY_COMPARE(failed.size(), 1);
    const auto refusal = failed.at(0).at(0).value<std::optional<PumpRun::Refusal>>();
    QVERIFY(refusal);
    QCOMPARE(refusal->field, field);
    QCOMPARE(refusal->message, message);
    QVERIFY(!session.running());
    // Answered now: the same refusal at once, and still nothing but the question went out.
    const auto again = session.start(plan, kClient);
    QVERIFY(again);
    QCOMPARE(again->message, message);
    QCOMPARE(sim.receivedLines(), QStringList{"VER"});
}

void tst_session::twoSessionsSideBySide()
{
    sim::ControllerSim first, second;
    QVERIFY(first.start());
    QVERIFY(second.start());
    mapPort(1, first.devicePath());
    mapPort(2, second.devicePath());
    {
        auto store = openStore();
        store->setValue(QStringLiteral("COM2/Pumpentyp"), QStringLiteral("2")); // vyt-P03
        store->sync();
    }
    UnattendedAttendant nobody;
    Session one(nobody, 1), two(nobody, 2);
    one.loadSettings();
    two.loadSettings();
    QCOMPARE(two.state().settings.Pumpentyp, qint16(2));
    QSignalSpy oneEnded(&one, &Session::runEnded), twoEnded(&two, &Session::runEnded);

    // Both at once: a flow until Stop on one, doses on the other. Stop stops, and the flow's
    // end stops once more, as the Stop button always has.
    QVERIFY(!one.start(flowPlan(150, 2, 0), kClient));
    QVERIFY(!two.start(dosePlan(1, 2, 3), kClient));
    QTRY_COMPARE_WITH_TIMEOUT(twoEnded.size(), 1, 10000);
    QVERIFY(one.running());
    one.stop();
    QTRY_COMPARE(oneEnded.size(), 1);

    // vyt-P03 has 32 lines: 1 rev. is 128 increments; nothing of one reached the other.
    QCOMPARE(linesFrom(second, QStringLiteral("DIPROG")),
             (QStringList{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M", "LA 128", "NP 128",
                          "M", "LA 256", "NP 256", "M", "LA 384", "NP 384", "M"}));
    QCOMPARE(linesFrom(first, QStringLiteral("DIPROG")),
             (QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 150", "SOR 0", "V 0", "SOR 0", "V 0"}));
    QVERIFY(!second.receivedLines().contains(QStringLiteral("V 150")));
    QVERIFY(!first.receivedLines().contains(QStringLiteral("LA 128")));
    // One journal, each row with its port.
    QStringList ports;
    for (const QStringList &row : RunJournal::readRows(one.journal().path()))
        ports << RunRecord::fromFields(row).port;
    QCOMPARE(ports, (QStringList{"COM2", "COM1"}));
}

QTEST_GUILESS_MAIN(tst_session)
#include "tst_session.moc"
