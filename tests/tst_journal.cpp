// The run journal: rows survive the trip through the CSV file whatever they hold,
// a failed append leaves earlier rows alone, and the history window shows, filters
// and exports what the journal holds.
#include "journal/JournalCursor.h"
#include "journal/RunJournal.h"
#include "history/RunTableModel.h"
#include "history/frmHistory.h"
#include "link/ProcessGuard.h"
#include "session/RunProgressRows.h"
#include "session/Clock.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QHeaderView>
#include <QLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QCheckBox>
#include <QtTest>
#include <cstdlib>
#include <ctime>

using namespace vyt;

namespace {

RunRecord sample(const QString &note = QStringLiteral("ok"), const QDateTime &started = {})
{
    RunRecord r;
    r.started = started.isValid() ? started
                                  : QDateTime(QDate(2026, 12, 7), QTime(15, 30, 0), Qt::LocalTime);
    r.ended = r.started.addSecs(95);
    r.port = QStringLiteral("COM1");
    r.device = QStringLiteral("/dev/ttyUSB0");
    r.pumpType = QStringLiteral("vyt-P02");
    r.mode = QStringLiteral("dosing");
    r.setValue = QStringLiteral("12.5");
    r.unit = QStringLiteral("µl");
    r.repetitions = QStringLiteral("3");
    r.dosesDone = 3;
    r.delivered = QStringLiteral("37.5");
    r.endedBy = QStringLiteral("completed");
    r.note = note;
    return r;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Row i of a made-up journal: a minute apart, every seventh note over two lines with a
// quote and a comma, so that block edges fall inside quoted fields.
QStringList madeRow(int i)
{
    const QDateTime base(QDate(2026, 1, 1), QTime(8, 0), Qt::LocalTime);
    RunRecord r = sample(i % 7 == 0 ? QStringLiteral("n%1\r\nsecond, \"line\"").arg(i)
                                    : QStringLiteral("n%1").arg(i),
                         base.addSecs(60LL * i));
    return r.fields();
}

// Rows from..to-1 of madeRow into a journal file of their own, header first.
void writeRows(const QString &path, int from, int to)
{
    QByteArray text = RunJournal::csvLine(RunJournal::header());
    for (int i = from; i < to; ++i)
        text += RunJournal::csvLine(madeRow(i));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(text), text.size());
}

const QByteArray kHeader =
    "started,ended,port,device,pump type,mode,set value,unit,repetitions,doses done,delivered,"
    "ended by,note,medium,density,calibration factor,delivered unit,interrupted dose\r\n";
// The header of the journals of older versions.
const QByteArray kOldHeader =
    "started,ended,port,device,pump type,mode,set value,unit,repetitions,doses done,delivered,"
    "ended by,note\r\n";

} // namespace

class tst_journal : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void headerOnceAndExactBytes();
    void timesCarryOffset_data();
    void timesCarryOffset();
    void readsDamagedJournal_data();
    void readsDamagedJournal();
    void rotatesPastLimit();
    void oldFileKeepsItsWidth_data();
    void oldFileKeepsItsWidth();
    void failureLeavesEarlierRows_data();
    void failureLeavesEarlierRows();
    void fullDiskAnswersFalse();
    void tornLastLineDoesNotSwallowNextRow();
    void defaultPathInDataFolder();
    void readsNewestFirstAcrossRotation_data();
    void readsNewestFirstAcrossRotation();
    void readsBackwardsAsForwards_data();
    void readsBackwardsAsForwards();
    void tornRowInLargeJournal();
    void historyNewestFirstAndFilters();
    void historyFetchesOlderRows_data();
    void historyFetchesOlderRows();
    void historyLetsRowsGoWhenClosed();
    void historyShowsLiveRows();
    void historyExportsSelectedRows();
    void historyShowsRowsCompactly_data();
    void historyShowsRowsCompactly();
    void historyExportsWithBom_data();
    void historyExportsWithBom();
    void historyOpensFolder();
    void historyFitsEveryColumn_data();
    void historyFitsEveryColumn();
    void progressRowEveryMinute_data();
    void progressRowEveryMinute();
    void crashRowFollowsProgress_data();
    void crashRowFollowsProgress();
    void spreadsheetCell_data();
    void spreadsheetCell();
    void exportGuardsFormulas_data();
    void exportGuardsFormulas();

private:
    QTemporaryDir m_dir;
};

void tst_journal::roundTrip_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("column");
    QTest::newRow("plain") << QStringLiteral("all fine") << 12;
    QTest::newRow("comma") << QStringLiteral("a, b") << 12;
    QTest::newRow("quote") << QStringLiteral("said \"stop\"") << 12;
    QTest::newRow("only quote") << QStringLiteral("\"") << 12;
    QTest::newRow("crlf") << QStringLiteral("line one\r\nline two") << 12;
    QTest::newRow("lone lf") << QStringLiteral("a\nb") << 12;
    QTest::newRow("lone cr") << QStringLiteral("a\rb") << 12;
    QTest::newRow("all at once") << QStringLiteral("\",\r\n\"\"") << 12;
    QTest::newRow("empty note") << QString() << 12;
    QTest::newRow("micro unit") << QStringLiteral("µl") << 7;
    QTest::newRow("empty unit") << QString() << 7;
    QTest::newRow("empty repetitions") << QString() << 8;
    QTest::newRow("endless") << QStringLiteral("endless") << 8;
    QTest::newRow("device with comma") << QStringLiteral("/dev/by-id/usb,1") << 3;
    QTest::newRow("leading blanks") << QStringLiteral("  12.5 ") << 6;
    QTest::newRow("medium with comma and quote") << QStringLiteral("Ethanol, 96 \"%\"") << 13;
    QTest::newRow("medium over two lines") << QStringLiteral("a\r\nb") << 13;
    QTest::newRow("density") << QStringLiteral("0.9982") << 14;
    QTest::newRow("factor") << QStringLiteral("1.02") << 15;
    QTest::newRow("delivered unit") << QStringLiteral("rev.") << 16;
    QTest::newRow("interrupted dose, last column") << QStringLiteral("2000") << 17;
}

void tst_journal::roundTrip()
{
    QFETCH(QString, field);
    QFETCH(int, column);
    const QString path = m_dir.filePath(QStringLiteral("rt/%1.csv").arg(QTest::currentDataTag()));
    RunJournal journal(path);
    QStringList expected = sample().fields();
    expected[column] = field;
    RunRecord record = RunRecord::fromFields(expected);
    record.dosesDone = -1; // an empty "doses done" must stay empty, not become 0 or -1
    expected[9] = QString();
    QVERIFY2(journal.append(record), qPrintable(journal.error()));
    QVERIFY(journal.append(sample(QStringLiteral("after"))));

    QString error;
    const QList<QStringList> rows = RunJournal::readRows(path, &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0), expected);
    QCOMPARE(rows.at(1), sample(QStringLiteral("after")).fields());
    QCOMPARE(RunRecord::fromFields(rows.at(0)).fields(), expected);
}

void tst_journal::headerOnceAndExactBytes()
{
    const QString path = m_dir.filePath(QStringLiteral("exact/runs.csv"));
    RunJournal journal(path);
    QSignalSpy spy(&journal, &RunJournal::appended);
    QLocale::setDefault(QLocale(QLocale::German)); // the file must not care
    QVERIFY(journal.append(sample(QStringLiteral("x,y"))));
    QVERIFY(journal.append(sample()));
    QLocale::setDefault(QLocale::c());
    // Another journal object on the same file must not write a second header.
    RunJournal other(path);
    QVERIFY(other.append(sample()));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).value<RunRecord>().note, QStringLiteral("x,y"));

    const QByteArray text = contents(path);
    QVERIFY(text.startsWith(kHeader));
    QCOMPARE(text.count(kHeader), 1);
    const QDateTime t(QDate(2026, 12, 7), QTime(15, 30, 0), Qt::LocalTime);
    const int minutes = t.offsetFromUtc() / 60;
    const QByteArray offset = QByteArray(minutes < 0 ? "-" : "+") +
                              QByteArray::number(std::abs(minutes) / 60).rightJustified(2, '0') +
                              ":" +
                              QByteArray::number(std::abs(minutes) % 60).rightJustified(2, '0');
    const QByteArray row = "2026-12-07T15:30:00" + offset + ",2026-12-07T15:31:35" + offset +
                           ",COM1,/dev/ttyUSB0,vyt-P02,dosing,12.5,\xC2\xB5l,3,3,37.5,completed,";
    QCOMPARE(text.mid(kHeader.size()),
             row + "\"x,y\",,,,,\r\n" + row + "ok,,,,,\r\n" + row + "ok,,,,,\r\n");

    // An empty file (a crash right after creating it) still gets its header.
    const QString empty = m_dir.filePath(QStringLiteral("exact/empty.csv"));
    QFile(empty).open(QIODevice::WriteOnly);
    RunJournal fresh(empty);
    QVERIFY(fresh.append(sample()));
    QVERIFY(contents(empty).startsWith(kHeader));
    QCOMPARE(RunJournal::readRows(empty).size(), 1);
}

void tst_journal::timesCarryOffset_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("text");
    const QDate winter(2026, 12, 7);
    const QDate summer(2026, 7, 1);
    const QTime t(15, 30, 0, 999); // milliseconds are dropped, not rounded
    QTest::newRow("utc zone") << QByteArray("UTC") << QDateTime(winter, t)
                              << "2026-12-07T15:30:00+00:00";
    QTest::newRow("berlin winter")
        << QByteArray("Europe/Berlin") << QDateTime(winter, t) << "2026-12-07T15:30:00+01:00";
    QTest::newRow("berlin summer")
        << QByteArray("Europe/Berlin") << QDateTime(summer, t) << "2026-07-01T15:30:00+02:00";
    QTest::newRow("negative half hour")
        << QByteArray("America/St_Johns") << QDateTime(winter, t) << "2026-12-07T15:30:00-03:30";
    QTest::newRow("utc given, local written")
        << QByteArray("Europe/Berlin") << QDateTime(winter, QTime(14, 30), Qt::UTC)
        << "2026-12-07T15:30:00+01:00";
    QTest::newRow("no time") << QByteArray("UTC") << QDateTime() << "";
}

void tst_journal::timesCarryOffset()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, time);
    QFETCH(QString, text);
    if (!QFile::exists(QStringLiteral("/usr/share/zoneinfo/") + QString::fromLatin1(zone)))
        QSKIP("time zone data missing");
    const QByteArray saved = qgetenv("TZ");
    qputenv("TZ", ":" + zone);
    tzset();
    // Built after the zone change: a local QDateTime resolves its offset lazily.
    const QDateTime local =
        time.timeSpec() == Qt::UTC ? time : QDateTime(time.date(), time.time(), Qt::LocalTime);
    RunRecord r = sample();
    r.started = time.isValid() ? local : QDateTime();
    const QStringList fields = r.fields();
    const QDateTime back = RunRecord::fromFields(fields).started;
    // Local times resolve against the zone when asked: take the instants before restoring.
    const qint64 written = local.toSecsSinceEpoch();
    const qint64 read = back.isValid() ? back.toSecsSinceEpoch() : -1;
    if (saved.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", saved);
    tzset();
    QCOMPARE(fields.first(), text);
    QCOMPARE(read, time.isValid() ? written : -1);
}

void tst_journal::readsDamagedJournal_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("firstFields");
    QTest::addColumn<int>("rowCount");
    QTest::newRow("no final line end") << kHeader + "a,b,c" << QStringList{"a", "b", "c"} << 1;
    QTest::newRow("short row") << kHeader + "a\r\nb,c\r\n" << QStringList{"a", ""} << 2;
    QTest::newRow("lf only") << kHeader + "a,b\nc,d\n" << QStringList{"a", "b"} << 2;
    QTest::newRow("blank lines") << kHeader + "\r\n\r\na\r\n\r\n" << QStringList{"a"} << 1;
    QTest::newRow("no header") << QByteArray("a,b\r\n") << QStringList{"a", "b"} << 1;
    QTest::newRow("header only") << kHeader << QStringList{} << 0;
    QTest::newRow("empty file") << QByteArray() << QStringList{} << 0;
    QTest::newRow("bom") << "\xEF\xBB\xBF" + kHeader + "a\r\n" << QStringList{"a"} << 1;
    QTest::newRow("unclosed quote at end") << kHeader + "a,b\r\nc,\"torn\r\n"
                                           << QStringList{"a", "b"} << 2;
    QTest::newRow("text after closing quote") << kHeader + "\"a\"b,c\r\n"
                                              << QStringList{"ab", "c"} << 1;
    // An unquoted comma in an older version's note: the rest belongs to the note.
    QTest::newRow("too many fields, old file")
        << kOldHeader + "1,2,3,4,5,6,7,8,9,10,11,12,note,more\r\n"
        << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "note,more", ""}
        << 1;
    QTest::newRow("too many fields")
        << kHeader + "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19\r\n"
        << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
                       "15", "16", "17", "18,19"}
        << 1;
    QTest::newRow("bad utf8") << kHeader + "\xFF\xFE,x\r\n"
                              << QStringList{"\uFFFD\uFFFD", "x"} << 1;
}

void tst_journal::readsDamagedJournal()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, firstFields);
    QFETCH(int, rowCount);
    const QString path = m_dir.filePath(QStringLiteral("damaged.csv"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();
    const QList<QStringList> rows = RunJournal::readRows(path);
    QCOMPARE(rows.size(), rowCount);
    for (const QStringList &row : rows)
        QCOMPARE(row.size(), RunJournal::header().size());
    if (rowCount > 0)
        QCOMPARE(rows.first().mid(0, firstFields.size()), firstFields);
}

void tst_journal::readsNewestFirstAcrossRotation_data()
{
    QTest::addColumn<int>("rotated"); // rows 0..rotated-1 in runs.csv.1
    QTest::addColumn<int>("total");   // the rest in runs.csv
    QTest::addColumn<int>("since");   // row whose start is "since"; -1: none
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("truncated");
    QTest::newRow("current only") << 0 << 2000 << -1 << 5000 << 2000 << false;
    QTest::newRow("both files") << 1500 << 2200 << -1 << 5000 << 2200 << false;
    QTest::newRow("exactly the limit") << 1500 << 2200 << -1 << 2200 << 2200 << false;
    QTest::newRow("limit in the current") << 1500 << 2200 << -1 << 100 << 100 << true;
    QTest::newRow("limit in the rotated") << 1500 << 2200 << -1 << 1000 << 1000 << true;
    QTest::newRow("since in the current") << 1500 << 2200 << 1800 << 5000 << 400 << false;
    QTest::newRow("since in the rotated") << 1500 << 2200 << 1000 << 5000 << 1200 << false;
    QTest::newRow("since and limit") << 1500 << 2200 << 1000 << 1199 << 1199 << true;
    QTest::newRow("rotated only") << 1500 << 1500 << 10 << 5000 << 1490 << false;
}

void tst_journal::readsNewestFirstAcrossRotation()
{
    QFETCH(int, rotated);
    QFETCH(int, total);
    QFETCH(int, since);
    QFETCH(int, limit);
    QFETCH(int, count);
    QFETCH(bool, truncated);
    const QString path = m_dir.filePath(QStringLiteral("newest/%1/runs.csv").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    if (rotated > 0)
        writeRows(path + QStringLiteral(".1"), 0, rotated);
    if (total > rotated)
        writeRows(path, rotated, total);
    const QDateTime from =
        since < 0 ? QDateTime() : QDateTime::fromString(madeRow(since).first(), Qt::ISODate);
    const JournalPage page = readNewest({path, path + QStringLiteral(".1")}, from, limit);
    QVERIFY2(page.error.isEmpty(), qPrintable(page.error));
    QCOMPARE(page.rows.size(), count);
    QCOMPARE(page.truncated, truncated);
    for (int i = 0; i < count; ++i)
        QCOMPARE(page.rows.at(i), madeRow(total - 1 - i));
}

void tst_journal::readsBackwardsAsForwards_data()
{
    readsDamagedJournal_data();
    QTest::newRow("quoted field over lines")
        << kHeader + "a,\"x\r\n\"\"y\"\",\r\nz\"\r\nb\r\n" << QStringList{"a", "x\r\n\"y\",\r\nz"} << 2;
    QTest::newRow("torn row before quoted rows")
        << kHeader + "a\r\nc,\"torn\r\nd,\"q,1\"\r\ne\r\n" << QStringList{"a"} << 3;
}

void tst_journal::readsBackwardsAsForwards()
{
    QFETCH(QByteArray, text);
    const QString path = m_dir.filePath(QStringLiteral("backwards.csv"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();
    QList<QStringList> forwards = RunJournal::readRows(path);
    std::reverse(forwards.begin(), forwards.end());
    JournalCursor cursor({path});
    QCOMPARE(cursor.take(1000), forwards);
    QVERIFY(cursor.atEnd());
    QVERIFY(cursor.error().isEmpty());
}

void tst_journal::tornRowInLargeJournal()
{
    // A crash tore a row in the middle of a journal larger than a record can be; rows
    // with quotes follow it. Each row before and after it is read whole.
    const QString path = m_dir.filePath(QStringLiteral("torn-large.csv"));
    const int before = 20000;
    const int after = 300;
    QByteArray text = RunJournal::csvLine(RunJournal::header());
    for (int i = 0; i < before; ++i)
        text += RunJournal::csvLine(madeRow(i));
    QVERIFY(text.size() > 2 * JournalCursor::kLongestRecord);
    text += "2026-01-09T00:00:00+01:00,\"torn\r\n";
    for (int i = before; i < before + after; ++i)
        text += RunJournal::csvLine(madeRow(i));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(text), text.size());
    f.close();
    JournalCursor cursor({path});
    const QList<QStringList> rows = cursor.take(before + after + 10);
    QCOMPARE(rows.size(), before + after + 1);
    for (int i = 0; i < after; ++i)
        QCOMPARE(rows.at(i), madeRow(before + after - 1 - i));
    QCOMPARE(rows.at(after).value(1), QStringLiteral("\"torn"));
    for (int i = 0; i < before; ++i)
        QCOMPARE(rows.at(after + 1 + i), madeRow(before - 1 - i));
}

void tst_journal::rotatesPastLimit()
{
    const QString path = m_dir.filePath(QStringLiteral("rot/runs.csv"));
    RunJournal journal(path);
    const qint64 rowSize = RunJournal::csvLine(sample().fields()).size();
    journal.setRotationSize(kHeader.size() + 2 * rowSize); // two rows fit, the third is "past"
    QFile::remove(journal.rotatedPath());
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("rot"))));
    QFile stale(journal.rotatedPath());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("stale\r\n");
    stale.close();

    for (int i = 0; i < 4; ++i)
        QVERIFY(journal.append(sample(QString::number(i))));
    // Rows 0..2 fill the first file (the limit is crossed only by row 2), row 3 starts anew.
    const QList<QStringList> old = RunJournal::readRows(journal.rotatedPath());
    QCOMPARE(old.size(), 3);
    QCOMPARE(RunRecord::fromFields(old.last()).note, QStringLiteral("2"));
    const QByteArray fresh = contents(path);
    QVERIFY(fresh.startsWith(kHeader));
    QCOMPARE(RunJournal::readRows(path).size(), 1);
    QCOMPARE(RunRecord::fromFields(RunJournal::readRows(path).first()).note, QStringLiteral("3"));
    QVERIFY(!contents(journal.rotatedPath()).contains("stale"));
}

void tst_journal::oldFileKeepsItsWidth_data()
{
    QTest::addColumn<QByteArray>("before"); // the file's text before the appends
    QTest::addColumn<int>("width");         // of the rows appended to it
    QTest::newRow("new file") << QByteArray() << 18;
    QTest::newRow("older version's file") << kOldHeader + "a,b\r\n" << 13;
    QTest::newRow("with a bom") << "\xEF\xBB\xBF" + kOldHeader << 13;
    QTest::newRow("no header of ours") << QByteArray("x,y\r\n") << 18;
    QTest::newRow("current file") << kHeader << 18;
}

void tst_journal::oldFileKeepsItsWidth()
{
    // A file begun by an older version is appended to in its own width, never rewritten;
    // rotation then starts one with every column.
    QFETCH(QByteArray, before);
    QFETCH(int, width);
    const QString path = m_dir.filePath(QStringLiteral("width-%1/runs.csv").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile::remove(path + QStringLiteral(".1"));
    if (!before.isEmpty()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(before), before.size());
    }
    RunJournal journal(path);
    RunRecord r = sample(QStringLiteral("n,1"));
    r.medium = QStringLiteral("Water 20 °C");
    r.density = QStringLiteral("0.9982");
    r.calibrationFactor = QStringLiteral("1.02");
    r.deliveredUnit = QStringLiteral("µl");
    r.interruptedDose = QStringLiteral("12.5");
    QCOMPARE(journal.rowLine(r), RunJournal::csvLine(r.fields().mid(0, width)));
    QVERIFY(journal.append(r));
    QVERIFY(journal.append(r)); // the second append knows the file's size already
    const QByteArray text = contents(path);
    const QByteArray start = before.isEmpty() ? kHeader : before;
    QVERIFY(text.startsWith(start));
    QCOMPARE(text.mid(start.size()), RunJournal::csvLine(r.fields().mid(0, width)).repeated(2));

    // Both readers give rows of every column: what the old file lacks is empty.
    QStringList expected = r.fields().mid(0, width);
    while (expected.size() < RunJournal::header().size())
        expected << QString();
    const QList<QStringList> forwards = RunJournal::readRows(path);
    QCOMPARE(forwards.last(), expected);
    const JournalPage backwards = readNewest({path}, QDateTime(), 10);
    QCOMPARE(backwards.rows.first(), expected);
    QCOMPARE(backwards.rows.size(), forwards.size());

    journal.setRotationSize(1);
    QVERIFY(journal.append(r));
    QVERIFY(contents(path).startsWith(kHeader));
    QCOMPARE(RunJournal::readRows(path).first(), r.fields());

    // Deleted by hand and begun again (perhaps on the same inode): every column again.
    journal.setRotationSize(RunJournal::kRotationSize);
    QVERIFY(QFile::remove(path));
    QVERIFY(journal.append(r));
    QVERIFY(journal.append(r));
    QCOMPARE(contents(path), kHeader + RunJournal::csvLine(r.fields()).repeated(2));
}

void tst_journal::failureLeavesEarlierRows_data()
{
    QTest::addColumn<QString>("blocker");
    // Both fail for root as well: a folder where the file should be, and a regular
    // file where a folder of the path should be.
    QTest::newRow("folder in place of file") << QStringLiteral("file");
    QTest::newRow("file in place of folder") << QStringLiteral("folder");
}

void tst_journal::failureLeavesEarlierRows()
{
    QFETCH(QString, blocker);
    const QString base = m_dir.filePath(QStringLiteral("fail-") + blocker);
    const QString good = base + QStringLiteral("/runs.csv");
    RunJournal first(good);
    QVERIFY(first.append(sample(QStringLiteral("kept"))));
    const QByteArray before = contents(good);

    QString badPath;
    if (blocker == QLatin1String("file")) {
        badPath = base + QStringLiteral("/sub/runs.csv");
        QVERIFY(QDir().mkpath(badPath)); // runs.csv is a folder
    } else {
        badPath = good + QStringLiteral("/runs.csv"); // below the regular file runs.csv
    }
    RunJournal bad(badPath);
    QSignalSpy spy(&bad, &RunJournal::appended);
    QVERIFY(!bad.append(sample()));
    QVERIFY(!bad.error().isEmpty());
    QVERIFY2(bad.error().contains(QDir::toNativeSeparators(badPath)), qPrintable(bad.error()));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(contents(good), before);
    // The same journal recovers once the obstacle is gone.
    QVERIFY(first.append(sample(QStringLiteral("later"))));
    QCOMPARE(RunJournal::readRows(good).size(), 2);
}

void tst_journal::fullDiskAnswersFalse()
{
    // /dev/full accepts the open and refuses every byte, as a full disk does.
    if (!QFileInfo(QStringLiteral("/dev/full")).isWritable())
        QSKIP("no /dev/full");
    RunJournal journal(QStringLiteral("/dev/full"));
    QSignalSpy spy(&journal, &RunJournal::appended);
    QVERIFY(!journal.append(sample()));
    QVERIFY2(journal.error().contains(QStringLiteral("/dev/full")), qPrintable(journal.error()));
    QCOMPARE(spy.count(), 0);
}

void tst_journal::tornLastLineDoesNotSwallowNextRow()
{
    const QString path = m_dir.filePath(QStringLiteral("torn.csv"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(kHeader + "2026-12-07T15:30:00+01:00,,COM1"); // cut off mid-row
    }
    RunJournal journal(path);
    QVERIFY(journal.append(sample(QStringLiteral("whole"))));
    const QList<QStringList> rows = RunJournal::readRows(path);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).at(2), QStringLiteral("COM1"));
    QCOMPARE(rows.at(1), sample(QStringLiteral("whole")).fields());
}

void tst_journal::defaultPathInDataFolder()
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("vyt-pump-controller"));
    const QString data = m_dir.filePath(QStringLiteral("xdg"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
    QCOMPARE(RunJournal::defaultPath(), data + QStringLiteral("/vyt-pump-controller/runs.csv"));
    if (saved.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", saved);
    QCoreApplication::setApplicationName(name);
}

// The rows a view shows, each as its "note" column text, top to bottom.
static QStringList shownNotes(const QTableView *view)
{
    QStringList notes;
    const QAbstractItemModel *m = view->model();
    for (int r = 0; r < m->rowCount(); ++r)
        notes << m->index(r, RunTableModel::kNoteColumn).data().toString();
    return notes;
}

void tst_journal::historyNewestFirstAndFilters()
{
    const QString path = m_dir.filePath(QStringLiteral("hist1/runs.csv"));
    RunJournal journal(path);
    const QDateTime now = QDateTime::currentDateTime();
    RunRecord old = sample(QStringLiteral("old"), now.addDays(-20));
    RunRecord flow = sample(QStringLiteral("flow"), now.addSecs(-3600));
    flow.mode = QStringLiteral("flow");
    RunRecord recent = sample(QStringLiteral("recent"), now.addSecs(-60));
    // Written out of order: the window sorts by time, not by file position.
    QVERIFY(journal.append(flow));
    QVERIFY(journal.append(old));
    QVERIFY(journal.append(recent));

    frmHistory window(journal);
    QCOMPARE(window.objectName(), QStringLiteral("frmHistory"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Run history"));
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    auto *mode = window.findChild<QComboBox *>(QStringLiteral("cboMode"));
    auto *period = window.findChild<QComboBox *>(QStringLiteral("cboPeriod"));
    QVERIFY(view && mode && period);
    // Read in a worker: the rows come in a moment later.
    QTRY_COMPARE(shownNotes(view), (QStringList{"recent", "flow", "old"}));

    mode->setCurrentIndex(mode->findText(QStringLiteral("flow")));
    QCOMPARE(shownNotes(view), QStringList{"flow"});
    mode->setCurrentIndex(mode->findText(QStringLiteral("dosing")));
    QCOMPARE(shownNotes(view), (QStringList{"recent", "old"}));
    period->setCurrentIndex(period->findText(QStringLiteral("Last 7 days")));
    QCOMPARE(shownNotes(view), QStringList{"recent"});
    mode->setCurrentIndex(mode->findText(QStringLiteral("All modes")));
    QCOMPARE(shownNotes(view), (QStringList{"recent", "flow"}));

    // A click on the header sorts the other way.
    view->sortByColumn(RunTableModel::kStartedColumn, Qt::AscendingOrder);
    QCOMPARE(shownNotes(view), (QStringList{"flow", "recent"}));
}

void tst_journal::historyShowsLiveRows()
{
    const QString path = m_dir.filePath(QStringLiteral("hist2/runs.csv"));
    RunJournal journal(path);
    QVERIFY(
        journal.append(sample(QStringLiteral("first"), QDateTime::currentDateTime().addSecs(-5))));
    frmHistory window(journal);
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    QTRY_COMPARE(shownNotes(view), QStringList{"first"});
    QVERIFY(journal.append(sample(QStringLiteral("live"), QDateTime::currentDateTime())));
    QCOMPARE(shownNotes(view), (QStringList{"live", "first"}));
    // A failed append shows nothing.
    RunJournal broken(path + QStringLiteral("/below-a-file.csv"));
    QVERIFY(!broken.append(sample()));
    QCOMPARE(view->model()->rowCount(), 2);
}

void tst_journal::historyShowsRowsCompactly_data()
{
    QTest::addColumn<QStringList>("fields"); // set value, unit, repetitions, doses done,
                                             // delivered, delivered unit, interrupted dose
    QTest::addColumn<QStringList>("shown");  // set value, doses done, delivered
    QTest::newRow("doses") << QStringList{"30", "µl", "3", "3", "90", "µl", ""}
                           << QStringList{"30 µl", "3 of 3", "90 µl"};
    QTest::newRow("cut short") << QStringList{"2000", "µl", "1", "0", "0", "µl", "2000"}
                               << QStringList{"2000 µl", "0 of 1", "0 µl + up to 2000 µl"};
    QTest::newRow("endless") << QStringList{"5", "mg", "endless", "41", "205", "mg", ""}
                             << QStringList{"5 mg", "41 (endless)", "205 mg"};
    QTest::newRow("flow") << QStringList{"2", "ml/min", "", "", "0.1002543", "ml", ""}
                          << QStringList{"2 ml/min", "", "0.1002543 ml"};
    // A row of an older version's journal: no delivered unit, shown as it was.
    QTest::newRow("older row") << QStringList{"12.5", "µl", "3", "3", "37.5", "", ""}
                               << QStringList{"12.5 µl", "3 of 3", "37.5"};
    QTest::newRow("potentiometer") << QStringList{"", "", "", "", "", "", ""}
                                   << QStringList{"", "", ""};
}

void tst_journal::historyShowsRowsCompactly()
{
    QFETCH(QStringList, fields);
    QFETCH(QStringList, shown);
    QStringList row = sample().fields();
    const int columns[] = {RunTableModel::kSetValueColumn, RunTableModel::kUnitColumn,
                           RunTableModel::kRepetitionsColumn, RunTableModel::kDosesColumn,
                           RunTableModel::kDeliveredColumn, RunTableModel::kDeliveredUnitColumn,
                           RunTableModel::kInterruptedColumn};
    for (int i = 0; i < fields.size(); ++i)
        row[columns[i]] = fields.at(i);
    RunTableModel model;
    model.setRows({row});
    const auto text = [&](int column) { return model.index(0, column).data(Qt::DisplayRole).toString(); };
    QCOMPARE((QStringList{text(RunTableModel::kSetValueColumn), text(RunTableModel::kDosesColumn),
                          text(RunTableModel::kDeliveredColumn)}),
             shown);
    // The export takes the fields as they are.
    QCOMPARE(model.fields(0), row);
}

void tst_journal::historyExportsWithBom_data()
{
    QTest::addColumn<int>("key"); // pressed on the check box; 0: none
    QTest::addColumn<bool>("bom");
    QTest::newRow("as it opens") << 0 << false;
    QTest::newRow("Space checks it") << int(Qt::Key_Space) << true;
    QTest::newRow("Enter leaves it") << int(Qt::Key_Return) << false;
}

void tst_journal::historyExportsWithBom()
{
    QFETCH(int, key);
    QFETCH(bool, bom);
    const QString path = m_dir.filePath(QStringLiteral("bom-%1/runs.csv").arg(QTest::currentDataTag()));
    RunJournal journal(path);
    QVERIFY(journal.append(sample(QStringLiteral("=1+2"))));
    frmHistory window(journal);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    QTRY_COMPARE(view->model()->rowCount(), 1);
    const QString target = m_dir.filePath(QStringLiteral("bom-%1.csv").arg(QTest::currentDataTag()));
    int asked = 0;
    window.saveFileName = [&](QWidget *, const QString &, const QString &, const QString &) {
        ++asked;
        return target;
    };
    auto *box = window.findChild<QCheckBox *>(QStringLiteral("chkExportBom"));
    QVERIFY(box);
    box->setFocus();
    if (key != 0)
        QTest::keyClick(box, Qt::Key(key));
    QCOMPARE(asked, 0); // no key on the box exports
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdExport")), Qt::LeftButton);
    QCOMPARE(asked, 1);
    const QByteArray text = contents(target);
    QCOMPARE(text.startsWith("\xEF\xBB\xBF"), bom);
    QVERIFY(text.mid(bom ? 3 : 0).startsWith(kHeader));
    // The export defuses the formula; the journal keeps the note exactly.
    QCOMPARE(RunRecord::fromFields(RunJournal::readRows(target).first()).note, QStringLiteral("'=1+2"));
    QCOMPARE(RunRecord::fromFields(RunJournal::readRows(path).first()).note, QStringLiteral("=1+2"));
}

void tst_journal::historyExportsSelectedRows()
{
    const QString path = m_dir.filePath(QStringLiteral("hist3/runs.csv"));
    RunJournal journal(path);
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 4; ++i)
        QVERIFY(journal.append(sample(QStringLiteral("n%1, \"q\"\r\nx").arg(i), now.addSecs(i))));
    frmHistory window(journal);
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    auto *exportButton = window.findChild<QPushButton *>(QStringLiteral("cmdExport"));
    QVERIFY(view && exportButton);
    QTRY_COMPARE(view->model()->rowCount(), 4);

    const QString target = m_dir.filePath(QStringLiteral("export.csv"));
    int asked = 0;
    window.saveFileName = [&](QWidget *, const QString &, const QString &, const QString &) {
        ++asked;
        return target;
    };
    // Rows 1 and 3 as shown (newest first): n2 and n0.
    view->selectionModel()->select(view->model()->index(1, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(3, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::mouseClick(exportButton, Qt::LeftButton);
    QCOMPARE(asked, 1);
    const QByteArray text = contents(target);
    QVERIFY(text.startsWith(kHeader));
    QList<QStringList> rows = RunJournal::readRows(target);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0), sample(QStringLiteral("n2, \"q\"\r\nx"), now.addSecs(2)).fields());
    QCOMPARE(rows.at(1), sample(QStringLiteral("n0, \"q\"\r\nx"), now.addSecs(0)).fields());

    // Nothing selected: every row shown; a cancelled dialog writes nothing.
    view->clearSelection();
    QTest::mouseClick(exportButton, Qt::LeftButton);
    QCOMPARE(RunJournal::readRows(target).size(), 4);
    QFile::remove(target);
    window.saveFileName = [](QWidget *, const QString &, const QString &, const QString &) {
        return QString();
    };
    QTest::mouseClick(exportButton, Qt::LeftButton);
    QVERIFY(!QFile::exists(target));
}

void tst_journal::historyFetchesOlderRows_data()
{
    QTest::addColumn<QString>("mode"); // the filter; empty: all modes
    QTest::addColumn<int>("flowRow");  // the one flow run; -1: none
    QTest::addColumn<QString>("firstShown");
    QTest::newRow("scrolled to the end") << "" << -1 << "n1999";
    QTest::newRow("filter hides the newest") << "flow" << 3 << "n3";
}

void tst_journal::historyFetchesOlderRows()
{
    QFETCH(QString, mode);
    QFETCH(int, flowRow);
    QFETCH(QString, firstShown);
    const QString path =
        m_dir.filePath(QStringLiteral("fetch-%1/runs.csv").arg(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    writeRows(path + QStringLiteral(".1"), 0, 1500);
    writeRows(path, 1500, 2000);
    if (flowRow >= 0) {
        // The rotated file again, one of its runs a flow.
        QByteArray text = RunJournal::csvLine(RunJournal::header());
        for (int i = 0; i < 1500; ++i) {
            QStringList row = madeRow(i);
            if (i == flowRow)
                row[RunTableModel::kModeColumn] = QStringLiteral("flow");
            text += RunJournal::csvLine(row);
        }
        QFile f(path + QStringLiteral(".1"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    RunJournal journal(path);
    frmHistory window(journal);
    window.resize(900, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    auto *runs = qobject_cast<QSortFilterProxyModel *>(view->model());
    QVERIFY(runs);
    // The newest chunk at once, not the whole journal (a slow build may have fetched a
    // second chunk by the time we look).
    QTRY_VERIFY(runs->sourceModel()->rowCount() >= RunTableModel::kFetchRows);
    QVERIFY(runs->sourceModel()->rowCount() < 2000);
    QCOMPARE(shownNotes(view).first(), QStringLiteral("n1999"));
    auto *modes = window.findChild<QComboBox *>(QStringLiteral("cboMode"));
    if (!mode.isEmpty())
        modes->setCurrentIndex(modes->findText(mode));
    for (int turn = 0; turn < 20 && runs->sourceModel()->rowCount() < 2000; ++turn) {
        view->scrollToBottom();
        QTRY_VERIFY(!qobject_cast<RunTableModel *>(runs->sourceModel())->fetching());
    }
    QTRY_COMPARE(runs->sourceModel()->rowCount(), 2000);
    // The end is known once a read comes back short: one more scroll may be needed.
    for (int turn = 0; turn < 5 && runs->canFetchMore({}); ++turn) {
        view->scrollToBottom();
        QTRY_VERIFY(!qobject_cast<RunTableModel *>(runs->sourceModel())->fetching());
    }
    QVERIFY(!runs->canFetchMore({}));
    QCOMPARE(runs->sourceModel()->rowCount(), 2000);
    QCOMPARE(shownNotes(view).first(), firstShown);
    if (mode.isEmpty())
        QVERIFY(shownNotes(view).last().startsWith(QStringLiteral("n0 ")));
    else
        QCOMPARE(shownNotes(view).size(), 1);
}

void tst_journal::historyLetsRowsGoWhenClosed()
{
    const QString path = m_dir.filePath(QStringLiteral("closed/runs.csv"));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    writeRows(path, 0, 50);
    RunJournal journal(path);
    frmHistory window(journal);
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    window.show();
    QTRY_COMPARE(view->model()->rowCount(), 50);
    window.close();
    QCOMPARE(view->model()->rowCount(), 0);
    QVERIFY(journal.append(sample(QStringLiteral("while closed"), QDateTime::currentDateTime())));
    window.show();
    QTRY_COMPARE(view->model()->rowCount(), 51);
    QCOMPARE(shownNotes(view).first(), QStringLiteral("while closed"));
}

void tst_journal::historyOpensFolder()
{
    const QString path = m_dir.filePath(QStringLiteral("hist4/sub/runs.csv"));
    RunJournal journal(path);
    frmHistory window(journal);
    QList<QUrl> opened;
    window.openUrl = [&](const QUrl &url) {
        opened << url;
        return true;
    };
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdOpenFolder")),
                      Qt::LeftButton);
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("hist4/sub")))});
}

void tst_journal::historyFitsEveryColumn_data()
{
    QTest::addColumn<QString>("device"); // empty: no run in the journal
    QTest::addColumn<QString>("note");
    QTest::newRow("no runs yet") << ""
                                 << "";
    QTest::newRow("a run") << "/dev/ttyUSB0"
                           << "remote 127.0.0.1";
    QTest::newRow("a long device and note")
        << "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
        << QString(300, QLatin1Char('n'));
}

void tst_journal::historyFitsEveryColumn()
{
    QFETCH(QString, device);
    QFETCH(QString, note);
    const QString path =
        m_dir.filePath(QStringLiteral("fit-%1/runs.csv").arg(QTest::currentDataTag()));
    RunJournal journal(path);
    if (!device.isEmpty()) {
        RunRecord r = sample(note);
        r.device = device;
        r.mode = QStringLiteral("potentiometer");
        r.endedBy = QStringLiteral("program ended");
        QVERIFY(journal.append(r));
    }
    frmHistory window(journal);
    auto *view = window.findChild<QTableView *>(QStringLiteral("tblRuns"));
    const QSize size = window.fittingSize(QSize(1280, 1024));
    QVERIFY2(size.width() <= 1280, qPrintable(QString::number(size.width())));
    QVERIFY(size.height() <= 1024);
    window.resize(size);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Every column in view, none cut below its header's width but a long device or note,
    // about twenty rows.
    QTRY_COMPARE(view->horizontalScrollBar()->maximum(), 0);
    for (int c = 0; c < view->model()->columnCount(); ++c) {
        if (view->isColumnHidden(c))
            continue;
        const bool freeText = c == RunTableModel::kDeviceColumn || c == RunTableModel::kNoteColumn ||
                              c == RunTableModel::kMediumColumn;
        const int header = view->horizontalHeader()->sectionSizeHint(c);
        const int least = freeText ? std::min(int(frmHistory::kNarrowestColumn), header) : header;
        QVERIFY2(view->columnWidth(c) >= least, qPrintable(QString::number(c)));
    }
    QVERIFY(view->viewport()->height() >= 15 * view->verticalHeader()->defaultSectionSize());
    // A smaller limit bounds it.
    QCOMPARE(window.fittingSize(QSize(640, 480)).boundedTo(QSize(640, 480)),
             window.fittingSize(QSize(640, 480)));
}

void tst_journal::progressRowEveryMinute_data()
{
    QTest::addColumn<int>("minutes");
    QTest::newRow("under a minute") << 0;
    QTest::newRow("one minute") << 1;
    QTest::newRow("three minutes") << 3;
}

void tst_journal::progressRowEveryMinute()
{
    // A run's progress row each minute, marked running with what it has done by then;
    // the final row follows them, with the same start.
    QFETCH(int, minutes);
    const QString path = m_dir.filePath(QStringLiteral("progress/%1.csv").arg(minutes));
    RunJournal journal(path);
    qint64 doses = 0;
    RunProgressRows rows(
        journal, [&] { return sample(QString(), {}); },
        [&](const RunRecord &row) {
            RunRecord counted = row;
            counted.dosesDone = doses;
            QVERIFY(journal.append(counted));
        });
    rows.begin();
    for (int m = 1; m <= minutes; ++m) {
        doses = 1000 * m;
        advanceClockForTest(RunProgressRows::kIntervalMs);
        QTRY_COMPARE(RunJournal::readRows(path).size(), m);
    }
    rows.end();
    QVERIFY(journal.append(sample(QStringLiteral("final"))));

    const QList<QStringList> got = RunJournal::readRows(path);
    QCOMPARE(got.size(), minutes + 1);
    for (int m = 0; m < minutes; ++m) {
        QCOMPARE(got.at(m).at(11), QStringLiteral("running"));
        QCOMPARE(got.at(m).at(9), QString::number(1000 * (m + 1)));
        QCOMPARE(got.at(m).at(0), got.last().at(0));
    }
    QCOMPARE(got.last().at(11), QStringLiteral("completed"));
    QVERIFY(!rows.isActive()); // ended: nothing more comes
}

void tst_journal::crashRowFollowsProgress_data()
{
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<bool>("ended"); // the run ended before the crash
    QTest::addColumn<QString>("note");
    QTest::addColumn<QStringList>("expected"); // doses done, ended by, note; empty: no row
    QTest::newRow("fault during the run") << true << false << "n" << QStringList{"58121", "crashed", "n"};
    QTest::newRow("impatient end") << false << false << "n" << QStringList{"58121", "program ended", "n"};
    QTest::newRow("after the run's end") << true << true << "n" << QStringList{};
    QTest::newRow("note too long for the room")
        << true << false << QString(3000, QLatin1Char('x')) << QStringList{"58121", "crashed", ""};
}

void tst_journal::crashRowFollowsProgress()
{
    // What the fatal-signal handler writes, called here in-process: the run's row as its
    // last progress left it, into a journal that had no header yet.
    QFETCH(bool, crashed);
    QFETCH(bool, ended);
    QFETCH(QString, note);
    QFETCH(QStringList, expected);
    const QString path = m_dir.filePath(QStringLiteral("crash/%1.csv").arg(QTest::currentDataTag()));
    RunJournal journal(path);
    RunRecord progress = sample(note);
    progress.repetitions = QStringLiteral("endless");
    progress.dosesDone = 1;
    RunProgressRows rows(journal, [&] { return progress; }, [](const RunRecord &) {});
    rows.begin();
    progress.dosesDone = 58121;
    rows.refresh();
    if (ended)
        rows.end();
    ProcessGuard::writeCrashRow(crashed);
    ProcessGuard::writeCrashRow(crashed); // once, however many ways out follow

    const QList<QStringList> got = RunJournal::readRows(path);
    QVERIFY(contents(path).startsWith(kHeader));
    QCOMPARE(got.size(), expected.isEmpty() ? 0 : 1);
    if (expected.isEmpty())
        return;
    QCOMPARE(got.first().at(0), sample().fields().at(0));
    QCOMPARE(got.first().at(8), QStringLiteral("endless"));
    QCOMPARE((QStringList{got.first().at(9), got.first().at(11), got.first().at(12)}), expected);
}

void tst_journal::spreadsheetCell_data()
{
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("written");
    QTest::newRow("formula") << "=1+2*3"
                             << "'=1+2*3";
    QTest::newRow("hyperlink") << "=HYPERLINK(\"http://x\",\"y\")"
                               << "'=HYPERLINK(\"http://x\",\"y\")";
    QTest::newRow("plus") << "+cmd"
                          << "'+cmd";
    QTest::newRow("minus sum") << "-2+3"
                               << "'-2+3";
    QTest::newRow("at") << "@SUM(A1)"
                        << "'@SUM(A1)";
    QTest::newRow("tab") << "\tx"
                         << "'\tx";
    QTest::newRow("carriage return") << "\rx"
                                     << "'\rx";
    QTest::newRow("minus alone") << "-"
                                 << "'-";
    QTest::newRow("negative number") << "-2.5"
                                     << "-2.5";
    QTest::newRow("negative, decimal comma") << "-2,5"
                                             << "-2,5";
    QTest::newRow("signed whole number") << "+3"
                                         << "+3";
    QTest::newRow("exponent") << "-1E+07"
                              << "-1E+07";
    QTest::newRow("fraction without zero") << "-.5"
                                           << "-.5";
    QTest::newRow("number then text") << "-2.5e"
                                      << "'-2.5e";
    QTest::newRow("equals inside") << "a=b"
                                   << "a=b";
    QTest::newRow("plain text") << "vyt-P02"
                                << "vyt-P02";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_journal::spreadsheetCell()
{
    QFETCH(QString, cell);
    QFETCH(QString, written);
    QCOMPARE(RunJournal::spreadsheetCell(cell), written);
}

void tst_journal::exportGuardsFormulas_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<QString>("exported");
    QTest::newRow("device path") << 3 << "=1+2*3"
                                 << "'=1+2*3";
    QTest::newRow("pump type") << 4 << "@SUM(A1)"
                               << "'@SUM(A1)";
    QTest::newRow("note, hyperlink") << 12 << "=HYPERLINK(\"http://x\")"
                                     << "'=HYPERLINK(\"http://x\")";
    QTest::newRow("note, tab") << 12 << "\t+1"
                               << "'\t+1";
    QTest::newRow("negative set value") << 6 << "-2.5"
                                        << "-2.5";
    QTest::newRow("negative delivered") << 10 << "-1E+07"
                                        << "-1E+07";
}

void tst_journal::exportGuardsFormulas()
{
    QFETCH(int, column);
    QFETCH(QString, cell);
    QFETCH(QString, exported);
    const QString path =
        m_dir.filePath(QStringLiteral("guard/%1.csv").arg(QTest::currentDataTag()));
    RunJournal journal(path);
    QStringList fields = sample().fields();
    fields[column] = cell;
    QVERIFY(journal.append(RunRecord::fromFields(fields)));
    frmHistory window(journal);
    const QString target = path + QStringLiteral(".export.csv");
    window.saveFileName = [&](QWidget *, const QString &, const QString &, const QString &) {
        return target;
    };
    window.show();
    // The rows load in a worker.
    QTRY_COMPARE(window.findChild<QTableView *>(QStringLiteral("tblRuns"))->model()->rowCount(), 1);
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("cmdExport")), Qt::LeftButton);
    const QList<QStringList> rows = RunJournal::readRows(target);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).at(column), exported);
    // The journal itself keeps the cell exact.
    QCOMPARE(RunJournal::readRows(path).at(0).at(column), cell);
}

QTEST_MAIN(tst_journal)
#include "tst_journal.moc"
