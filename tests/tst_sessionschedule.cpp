// Schedules of methods without a window: their due times, the store that brings them back
// paused, due starts skipped while the pump is busy, and a due start that runs its method.
#include "journal/RunJournal.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/MethodSchedule.h"
#include "session/Session.h"
#include "sim/ControllerSim.h"
#include "support/core/StoreEnv.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace vyt;
using vyt::test::mapPort;

namespace {

const QDateTime kBase(QDate(2026, 3, 2), QTime(14, 0));

const QByteArray kDoseMethod =
    R"({"format": "vyt-method/1", "name": "Dose", "steps": [{"dose": {"quantity": 3, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]})";
const QByteArray kLongWaitMethod =
    R"({"format": "vyt-method/1", "name": "Hold", "steps": [{"wait": {"duration": 1, "duration_unit": "h"}}]})";

// -1: none
QDateTime at(int minutes)
{
    return minutes < 0 ? QDateTime() : kBase.addSecs(qint64(minutes) * 60);
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return {};
    return path;
}

// A session on a simulated controller, and a clock the test moves.
struct Rig {
    sim::ControllerSim sim;
    UnattendedAttendant nobody;
    std::unique_ptr<Session> session;
    QDateTime now = kBase.addSecs(-60);
    QTemporaryDir dir;
    bool ok = false;

    Rig()
    {
        test::useEmptyStore();
        QFile::remove(RunJournal::defaultPath());
        if (!sim.start() || !dir.isValid())
            return;
        mapPort(1, sim.devicePath());
        session = std::make_unique<Session>(nobody, 1);
        session->loadSettings();
        ok = true;
    }
    std::unique_ptr<MethodScheduler> scheduler()
    {
        return std::make_unique<MethodScheduler>(*session, [this] { return now; });
    }
    MethodSchedule schedule(const QString &file, int every = 0, bool active = true) const
    {
        MethodSchedule s;
        s.file = file;
        s.first = kBase;
        s.everyMinutes = every;
        s.active = active;
        return s;
    }
};

} // namespace

class tst_sessionschedule : public QObject {
    Q_OBJECT
private slots:
    void dueTimes_data();
    void dueTimes();
    void timeOfDay_data();
    void timeOfDay();
    void keptAsText();
    void reloadedComesUpPaused_data();
    void reloadedComesUpPaused();
    void busyStartIsSkipped_data();
    void busyStartIsSkipped();
    void dueStart_data();
    void dueStart();
    void timerStartsWhenDue();
    void keptPerPort();
};

void tst_sessionschedule::dueTimes_data()
{
    QTest::addColumn<int>("every");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("until"); // minutes after the first start; -1: no end
    QTest::addColumn<int>("from");  // minutes after the first start
    QTest::addColumn<int>("due");   // -1: none left
    QTest::newRow("once, before") << 0 << 0 << -1 << -30 << 0;
    QTest::newRow("once, at it") << 0 << 0 << -1 << 0 << 0;
    QTest::newRow("once, after") << 0 << 0 << -1 << 1 << -1;
    QTest::newRow("every 15 min, between") << 15 << 0 << -1 << 20 << 30;
    QTest::newRow("every 15 min, on one") << 15 << 0 << -1 << 15 << 15;
    QTest::newRow("every 15 min, a day on") << 15 << 0 << -1 << 24 * 60 + 1 << 24 * 60 + 15;
    QTest::newRow("count 3, the third") << 15 << 3 << -1 << 29 << 30;
    QTest::newRow("count 3, past the third") << 15 << 3 << -1 << 31 << -1;
    QTest::newRow("count 1 is once") << 15 << 1 << -1 << 1 << -1;
    QTest::newRow("every 2 h until 4 h, the last") << 120 << 0 << 240 << 121 << 240;
    QTest::newRow("every 2 h until 3 h") << 120 << 0 << 180 << 121 << -1;
    QTest::newRow("until before the first") << 0 << 0 << -10 << -30 << -1;
}

void tst_sessionschedule::dueTimes()
{
    QFETCH(int, every);
    QFETCH(int, count);
    QFETCH(int, until);
    QFETCH(int, from);
    QFETCH(int, due);
    MethodSchedule s;
    s.file = QStringLiteral("x.vytmethod");
    s.first = kBase;
    s.everyMinutes = every;
    s.count = count;
    if (until != -1)
        s.until = kBase.addSecs(qint64(until) * 60);
    QCOMPARE(s.dueAtOrAfter(kBase.addSecs(qint64(from) * 60)), at(due));
}

void tst_sessionschedule::timeOfDay_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<int>("days"); // after today
    QTest::newRow("later today") << QTime(14, 0) << 0;
    QTest::newRow("earlier: tomorrow") << QTime(9, 0) << 1;
    QTest::newRow("this minute: tomorrow") << QTime(10, 0) << 1;
}

void tst_sessionschedule::timeOfDay()
{
    QFETCH(QTime, time);
    QFETCH(int, days);
    const QDateTime now(QDate(2026, 3, 2), QTime(10, 0));
    QCOMPARE(nextTimeOfDay(time, now), QDateTime(now.date().addDays(days), time));
}

void tst_sessionschedule::keptAsText()
{
    MethodSchedule s;
    s.file = QStringLiteral("/data/methods/ä prime.vytmethod");
    s.first = kBase;
    s.everyMinutes = 90;
    s.count = 4;
    s.until = kBase.addDays(3);
    s.active = true;
    s.done = 2;
    s.skipped = 1;
    s.lastResult = QStringLiteral("Skipped at 14:00: a run is going on.");
    const auto back = MethodSchedule::fromJson(s.toJson());
    QVERIFY(back);
    QCOMPARE(back->file, s.file);
    QCOMPARE(back->first, s.first);
    QCOMPARE(back->everyMinutes, 90);
    QCOMPARE(back->count, 4);
    QCOMPARE(back->until, s.until);
    QCOMPARE(back->done, 2);
    QCOMPARE(back->skipped, 1);
    QCOMPARE(back->lastResult, s.lastResult);
    QVERIFY(!back->active);
    QVERIFY(!MethodSchedule::fromJson(QStringLiteral("{\"file\": \"x\"}")));
    QVERIFY(!MethodSchedule::fromJson(QStringLiteral("not json")));
}

void tst_sessionschedule::reloadedComesUpPaused_data()
{
    QTest::addColumn<int>("every");
    QTest::addColumn<int>("resumeAt"); // minutes after the first start
    QTest::addColumn<int>("nextDue");  // after the resume; -1: none left
    QTest::newRow("once, resumed before it") << 0 << -1 << 0;
    QTest::newRow("once, resumed too late") << 0 << 5 << -1;
    QTest::newRow("every 10 min, missed ones not made up") << 10 << 25 << 30;
}

void tst_sessionschedule::reloadedComesUpPaused()
{
    QFETCH(int, every);
    QFETCH(int, resumeAt);
    QFETCH(int, nextDue);
    Rig rig;
    QVERIFY(rig.ok);
    const QString file = writeFile(rig.dir, QStringLiteral("dose.vytmethod"), kDoseMethod);
    {
        auto before = rig.scheduler();
        QString why;
        QVERIFY2(before->add(rig.schedule(file, every, true), &why), qPrintable(why));
        QVERIFY(before->schedules().at(0).active);
    } // the program ends
    auto after = rig.scheduler();
    QCOMPARE(after->schedules().size(), 1);
    QVERIFY(!after->schedules().at(0).active);
    QSignalSpy started(after.get(), &MethodScheduler::started);
    rig.now = at(resumeAt).addSecs(-1);
    after->check();
    rig.now = kBase.addSecs(3600);
    after->check();
    QCOMPARE(started.size(), 0);
    QVERIFY(!rig.session->methods().running());
    QVERIFY(!rig.sim.receivedLines().contains(QStringLiteral("DIPROG")));

    rig.now = at(resumeAt).addSecs(-1);
    QString why;
    QCOMPARE(after->resume(0, &why), nextDue != -1);
    QCOMPARE(after->schedules().at(0).active, nextDue != -1);
    if (nextDue == -1)
        return;
    QCOMPARE(after->schedules().at(0).next, at(nextDue));
    rig.now = at(nextDue);
    after->check();
    QCOMPARE(started.size(), 1);
    QCOMPARE(after->schedules().at(0).done, 1);
}

void tst_sessionschedule::busyStartIsSkipped_data()
{
    QTest::addColumn<QString>("busy");
    QTest::addColumn<QString>("result");
    QTest::newRow("a method") << "method" << "Skipped at 14:00: a method is going on.";
    QTest::newRow("a run") << "run" << "Skipped at 14:00: a run is going on.";
    QTest::newRow("potentiometer mode") << "potentiometer" << "Skipped at 14:00: potentiometer mode is on.";
}

void tst_sessionschedule::busyStartIsSkipped()
{
    QFETCH(QString, busy);
    QFETCH(QString, result);
    Rig rig;
    QVERIFY(rig.ok);
    const QString file = writeFile(rig.dir, QStringLiteral("dose.vytmethod"), kDoseMethod);
    auto scheduler = rig.scheduler();
    QVERIFY(scheduler->add(rig.schedule(file, 30, true)));
    if (busy == QLatin1String("method")) {
        const auto hold = parseMethod(kLongWaitMethod, nullptr);
        QVERIFY(hold);
        QVERIFY(!rig.session->methods().start(*hold));
        QTRY_VERIFY(rig.session->methods().running());
    } else if (busy == QLatin1String("run")) {
        QVERIFY(!rig.session->start(rig.session->planFromSettings(), Session::Origin{}));
        QVERIFY(rig.session->running());
    } else {
        rig.session->beginPotentiometer();
        QVERIFY(rig.session->potentiometerOn());
    }
    QSignalSpy skipped(scheduler.get(), &MethodScheduler::skipped);
    QSignalSpy started(scheduler.get(), &MethodScheduler::started);
    rig.now = kBase.addSecs(2);
    scheduler->check();
    QCOMPARE(started.size(), 0);
    QCOMPARE(skipped.size(), 1);
    QCOMPARE(skipped.at(0).at(1).toString(), result);
    const MethodSchedule s = scheduler->schedules().at(0);
    QCOMPARE(s.skipped, 1);
    QCOMPARE(s.done, 0);
    QCOMPARE(s.lastResult, result);
    QCOMPARE(s.next, at(30));
    QVERIFY(s.active);
    // The count and the result are kept (read back paused).
    auto reread = rig.scheduler();
    QCOMPARE(reread->schedules().at(0).skipped, 1);
    QCOMPARE(reread->schedules().at(0).lastResult, result);
    rig.session->stop();
}

void tst_sessionschedule::dueStart_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file there
    QTest::addColumn<int>("lateSeconds");
    QTest::addColumn<bool>("runs");
    QTest::addColumn<QString>("result"); // the last result starts with it
    QTest::newRow("a dose method") << kDoseMethod << 0 << true << "Started at 14:00. Completed.";
    QTest::newRow("a little late") << kDoseMethod << 90 << true << "Started at 14:00. Completed.";
    QTest::newRow("held up too long") << kDoseMethod << 600 << false
                                      << "Skipped at 14:00: the program was held up until 14:10.";
    QTest::newRow("file gone") << QByteArray() << 0 << false << "Skipped at 14:00: ";
    QTest::newRow("not a method") << QByteArray("{") << 0 << false << "Skipped at 14:00: ";
}

void tst_sessionschedule::dueStart()
{
    QFETCH(QByteArray, content);
    QFETCH(int, lateSeconds);
    QFETCH(bool, runs);
    QFETCH(QString, result);
    Rig rig;
    QVERIFY(rig.ok);
    const QString file = content.isEmpty() ? rig.dir.filePath(QStringLiteral("gone.vytmethod"))
                                           : writeFile(rig.dir, QStringLiteral("m.vytmethod"), content);
    auto scheduler = rig.scheduler();
    QVERIFY(scheduler->add(rig.schedule(file, 0, true)));
    QSignalSpy started(scheduler.get(), &MethodScheduler::started);
    QSignalSpy finished(&rig.session->methods(), &MethodRun::finished);
    rig.now = kBase.addSecs(-1);
    scheduler->check();
    QCOMPARE(started.size(), 0);
    rig.now = kBase.addSecs(lateSeconds);
    scheduler->check();
    QVERIFY2(started.size() == (runs ? 1 : 0), qPrintable(scheduler->schedules().at(0).lastResult));
    if (runs) {
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QVERIFY(finished.at(0).at(0).toBool());
        QVERIFY(rig.sim.receivedLines().contains(QStringLiteral("DIPROG")));
        QCOMPARE(scheduler->schedules().at(0).done, 1);
    } else {
        QVERIFY(!rig.sim.receivedLines().contains(QStringLiteral("DIPROG")));
        QCOMPARE(scheduler->schedules().at(0).skipped, 1);
    }
    QVERIFY2(scheduler->schedules().at(0).lastResult.startsWith(result),
             qPrintable(scheduler->schedules().at(0).lastResult));
    // Once is once: nothing is due any more, and the schedule is no longer active.
    QVERIFY(!scheduler->schedules().at(0).next.isValid());
    QVERIFY(!scheduler->schedules().at(0).active);
}

void tst_sessionschedule::timerStartsWhenDue()
{
    Rig rig;
    QVERIFY(rig.ok);
    const QString file = writeFile(rig.dir, QStringLiteral("dose.vytmethod"), kDoseMethod);
    auto scheduler = rig.scheduler();
    QSignalSpy started(scheduler.get(), &MethodScheduler::started);
    QSignalSpy finished(&rig.session->methods(), &MethodRun::finished);
    rig.now = kBase;
    QVERIFY(scheduler->add(rig.schedule(file, 0, true)));
    // Nobody calls check(): the scheduler's own timer, armed to the due time, starts it.
    QTRY_COMPARE(started.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QCOMPARE(scheduler->schedules().at(0).lastResult, QStringLiteral("Started at 14:00. Completed."));
}

void tst_sessionschedule::keptPerPort()
{
    Rig rig;
    QVERIFY(rig.ok);
    auto first = rig.scheduler();
    QVERIFY(first->add(rig.schedule(QStringLiteral("/m/a.vytmethod"))));
    // The session moves to COM2: its schedules are its own, COM1's stay as they were.
    rig.session->state().Schnittstelle = 2;
    auto second = rig.scheduler();
    QCOMPARE(second->schedules().size(), 0);
    QVERIFY(second->add(rig.schedule(QStringLiteral("/m/b.vytmethod"))));
    QVERIFY(first->add(rig.schedule(QStringLiteral("/m/c.vytmethod"))));
    QVERIFY(second->remove(0));
    QCOMPARE(rig.scheduler()->schedules().size(), 0);
    rig.session->state().Schnittstelle = 1;
    auto reread = rig.scheduler();
    QCOMPARE(reread->schedules().size(), 2);
    QCOMPARE(reread->schedules().at(0).file, QStringLiteral("/m/a.vytmethod"));
    QCOMPARE(reread->schedules().at(1).file, QStringLiteral("/m/c.vytmethod"));
}

QTEST_GUILESS_MAIN(tst_sessionschedule)
#include "tst_sessionschedule.moc"
