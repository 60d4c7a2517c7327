// The console's value log: the rows it writes, a write that fails, and a log kept
// while the console polls the in-process controller.
#include "console/LiveTools.h"
#include "console/LiveValueLog.h"
#include "support/ConsoleRig.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

using namespace vyt;

namespace {

// A file that takes `good` writes and then fails, leaving half of the failing write
// behind as a full disk can.
class FailingFile : public QFile {
public:
    FailingFile(const QString &path, int good) : QFile(path), m_good(good) {}

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        if (m_good-- > 0)
            return QFile::writeData(data, len);
        (void)QFile::writeData(data, len / 2);
        setErrorString(QStringLiteral("No space left on device"));
        return -1;
    }

private:
    int m_good;
};

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QList<QByteArray> rowsOf(const QString &path)
{
    QList<QByteArray> rows = contents(path).split('\n');
    if (!rows.isEmpty() && rows.constLast().isEmpty())
        rows.removeLast();
    return rows;
}

const QByteArray kHeader = "time,speed rpm,current mA,fault flags\r\n";

} // namespace

class TestLiveLog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rows_data();
    void rows();
    void unwritable_data();
    void unwritable();
    void failingWrite_data();
    void failingWrite();
    void logWhilePolling();
    void failureWhilePolling();

private:
    QTemporaryDir m_dir;
};

void TestLiveLog::initTestCase()
{
    // Central European time: winter and summer rows carry different offsets.
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    tzset();
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
}

void TestLiveLog::rows_data()
{
    QTest::addColumn<QDateTime>("utc");
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("mA");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QByteArray>("row");
    const auto utc = [](int mo, int d, int h, int mi, int s, int ms) {
        return QDateTime(QDate(2026, mo, d), QTime(h, mi, s, ms), Qt::UTC);
    };
    QTest::newRow("winter") << utc(1, 15, 8, 30, 0, 45) << 1200 << 300 << "0000"
                            << QByteArray("2026-01-15T09:30:00.045+01:00,1200,300,0000\r\n");
    QTest::newRow("summer, backwards")
        << utc(7, 1, 12, 0, 0, 999) << -1500 << 0 << "0100"
        << QByteArray("2026-07-01T14:00:00.999+02:00,-1500,0,0100\r\n");
    QTest::newRow("whole second") << utc(12, 7, 23, 59, 59, 0) << 6000 << 2800 << "1111"
                                  << QByteArray("2026-12-08T00:59:59.000+01:00,6000,2800,1111\r\n");
    QTest::newRow("flags as received")
        << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "1,0\""
        << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,\"1,0\"\"\"\r\n");
    QTest::newRow("no flags") << utc(3, 1, 0, 0, 0, 1) << 1 << -2 << ""
                              << QByteArray("2026-03-01T01:00:00.001+01:00,1,-2,\r\n");
    // A reply a spreadsheet would run as a formula is guarded; the numbers stay numbers.
    QTest::newRow("formula reply")
        << utc(3, 1, 0, 0, 0, 1) << -7 << -1 << "=HYPERLINK(\"http://x\")"
        << QByteArray("2026-03-01T01:00:00.001+01:00,-7,-1,\"'=HYPERLINK(\"\"http://x\"\")\"\r\n");
    QTest::newRow("plus") << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "+1+1"
                          << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,'+1+1\r\n");
    QTest::newRow("minus") << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "-1+1"
                           << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,'-1+1\r\n");
    QTest::newRow("at") << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "@SUM(A1)"
                        << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,'@SUM(A1)\r\n");
    QTest::newRow("tab") << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "\t=1"
                         << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,'\t=1\r\n");
    QTest::newRow("carriage return")
        << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "\r=1"
        << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,\"'\r=1\"\r\n");
    QTest::newRow("negative number as flags")
        << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "-12"
        << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,-12\r\n");
    QTest::newRow("equals sign inside") << utc(3, 1, 0, 0, 0, 1) << 0 << 0 << "a=b"
                                        << QByteArray("2026-03-01T01:00:00.001+01:00,0,0,a=b\r\n");
}

void TestLiveLog::rows()
{
    QFETCH(QDateTime, utc);
    QFETCH(int, rpm);
    QFETCH(int, mA);
    QFETCH(QString, flags);
    QFETCH(QByteArray, row);
    const QString path = m_dir.filePath(QStringLiteral("rows.csv"));
    LiveValueLog log;
    QVERIFY2(log.start(path), qPrintable(log.error()));
    log.append(utc, rpm, mA, flags);
    QCOMPARE(log.rows(), 1);
    // Each row is in the file at once, before the log is stopped.
    QCOMPARE(contents(path), kHeader + row);
    log.stop();
    QCOMPARE(contents(path), kHeader + row);
}

void TestLiveLog::unwritable_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("full disk") << "/dev/full";
    QTest::newRow("no folder") << "/proc/no-such-folder/live.csv";
    QTest::newRow("a folder") << QDir::tempPath();
}

void TestLiveLog::unwritable()
{
    QFETCH(QString, path);
    LiveValueLog log;
    QSignalSpy failed(&log, &LiveValueLog::failed);
    QVERIFY(!log.start(path));
    QVERIFY(!log.isActive());
    QVERIFY2(log.error().contains(path), qPrintable(log.error()));
    // Start says so itself; failed() is for a log that was running.
    QCOMPARE(failed.count(), 0);
}

void TestLiveLog::failingWrite_data()
{
    QTest::addColumn<int>("goodRows");
    QTest::newRow("first row") << 0;
    QTest::newRow("fourth row") << 3;
}

void TestLiveLog::failingWrite()
{
    QFETCH(int, goodRows);
    const QString path = m_dir.filePath(QStringLiteral("failing.csv"));
    auto file = std::make_unique<FailingFile>(path, goodRows + 1);
    QVERIFY(file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    LiveValueLog log;
    QSignalSpy failed(&log, &LiveValueLog::failed);
    QSignalSpy stopped(&log, &LiveValueLog::stopped);
    QVERIFY(log.start(std::move(file), path));
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < goodRows + 5; ++i)
        log.append(now, 100 * i, i, QStringLiteral("0000"));

    QCOMPARE(failed.count(), 1);
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!log.isActive());
    QCOMPARE(log.rows(), goodRows);
    QVERIFY(failed.at(0).at(0).toString().contains(QStringLiteral("No space left on device")));
    // The rows before the failure stay whole; the torn one is taken back.
    const QList<QByteArray> rows = rowsOf(path);
    QCOMPARE(rows.size(), 1 + goodRows);
    for (const QByteArray &row : rows)
        QVERIFY2(row.endsWith('\r'), row.constData());
}

void TestLiveLog::logWhilePolling()
{
    test::ConsoleRig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1200"));
    rig.sim().setReply(QStringLiteral("GRC"), QStringLiteral("300"));
    rig.sim().setReply(QStringLiteral("GFS"), QStringLiteral("0100"));
    const QString path = m_dir.filePath(QStringLiteral("polled.csv"));
    QString suggested;
    rig.tools().chooseLogFile = [&](QWidget *, const QString &s, auto chosen) {
        suggested = s;
        chosen(path);
    };
    QPushButton *logButton = rig.button("cmdLog");
    QCOMPARE(logButton->text(), QStringLiteral("Log to file…"));
    logButton->click();
    QVERIFY(QRegularExpression(QStringLiteral("/live-\\d{8}-\\d{6}\\.csv$"))
                .match(suggested)
                .hasMatch());
    QVERIFY(suggested.startsWith(
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)));
    QCOMPARE(logButton->text(), QStringLiteral("Stop logging"));

    // Each cycle's row is in the file before the next cycle starts: nothing waits in a buffer.
    QList<int> rowsSeen;
    const QList<qint64> times =
        rig.pollCycles(5, [&](int) { rowsSeen << int(rowsOf(path).size()) - 1; });
    QCOMPARE(times.size(), 5);
    QCOMPARE(rowsSeen, (QList<int>{1, 2, 3, 4, 5}));
    for (int i = 1; i < times.size(); ++i)
        QVERIFY2(times.at(i) - times.at(i - 1) < 400,
                 qPrintable(QString::number(times.at(i) - times.at(i - 1))));

    const QList<QByteArray> rows = rowsOf(path);
    QCOMPARE(rows.first() + '\n', kHeader);
    const QRegularExpression row(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d,1200,300,0100\r$"));
    for (int i = 1; i < rows.size(); ++i)
        QVERIFY2(row.match(QString::fromUtf8(rows.at(i))).hasMatch(), rows.at(i).constData());

    // Stopped by the button; started again, the console's closing ends it.
    logButton->click();
    QVERIFY(!rig.tools().log().isActive());
    QCOMPARE(logButton->text(), QStringLiteral("Log to file…"));
    logButton->click();
    QVERIFY(rig.tools().log().isActive());
    rig.button("cmdSchliessen")->click();
    QVERIFY(!rig.tools().log().isActive());
    QCOMPARE(rowsOf(path), QList<QByteArray>{kHeader.chopped(1)});
    QCOMPARE(rig.messages.count(), 0);
}

void TestLiveLog::failureWhilePolling()
{
    test::ConsoleRig rig;
    QVERIFY(rig.open());
    const QString path = m_dir.filePath(QStringLiteral("full.csv"));
    auto file = std::make_unique<FailingFile>(path, 3);
    QVERIFY(file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    QVERIFY(rig.tools().log().start(std::move(file), path));

    // Polling goes on past the failure; the operator hears of it once.
    const QList<qint64> times = rig.pollCycles(8);
    QCOMPARE(times.size(), 8);
    QCOMPARE(rig.messages.count(), 1);
    QVERIFY2(rig.messages.texts().first().contains(path), qPrintable(rig.messages.texts().first()));
    QCOMPARE(rig.messages.messages().first().title, QStringLiteral("Error"));
    QCOMPARE(rig.button("cmdLog")->text(), QStringLiteral("Log to file…"));
    QCOMPARE(rowsOf(path).size(), 3);
    QCOMPARE(rig.sentLines().size(), 8 * 3);
}

QTEST_MAIN(TestLiveLog)
#include "tst_livelog.moc"
