// Methods without a window: hostile documents are refused before anything moves, a method
// goes on the wire step by step exactly as its runs would, every run step leaves its row,
// and Stop, a lost link or a prompt end or hold it where they should.
#include "config/PumpCatalog.h"
#include "journal/RunJournal.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/Session.h"
#include "sim/ControllerSim.h"
#include "support/core/StoreEnv.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace vyt;
using vyt::test::mapPort;

namespace {

QByteArray doc(const QByteArray &steps, const QByteArray &extra = {})
{
    return R"({"format": "vyt-method/1", "name": "M", )" + extra + R"("steps": )" + steps + "}";
}

const QByteArray kDose3ulTwice =
    R"({"dose": {"quantity": 3, "unit": "µl", "repetitions": 2, "pause": 0, "pause_unit": "ms"}})";
const QByteArray kFlowShort =
    R"({"flow": {"rate": 0.3, "unit": "ml/min", "duration": 300, "duration_unit": "ms"}})";
const QByteArray kWaitShort = R"({"wait": {"duration": 200, "duration_unit": "ms"}})";

// Repeats nested n deep around one wait.
QByteArray nested(int depth)
{
    QByteArray inner = kWaitShort;
    for (int i = 0; i < depth; ++i)
        inner = R"({"repeat": {"count": 2, "steps": [)" + inner + "]}}";
    return "[" + inner + "]";
}

QStringList linesFrom(const sim::ControllerSim &sim, const QString &first)
{
    const QStringList all = sim.receivedLines();
    const qsizetype at = all.indexOf(first);
    return at < 0 ? QStringList() : all.mid(at);
}

// A session on a simulated controller, its controller asked already.
struct Rig {
    sim::ControllerSim sim;
    UnattendedAttendant nobody;
    std::unique_ptr<Session> session;
    bool ok = false;

    Rig()
    {
        test::useEmptyStore();
        QFile::remove(RunJournal::defaultPath());
        if (!sim.start())
            return;
        mapPort(1, sim.devicePath());
        session = std::make_unique<Session>(nobody, 1);
        session->loadSettings(); // vyt-P01: 1.5 µl per revolution, 16 lines
        ok = true;
    }
};

} // namespace

class tst_sessionmethods : public QObject {
    Q_OBJECT
private slots:
    void refusesHostileDocuments_data();
    void refusesHostileDocuments();
    void roundTrip();
    void refusedForThePumpNamesTheStep_data();
    void refusedForThePumpNamesTheStep();
    void runsStepByStep_data();
    void runsStepByStep();
    void stopEndsIt_data();
    void stopEndsIt();
    void lostLinkEndsIt();
    void promptWaitsForContinue();
    void estimates_data();
    void estimates();
};

void tst_sessionmethods::refusesHostileDocuments_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message"); // the refusal's text contains this
    QTest::newRow("not json") << QByteArray("{") << "no valid JSON";
    QTest::newRow("an array") << QByteArray("[]") << "JSON object";
    QTest::newRow("wrong format") << QByteArray(R"({"format": "vyt-method/2", "name": "M", "steps": []})")
                                  << "\"format\" must be \"vyt-method/1\"";
    QTest::newRow("unknown field") << doc("[" + kWaitShort + "]", R"("speed": 1, )") << "Unknown field \"speed\"";
    QTest::newRow("no steps") << doc("[]") << "at least one step";
    QTest::newRow("steps not a list") << doc("{}") << "at least one step";
    QTest::newRow("empty name") << QByteArray(R"({"format": "vyt-method/1", "name": " ", "steps": [{"wait": {"duration": 1, "duration_unit": "s"}}]})")
                                << "\"name\"";
    QTest::newRow("unknown step") << doc(R"([{"jump": {}}])") << "step 1: Unknown step \"jump\"";
    QTest::newRow("two kinds in a step")
        << doc("[{" + kWaitShort.mid(1, kWaitShort.size() - 2) + ", \"prompt\": {\"text\": \"x\"}}]")
        << "step 1: A step is an object of one";
    QTest::newRow("dose with a text quantity")
        << doc(R"([{"dose": {"quantity": "30", "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}])")
        << "step 1 (dose):";
    QTest::newRow("dose missing its unit")
        << doc(R"([{"dose": {"quantity": 30, "repetitions": 1, "pause": 0, "pause_unit": "ms"}}])")
        << "step 1 (dose): \"unit\" is missing.";
    QTest::newRow("wait NaN-like") << doc(R"([{"wait": {"duration": -1, "duration_unit": "s"}}])")
                                   << "step 1 (wait): \"duration\" must be a number of 0 or more.";
    QTest::newRow("wait over a day") << doc(R"([{"wait": {"duration": 25, "duration_unit": "h"}}])")
                                     << "step 1 (wait): A wait is at most 24 h.";
    QTest::newRow("wait of an unknown unit") << doc(R"([{"wait": {"duration": 1, "duration_unit": "days"}}])")
                                             << "\"duration_unit\" must be one of";
    QTest::newRow("prompt without text") << doc(R"([{"prompt": {"text": ""}}])") << "step 1 (prompt):";
    QTest::newRow("repeat of 0") << doc(R"([{"repeat": {"count": 0, "steps": [{"wait": {"duration": 1, "duration_unit": "s"}}]}}])")
                                 << "step 1 (repeat): \"count\" must be a whole number from 1 to 1000.";
    QTest::newRow("repeat of 2.5") << doc(R"([{"repeat": {"count": 2.5, "steps": [{"wait": {"duration": 1, "duration_unit": "s"}}]}}])")
                                   << "\"count\" must be a whole number";
    QTest::newRow("huge count") << doc(R"([{"repeat": {"count": 1e300, "steps": [{"wait": {"duration": 1, "duration_unit": "s"}}]}}])")
                                << "\"count\" must be a whole number";
    QTest::newRow("nested 5 deep") << doc(nested(5)) << "nested at most 4 deep";
    QTest::newRow("inner step named") << doc(R"([{"wait": {"duration": 1, "duration_unit": "s"}}, {"repeat": {"count": 2, "steps": [{"wait": {"duration": 1, "duration_unit": "x"}}]}}])")
                                      << "step 2.1 (wait):";
    // 1000 × 1000 × 1000 unrolled steps would hold the process for days.
    QTest::newRow("a billion steps")
        << doc(R"([{"repeat": {"count": 1000, "steps": [{"repeat": {"count": 1000, "steps": [{"repeat": {"count": 1000, "steps": [)" +
               kWaitShort + "]}}]}}]}}]")
        << "more than 100000 steps";
    QTest::newRow("10 MB") << doc("[" + kWaitShort + "]", "\"pad\": \"" + QByteArray(10 * 1024 * 1024, 'x') + "\", ")
                           << "at most 1 MiB";
}

void tst_sessionmethods::refusesHostileDocuments()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    MethodError error;
    QElapsedTimer took;
    took.start();
    QVERIFY(!parseMethod(json, &error));
    QVERIFY2(error.text().contains(message), qPrintable(error.text()));
    QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed())));
}

void tst_sessionmethods::roundTrip()
{
    const QByteArray json = doc("[" + kFlowShort + R"(, {"prompt": {"text": "Place the vial, \"then\" go."}}, {"repeat": {"count": 3, "steps": [)" +
                                kDose3ulTwice + ", " + kWaitShort + "]}}]",
                                R"("pump_type": "vyt-P01", "medium": "Water", )");
    MethodError error;
    const auto method = parseMethod(json, &error);
    QVERIFY2(method, qPrintable(error.text()));
    const auto again = parseMethod(methodJson(*method), &error);
    QVERIFY2(again, qPrintable(error.text()));
    QCOMPARE(methodJson(*again), methodJson(*method));
    QCOMPARE(again->pumpType, QStringLiteral("vyt-P01"));
    QCOMPARE(again->steps.at(2).count, 3);
    QCOMPARE(again->steps.at(1).text, QStringLiteral("Place the vial, \"then\" go."));
}

void tst_sessionmethods::refusedForThePumpNamesTheStep_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message"); // exactly
    QTest::newRow("dose too large")
        << doc(R"([{"wait": {"duration": 1, "duration_unit": "s"}}, {"repeat": {"count": 2, "steps": [{"dose": {"quantity": 1e12, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]}}])")
        << "step 2.1 (dose): Please enter a value from -1.40625E+07 to 1.40625E+07.";
    QTest::newRow("another pump type")
        << doc("[" + kWaitShort + "]", R"("pump_type": "vyt-P02", )")
        << "The method is written for the pump type vyt-P02; the pump in use is vyt-P01.";
    QTest::newRow("a medium not saved")
        << doc("[" + kWaitShort + "]", R"("medium": "Honey", )")
        << "The medium \"Honey\" is not saved for vyt-P01 on this port.";
}

void tst_sessionmethods::refusedForThePumpNamesTheStep()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.ok);
    MethodError error;
    const auto method = parseMethod(json, &error);
    QVERIFY2(method, qPrintable(error.text()));
    const auto refused = rig.session->methods().start(*method);
    QVERIFY(refused);
    QCOMPARE(refused->text(), message);
    QVERIFY(!rig.session->methods().running());
    // Nothing went to the controller, not even its version question.
    QCOMPARE(rig.sim.receivedLines(), QStringList());
}

void tst_sessionmethods::runsStepByStep_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QStringList>("wire"); // from the first "DIPROG" on
    QTest::addColumn<QStringList>("notes"); // of the journal's rows, in order
    const QStringList dose{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M",
                           "LA 128", "NP 128", "M", "LA 256", "NP 256", "M"};
    QTest::newRow("a dose twice over")
        << "[" + kDose3ulTwice + ", " + kWaitShort + ", " + kDose3ulTwice + "]" << dose + dose
        << QStringList{"method M step 1/3", "method M step 3/3"};
    // 0.3 ml/min at 1.5 µl per revolution: 200 rpm.
    QTest::newRow("flow, then a repeat of a dose")
        << "[" + kFlowShort + R"(, {"repeat": {"count": 2, "steps": [)" + kDose3ulTwice + "]}}]"
        << (QStringList{"DIPROG", "SOR 0", "CONTMOD", "V 200", "SOR 0", "V 0"} + dose + dose)
        << QStringList{"method M step 1/3", "method M step 2/3", "method M step 3/3"};
}

void tst_sessionmethods::runsStepByStep()
{
    QFETCH(QByteArray, steps);
    QFETCH(QStringList, wire);
    QFETCH(QStringList, notes);
    Rig rig;
    QVERIFY(rig.ok);
    QSignalSpy finished(&rig.session->methods(), &MethodRun::finished);
    MethodError error;
    const auto method = parseMethod(doc(steps), &error);
    QVERIFY2(method, qPrintable(error.text()));
    QVERIFY(!rig.session->methods().start(*method));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(linesFrom(rig.sim, QStringLiteral("DIPROG")), wire);
    QStringList got;
    for (const QStringList &row : RunJournal::readRows(rig.session->journal().path())) {
        const RunRecord r = RunRecord::fromFields(row);
        QCOMPARE(r.endedBy, QStringLiteral("completed"));
        got << r.note;
    }
    QCOMPARE(got, notes);
}

void tst_sessionmethods::stopEndsIt_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<int>("at"); // Stop once this step (1-based) is under way
    QTest::addColumn<QString>("why");
    const QByteArray endlessFlow =
        R"({"flow": {"rate": 0.3, "unit": "ml/min", "duration": 0, "duration_unit": "s"}})";
    const QByteArray longWait = R"({"wait": {"duration": 1, "duration_unit": "h"}})";
    const QByteArray prompt = R"({"prompt": {"text": "Go on?"}})";
    QTest::newRow("in a flow") << "[" + endlessFlow + ", " + kDose3ulTwice + "]" << 1
                               << "Stopped at step 1 of 2 (1, flow).";
    QTest::newRow("in a wait") << "[" + kDose3ulTwice + ", " + longWait + ", " + kDose3ulTwice + "]" << 2
                               << "Stopped at step 2 of 3 (2, wait).";
    QTest::newRow("at a prompt") << "[" + prompt + ", " + kDose3ulTwice + "]" << 1
                                 << "Stopped at step 1 of 2 (1, prompt).";
}

void tst_sessionmethods::stopEndsIt()
{
    QFETCH(QByteArray, steps);
    QFETCH(int, at);
    QFETCH(QString, why);
    Rig rig;
    QVERIFY(rig.ok);
    MethodRun &methods = rig.session->methods();
    QSignalSpy finished(&methods, &MethodRun::finished);
    const auto method = parseMethod(doc(steps), nullptr);
    QVERIFY(method);
    QVERIFY(!methods.start(*method));
    QTRY_VERIFY_WITH_TIMEOUT(methods.progress().step == at &&
                                 (at != 1 || rig.session->running() ||
                                  !methods.progress().prompt.isEmpty()),
                             10000);
    if (rig.session->running())
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim.receivedLines().contains(QStringLiteral("V 200")) ||
                                     at != 1,
                                 5000);
    methods.stop();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(finished.at(0).at(1).toString(), why);
    // The drive was stopped, and nothing of the method moves after it.
    QTRY_COMPARE(rig.sim.receivedLines().mid(rig.sim.receivedLines().size() - 2),
                 (QStringList{"SOR 0", "V 0"}));
    const QStringList after = rig.sim.receivedLines();
    QTest::qWait(400); // a wait's or a pause's end would come in this time
    QCOMPARE(rig.sim.receivedLines(), after);
}

void tst_sessionmethods::lostLinkEndsIt()
{
    Rig rig;
    QVERIFY(rig.ok);
    MethodRun &methods = rig.session->methods();
    QSignalSpy finished(&methods, &MethodRun::finished);
    const auto method = parseMethod(
        doc("[" + kDose3ulTwice + R"(, {"wait": {"duration": 1, "duration_unit": "h"}}, )" + kDose3ulTwice + "]"),
        nullptr);
    QVERIFY(method);
    QVERIFY(!methods.start(*method));
    QTRY_COMPARE_WITH_TIMEOUT(methods.progress().step, 2, 10000);
    rig.sim.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(finished.at(0).at(1).toString(),
             QStringLiteral("The link to the controller was lost at step 2 of 3 (2, wait)."));
}

void tst_sessionmethods::promptWaitsForContinue()
{
    Rig rig;
    QVERIFY(rig.ok);
    MethodRun &methods = rig.session->methods();
    QSignalSpy prompted(&methods, &MethodRun::promptWaiting);
    QSignalSpy finished(&methods, &MethodRun::finished);
    const auto method =
        parseMethod(doc(R"([{"prompt": {"text": "Place the vial."}}, )" + kDose3ulTwice + "]"), nullptr);
    QVERIFY(method);
    QVERIFY(!methods.continuePrompt()); // nothing waits yet
    QVERIFY(!methods.start(*method));
    QTRY_COMPARE(prompted.size(), 1);
    QCOMPARE(prompted.at(0).at(0).toString(), QStringLiteral("Place the vial."));
    QCOMPARE(methods.progress().prompt, QStringLiteral("Place the vial."));
    QCOMPARE(methods.statusLine(), QStringLiteral("Method M: step 1 of 2, waiting for the operator"));
    // Nothing moves while it waits, and nothing else may start.
    QTest::qWait(100);
    QVERIFY(!rig.sim.receivedLines().contains(QStringLiteral("DIPROG")));
    QVERIFY(rig.session->start(rig.session->planFromSettings(), {}));
    QVERIFY(methods.continuePrompt());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY(rig.sim.receivedLines().contains(QStringLiteral("NP 256")));
}

void tst_sessionmethods::estimates_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<double>("amount");
    QTest::addColumn<QString>("unit");
    // vyt-P01 at 6000 rpm, 500 rev/s²: 3 µl are 2 rev., under the 200 rev. that reach full
    // speed, so 2·√(2/500) s each; with a pause of 0.5 s between the two doses.
    const double move = 2 * std::sqrt(2.0 / 500.0);
    QTest::newRow("a dose twice") << QByteArray(R"([{"dose": {"quantity": 3, "unit": "µl", "repetitions": 2, "pause": 500, "pause_unit": "ms"}}])")
                                  << 2 * move + 0.5 << 6.0 << "µl";
    // 3000 µl = 2000 rev.: 0.2 s up to 100 rev./s, 18 s at it, 0.2 s down.
    QTest::newRow("a long move") << QByteArray(R"([{"dose": {"quantity": 3000, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}])")
                                 << 20.2 << 3000.0 << "µl";
    QTest::newRow("flow and wait, repeated")
        << QByteArray(R"([{"repeat": {"count": 3, "steps": [{"flow": {"rate": 2, "unit": "ml/min", "duration": 30, "duration_unit": "s"}}, {"wait": {"duration": 1, "duration_unit": "min"}}]}}])")
        << 270.0 << 3.0 << "ml";
    // A flow's ml and the doses' µl are one volume, in ml.
    QTest::newRow("ml and µl together")
        << QByteArray(R"([{"flow": {"rate": 2, "unit": "ml/min", "duration": 30, "duration_unit": "s"}}, {"dose": {"quantity": 30, "unit": "µl", "repetitions": 6, "pause": 0, "pause_unit": "ms"}}])")
        << 30.0 + 6 * 2 * std::sqrt(20.0 / 500.0) << 1.18 << "ml";
    QTest::newRow("an endless flow") << QByteArray(R"([{"flow": {"rate": 2, "unit": "ml/min", "duration": 0, "duration_unit": "s"}}])")
                                     << -1.0 << 0.0 << "ml";
}

void tst_sessionmethods::estimates()
{
    QFETCH(QByteArray, steps);
    QFETCH(double, seconds);
    QFETCH(double, amount);
    QFETCH(QString, unit);
    Rig rig;
    QVERIFY(rig.ok);
    MethodError error;
    const auto method = parseMethod(doc(steps), &error);
    QVERIFY2(method, qPrintable(error.text()));
    const auto actions = planMethod(*method, rig.session->state(), std::nullopt, &error);
    QVERIFY2(actions, qPrintable(error.text()));
    const MethodTotal total = estimateMethod(*actions, rig.session->state());
    QVERIFY2(std::fabs(total.seconds - seconds) < 1e-6, qPrintable(QString::number(total.seconds)));
    QVERIFY2(std::fabs(total.amount - amount) < 1e-6, qPrintable(QString::number(total.amount)));
    QCOMPARE(total.unit, unit);
    QVERIFY(!total.mixedUnits);
}

QTEST_GUILESS_MAIN(tst_sessionmethods)
#include "tst_sessionmethods.moc"
