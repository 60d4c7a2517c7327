// The serial component and the reply reader against the simulated controller, over a
// real pseudo-terminal opened through the mapping of Com1.
#include "config/PumpState.h"
#include "config/SettingsStore.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "main/WindowAttendant.h"
#include "sim/ControllerSim.h"
#include "support/LineWait.h"
#include "support/SimFixture.h"
#include "support/TestEnv.h"
#include "session/Wait.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace vyt;
using vyt::sim::Fault;

Q_DECLARE_METATYPE(vyt::sim::Fault)

namespace {

// Opens Com1 the way the port gate does.
bool openCom1(MSComm &port, int handshaking = 1)
{
    port.setCommPort(1);
    if (!port.setSettings(QStringLiteral("9600,N,8,1")))
        return false;
    port.setHandshaking(handshaking);
    port.setInputLen(0);
    if (!port.PortOpen() && !port.setPortOpen(true))
        return false;
    port.setInBufferCount(0);
    return true;
}

QByteArray allBytesButFlowControl()
{
    QByteArray bytes;
    for (int c = 0; c < 256; ++c) {
        if (c != 0x11 && c != 0x13)
            bytes += char(c);
    }
    return bytes;
}

} // namespace

class tst_mscomm : public QObject {
    Q_OBJECT
private slots:
    void configuration_data();
    void configuration();
    void received_data();
    void received();
    void discard_data();
    void discard();
    void sent_data();
    void sent();
    void linkLoss_data();
    void linkLoss();
    void heldOutput_data();
    void heldOutput();
    void stopGoesFirst_data();
    void stopGoesFirst();
    void oneInstancePerDevice_data();
    void oneInstancePerDevice();
    void readReply_data();
    void readReply();
    void limitsOnTheWire();
    void lossDuringRead();
    void privateStore();
};

void tst_mscomm::configuration_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("handshaking");
    QTest::addColumn<bool>("afterOpen");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("xonXoff");

    QTest::newRow("program's line")
        << "9600,N,8,1" << 1 << false << true << 9600 << 8 << "N" << 1 << true;
    QTest::newRow("set while open")
        << "9600,N,8,1" << 1 << true << true << 9600 << 8 << "N" << 1 << true;
    QTest::newRow("no handshake") << "9600,N,8,1" << 0 << false << true << 9600 << 8 << "N" << 1
                                  << false;
    QTest::newRow("19200, two stop bits")
        << "19200,N,8,2" << 1 << false << true << 19200 << 8 << "N" << 2 << true;
    QTest::newRow("4800 while open")
        << "4800,N,8,1" << 1 << true << true << 4800 << 8 << "N" << 1 << true;
    // Parity and word length cannot be seen here: a pseudo-terminal always runs 8N.
    // A text it cannot read leaves the line as it was.
    QTest::newRow("bad parity") << "9600,X,8,1" << 1 << false << false << 9600 << 8 << "N" << 1
                                << true;
    QTest::newRow("garbage") << "fast" << 1 << true << false << 9600 << 8 << "N" << 1 << true;
    QTest::newRow("nine bits") << "9600,N,9,1" << 1 << false << false << 9600 << 8 << "N" << 1
                               << true;
}

void tst_mscomm::configuration()
{
    QFETCH(QString, settings);
    QFETCH(int, handshaking);
    QFETCH(bool, afterOpen);
    QFETCH(bool, accepted);
    QFETCH(int, baud);
    QFETCH(int, dataBits);
    QFETCH(QString, parity);
    QFETCH(int, stopBits);
    QFETCH(bool, xonXoff);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));

    MSComm port;
    port.setCommPort(1);
    if (afterOpen) {
        QVERIFY(port.setPortOpen(true));
        port.setHandshaking(1);
    }
    QCOMPARE(port.setSettings(settings), accepted);
    port.setHandshaking(handshaking);
    port.setInputLen(0);
    if (!afterOpen) {
        QVERIFY(!port.PortOpen());
        QVERIFY2(port.setPortOpen(true), qPrintable(port.ErrorDescription()));
    }
    QVERIFY(port.PortOpen());
    QCOMPARE(port.DevicePath(), fx.sim().devicePath());
    QCOMPARE(port.Settings(), accepted ? settings : QStringLiteral("9600,N,8,1"));

    sim::LineSettings line;
    QVERIFY(fx.sim().lineSettings(&line));
    QCOMPARE(line.baud, baud);
    QCOMPARE(line.dataBits, dataBits);
    QCOMPARE(QString(QChar::fromLatin1(line.parity)), parity);
    QCOMPARE(line.stopBits, stopBits);
    QCOMPARE(line.xonXoff, xonXoff);
    // No echo, no line editing, no CR/LF translation: the bytes pass as they are.
    QVERIFY(line.raw);

    QVERIFY(port.setPortOpen(false));
    QVERIFY(!port.PortOpen());
}

void tst_mscomm::received_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("text") << QByteArray("abc") << QByteArray("abc");
    QTest::newRow("reply line") << QByteArray("1.23\r\n") << QByteArray("1.23\r\n");
    QTest::newRow("lone CR stays CR") << QByteArray("\r") << QByteArray("\r");
    QTest::newRow("lone LF") << QByteArray("\n") << QByteArray("\n");
    QTest::newRow("notification and reply")
        << QByteArray("p\r\n4711\r\n") << QByteArray("p\r\n4711\r\n");
    QTest::newRow("every other byte") << allBytesButFlowControl() << allBytesButFlowControl();
    QTest::newRow("5000 bytes") << QByteArray(5000, 'z') << QByteArray(5000, 'z');
    // With XON/XOFF these two are the line's own: they never reach the buffer.
    QTest::newRow("XOFF XON taken by the line") << QByteArray("a\x13"
                                                              "b\x11"
                                                              "c")
                                                << QByteArray("abc");
}

void tst_mscomm::received()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    QSignalSpy arrived(&port, &MSComm::inputArrived);

    QCOMPARE(port.InBufferCount(), 0);
    fx.sim().sendRaw(sent);
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), int(expected.size()), 10000);
    QVERIFY(arrived.count() >= 1);
    QCOMPARE(port.Input(), expected);
    QCOMPARE(port.InBufferCount(), 0);
    QCOMPARE(port.Input(), QByteArray());

    // The line still works both ways afterwards (an XOFF was followed by its XON).
    port.setOutput("GSP\r");
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), 6, 10000);
    QCOMPARE(port.Input(), QByteArray("6000\r\n"));
}

void tst_mscomm::discard_data()
{
    QTest::addColumn<QByteArray>("stale");
    QTest::newRow("partial reply") << QByteArray("12");
    QTest::newRow("notification") << QByteArray("p\r\n");
    QTest::newRow("big") << QByteArray(3000, 'q');
}

void tst_mscomm::discard()
{
    QFETCH(QByteArray, stale);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));

    fx.sim().sendRaw(stale);
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), int(stale.size()), 10000);
    port.setInBufferCount(0);
    QCOMPARE(port.InBufferCount(), 0);
    QCOMPARE(port.Input(), QByteArray());

    // Only what comes after the discard is read.
    fx.sim().sendRaw("fresh");
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), 5, 10000);
    QCOMPARE(port.Input(), QByteArray("fresh"));
}

void tst_mscomm::sent_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("query") << QByteArray("VER\r") << QStringList{"VER"};
    QTest::newRow("position") << QByteArray("LA 120000\r") << QStringList{"LA 120000"};
    QTest::newRow("negative speed") << QByteArray("V -1500\r") << QStringList{"V -1500"};
    QTest::newRow("limits in a row") << QByteArray("SP 6000\rAC 500\rLCC 230\rLPC 400\r")
                                     << QStringList{"SP 6000", "AC 500", "LCC 230", "LPC 400"};
    QTest::newRow("no blank") << QByteArray("V1000\rLR64\r") << QStringList{"V1000", "LR64"};
    QTest::newRow("latin-1 text") << QByteArray("\xb5l\r")
                                  << QStringList{QString::fromLatin1("\xb5l")};
    QTest::newRow("empty line") << QByteArray("\r") << QStringList{""};
}

void tst_mscomm::sent()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, lines);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));

    port.setOutput(output);
    QVERIFY(test::waitForLines(fx.sim(), lines.size()));
    QCOMPARE(fx.sim().receivedLines(), lines);
}

void tst_mscomm::linkLoss_data()
{
    QTest::addColumn<bool>("byFault");
    QTest::newRow("far end hangs up") << false;
    QTest::newRow("dies after a command") << true;
}

void tst_mscomm::linkLoss()
{
    QFETCH(bool, byFault);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    // Through a name of its own: once the line is gone, its pty number may be handed
    // to somebody else's terminal, but the name goes with the simulator.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString device = dir.filePath(QStringLiteral("com1"));
    QVERIFY(fx.sim().addLink(device));
    test::mapPort(1, device);
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    QSignalSpy lost(&port, &MSComm::linkLost);
    QSignalSpy arrivals(&port, &MSComm::inputArrived);

    if (byFault) {
        fx.sim().setFault(Fault::HangUpAfter, 1);
        port.setOutput("GN\r");
    } else {
        fx.sim().sendRaw("half a rep");
        QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), 10, 10000);
        fx.sim().hangUp();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!port.PortOpen(), 10000);
    QCOMPARE(lost.count(), 1);
    QVERIFY2(lost.at(0).at(0).toString().contains(device), qPrintable(lost.at(0).at(0).toString()));

    // A while later: still one report, and no storm of errors waking every reader.
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() > 500, 10000);
    QCOMPARE(lost.count(), 1);
    QVERIFY2(arrivals.count() < 20, QByteArray::number(arrivals.count()).constData());

    // The closed port is harmless to use, and reopening names the cause.
    QCOMPARE(port.InBufferCount(), 0);
    QCOMPARE(port.Input(), QByteArray());
    port.setOutput("V 0\r");
    port.setInBufferCount(0);
    QVERIFY(!port.setPortOpen(true));
    QVERIFY2(port.ErrorDescription().contains(device), qPrintable(port.ErrorDescription()));
    QCOMPARE(lost.count(), 1);
}

void tst_mscomm::heldOutput_data()
{
    QTest::addColumn<QByteArray>("other"); // from the controller while it holds the line
    QTest::addColumn<bool>("closeHeld");   // the port closed instead of the XON
    QTest::newRow("a letter") << QByteArray("x") << false;
    QTest::newRow("a reply, NUL, 0xFF") << QByteArray("6000\r\n\0\xff", 8) << false;
    QTest::newRow("closed while held") << QByteArray("x") << true;
}

void tst_mscomm::heldOutput()
{
    QFETCH(QByteArray, other);
    QFETCH(bool, closeHeld);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    // Set again while open, as the port dialog does: QSerialPort writes its modes anew.
    QVERIFY(port.setSettings(QStringLiteral("9600,N,8,1")));
    QSignalSpy held(&port, &MSComm::outputHeld);
    QSignalSpy drained(&port, &MSComm::outputDrained);
    QSignalSpy dropped(&port, &MSComm::outputDropped);
    QSignalSpy lost(&port, &MSComm::linkLost);

    // The marker behind the XOFF shows that the line has taken it.
    fx.sim().sendRaw("\x13m");
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), 1, 10000);
    port.setOutput("LA 120000\r");
    fx.sim().sendRaw(other);
    QTRY_COMPARE_WITH_TIMEOUT(port.InBufferCount(), int(other.size()) + 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(held.count(), 1, 3 * MSComm::kDrainTimeoutMs);
    QCOMPARE(fx.sim().receivedLines(), QStringList());
    QCOMPARE(port.BytesPending(), 10);
    QVERIFY(!port.waitForDrain(50));

    if (closeHeld) {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!port.setPortOpen(false));
        QVERIFY(clock.elapsed() < MSComm::kDrainTimeoutMs);
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toLongLong(), 10);
        QVERIFY2(port.ErrorDescription().startsWith("10 bytes"),
                 qPrintable(port.ErrorDescription()));
    } else {
        // XON: the held line goes out once and whole, and the line works on.
        fx.sim().sendRaw("\x11");
        QVERIFY(port.waitForDrain(10000));
        QTRY_COMPARE_WITH_TIMEOUT(drained.count(), 1, 10000);
        port.setOutput("GSP\r");
        QVERIFY(test::waitForLines(fx.sim(), 2));
        QCOMPARE(fx.sim().receivedLines(), (QStringList{"LA 120000", "GSP"}));
        QCOMPARE(dropped.count(), 0);
    }
    QCOMPARE(held.count(), 1);
    QCOMPARE(lost.count(), 0);
}

void tst_mscomm::stopGoesFirst_data()
{
    QTest::addColumn<bool>("held");       // XOFF holds the line; else it drains at 9600 baud
    QTest::addColumn<int>("backlog");     // bytes queued before the stop
    QTest::addColumn<int>("droppedHere"); // what the program can tell it dropped
    QTest::addColumn<QStringList>("afterBacklog");
    QTest::addColumn<int>("stops");
    const QStringList stop{"SOR 0", "V 0"};
    // A pty takes everything at once, so only the far end knows what did not go out.
    QTest::newRow("draining at 9600 baud, 32000 bytes") << false << 32000 << 0 << stop << 1;
    QTest::newRow("held by XOFF, 1200 bytes")
        << true << 1200 << 1200 << QStringList{"", "SOR 0", "V 0"} << 1;
    QTest::newRow("held by XOFF, nothing queued") << true << 0 << 0 << stop << 1;
    // The first stop waits already: the second goes behind it, as it always did.
    QTest::newRow("held by XOFF, a stop behind a stop") << true << 0 << 0 << stop + stop << 2;
}

void tst_mscomm::stopGoesFirst()
{
    QFETCH(bool, held);
    QFETCH(int, backlog);
    QFETCH(int, droppedHere);
    QFETCH(QStringList, afterBacklog);
    QFETCH(int, stops);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setLineRate(9600);
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    PumpState state;
    state.SchnittstelleOffen = true;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    QSignalSpy dropped(&link, &ControllerLink::outputDroppedForStop);
    QSignalSpy taken(&link.line(), &LineQueue::unsolicited);
    if (held) {
        // The line's reader takes the byte behind the XOFF: it has come.
        fx.sim().sendRaw("\x13m");
        QTRY_COMPARE_WITH_TIMEOUT(taken.count(), 1, 10000);
    }
    const QByteArray line("V1000\r");
    const QByteArray queued = line.repeated(backlog / line.size());
    port.setOutput(queued);
    if (held)
        QTRY_COMPARE_WITH_TIMEOUT(port.BytesPending(), qint64(queued.size()), 10000);
    else
        QVERIFY(test::waitForLines(fx.sim(), 80)); // half a second on the line

    QElapsedTimer clock;
    clock.start();
    qint64 stopAt = -1;
    QObject::connect(&fx.sim(), &sim::ControllerSim::lineReceived, &port, [&](const QString &l) {
        if (l == "V 0")
            stopAt = clock.elapsed();
    });
    for (int i = 0; i < stops; ++i)
        link.sendStop({QStringLiteral("SOR 0"), QStringLiteral("V 0")});
    QCOMPARE(dropped.count(), droppedHere > 0 ? 1 : 0);
    if (droppedHere > 0)
        QCOMPARE(dropped.at(0).at(0).toLongLong(), qint64(droppedHere));
    if (held) {
        QCOMPARE(port.BytesPending(), qint64(afterBacklog.join('\r').size() + 1));
        fx.sim().sendRaw("\x11");
    }
    QVERIFY(test::waitForLines(fx.sim(), int(afterBacklog.size())));
    QVERIFY(test::waitForLine(fx.sim(), QStringLiteral("V 0")));
    if (stops > 1)
        QTRY_COMPARE(fx.sim().receivedLines().count(QStringLiteral("V 0")), stops);
    const QStringList lines = fx.sim().receivedLines();
    const QStringList before = lines.mid(0, lines.size() - afterBacklog.size());
    QCOMPARE(lines.mid(before.size()), afterBacklog);
    QCOMPARE(before.count(QStringLiteral("V1000")), before.size());
    if (!held) {
        // The stop's own ten bytes take 10.4 ms on the line.
        qInfo("stop at the controller %lld ms after it was sent, %lld bytes dropped",
              qlonglong(stopAt), qlonglong(fx.sim().bytesDropped()));
        QVERIFY2(stopAt < 100, qPrintable(QString::number(stopAt)));
        QVERIFY(before.size() < 160);
        QCOMPARE(fx.sim().bytesDropped() + before.size() * line.size(), qint64(queued.size()));
    }
}

void tst_mscomm::oneInstancePerDevice_data()
{
    QTest::addColumn<bool>("byLink"); // a second instance through a symlink
    QTest::newRow("second instance through a symlink") << true;
    // Another program's lock on the device itself, which holds for root too.
    QTest::newRow("device locked by another program") << false;
}

void tst_mscomm::oneInstancePerDevice()
{
    QFETCH(bool, byLink);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("pump"));
    QVERIFY(QFile::link(fx.sim().devicePath(), link));
    MSComm first;
    int lockFd = -1;
    if (byLink) {
        QVERIFY2(openCom1(first), qPrintable(first.ErrorDescription()));
        test::mapPort(1, link);
    } else {
        lockFd = ::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QCOMPARE(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
    }
    const QString name = byLink ? link : fx.sim().devicePath();

    MSComm second;
    QVERIFY(!openCom1(second));
    QCOMPARE(second.handle(), -1);
    QCOMPARE(second.ErrorDescription(),
             QStringLiteral("The device %1 is in use by another program. Close that program "
                            "or choose another port.")
                 .arg(name));
    // Once the holder lets go, it opens; a stop written straight to its descriptor arrives.
    QVERIFY(byLink ? first.setPortOpen(false) : ::close(lockFd) == 0);
    QVERIFY2(openCom1(second), qPrintable(second.ErrorDescription()));
    QCOMPARE(::write(second.handle(), "V 0\r", 4), ssize_t(4));
    QVERIFY(test::waitForLines(fx.sim(), 1));
    QCOMPARE(fx.sim().receivedLines(), QStringList{"V 0"});
}

void tst_mscomm::readReply_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("reply");  // override of the simulator's answer; empty: its own
    QTest::addColumn<bool>("moveFirst"); // a move armed with NP is done just before
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("keineAntwort");
    QTest::addColumn<bool>("positionErreicht");
    QTest::addColumn<int>("minMs");

    QTest::newRow("plain") << Fault::None << 0 << "GSP"
                           << "" << false << "6000" << false << false << 0;
    QTest::newRow("in pieces") << Fault::Pieces << 0 << "GN"
                               << "1.23" << false << "1.23" << false << false << 0;
    QTest::newRow("slow pieces") << Fault::Pieces << 150 << "GN"
                                 << "1.23" << false << "1.23" << false << false << 250;
    QTest::newRow("notification in the reply")
        << Fault::None << 0 << "GN"
        << "p\r\n4711" << false << "4711" << false << true << 0;
    QTest::newRow("notification glued in front") << Fault::GluedNotification << 1 << "GN"
                                                 << "" << true << "0" << false << true << 0;
    // Cutting the pairs until none is left joins what one pass leaves behind.
    QTest::newRow("nested CR LF pairs") << Fault::None << 0 << "GN"
                                        << "12\r\r\n\n34" << false << "1234" << false << false << 0;
    QTest::newRow("capital P is no notification") << Fault::None << 0 << "GN"
                                                  << "P12" << false << "P12" << false << false << 0;
    QTest::newRow("EEPSAV") << Fault::None << 0 << "EEPSAV"
                            << "" << false << "EEPROM writing done" << false << false << 0;
    QTest::newRow("silent") << Fault::Silent << 0 << "GN"
                            << "" << false << "" << true << false << 690;
    QTest::newRow("no line feed") << Fault::NoLineFeed << 0 << "GN"
                                  << "1.23" << false << "1.23\r" << true << false << 690;
    QTest::newRow("late, inside the time") << Fault::LateJustUnder << 450 << "GSP"
                                           << "" << false << "6000" << false << false << 440;
    QTest::newRow("late, past the time") << Fault::LateJustOver << 0 << "GSP"
                                         << "" << false << "" << true << false << 690;
}

void tst_mscomm::readReply()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(QString, query);
    QFETCH(QString, reply);
    QFETCH(bool, moveFirst);
    QFETCH(QString, result);
    QFETCH(bool, keineAntwort);
    QFETCH(bool, positionErreicht);
    QFETCH(int, minMs);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    test::MessageRecorder messages;
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    PumpState state;
    state.SchnittstelleOffen = true;
    state.KeineAntwort = !keineAntwort;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);

    fx.sim().setInstantMoves(true);
    fx.sim().setFault(fault, param);
    if (!reply.isEmpty())
        fx.sim().setReply(query, reply);
    if (moveFirst) {
        for (const char *c : {"HO", "LA 64", "NP 64", "M"})
            link.BefehlSenden(QString::fromLatin1(c));
        QVERIFY(test::waitForLines(fx.sim(), 4));
    }

    QElapsedTimer clock;
    clock.start();
    const QString answer = test::readReply(link, query);
    const qint64 took = clock.elapsed();

    QCOMPARE(answer, result);
    QCOMPARE(state.KeineAntwort, keineAntwort);
    QCOMPARE(state.PositionErreicht, positionErreicht);
    QVERIFY2(took >= minMs, QByteArray::number(took).constData());
    if (keineAntwort) {
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.messages().at(0).text,
                 QStringLiteral("Pump controller on serial port Com1: doesn't respond."));
        QCOMPARE(messages.messages().at(0).title, QStringLiteral("Error"));
        QCOMPARE(messages.messages().at(0).buttons, MsgButtons::Ok);
        QCOMPARE(messages.messages().at(0).icon, MsgIcon::Critical);
    } else {
        QCOMPARE(messages.count(), 0);
        // An answered read does not wait for the time-out.
        QVERIFY2(took < 650, QByteArray::number(took).constData());
    }
    // The query went out once, as one line.
    QCOMPARE(fx.sim().receivedLines().count(query), 1);
    QCOMPARE(fx.sim().receivedLines().last(), query);
}

void tst_mscomm::limitsOnTheWire()
{
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    test::MessageRecorder messages;
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    PumpState state;
    state.SchnittstelleOffen = true;
    state.settings.Maximaldrehzahl = 4000;
    state.settings.Beschleunigung = 1000;
    state.settings.Dauerstrom = 200;
    state.settings.Spitzenstrom = 350;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);

    link.ParameterSetzen();
    QVERIFY(!state.ParameterGeaendert);
    QVERIFY(test::waitForLines(fx.sim(), 4));
    QCOMPARE(fx.sim().receivedLines(), (QStringList{"SP 4000", "AC 1000", "LCC 200", "LPC 350"}));
    // The controller took them: read back as the console does.
    QCOMPARE(test::readReply(link, QStringLiteral("GSP")), QStringLiteral("4000"));
    QCOMPARE(test::readReply(link, QStringLiteral("GAC")), QStringLiteral("1000"));
    QCOMPARE(test::readReply(link, QStringLiteral("GCC")), QStringLiteral("200"));
    QCOMPARE(test::readReply(link, QStringLiteral("GPC")), QStringLiteral("350"));
    QCOMPARE(messages.count(), 0);
}

void tst_mscomm::lossDuringRead()
{
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    test::MessageRecorder messages;
    MSComm port;
    QVERIFY2(openCom1(port), qPrintable(port.ErrorDescription()));
    PumpState state;
    state.SchnittstelleOffen = true;
    state.KeineAntwort = false;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    QSignalSpy lost(&link, &ControllerLink::linkLost);

    fx.sim().setFault(Fault::HangUpAfter, 1);
    QElapsedTimer clock;
    clock.start();
    const QString answer = test::readReply(link, QStringLiteral("GN"));
    // The lost line ends the wait at once rather than after the full time-out.
    QVERIFY2(clock.elapsed() < 650, QByteArray::number(clock.elapsed()).constData());
    QCOMPARE(answer, QString());
    QVERIFY(state.KeineAntwort);
    QVERIFY(!state.SchnittstelleOffen);
    QCOMPARE(lost.count(), 1);
    // The operator hears of the loss, once.
    QTRY_VERIFY_WITH_TIMEOUT(messages.texts().join('\n').contains(fx.sim().devicePath()), 10000);
    QElapsedTimer settle;
    settle.start();
    QTRY_VERIFY_WITH_TIMEOUT(settle.elapsed() > 300, 10000);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(messages.texts().filter(fx.sim().devicePath()).size(), 1);
}

void tst_mscomm::privateStore()
{
    // Other test processes map Com1 to their own simulators at the same time.
    test::useEmptyStore();
    const QString file = openStore()->fileName();
    QVERIFY2(file.contains(QStringLiteral("/vyt-test-home-")), qPrintable(file));
    QVERIFY(file.startsWith(QDir::homePath()));
}

QTEST_MAIN(tst_mscomm)
#include "tst_mscomm.moc"
