// The program without a window or display: it doses over the remote interface as the
// window does, a signal stops the drive, and a port or controller it cannot use ends it
// with a message and exit status 1.
#include "config/PortMapping.h"
#include "sim/ControllerSim.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace vyt;
using vyt::sim::Fault;

namespace {

const QString kProgram = QStringLiteral(VYT_PROGRAM);

// The child's own config and data folders, with COM1 mapped to device.
struct Home {
    QTemporaryDir dir;
    explicit Home(const QString &device)
    {
        QSettings store(configPath() + QStringLiteral("/vyt/vyt.conf"), QSettings::IniFormat);
        storeDeviceFor(1, device, store);
        store.sync();
    }
    [[nodiscard]] QString configPath() const { return dir.filePath(QStringLiteral("config")); }
    [[nodiscard]] QString dataPath() const { return dir.filePath(QStringLiteral("data")); }
    [[nodiscard]] QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // No display of any kind: the headless program must not need one.
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configPath());
        env.insert(QStringLiteral("XDG_DATA_HOME"), dataPath());
        return env;
    }
    [[nodiscard]] QByteArray token() const
    {
        QFile file(configPath() + QStringLiteral("/vyt/remote-token"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }
};

// A port nobody listens on now, for the child's remote control.
QString freeAddress()
{
    QTcpServer probe;
    (void)probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

void startHeadless(QProcess &child, const Home &home, const QStringList &more = {})
{
    child.setProcessEnvironment(home.environment());
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(kProgram, QStringList{"--headless", "--port", "1"} + more);
}

// The remote interface's port, from the line the program writes when it listens.
int remotePort(QProcess &child, QByteArray &stderrText)
{
    const QRegularExpression listening(QStringLiteral("remote control on http://127\\.0\\.0\\.1:(\\d+)/"));
    int port = 0;
    (void)QTest::qWaitFor([&] {
        stderrText += child.readAllStandardError();
        const auto m = listening.match(QString::fromLocal8Bit(stderrText));
        if (m.hasMatch())
            port = m.captured(1).toInt();
        return port > 0 || child.state() == QProcess::NotRunning;
    }, 15000);
    return port;
}

int post(QNetworkAccessManager &net, int port, const QByteArray &token, const QString &path,
         const QByteArray &body)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    request.setRawHeader("Authorization", "Bearer " + token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = net.post(request, body);
    (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();
    return status;
}

QStringList linesFrom(const sim::ControllerSim &sim, const QString &first)
{
    const QStringList all = sim.receivedLines();
    const qsizetype at = all.lastIndexOf(first);
    return at < 0 ? QStringList() : all.mid(at);
}

} // namespace

class tst_headless : public QObject {
    Q_OBJECT
private slots:
    void dosesOverRemote();
    void signalStopsTheFlow_data();
    void signalStopsTheFlow();
    void endsWhenItCannotWork_data();
    void endsWhenItCannotWork();
    void runsAMethodOnce_data();
    void runsAMethodOnce();
};

void tst_headless::dosesOverRemote()
{
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    Home home(sim.devicePath());
    QProcess child;
    startHeadless(child, home, {QStringLiteral("--remote-control"), freeAddress()});
    QByteArray err;
    const int port = remotePort(child, err);
    QVERIFY2(port > 0, err.constData());
    QNetworkAccessManager net;
    QCOMPARE(post(net, port, home.token(), QStringLiteral("/v1/dose"),
                  R"({"quantity": 3, "unit": "µl", "repetitions": 2, "pause": 0, "pause_unit": "ms"})"),
             200);
    QTRY_COMPARE_WITH_TIMEOUT(linesFrom(sim, QStringLiteral("DIPROG")).size(), 12, 10000);
    // The same wire as the window's Start for the same values (vyt-P01: 3 µl are 128 increments).
    QCOMPARE(linesFrom(sim, QStringLiteral("DIPROG")),
             (QStringList{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M", "LA 128", "NP 128", "M",
                          "LA 256", "NP 256", "M"}));
    QCOMPARE(post(net, port, QByteArray("wrong"), QStringLiteral("/v1/stop"), "{}"), 401);
    // The run's row is in the child's own journal once its last dose has arrived.
    QFile journal(home.dataPath() + QStringLiteral("/vyt-pump-controller/runs.csv"));
    QTRY_VERIFY_WITH_TIMEOUT(journal.open(QIODevice::ReadOnly) && journal.readAll().contains(",completed,") ||
                                 (journal.close(), false),
                             10000);
    child.terminate();
    QVERIFY(child.waitForFinished(10000));
}

void tst_headless::signalStopsTheFlow_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void tst_headless::signalStopsTheFlow()
{
    QFETCH(int, signalNumber);
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    Home home(sim.devicePath());
    QProcess child;
    startHeadless(child, home, {QStringLiteral("--remote-control"), freeAddress()});
    QByteArray err;
    const int port = remotePort(child, err);
    QVERIFY2(port > 0, err.constData());
    QNetworkAccessManager net;
    QCOMPARE(post(net, port, home.token(), QStringLiteral("/v1/flow"),
                  R"({"rate": 150, "unit": "rpm", "duration": 0, "duration_unit": "s"})"),
             200);
    QTRY_VERIFY(sim.receivedLines().contains(QStringLiteral("V 150")));
    ::kill(pid_t(child.processId()), signalNumber);
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitCode(), 128 + signalNumber);
    QTRY_COMPARE(sim.receivedLines().mid(sim.receivedLines().size() - 2),
                 (QStringList{"SOR 0", "V 0"}));
}

void tst_headless::endsWhenItCannotWork_data()
{
    QTest::addColumn<bool>("noDevice");
    QTest::addColumn<QString>("said");
    QTest::newRow("no such device") << true << QStringLiteral("Serial port COM1:");
    QTest::newRow("silent controller")
        << false << QStringLiteral("Pump controller on serial port Com1: doesn't respond.");
}

void tst_headless::endsWhenItCannotWork()
{
    QFETCH(bool, noDevice);
    QFETCH(QString, said);
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    sim.setFault(Fault::Silent);
    QTemporaryDir nowhere;
    Home home(noDevice ? nowhere.filePath(QStringLiteral("ttyUSB9")) : sim.devicePath());
    QProcess child;
    startHeadless(child, home);
    QVERIFY(child.waitForStarted(5000));
    QTRY_COMPARE_WITH_TIMEOUT(child.state(), QProcess::NotRunning, 10000);
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    const QString text = QString::fromLocal8Bit(child.readAllStandardError());
    QVERIFY2(text.contains(said), qPrintable(text));
    // Nothing moved: the question, and nothing after it.
    QVERIFY(!sim.receivedLines().contains(QStringLiteral("DIPROG")));
}

void tst_headless::runsAMethodOnce_data()
{
    QTest::addColumn<QByteArray>("method"); // the file's text
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");     // on stderr
    QTest::addColumn<bool>("moved");       // a dose went to the controller
    const QByteArray dose =
        R"({"dose": {"quantity": 3, "unit": "µl", "repetitions": 2, "pause": 0, "pause_unit": "ms"}})";
    QTest::newRow("completed")
        << R"({"format": "vyt-method/1", "name": "Two", "steps": [)" + dose + R"(, {"wait": {"duration": 100, "duration_unit": "ms"}}, )" + dose + "]}"
        << 0 << "Method Two completed: 3 steps." << true;
    QTest::newRow("refused before the port opens")
        << QByteArray(R"({"format": "vyt-method/1", "name": "Bad", "steps": [{"wait": {"duration": 1, "duration_unit": "days"}}]})")
        << 1 << "is refused: step 1 (wait):" << false;
    // Nobody at a terminal to confirm it: the method fails there, and nothing moves after.
    QTest::newRow("a prompt without a terminal")
        << R"({"format": "vyt-method/1", "name": "Ask", "steps": [{"prompt": {"text": "Vial?"}}, )" + dose + "]}"
        << 1 << "there is no terminal to answer" << false;
    QTest::newRow("not a method") << QByteArray("{") << 1 << "no valid JSON" << false;
}

void tst_headless::runsAMethodOnce()
{
    QFETCH(QByteArray, method);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QFETCH(bool, moved);
    sim::ControllerSim sim;
    QVERIFY(sim.start());
    sim.setInstantMoves(true);
    Home home(sim.devicePath());
    const QString file = home.dir.filePath(QStringLiteral("m.vytmethod"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(method);
    }
    QProcess child;
    child.setStandardInputFile(QProcess::nullDevice());
    startHeadless(child, home, {"--run-method", file});
    QVERIFY(child.waitForStarted(5000));
    QTRY_COMPARE_WITH_TIMEOUT(child.state(), QProcess::NotRunning, 20000);
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    const QString text = QString::fromLocal8Bit(child.readAllStandardError());
    QCOMPARE(child.exitCode(), exitCode);
    QVERIFY2(text.contains(said), qPrintable(text));
    QCOMPARE(sim.receivedLines().contains(QStringLiteral("DIPROG")), moved);
    // However it ended, the drive was stopped last when the line had been opened.
    if (!sim.receivedLines().isEmpty())
        QCOMPARE(sim.receivedLines().mid(sim.receivedLines().size() - 2),
                 (QStringList{"SOR 0", "V 0"}));
}

QTEST_GUILESS_MAIN(tst_headless)
#include "tst_headless.moc"
