// The process guard against a pseudo-terminal: what reaches the line for each way out.
// Ways that end the process run in a fresh copy of this program started as a child.
#include "journal/RunJournal.h"
#include "link/ProcessGuard.h"
#include "session/RunProgressRows.h"
#include "session/ProgramEnd.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

using namespace vyt;

namespace {

const QByteArray kStop = QByteArrayLiteral("SOR 0\rV 0\r");
constexpr char kChildSwitch[] = "--guarded-child";
constexpr int kDiesOfSignal = -1;

// The slave plays the serial port, the master the controller. Raw, so CR stays CR.
struct Pty {
    explicit Pty(bool nonBlocking = true)
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        path = ::ptsname(master);
        slave = ::open(path.constData(),
                       O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0));
        termios raw{};
        if (slave >= 0 && ::tcgetattr(slave, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(slave, TCSANOW, &raw);
        }
    }
    ~Pty()
    {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
    [[nodiscard]] bool ok() const { return master >= 0 && slave >= 0; }

    // Waits for `expected` bytes, then a little longer for any that should not be there.
    [[nodiscard]] QByteArray received(qsizetype expected) const
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const qint64 wait = got.size() < expected ? 5000 - clock.elapsed() : 200;
            pollfd p{master, POLLIN, 0};
            char buffer[256];
            if (wait <= 0 || ::poll(&p, 1, int(wait)) <= 0)
                return got;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                return got;
            got.append(buffer, n);
        }
    }

    int master = -1;
    int slave = -1;
    QByteArray path;
};

// The row of an endless dosing run 20 minutes in, as the window keeps it.
RunRecord longRun()
{
    RunRecord r;
    r.started = QDateTime(QDate(2026, 12, 7), QTime(15, 30, 0), Qt::LocalTime);
    r.port = QStringLiteral("COM1");
    r.mode = QStringLiteral("dosing");
    r.setValue = QStringLiteral("30");
    r.unit = QStringLiteral("µl");
    r.repetitions = QStringLiteral("endless");
    r.dosesDone = 58121;
    r.delivered = QStringLiteral("1743630");
    return r;
}

// The journal's side of a child: the run's crash row kept ready, as a run going on keeps it.
RunProgressRows *keepCrashRow(const char *journalPath)
{
    auto *journal = new RunJournal(QString::fromLocal8Bit(journalPath));
    auto *rows = new RunProgressRows(*journal, longRun, [](const RunRecord &) {});
    rows->begin();
    return rows;
}

// The child's side: one way out with the port open (or closed) on the given device.
int guardedChild(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QByteArray mode = argv[2];
    const int sig = std::atoi(argv[3]);
    ProcessGuard &guard = ProcessGuard::install();
    const int fd = ::open(argv[4], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 99;
    ProcessGuard::setStopTarget(fd);
    RunProgressRows *rows = argc > 5 ? keepCrashRow(argv[5]) : nullptr;
    if (mode == "ended fault") {
        rows->end(); // the run's last row is written: a crash after it adds none
        mode = "fault";
    }
    if (mode == "twice") {
        ::raise(sig);
        ::raise(sig);
    } else if (mode == "ending") {
        setEndHandler([](int) {});
        QEventLoop loop;
        QObject::connect(&guard, &ProcessGuard::terminationRequested, &loop, [&loop] {
            endProgram(0);
            loop.quit();
        });
        ::raise(sig);
        loop.exec();
        ::raise(sig);
    } else if (mode == "unheard") {
        ::raise(sig);
        return QCoreApplication::exec();
    } else if (mode == "exit") {
        std::exit(1);
    } else if (mode == "closed") {
        ProcessGuard::clearStopTarget();
        ::close(fd);
        std::exit(0);
    } else if (mode == "return") {
        return 0;
    } else if (mode == "abort") {
        std::abort();
    } else if (mode == "fault") {
        auto *page = static_cast<volatile char *>(
            ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        *page = 1;
    }
    return 98; // this way out did not end the process
}

} // namespace

class tst_processguard : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void terminationRequest_data();
    void terminationRequest();
    void emergencyStop_data();
    void emergencyStop();
    void everyPortGetsTheStop_data();
    void everyPortGetsTheStop();
    void wayOut_data();
    void wayOut();
    void crashRow_data();
    void crashRow();
};

void tst_processguard::initTestCase()
{
    // A runner may hand us these ignored, and an ignored signal stays ignored.
    for (const int sig : {SIGTERM, SIGHUP, SIGINT})
        ::signal(sig, SIG_DFL);
    QCOMPARE(&ProcessGuard::install(), &ProcessGuard::install());
}

void tst_processguard::cleanup()
{
    ProcessGuard::clearStopTarget();
}

void tst_processguard::terminationRequest_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_processguard::terminationRequest()
{
    QFETCH(int, sig);
    Pty pty;
    QVERIFY(pty.ok());
    ProcessGuard::setStopTarget(pty.slave);
    QSignalSpy spy(&ProcessGuard::install(), &ProcessGuard::terminationRequested);

    ::raise(sig);
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), sig);
    // A request the program let pass is forgotten: the next is a request, not an emergency.
    ::raise(sig);
    QTRY_COMPARE(spy.count(), 2);
    // The orderly stop is the program's, through its link.
    QCOMPARE(pty.received(0), QByteArray());
}

void tst_processguard::emergencyStop_data()
{
    QTest::addColumn<bool>("target");
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("nonBlocking");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("port open") << true << false << true << kStop;
    QTest::newRow("port open, blocking") << true << false << false << kStop;
    QTest::newRow("no port") << false << false << true << QByteArray();
    QTest::newRow("line held") << true << true << true << QByteArray();
    QTest::newRow("line held, blocking") << true << true << false << QByteArray();
}

void tst_processguard::emergencyStop()
{
    QFETCH(bool, target);
    QFETCH(bool, held);
    QFETCH(bool, nonBlocking);
    QFETCH(QByteArray, line);
    Pty pty(nonBlocking);
    QVERIFY(pty.ok());
    if (target)
        ProcessGuard::setStopTarget(pty.slave);
    if (held)
        QVERIFY(::tcflow(pty.slave, TCOOFF) == 0);

    QElapsedTimer clock;
    clock.start();
    ::alarm(10); // a blocked write would otherwise hang until the runner's time-out
    ProcessGuard::writeEmergencyStop();
    ProcessGuard::writeEmergencyStop(); // the stop goes out once, however many ways out follow
    ::alarm(0);
    QVERIFY2(clock.elapsed() < 1000, "a held line must not hold the exit");
    if (held)
        QVERIFY(::tcflow(pty.slave, TCOON) == 0);
    QCOMPARE(pty.received(line.size()), line);
}

void tst_processguard::everyPortGetsTheStop_data()
{
    QTest::addColumn<int>("ports");   // open in the process
    QTest::addColumn<int>("closed");  // of them, closed (cleared) before the emergency
    QTest::newRow("two ports") << 2 << 0;
    QTest::newRow("two ports, one closed again") << 2 << 1;
    QTest::newRow("three ports") << 3 << 0;
}

void tst_processguard::everyPortGetsTheStop()
{
    // Two sessions in one process: a crash must stop both pumps, not the last one opened.
    QFETCH(int, ports);
    QFETCH(int, closed);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (int i = 0; i < ports; ++i) {
        ptys.push_back(std::make_unique<Pty>());
        QVERIFY(ptys.back()->ok());
        ProcessGuard::setStopTarget(ptys.back()->slave);
    }
    for (int i = 0; i < closed; ++i)
        ProcessGuard::clearStopTarget(ptys.at(size_t(i))->slave);
    ProcessGuard::writeEmergencyStop();
    for (int i = 0; i < ports; ++i)
        QCOMPARE(ptys.at(size_t(i))->received(i < closed ? 0 : kStop.size()),
                 i < closed ? QByteArray() : kStop);
}

void tst_processguard::wayOut_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("sig");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("SIGTERM twice") << "twice" << int(SIGTERM) << 128 + SIGTERM << kStop;
    QTest::newRow("SIGHUP twice") << "twice" << int(SIGHUP) << 128 + SIGHUP << kStop;
    QTest::newRow("SIGINT twice") << "twice" << int(SIGINT) << 128 + SIGINT << kStop;
    QTest::newRow("SIGTERM while ending") << "ending" << int(SIGTERM) << 128 + SIGTERM << kStop;
    QTest::newRow("SIGTERM, nobody listens") << "unheard" << int(SIGTERM) << kDiesOfSignal << kStop;
    QTest::newRow("exit(1), port open") << "exit" << 0 << 1 << kStop;
    QTest::newRow("exit(0), port closed") << "closed" << 0 << 0 << QByteArray();
    QTest::newRow("main returns, port open") << "return" << 0 << 0 << kStop;
    QTest::newRow("abort()") << "abort" << 0 << kDiesOfSignal << kStop;
    QTest::newRow("segmentation fault") << "fault" << 0 << kDiesOfSignal << kStop;
}

void tst_processguard::wayOut()
{
    QFETCH(QString, mode);
    QFETCH(int, sig);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, line);
    Pty pty;
    QVERIFY(pty.ok());

    QProcess child;
    // A fault's sanitizer report is expected: show the child's output only when a check fails.
    const auto showOutput = qScopeGuard([&child] {
        if (QTest::currentTestFailed())
            qWarning().noquote() << child.readAll() << child.readAllStandardError();
    });
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChildSwitch), mode, QString::number(sig),
                 QString::fromLocal8Bit(pty.path)});
    QVERIFY(child.waitForFinished(20000));
    if (exitCode == kDiesOfSignal) {
        // A sanitizer reports a fault itself and exits with 1.
        QVERIFY(child.exitStatus() == QProcess::CrashExit || child.exitCode() == 1);
    } else {
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), exitCode);
    }
    QCOMPARE(pty.received(line.size()), line);
}

void tst_processguard::crashRow_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("sig");
    QTest::addColumn<QString>("endedBy"); // empty: no row
    QTest::newRow("segmentation fault") << "fault" << 0 << "crashed";
    QTest::newRow("abort()") << "abort" << 0 << "crashed";
    QTest::newRow("SIGTERM twice") << "twice" << int(SIGTERM) << "program ended";
    QTest::newRow("exit(1)") << "exit" << 0 << "program ended";
    QTest::newRow("fault after the run's end") << "ended fault" << 0 << "";
}

void tst_processguard::crashRow()
{
    // The stop goes to the port, then the run's row to the journal: a crash keeps what
    // the run had done when its progress was last kept.
    QFETCH(QString, mode);
    QFETCH(int, sig);
    QFETCH(QString, endedBy);
    Pty pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    const QString journal = dir.filePath(QStringLiteral("runs.csv"));

    QProcess child;
    const auto showOutput = qScopeGuard([&child] {
        if (QTest::currentTestFailed())
            qWarning().noquote() << child.readAll() << child.readAllStandardError();
    });
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChildSwitch), mode, QString::number(sig),
                 QString::fromLocal8Bit(pty.path), journal});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(pty.received(kStop.size()), kStop);

    const QList<QStringList> rows = RunJournal::readRows(journal);
    QCOMPARE(rows.size(), endedBy.isEmpty() ? 0 : 1);
    if (endedBy.isEmpty())
        return;
    QStringList expected = longRun().fields();
    expected[1] = rows.first().at(1); // when the row was kept
    expected[11] = endedBy;
    QCOMPARE(rows.first(), expected);
    QVERIFY(QDateTime::fromString(rows.first().at(1), Qt::ISODate).isValid());
}

int main(int argc, char *argv[])
{
    if ((argc == 5 || argc == 6) && qstrcmp(argv[1], kChildSwitch) == 0)
        return guardedChild(argc, argv);
    QCoreApplication app(argc, argv);
    tst_processguard test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processguard.moc"
