// The simulator as the program meets it: over the pseudo-terminal, through a serial
// port opened the way the program opens it.
#include "sim/ControllerSim.h"
#include "support/SimFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace vyt;
using vyt::sim::Fault;

Q_DECLARE_METATYPE(vyt::sim::Fault)

namespace {

// The far end of the line, as plain as possible: everything received is kept, with
// the pieces it arrived in.
class Client : public QObject {
public:
    bool open(const QString &path)
    {
        m_port.setPortName(path);
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        m_port.setBaudRate(9600);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(QSerialPort::OneStop);
        m_port.setFlowControl(QSerialPort::SoftwareControl);
        connect(&m_port, &QSerialPort::readyRead, this, [this] {
            const QByteArray chunk = m_port.readAll();
            data += chunk;
            ++chunks;
        });
        connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
                ++errors;
                // Far end gone: stop the notifier storm, as the program does.
                if (m_port.isOpen())
                    m_port.close();
            }
        });
        return true;
    }
    void send(const QByteArray &line) { m_port.write(line + '\r'); }
    void sendAll(const QStringList &lines)
    {
        for (const QString &l : lines)
            send(l.toLatin1());
    }
    [[nodiscard]] bool isOpen() const { return m_port.isOpen(); }

    QByteArray data;
    int chunks = 0;
    int errors = 0;

private:
    QSerialPort m_port;
};

QByteArray printable(const QByteArray &bytes)
{
    QByteArray out = bytes.left(200);
    out.replace("\r", "<CR>").replace("\n", "<LF>");
    return out;
}

} // namespace

class tst_sim : public QObject {
    Q_OBJECT
private slots:
    void queries_data();
    void queries();
    void silence_data();
    void silence();
    void notification_data();
    void notification();
    void profile_data();
    void profile();
    void currentLimit_data();
    void currentLimit();
    void liveSpeed();
    void logFile();
    void faults_data();
    void faults();
    void hangUp_data();
    void hangUp();
    void linePacing();
    void program_data();
    void program();
};

void tst_sim::queries_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("reply"); // regular expression for the whole line

    QTest::newRow("VER") << QStringList() << "VER"
                         << "[^p]+";
    QTest::newRow("GN idle") << QStringList() << "GN"
                             << "0";
    QTest::newRow("GRC idle") << QStringList() << "GRC"
                              << "\\d+";
    QTest::newRow("GFS") << QStringList() << "GFS"
                         << "0000";
    QTest::newRow("TEM") << QStringList() << "TEM"
                         << "2\\d";
    QTest::newRow("GSP default") << QStringList() << "GSP"
                                 << "6000";
    QTest::newRow("GAC default") << QStringList() << "GAC"
                                 << "500";
    QTest::newRow("GCC default") << QStringList() << "GCC"
                                 << "230";
    QTest::newRow("GPC default") << QStringList() << "GPC"
                                 << "400";
    QTest::newRow("EEPSAV") << QStringList() << "EEPSAV"
                            << ".*EEPROM writing done.*";
    QTest::newRow("SP set") << QStringList{"SP 4000"} << "GSP"
                            << "4000";
    QTest::newRow("AC set") << QStringList{"AC 1000"} << "GAC"
                            << "1000";
    QTest::newRow("LCC set") << QStringList{"LCC 200"} << "GCC"
                             << "200";
    QTest::newRow("LPC set") << QStringList{"LPC 350"} << "GPC"
                             << "350";
    QTest::newRow("last SP wins") << QStringList{"SP 4000", "SP 2500"} << "GSP"
                                  << "2500";
    QTest::newRow("SP not a number") << QStringList{"SP abc"} << "GSP"
                                     << "6000";
    QTest::newRow("HO LA M position") << QStringList{"HO", "LA 640", "M"} << "POS"
                                      << "640";
}

void tst_sim::queries()
{
    QFETCH(QStringList, before);
    QFETCH(QString, query);
    QFETCH(QString, reply);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setInstantMoves(true);
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    client.sendAll(before);
    client.send(query.toLatin1());
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("\r\n"), 10000);
    // Exactly one line: the commands before it said nothing.
    const QRegularExpression re(QRegularExpression::anchoredPattern(reply + "\r\n"));
    QVERIFY2(re.match(QString::fromLatin1(client.data)).hasMatch(),
             printable(client.data).constData());
    QCOMPARE(fx.sim().receivedLines(), before + QStringList{query});
}

void tst_sim::silence_data()
{
    QTest::addColumn<QString>("command");
    const char *const commands[] = {"SP 4000",   "AC 500",    "LCC 230",   "LPC 400", "DIPROG",
                                    "SOR 0",     "SOR 1",     "CONTMOD",   "HO",      "LA 0",
                                    "LA 120000", "NP 120000", "M",         "V 1000",  "V 0",
                                    "LR 64",     "V2000",     "DELAY 100", "FOO 12",  ""};
    for (const char *c : commands)
        QTest::newRow(*c ? c : "empty line") << QString::fromLatin1(c);
}

void tst_sim::silence()
{
    QFETCH(QString, command);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    client.send(command.toLatin1());
    client.send("VER");
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("\r\n"), 10000);
    // One line only: the version.
    QCOMPARE(client.data.count('\n'), 1);
    QVERIFY(client.data.size() > 2);
    QCOMPARE(fx.sim().receivedLines(), (QStringList{command, "VER"}));
}

void tst_sim::notification_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("instant");
    QTest::addColumn<bool>("notified");
    QTest::addColumn<int>("minMs"); // from the last command
    QTest::addColumn<qint64>("position");

    QTest::newRow("NP M instant") << QStringList{"HO", "LA 6400", "NP 6400", "M"} << true << true
                                  << 0 << qint64(6400);
    // 100 revolutions at 6000 rpm and 500 rev/s²: 0.2 s up, 0.8 s at speed, 0.2 s down.
    QTest::newRow("NP M 100 rev") << QStringList{"HO", "LA 6400", "NP 6400", "M"} << false << true
                                  << 1100 << qint64(6400);
    QTest::newRow("NP M backwards")
        << QStringList{"HO", "LA -320", "NP -320", "M"} << false << true << 150 << qint64(-320);
    QTest::newRow("LR NP M") << QStringList{"HO", "LR 256", "NP 256", "M"} << true << true << 0
                             << qint64(256);
    QTest::newRow("second dose") << QStringList{"HO", "LA 64", "M", "LA 128", "NP 128", "M"} << true
                                 << true << 0 << qint64(128);
    QTest::newRow("M without NP") << QStringList{"HO", "LA 640", "M"} << true << false << 0
                                  << qint64(640);
    QTest::newRow("M without NP, moving")
        << QStringList{"HO", "LA 640", "M"} << false << false << 0 << qint64(640);
    QTest::newRow("NP without M") << QStringList{"HO", "LA 640", "NP 640"} << true << false << 0
                                  << qint64(0);
}

void tst_sim::notification()
{
    QFETCH(QStringList, commands);
    QFETCH(bool, instant);
    QFETCH(bool, notified);
    QFETCH(int, minMs);
    QFETCH(qint64, position);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setInstantMoves(instant);
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    QElapsedTimer clock;
    client.sendAll(commands);
    QVERIFY(test::waitForLines(fx.sim(), commands.size()));
    clock.start();
    if (notified) {
        QTRY_VERIFY_WITH_TIMEOUT(client.data.contains("p\r\n"), 20000);
        QVERIFY2(clock.elapsed() >= minMs, QByteArray::number(clock.elapsed()).constData());
    }
    QTRY_COMPARE_WITH_TIMEOUT(fx.sim().position(), position, 20000);
    // A query after the end of the move proves that nothing else came, and when.
    client.send("GSP");
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("6000\r\n"), 10000);
    QCOMPARE(client.data, QByteArray(notified ? "p\r\n6000\r\n" : "6000\r\n"));
    QCOMPARE(fx.sim().notificationsSent(), notified ? 1 : 0);
}

void tst_sim::profile_data()
{
    QTest::addColumn<int>("maxRpm");
    QTest::addColumn<int>("accel");
    QTest::addColumn<int>("lines");
    QTest::addColumn<double>("distance");
    QTest::addColumn<int>("expectedMs");

    QTest::newRow("trapezoid") << 6000 << 500 << 16 << 6400.0 << 1200;
    QTest::newRow("backwards") << 6000 << 500 << 16 << -6400.0 << 1200;
    QTest::newRow("triangle") << 6000 << 500 << 16 << 320.0 << 200;
    // 100 revolutions of a 500-line encoder at 3000 rpm, 100 rev/s²: 0.5 + 1.5 + 0.5 s.
    QTest::newRow("fine encoder") << 3000 << 100 << 500 << 200000.0 << 2500;
}

void tst_sim::profile()
{
    QFETCH(int, maxRpm);
    QFETCH(int, accel);
    QFETCH(int, lines);
    QFETCH(double, distance);
    QFETCH(int, expectedMs);
    sim::Motion m;
    m.maxRpm = maxRpm;
    m.accel = accel;
    m.encoderLines = lines;
    m.target = distance;
    m.armed = true;
    m.notifyAt = distance;
    m.mode = sim::Motion::Mode::Position;
    double topRpm = 0;
    bool fired = false;
    while (m.mode == sim::Motion::Mode::Position && m.ms < 100000) {
        fired = m.step() || fired;
        topRpm = std::max(topRpm, std::abs(m.rpm()));
    }
    QVERIFY(fired);
    QCOMPARE(m.pos, distance);
    QCOMPARE(m.vel, 0.0);
    QVERIFY2(std::abs(m.ms - expectedMs) <= expectedMs / 50 + 5,
             QByteArray::number(m.ms).constData());
    QVERIFY(topRpm <= maxRpm + 1e-6);
}

void tst_sim::currentLimit_data()
{
    QTest::addColumn<int>("accel");
    QTest::addColumn<int>("peak");
    QTest::addColumn<bool>("limitedWhileAccelerating");

    QTest::newRow("gentle") << 500 << 400 << false;
    QTest::newRow("hard, limited to peak") << 5000 << 400 << true;
    QTest::newRow("hard, higher peak") << 5000 << 2000 << false;
}

void tst_sim::currentLimit()
{
    QFETCH(int, accel);
    QFETCH(int, peak);
    QFETCH(bool, limitedWhileAccelerating);
    sim::Motion m;
    m.accel = accel;
    m.peakCurrent = peak;
    m.mode = sim::Motion::Mode::Velocity;
    m.vCmd = 6000;
    m.step();
    QCOMPARE(m.limiting, limitedWhileAccelerating);
    QVERIFY(m.current <= peak);
    QVERIFY(m.current > 10);
    while (std::abs(m.rpm() - 6000) > 1e-6 && m.ms < 10000)
        m.step();
    m.step();
    // At speed the continuous limit applies, and the drive stays under it.
    QVERIFY(!m.limiting);
    QVERIFY(m.current <= m.contCurrent);
    const double warm = m.temperature;
    for (int i = 0; i < 60000; ++i)
        m.step();
    QVERIFY(m.temperature > warm);
}

void tst_sim::liveSpeed()
{
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    client.send("V 3000");
    QTRY_COMPARE_WITH_TIMEOUT(qRound(fx.sim().speedRpm()), 3000, 10000);
    client.send("GN");
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("\r\n"), 10000);
    QCOMPARE(client.data, QByteArray("3000\r\n"));

    // The potentiometer takes over, and the serial speed comes back with SOR 0.
    client.send("SOR 1");
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(fx.sim().speedRpm() - 3000) > 600, 10000);
    QVERIFY(fx.sim().speedRpm() >= 499 && fx.sim().speedRpm() <= 2501);
    client.send("SOR 0");
    client.send("V 0");
    QTRY_COMPARE_WITH_TIMEOUT(fx.sim().speedRpm(), 0.0, 10000);
    const qint64 stopped = fx.sim().position();
    QVERIFY(stopped > 0);
    client.data.clear();
    client.send("GN");
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("\r\n"), 10000);
    QCOMPARE(client.data, QByteArray("0\r\n"));
    QCOMPARE(fx.sim().position(), stopped);
}

void tst_sim::logFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("sim.log");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("earlier run\n");
    }
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setLogFile(dir.filePath("no such folder/sim.log"));
    QVERIFY(!fx.sim().isLogging());
    fx.sim().setLogFile(path);
    QVERIFY(fx.sim().isLogging());
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));
    client.sendAll({"VER", "LA 120000", "V -1500"});
    QVERIFY(test::waitForLines(fx.sim(), 3));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), QStringLiteral("earlier run")); // appended, not replaced
    const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\S* ");
    const QStringList sent{"VER", "LA 120000", "V -1500"};
    for (int i = 0; i < 3; ++i) {
        const QRegularExpression re(
            QRegularExpression::anchoredPattern(stamp + QRegularExpression::escape(sent.at(i))));
        QVERIFY2(re.match(lines.at(i + 1)).hasMatch(), qPrintable(lines.at(i + 1)));
    }
}

void tst_sim::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<int>("expectedBytes"); // what arrives before the check line
    QTest::addColumn<QString>("expected");  // regular expression for those bytes
    QTest::addColumn<int>("minChunks");
    QTest::addColumn<int>("minMs");

    const QStringList gsp{"GSP"};
    const QStringList dose{"HO", "LA 64", "NP 64", "M"};
    QTest::newRow("none") << Fault::None << 0 << gsp << 6 << "6000\r\n" << 1 << 0;
    QTest::newRow("silent") << Fault::Silent << 0 << gsp << 0 << "" << 0 << 0;
    QTest::newRow("silent notification") << Fault::Silent << 0 << dose << 0 << "" << 0 << 0;
    QTest::newRow("no line feed") << Fault::NoLineFeed << 0 << gsp << 5 << "6000\r" << 1 << 0;
    QTest::newRow("pieces") << Fault::Pieces << 150 << gsp << 6 << "6000\r\n" << 2 << 250;
    QTest::newRow("noise") << Fault::Noise << 0 << gsp << 7 << "[^p\\r\\n\\x11\\x13]{1,8}6000\r\n"
                           << 1 << 0;
    QTest::newRow("glued to junk") << Fault::GluedNotification << 0 << dose << 5 << "xyp\r\n"
                                   << 1 << 0;
    QTest::newRow("glued to reply")
        << Fault::GluedNotification << 1 << (dose + gsp) << 9 << "p\r\n6000\r\n"
        << 1 << 0;
    QTest::newRow("late, just under") << Fault::LateJustUnder << 0 << gsp << 6 << "6000\r\n"
                                      << 1 << 580;
    QTest::newRow("late, just over") << Fault::LateJustOver << 0 << gsp << 6 << "6000\r\n"
                                     << 1 << 780;
    QTest::newRow("flood") << Fault::Flood << 200000 << QStringList{"VER"} << 200000
                           << "(?:[^p\\r\\n\\x11\\x13]{50000}){4}" << 1 << 0;
}

void tst_sim::faults()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(QStringList, commands);
    QFETCH(int, expectedBytes);
    QFETCH(QString, expected);
    QFETCH(int, minChunks);
    QFETCH(int, minMs);
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setInstantMoves(true);
    fx.sim().setFault(fault, param);
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    QElapsedTimer clock;
    clock.start();
    client.sendAll(commands);
    QVERIFY(test::waitForLines(fx.sim(), commands.size()));
    if (expectedBytes > 0)
        QTRY_VERIFY_WITH_TIMEOUT(client.data.size() >= expectedBytes, 20000);
    const qint64 took = clock.elapsed();
    const int chunks = client.chunks;

    // A well-behaved query afterwards: everything the fault produced came before it.
    fx.sim().setFault(Fault::None);
    client.send("GAC");
    QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("500\r\n"), 20000);
    const QByteArray faulty = client.data.chopped(5);
    const QRegularExpression re(QRegularExpression::anchoredPattern(expected),
                                QRegularExpression::DotMatchesEverythingOption);
    QVERIFY2(re.match(QString::fromLatin1(faulty)).hasMatch(), printable(faulty).constData());
    QVERIFY2(chunks >= minChunks, QByteArray::number(chunks).constData());
    QVERIFY2(took >= minMs, QByteArray::number(took).constData());
}

void tst_sim::hangUp_data()
{
    QTest::addColumn<bool>("byFault");
    QTest::newRow("hangUp()") << false;
    QTest::newRow("after two commands") << true;
}

void tst_sim::hangUp()
{
    QFETCH(bool, byFault);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("com1");
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    QVERIFY(fx.sim().addLink(link));
    QCOMPARE(QFileInfo(link).symLinkTarget(), fx.sim().devicePath());
    Client client;
    QVERIFY(client.open(link));

    if (byFault) {
        fx.sim().setFault(Fault::HangUpAfter, 2);
        client.sendAll({"GSP", "GAC", "GCC"});
    } else {
        client.send("GSP");
        QTRY_VERIFY_WITH_TIMEOUT(client.data.endsWith("\r\n"), 10000);
        fx.sim().hangUp();
    }
    QTRY_VERIFY_WITH_TIMEOUT(fx.sim().isHungUp(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(client.errors > 0, 10000);
    QVERIFY(!client.isOpen());
    QCOMPARE(client.data, QByteArray("6000\r\n"));
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    // Nothing is sent into a closed line.
    fx.sim().sendRaw("late");
    QCOMPARE(fx.sim().bytesSent(), qint64(6));
}

void tst_sim::linePacing()
{
    test::SimFixture fx;
    QVERIFY2(fx.started(), qPrintable(fx.error()));
    fx.sim().setLineRate(9600);
    Client client;
    QVERIFY(client.open(fx.sim().devicePath()));

    // 480 bytes at 960 bytes/s take half a second, however fast the machine is.
    QElapsedTimer clock;
    clock.start();
    fx.sim().sendRaw(QByteArray(480, 'a'));
    QTRY_COMPARE_WITH_TIMEOUT(client.data.size(), 480, 20000);
    QVERIFY2(clock.elapsed() >= 480, QByteArray::number(clock.elapsed()).constData());
    QVERIFY(client.chunks >= 3);

    // A command is taken only once its bytes would have crossed the line.
    client.data.clear();
    clock.restart();
    client.send(QByteArray(240, 'x') + "\rGSP");
    QVERIFY(test::waitForLine(fx.sim(), QStringLiteral("GSP"), 20000));
    QVERIFY2(clock.elapsed() >= 240, QByteArray::number(clock.elapsed()).constData());
    QTRY_COMPARE_WITH_TIMEOUT(client.data, QByteArray("6000\r\n"), 20000);
}

void tst_sim::program_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_sim::program()
{
    QFETCH(int, signal);
    const QString exe = QCoreApplication::applicationDirPath() + "/vyt-controller-sim";
    if (!QFileInfo(exe).isExecutable())
        QSKIP("vyt-controller-sim is not built");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath("com1");
    const QString log = dir.filePath("sim.log");
    QProcess proc;
    proc.start(exe, {"--link", link, "--log", log, "--instant", "--fault", "glued=0"});
    QVERIFY(proc.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(proc.canReadLine(), 20000);
    const QString device = QString::fromLocal8Bit(proc.readLine()).trimmed();
    QVERIFY2(device.startsWith("/dev/"), qPrintable(device));
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(link).symLinkTarget(), device, 20000);

    Client client;
    QVERIFY(client.open(link));
    client.sendAll({"HO", "LA 10", "NP 10", "M"});
    QTRY_COMPARE_WITH_TIMEOUT(client.data, QByteArray("xyp\r\n"), 20000);

    QCOMPARE(::kill(pid_t(proc.processId()), signal), 0);
    QVERIFY(proc.waitForFinished(20000));
    QCOMPARE(proc.exitStatus(), QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), 4);
}

QTEST_GUILESS_MAIN(tst_sim)
#include "tst_sim.moc"
