// The line's one reader without windows: the parser that finds "p" CR LF wherever its
// bytes fall, and the queue of requests against the in-process controller on a pty.
#include "link/LineParser.h"
#include "link/LineQueue.h"
#include "link/MSComm.h"
#include "support/LineWait.h"
#include "support/SimFixture.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace vyt;
using vyt::sim::Fault;

Q_DECLARE_METATYPE(vyt::sim::Fault)

namespace {

// A piece as the tests write it: "N" for the notification, else the line's bytes.
QStringList described(const QList<LineParser::Piece> &pieces)
{
    QStringList out;
    for (const LineParser::Piece &p : pieces)
        out << (p.kind == LineParser::Piece::Kind::Notification ? QStringLiteral("N")
                                                                : QString::fromLatin1(p.bytes));
    return out;
}

// Feeds bytes in the given pieces; the pieces found and what is left unfinished.
QStringList parsed(const QList<QByteArray> &reads, bool replyAwaited, QByteArray *left = nullptr)
{
    LineParser parser;
    QList<LineParser::Piece> pieces;
    for (const QByteArray &read : reads)
        pieces += parser.feed(read, replyAwaited);
    if (left)
        *left = parser.unfinished();
    return described(pieces);
}

// Com1 opened on the simulator as the port gate opens it, and the queue on it.
struct LineRig {
    test::SimFixture fixture;
    MSComm port;
    std::unique_ptr<LineQueue> line;

    [[nodiscard]] bool open()
    {
        if (!fixture.started())
            return false;
        port.setCommPort(1);
        if (!port.setSettings(QStringLiteral("9600,N,8,1")))
            return false;
        port.setHandshaking(1);
        if (!port.setPortOpen(true))
            return false;
        line = std::make_unique<LineQueue>(port);
        return true;
    }
    [[nodiscard]] sim::ControllerSim &sim() { return fixture.sim(); }
    [[nodiscard]] bool quiet(int timeoutMs = 10000)
    {
        return test::serveUntil([this] { return !line->busy(); }, timeoutMs);
    }
};

// What a handler saw, in the order the handlers ran.
struct Replies {
    QStringList texts; // "GN=1500", "GN timed out"
    QList<qint64> afterMs;
    QElapsedTimer clock;

    Replies() { clock.start(); }
    LineQueue::ReplyHandler take(const QString &query)
    {
        return [this, query](const LineQueue::Reply &r) {
            texts << (r.answered ? query + QLatin1Char('=') + r.text : query + " timed out");
            afterMs << clock.elapsed();
        };
    }
};

} // namespace

class tst_line : public QObject {
    Q_OBJECT
private slots:
    void notificationAnywhere_data();
    void notificationAnywhere();
    void unfinishedLine_data();
    void unfinishedLine();
    void timeOuts_data();
    void timeOuts();
    void orderOfRequests_data();
    void orderOfRequests();
    void stopJumpsTheQueue();
    void contextGone_data();
    void contextGone();
    void linkLostFailsQueries();
    void splitNotificationWithDelayedReplies();
};

void tst_line::notificationAnywhere_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("replyAwaited");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QByteArray>("left");

    const QByteArray p("p\r\n");
    QTest::newRow("alone") << p << false << QStringList{"N"} << QByteArray();
    QTest::newRow("alone, reply awaited") << p << true << QStringList{"N"} << QByteArray();
    QTest::newRow("before a reply") << p + "1500\r\n"
                                    << true << QStringList{"N", "1500\r\n"} << QByteArray();
    QTest::newRow("after a reply")
        << "1500\r\n" + p << true << QStringList{"1500\r\n", "N"} << QByteArray();
    QTest::newRow("doubled") << p + p << false << QStringList{"N", "N"} << QByteArray();
    QTest::newRow("doubled, reply awaited")
        << p + p << true << QStringList{"N", "N"} << QByteArray();
    // Noise glued in front is dropped while nobody waits; a reply keeps its own bytes.
    QTest::newRow("glued after noise") << "xy" + p << false << QStringList{"N"} << QByteArray();
    QTest::newRow("glued after noise, reply awaited")
        << "xy" + p << true << QStringList{"xyp\r\n"} << QByteArray();
    QTest::newRow("late, behind a reply and a piece of the next")
        << "0100\r\n" + p + "12" << true << QStringList{"0100\r\n", "N"} << QByteArray("12");
    QTest::newRow("capital P is a line")
        << QByteArray("P\r\n") << false << QStringList{"P\r\n"} << QByteArray();
    QTest::newRow("CR alone ends no line")
        << QByteArray("p\r") << false << QStringList{} << QByteArray("p\r");
}

void tst_line::notificationAnywhere()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, replyAwaited);
    QFETCH(QStringList, pieces);
    QFETCH(QByteArray, left);

    // In one read, cut in two at every byte, and byte by byte: the same pieces each time.
    QByteArray unfinished;
    QCOMPARE(parsed({bytes}, replyAwaited, &unfinished), pieces);
    QCOMPARE(unfinished, left);
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
        const QStringList found =
            parsed({bytes.left(cut), bytes.mid(cut)}, replyAwaited, &unfinished);
        QVERIFY2(
            found == pieces,
            qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(found.join(QLatin1Char('|')))));
        QCOMPARE(unfinished, left);
    }
    QList<QByteArray> bytewise;
    for (const char c : bytes)
        bytewise << QByteArray(1, c);
    QCOMPARE(parsed(bytewise, replyAwaited, &unfinished), pieces);
    QCOMPARE(unfinished, left);
}

void tst_line::unfinishedLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("taken");     // by takeUnfinished(): a reply without LF
    QTest::addColumn<QByteArray>("afterDrop"); // what dropStale() keeps
    QTest::newRow("a reply without LF")
        << QByteArray("1.23\r") << QByteArray("1.23\r") << QByteArray();
    QTest::newRow("a notification begun") << QByteArray("p") << QByteArray() << QByteArray("p");
    QTest::newRow("a notification without LF")
        << QByteArray("p\r") << QByteArray() << QByteArray("p\r");
    QTest::newRow("p ahead of more") << QByteArray("p1") << QByteArray("p1") << QByteArray();
    QTest::newRow("a flood keeps its newest part")
        << QByteArray(LineParser::kMaxLineBytes + 100, 'x')
        << QByteArray(LineParser::kMaxLineBytes, 'x') << QByteArray();
}

void tst_line::unfinishedLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, taken);
    QFETCH(QByteArray, afterDrop);
    LineParser parser;
    QVERIFY(parser.feed(bytes, true).isEmpty());
    QCOMPARE(parser.takeUnfinished(), taken);
    LineParser other;
    (void)other.feed(bytes, false);
    other.dropStale();
    QCOMPARE(other.unfinished(), afterDrop);
    // A notification begun before the query goes out is finished after it.
    if (!afterDrop.isEmpty())
        QCOMPARE(described(other.feed(QByteArray("p\r\n").mid(afterDrop.size()), true)),
                 QStringList{"N"});
}

void tst_line::timeOuts_data()
{
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<int>("atMostMs");
    QTest::newRow("console, silent") << 300 << Fault::Silent << 0 << false << 295 << 450;
    QTest::newRow("console, late 200") << 300 << Fault::LateJustUnder << 200 << true << 195 << 295;
    QTest::newRow("console, late 400") << 300 << Fault::LateJustOver << 400 << false << 295 << 399;
    QTest::newRow("reads, silent") << 700 << Fault::Silent << 0 << false << 695 << 850;
    QTest::newRow("reads, late 600") << 700 << Fault::LateJustUnder << 600 << true << 595 << 695;
    QTest::newRow("reads, late 800") << 700 << Fault::LateJustOver << 800 << false << 695 << 799;
    QTest::newRow("no line feed") << 700 << Fault::NoLineFeed << 0 << false << 695 << 850;
}

void tst_line::timeOuts()
{
    QFETCH(int, timeoutMs);
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(bool, answered);
    QFETCH(int, atLeastMs);
    QFETCH(int, atMostMs);
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(fault, param);
    QSignalSpy unsolicited(rig.line.get(), &LineQueue::unsolicited);
    Replies replies;
    rig.line->query(QStringLiteral("GSP"), timeoutMs, nullptr, replies.take("GSP"));
    QVERIFY(rig.quiet());

    QCOMPARE(replies.texts.size(), 1);
    QCOMPARE(replies.texts.first().endsWith(QLatin1String("timed out")), !answered);
    const qint64 took = replies.afterMs.first();
    QVERIFY2(took >= atLeastMs && took <= atMostMs, qPrintable(QString::number(took)));
    // A reply that comes after its time-out is nobody's; once it is in, the next query
    // gets its own.
    if (fault == Fault::LateJustOver)
        QTRY_COMPARE_WITH_TIMEOUT(unsolicited.count(), 1, 5000);
    rig.sim().setFault(Fault::None);
    rig.line->query(QStringLiteral("GAC"), timeoutMs, nullptr, replies.take("GAC"));
    QVERIFY(rig.quiet());
    QCOMPARE(replies.texts.last(), QStringLiteral("GAC=500"));
}

void tst_line::orderOfRequests_data()
{
    QTest::addColumn<int>("replyDelayMs");
    QTest::newRow("answers at once") << 0;
    QTest::newRow("answers after 0.25 s") << 250;
}

void tst_line::orderOfRequests()
{
    QFETCH(int, replyDelayMs);
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setReplyDelay(replyDelayMs);
    Replies replies;
    QStringList written;
    // Queued while the first query waits: each goes in its turn, none overtakes a query.
    rig.line->query(QStringLiteral("GN"), 700, nullptr, replies.take("GN"));
    rig.line->command(QStringLiteral("V 10"), false, [&] { written << "V 10"; });
    rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
    rig.line->command(QStringLiteral("SP 5000"));
    rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
    QVERIFY(rig.line->busy());
    QVERIFY(rig.quiet());

    QCOMPARE(rig.sim().receivedLines(), (QStringList{"GN", "V 10", "GSP", "SP 5000", "GSP"}));
    QCOMPARE(replies.texts, (QStringList{"GN=0", "GSP=6000", "GSP=5000"}));
    QCOMPARE(written, QStringList{"V 10"});
    // A command behind a query waits for the reply: it cannot land inside it.
    const QList<qint64> at = rig.sim().receivedAtNs();
    QCOMPARE(at.size(), 5);
    QVERIFY2((at.at(1) - at.at(0)) / 1000000 >= replyDelayMs,
             qPrintable(QString::number((at.at(1) - at.at(0)) / 1000000)));
}

void tst_line::stopJumpsTheQueue()
{
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setReplyDelay(200);
    Replies replies;
    rig.line->query(QStringLiteral("GN"), 700, nullptr, replies.take("GN"));
    for (const char *c : {"LA 640", "NP 640", "M"})
        rig.line->command(QString::fromLatin1(c));
    rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
    QVERIFY(test::waitForLine(rig.sim(), QStringLiteral("GN")));

    (void)rig.line->stop({QStringLiteral("SOR 0"), QStringLiteral("V 0")});
    QVERIFY(rig.quiet());

    // Nothing queued before the stop moves the pump after it; the queries keep their turn.
    QCOMPARE(rig.sim().receivedLines(), (QStringList{"GN", "SOR 0", "V 0", "GSP"}));
    QCOMPARE(replies.texts, (QStringList{"GN=0", "GSP=6000"}));
}

void tst_line::contextGone_data()
{
    QTest::addColumn<bool>("inFlight"); // the asker goes while its query waits for the reply
    QTest::newRow("while its reply is awaited") << true;
    QTest::newRow("before its turn") << false;
}

void tst_line::contextGone()
{
    QFETCH(bool, inFlight);
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setReplyDelay(100);
    Replies replies;
    auto asker = std::make_unique<QObject>();
    if (!inFlight)
        rig.line->query(QStringLiteral("GN"), 700, nullptr, replies.take("GN"));
    rig.line->query(QStringLiteral("GAC"), 700, asker.get(), replies.take("GAC"));
    rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
    QVERIFY(test::waitForLines(rig.sim(), 1));
    asker.reset();
    QVERIFY(rig.quiet());

    // Its handler never runs; a query not yet sent does not go out; nothing shifts.
    const QStringList sent = inFlight ? QStringList{"GAC", "GSP"} : QStringList{"GN", "GSP"};
    const QStringList handled =
        inFlight ? QStringList{"GSP=6000"} : QStringList{"GN=0", "GSP=6000"};
    QCOMPARE(rig.sim().receivedLines(), sent);
    QCOMPARE(replies.texts, handled);
}

void tst_line::linkLostFailsQueries()
{
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setReplyDelay(300);
    QSignalSpy lost(&rig.port, &MSComm::linkLost);
    Replies replies;
    rig.line->query(QStringLiteral("GN"), 700, nullptr, replies.take("GN"));
    rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
    QVERIFY(test::waitForLine(rig.sim(), QStringLiteral("GN")));
    const qint64 hungUpAt = replies.clock.elapsed();
    rig.sim().hangUp();
    QVERIFY(test::serveUntil([&] { return replies.texts.size() == 2; }, 5000));

    QCOMPARE(lost.count(), 1);
    QCOMPARE(replies.texts, (QStringList{"GN timed out", "GSP timed out"}));
    // At once, not after the reply time: the line is gone.
    QVERIFY2(replies.afterMs.last() - hungUpAt < 250,
             qPrintable(QString::number(replies.afterMs.last() - hungUpAt)));
    QVERIFY(!rig.line->busy());
    // Asked now, a query learns it at once.
    rig.line->query(QStringLiteral("GAC"), 700, nullptr, replies.take("GAC"));
    QCOMPARE(replies.texts.last(), QStringLiteral("GAC timed out"));
}

void tst_line::splitNotificationWithDelayedReplies()
{
    // A move's notification in two pieces while every reply takes 0.25 s: each query gets
    // its own reply, and each notification is seen once.
    LineRig rig;
    QVERIFY(rig.open());
    rig.sim().setReplyDelay(sim::ControllerSim::kDefaultReplyDelayMs);
    rig.sim().setFault(Fault::SplitNotification, 20);
    rig.sim().setInstantMoves(true);
    QSignalSpy notified(rig.line.get(), &LineQueue::notification);
    Replies replies;
    for (int i = 1; i <= 3; ++i) {
        const QString target = QString::number(64 * i);
        rig.line->query(QStringLiteral("GSP"), 700, nullptr, replies.take("GSP"));
        rig.line->command(QStringLiteral("LA ") + target, true);
        rig.line->command(QStringLiteral("NP ") + target);
        rig.line->command(QStringLiteral("M"));
        rig.line->query(QStringLiteral("POS"), 700, nullptr, replies.take("POS"));
    }
    QVERIFY(rig.quiet());
    QTRY_COMPARE_WITH_TIMEOUT(notified.count(), 3, 5000);
    QCOMPARE(replies.texts,
             (QStringList{"GSP=6000", "POS=64", "GSP=6000", "POS=128", "GSP=6000", "POS=192"}));
    QCOMPARE(rig.sim().notificationsSent(), 3);
}

QTEST_GUILESS_MAIN(tst_line)
#include "tst_line.moc"
