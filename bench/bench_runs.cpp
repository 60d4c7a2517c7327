// vyt-bench: what the runs cost. The real main window runs offscreen against
// vyt-controller-sim started as a separate process, so that the CPU time measured
// here is the program's alone; the simulator's own time is shown beside it.
//
//   1. CPU time while a 10 s flow runs and while a dose waits 10 s for its arrival;
//   2. 200 doses without pause on a line paced at 9600 baud, against the time the
//      bytes alone need on the line;
//   3. ParameterLesen from the arrival of the reply's LF to its reply handler;
//   4. how late a 1 s flow's stop reaches the controller, with and without a modal
//      dialog open over the window while the flow runs;
//   5. from a click on Stop to its "V 0" at the controller;
//   6. remote control: 1000 status requests from another thread, each on a new
//      connection as a script's urllib makes them, idle and while a dose waits for its
//      arrival; 200 stops while 16 idle connections without the token are held; and the
//      CPU time of the program idle with remote control on;
//   7. the console's polling with the live plot open: CPU time, and each cycle's time
//      against the 0.3 s pause plus the cycle's bytes on a 9600-baud line, with and
//      without the plot; and how late a dose's "LA" reaches the controller after its
//      pause while the console polls a controller that answers each query after 0.25 s.
// "vyt-bench --remote" measures 6 only, "vyt-bench poll" 7 only; "vyt-bench journal" times
// /v1/runs on a 50 MB journal and the memory after ten such requests.
// 4 and 5 time the lines where they arrive: the simulator's --log stamps each line as
// it reads it, in its own process, so a held-up program cannot hide its own lateness.
#include "config/NumberText.h"
#include "console/frmDirekt.h"
#include "console/frmLivePlot.h"
#include "journal/RunJournal.h"
#include "session/PumpRun.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "remote/RemoteServer.h"
#include "sila/SilaCertificate.h"
#include "sila/SilaServer.h"
#include "support/AppFixture.h"
#include "session/Clock.h"
#include "session/Wait.h"
#include "support/TestWait.h"
#include "support/LineWait.h"

#include "PumpStatusProvider.grpc.pb.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <grpcpp/grpcpp.h>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

using namespace vyt;
using namespace vyt::test;

namespace {

constexpr int kMeasureMs = 10000;
constexpr int kDoses = 200;
constexpr int kQueries = 500;
constexpr double kBaud = 9600;
constexpr int kFlowRuns = 20;
constexpr int kFlowMs = 1000;
constexpr int kStopClicks = 20;
constexpr int kPollDoses = 30;
constexpr int kSlowReplyMs = 250;

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, from /proc.
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The command name may hold blanks: count the fields after its closing parenthesis.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) /
           double(sysconf(_SC_CLK_TCK));
}

// vyt-controller-sim next to this program, with the given options.
class ExternalSim {
public:
    explicit ExternalSim(const QStringList &options)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [] { Wakeup::poke(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() +
                            QStringLiteral("/vyt-controller-sim"),
                        options);
        (void)waitUntil(
            [this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
            10000);
        m_device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~ExternalSim()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
    }
    [[nodiscard]] QString device() const { return m_device; }
    [[nodiscard]] double cpu() const { return cpuSecondsOf(m_process.processId()); }

private:
    QProcess m_process;
    QString m_device;
};

// The main window on Com1, Com1 being the external simulator.
struct Program {
    explicit Program(const ExternalSim &sim) : app(1, false)
    {
        mapPort(1, sim.device());
        ok = !sim.device().isEmpty() && app.start();
    }
    AppFixture app;
    bool ok = false;
};

void chooseDosing(AppFixture &app, const QString &revolutions, const QString &times)
{
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1); // 3 µl, 16 lines
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(2);
    app.enter("txtMenge", revolutions);
    app.enter("txtWiederholung", times);
    app.enter("txtPause", QStringLiteral("0"));
    app.find<QPushButton>("cmdStart")->setFocus();
}

// The controller has answered and the limits are out before anything is measured.
void prime(AppFixture &app)
{
    app.window().link().ParameterSetzen();
    (void)readReply(app.window().link(), QStringLiteral("VER"));
}

struct CpuFigure {
    double programPercent = -1;
    double simPercent = -1;
    double wallSeconds = 0;
};

// CPU share of one core while the run started by Start lasts.
CpuFigure measureRun(Program &p, const ExternalSim &sim)
{
    CpuFigure f;
    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    const double sim0 = sim.cpu();
    wall.start();
    p.app.find<QPushButton>("cmdStart")->click();
    (void)p.app.waitForRunEnd(600000);
    f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    f.programPercent = 100.0 * (cpuSeconds() - cpu0) / f.wallSeconds;
    f.simPercent = 100.0 * (sim.cpu() - sim0) / f.wallSeconds;
    return f;
}

// 5 ml/min on pump type 1 for the given seconds; no seconds: until Stop.
void chooseFlow(AppFixture &app, std::optional<int> seconds)
{
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.enter("txtFoerderstrom", QStringLiteral("5"));
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(1);
    if (seconds)
        app.enter("txtDauer", QString::number(*seconds));
    else
        app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    app.find<QPushButton>("cmdStart")->setFocus();
}

CpuFigure flowCpu()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    chooseFlow(app, kMeasureMs / 1000);
    prime(app);
    return measureRun(p, sim);
}

CpuFigure arrivalCpu()
{
    // The controller never tells that the move has arrived; Stop ends the wait.
    ExternalSim sim({QStringLiteral("--fault"), QStringLiteral("silent")});
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    chooseDosing(app, QStringLiteral("10"), QStringLiteral("1"));
    // A silent controller cannot answer the start's question: it did before.
    app.state().KeineAntwort = false;
    app.state().ParameterGeaendert = false;
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, [&] { app.find<QPushButton>("cmdStop")->click(); });
    stop.start(kMeasureMs);
    return measureRun(p, sim);
}

struct DoseFigure {
    double seconds = -1;
    double lineSeconds = 0;
    qint64 bytes = 0;
};

// paced: the simulator holds every byte for its time on a 9600-baud line; unpaced, what
// is left is the round trip of program and simulator per dose.
DoseFigure doses(bool paced)
{
    QStringList options{QStringLiteral("--instant")};
    if (paced)
        options << QStringLiteral("--line-rate") << QStringLiteral("9600");
    ExternalSim sim(options);
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    chooseDosing(app, QStringLiteral("1"), QString::number(kDoses));
    prime(app);
    DoseFigure f;
    // The set-up lines, then per dose the three commands out and "p" CR LF back.
    for (const char *c : {"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"})
        f.bytes += qint64(qstrlen(c)) + 1;
    for (int i = 1; i <= kDoses; ++i) {
        const qint64 target = 64LL * i;
        const qint64 digits = integerForm(target).size();
        f.bytes += 2 * (3 + digits + 1) + 2 + 3;
    }
    f.lineSeconds = double(f.bytes) * 10.0 / kBaud;
    QElapsedTimer wall;
    wall.start();
    app.find<QPushButton>("cmdStart")->click();
    (void)app.waitForRunEnd(600000);
    f.seconds = double(wall.nsecsElapsed()) / 1e9;
    return f;
}

struct LatencyFigure {
    double medianUs = -1;
    double p99Us = -1;
    double maxUs = -1;
};

// One journal row as a run writes it when it ends, 1000 times into a fresh file.
LatencyFigure journalRowCost()
{
    QTemporaryDir dir;
    RunJournal journal(dir.filePath(QStringLiteral("runs.csv")));
    RunRecord row;
    row.started = row.ended = QDateTime::currentDateTime();
    row.port = QStringLiteral("COM1");
    row.device = QStringLiteral("/dev/serial/by-id/usb-FTDI_USB_Serial-if00-port0");
    row.pumpType = QStringLiteral("vyt-P02");
    row.mode = QStringLiteral("dosing");
    row.setValue = QStringLiteral("30");
    row.unit = QStringLiteral("µl");
    row.repetitions = QStringLiteral("5");
    row.dosesDone = 5;
    row.delivered = QStringLiteral("150");
    row.endedBy = QStringLiteral("completed");
    QList<double> us;
    for (int i = 0; i < 1000; ++i) {
        QElapsedTimer t;
        t.start();
        if (!journal.append(row))
            return {};
        us << double(t.nsecsElapsed()) / 1000.0;
    }
    std::sort(us.begin(), us.end());
    return {us.at(us.size() / 2), us.at(us.size() * 99 / 100), us.last()};
}

LatencyFigure replyLatency()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    ControllerLink &link = p.app.window().link();
    // The last input before the reply handler runs is the one that completed the line.
    QElapsedTimer clock;
    clock.start();
    qint64 lastInput = 0;
    QObject::connect(&p.app.window().MSComm1(), &MSComm::inputArrived,
                     [&] { lastInput = clock.nsecsElapsed(); });
    (void)readReply(link, QStringLiteral("VER"));
    std::vector<double> us;
    us.reserve(kQueries);
    for (int i = 0; i < kQueries; ++i) {
        lastInput = -1;
        QEventLoop loop;
        QString reply;
        qint64 back = -1;
        link.ParameterLesen(QStringLiteral("GN"), &loop, [&](const QString &text) {
            back = clock.nsecsElapsed();
            reply = text;
            loop.quit();
        });
        if (back < 0)
            loop.exec();
        if (lastInput < 0 || p.app.state().KeineAntwort || reply.isEmpty())
            return {};
        us.push_back(double(back - lastInput) / 1000.0);
    }
    std::sort(us.begin(), us.end());
    LatencyFigure f;
    f.medianUs = us.at(us.size() / 2);
    f.p99Us = us.at(std::min(us.size() - 1, size_t(double(us.size()) * 0.99)));
    f.maxUs = us.back();
    return f;
}

// One line of the simulator's --log: when it arrived (ms since the epoch, as the
// simulator's clock stamps it, to the millisecond) and what it said.
struct LoggedLine {
    qint64 ms = 0;
    QString text;
};

// Reads the simulator's log as it grows.
class SimLog {
public:
    explicit SimLog(const QString &path) : m_file(path) {}

    // Every complete line so far.
    const std::vector<LoggedLine> &lines()
    {
        if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly))
            return m_lines;
        m_file.seek(m_offset);
        const QByteArray more = m_file.readAll();
        m_offset += more.size();
        m_partial += more;
        int end = 0;
        while ((end = m_partial.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_partial.left(end));
            m_partial.remove(0, end + 1);
            const int blank = line.indexOf(QLatin1Char(' '));
            const QDateTime at = QDateTime::fromString(line.left(blank), Qt::ISODateWithMs);
            if (blank > 0 && at.isValid())
                m_lines.push_back({at.toMSecsSinceEpoch(), line.mid(blank + 1).trimmed()});
        }
        return m_lines;
    }

private:
    QFile m_file;
    qint64 m_offset = 0;
    QByteArray m_partial;
    std::vector<LoggedLine> m_lines;
};

// The simulator with its log in a directory of its own.
struct LoggingSim {
    QTemporaryDir dir;
    ExternalSim sim{{QStringLiteral("--log"), dir.filePath(QStringLiteral("received.log"))}};
    SimLog log{dir.filePath(QStringLiteral("received.log"))};
};

// The same clock the simulator stamps with, in fractions of a millisecond.
double wallMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Serves events until done() holds; the log file has no signal, so it is looked at
// every everyMs. Nothing of the program is poked for it.
bool pollUntil(const std::function<bool()> &done, int timeoutMs, int everyMs = 2)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(everyMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool isSpeed(const QString &text)
{
    return text.startsWith(QLatin1String("V ")) && text != QLatin1String("V 0");
}

// From line `from` on: the index of the first speed line, then of the first "V 0" after it.
std::optional<std::pair<size_t, size_t>> speedAndStop(const std::vector<LoggedLine> &lines,
                                                      size_t from)
{
    size_t i = from;
    while (i < lines.size() && !isSpeed(lines[i].text))
        ++i;
    for (size_t j = i + 1; j < lines.size(); ++j)
        if (lines[j].text == QLatin1String("V 0"))
            return std::make_pair(i, j);
    return std::nullopt;
}

struct SpreadFigure {
    bool measured = false;
    double medianMs = 0;
    double worstMs = 0;
};

SpreadFigure spread(std::vector<double> ms)
{
    if (ms.empty())
        return {};
    std::sort(ms.begin(), ms.end());
    // Of an even count the upper middle: the median errs towards late.
    return {true, ms.at(ms.size() / 2), ms.back()};
}

namespace status = sila2::org::vyt::pumps::pumpstatusprovider::v1;

// SiLA 2 on a free port of this machine, with the program's own certificate, and a
// client that trusts it.
struct SilaOn {
    explicit SilaOn(frmPumpensteuerung &window)
    {
        QString why;
        const auto credentials =
            loadSilaCredentials({}, {}, SilaServer::serverUuid(0), QHostAddress::LocalHost, &why);
        if (!credentials)
            return;
        server = std::make_unique<SilaServer>(window.session());
        ok = server->listen(RemoteAddress{}, *credentials);
        grpc::SslCredentialsOptions trust;
        trust.pem_root_certs = credentials->certificatePem.toStdString();
        channel = grpc::CreateChannel(server->where().text().toStdString(), grpc::SslCredentials(trust));
    }
    std::unique_ptr<SilaServer> server;
    std::shared_ptr<grpc::Channel> channel;
    bool ok = false;
};

// A client subscribed to every observable property, reading each stream on a thread.
class Subscriber {
public:
    explicit Subscriber(const std::shared_ptr<grpc::Channel> &channel)
        : m_stub(status::PumpStatusProvider::NewStub(channel))
    {
        follow<status::Subscribe_RunState_Responses>(&status::PumpStatusProvider::Stub::Subscribe_RunState,
                                                     status::Subscribe_RunState_Parameters());
        follow<status::Subscribe_FlowRate_Responses>(&status::PumpStatusProvider::Stub::Subscribe_FlowRate,
                                                     status::Subscribe_FlowRate_Parameters());
        follow<status::Subscribe_DoseCount_Responses>(&status::PumpStatusProvider::Stub::Subscribe_DoseCount,
                                                      status::Subscribe_DoseCount_Parameters());
        follow<status::Subscribe_LinkState_Responses>(&status::PumpStatusProvider::Stub::Subscribe_LinkState,
                                                      status::Subscribe_LinkState_Parameters());
    }
    ~Subscriber()
    {
        for (auto &c : m_contexts)
            c->TryCancel();
        for (auto &t : m_threads)
            t.join();
    }
    [[nodiscard]] int received() const { return m_received.load(); }

private:
    template <class Message, class Call, class Parameters>
    void follow(Call call, const Parameters &parameters)
    {
        m_contexts.push_back(std::make_unique<grpc::ClientContext>());
        grpc::ClientContext *context = m_contexts.back().get();
        m_threads.emplace_back([this, call, parameters, context] {
            auto reader = ((*m_stub).*call)(context, parameters);
            Message message;
            while (reader->Read(&message))
                ++m_received;
            (void)reader->Finish();
        });
    }
    std::unique_ptr<status::PumpStatusProvider::Stub> m_stub;
    std::vector<std::unique_ptr<grpc::ClientContext>> m_contexts;
    std::vector<std::thread> m_threads;
    std::atomic<int> m_received{0};
};

// SiLA 2 with a subscribed client beside a measurement, when asked for.
struct SilaWatching {
    SilaWatching(frmPumpensteuerung &window, bool on)
    {
        if (!on)
            return;
        sila = std::make_unique<SilaOn>(window);
        if (sila->ok)
            subscriber = std::make_unique<Subscriber>(sila->channel);
        (void)waitUntil([this] { return subscriber && subscriber->received() >= 4; }, 5000);
    }
    [[nodiscard]] bool ok(bool on) const { return !on || (subscriber && subscriber->received() >= 4); }
    std::unique_ptr<SilaOn> sila;
    std::unique_ptr<Subscriber> subscriber; // after sila: it goes first
};

// kFlowRuns flows of kFlowMs; how much later than kFlowMs after its speed the stop's
// "V 0" reached the controller. withDialog: a modal dialog is open over the window from
// just after Start until the stop is on the line.
SpreadFigure flowStopLateness(bool withDialog, bool silaWatching = false)
{
    LoggingSim logged;
    Program p(logged.sim);
    if (!p.ok || !logged.dir.isValid())
        return {};
    const SilaWatching watching(p.app.window(), silaWatching);
    if (!watching.ok(silaWatching))
        return {};
    AppFixture &app = p.app;
    chooseFlow(app, kFlowMs / 1000);
    prime(app);
    std::vector<double> lateness;
    for (int run = 0; run < kFlowRuns; ++run) {
        const size_t from = logged.log.lines().size();
        std::optional<std::pair<size_t, size_t>> seen;
        auto stopSeen = [&] {
            seen = speedAndStop(logged.log.lines(), from);
            return seen.has_value();
        };
        app.find<QPushButton>("cmdStart")->click();
        if (withDialog) {
            // A plain dialog of the bench's own, not a message: it closes from its own
            // timer once the stop has arrived, or after 10 s when it never does.
            QDialog dialog(&app.window());
            dialog.setWindowTitle(QStringLiteral("vyt-bench"));
            dialog.setModal(true);
            QElapsedTimer open;
            open.start();
            QTimer look(&dialog);
            look.setInterval(5);
            QObject::connect(&look, &QTimer::timeout, &dialog, [&] {
                if (stopSeen() || open.elapsed() > 10000)
                    dialog.done(QDialog::Accepted);
            });
            look.start();
            dialog.exec();
            // The offscreen platform keeps the closed dialog as the focus window.
            QApplication::setActiveWindow(&app.window());
        }
        if (!app.waitForRunEnd(10000) || !pollUntil(stopSeen, 3000))
            return {};
        const std::vector<LoggedLine> &lines = logged.log.lines();
        lateness.push_back(double(lines[seen->second].ms - lines[seen->first].ms - kFlowMs));
    }
    return spread(lateness);
}

// With an endless flow running, from Stop's click to its "V 0" at the controller; one
// flow per click. The log stamps whole milliseconds: its line is taken at the middle of
// its millisecond, so a figure is good to half a millisecond.
SpreadFigure stopClickToLine(bool silaWatching = false)
{
    LoggingSim logged;
    Program p(logged.sim);
    if (!p.ok || !logged.dir.isValid())
        return {};
    const SilaWatching watching(p.app.window(), silaWatching);
    if (!watching.ok(silaWatching))
        return {};
    AppFixture &app = p.app;
    chooseFlow(app, std::nullopt);
    prime(app);
    std::vector<double> ms;
    for (int click = 0; click < kStopClicks; ++click) {
        const size_t from = logged.log.lines().size();
        app.find<QPushButton>("cmdStart")->click();
        auto running = [&] {
            const std::vector<LoggedLine> &lines = logged.log.lines();
            return std::any_of(lines.begin() + qsizetype(from), lines.end(),
                               [](const LoggedLine &l) { return isSpeed(l.text); });
        };
        if (!pollUntil(running, 3000))
            return {};
        // The flow settles; an endless flow sends nothing more until Stop.
        (void)pollUntil([] { return false; }, 50);
        const size_t before = logged.log.lines().size();
        const double clicked = wallMs();
        app.find<QPushButton>("cmdStop")->click();
        // Stop's own "V 0" is the first; the run's end sends another after it.
        std::optional<qint64> arrived;
        auto stopped = [&] {
            const std::vector<LoggedLine> &lines = logged.log.lines();
            for (size_t i = before; i < lines.size(); ++i)
                if (lines[i].text == QLatin1String("V 0")) {
                    arrived = lines[i].ms;
                    return true;
                }
            return false;
        };
        if (!pollUntil(stopped, 3000) || !app.waitForRunEnd(10000))
            return {};
        ms.push_back(double(*arrived) + 0.5 - clicked);
    }
    return spread(ms);
}

constexpr int kStatusRequests = 1000;

// The program's remote control on a free port of this machine, with a token of its own.
struct RemoteOn {
    explicit RemoteOn(frmPumpensteuerung &window)
    {
        ok = dir.isValid() && token.load(dir.filePath(QStringLiteral("remote-token")));
        server = std::make_unique<RemoteServer>(window.session(), token);
        ok = ok && server->listen(RemoteAddress{});
    }
    QTemporaryDir dir;
    RemoteToken token;
    std::unique_ptr<RemoteServer> server;
    bool ok = false;
};

// From connecting to the last byte of the answer, in microseconds; -1 when it failed.
double statusRoundTrip(quint16 port, const QByteArray &request)
{
    QElapsedTimer t;
    t.start();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return -1;
    socket.write(request);
    QByteArray in;
    while (!in.startsWith("HTTP/1.1 200") || !in.endsWith('}')) {
        if (!socket.waitForReadyRead(2000))
            return -1;
        in += socket.readAll();
    }
    return double(t.nsecsElapsed()) / 1000.0;
}

// kStatusRequests calls from a thread of their own, while this thread serves; each call
// answers its microseconds, or < 0 when it failed (the figure is then not measured).
LatencyFigure timedOnClientThread(const std::function<double()> &call)
{
    std::vector<double> us;
    std::unique_ptr<QThread> client(QThread::create([&] {
        for (int i = 0; i < kStatusRequests; ++i) {
            const double one = call();
            if (one < 0)
                return;
            us.push_back(one);
        }
    }));
    QObject::connect(client.get(), &QThread::finished, [] { Wakeup::poke(); });
    client->start();
    (void)waitUntil([&] { return client->isFinished(); }, 600000);
    client->wait();
    if (us.size() != size_t(kStatusRequests))
        return {};
    std::sort(us.begin(), us.end());
    return {us.at(us.size() / 2), us.at(size_t(double(us.size()) * 0.99)), us.back()};
}

LatencyFigure statusLatency(RemoteOn &remote)
{
    const QByteArray request =
        "GET /v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
        remote.token.value() + "\r\nConnection: close\r\n\r\n";
    const quint16 port = remote.server->port();
    return timedOnClientThread([&] { return statusRoundTrip(port, request); });
}

// A dose that waits for its arrival until Stop (the controller is a silent one).
bool startWaitingDose(AppFixture &app)
{
    chooseDosing(app, QStringLiteral("10"), QStringLiteral("1"));
    app.state().KeineAntwort = false;
    app.state().ParameterGeaendert = false;
    app.find<QPushButton>("cmdStart")->click();
    return app.window().running();
}

// The CPU share of one core over kMeasureMs of this process sitting idle.
double idleShare()
{
    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    wall.start();
    (void)waitUntil([] { return false; }, kMeasureMs);
    return 100.0 * (cpuSeconds() - cpu0) / (double(wall.nsecsElapsed()) / 1e9);
}

LatencyFigure remoteLatency(bool runWaiting)
{
    // A silent controller never tells that the dose has arrived: the run waits until Stop.
    ExternalSim sim(runWaiting ? QStringList{QStringLiteral("--fault"), QStringLiteral("silent")}
                               : QStringList{});
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    RemoteOn remote(app.window());
    if (!remote.ok)
        return {};
    if (runWaiting && !startWaitingDose(app))
        return {};
    const LatencyFigure f = statusLatency(remote);
    const bool stillWaiting = !runWaiting || app.window().running();
    app.find<QPushButton>("cmdStop")->click();
    (void)app.waitForRunEnd(10000);
    return stillWaiting ? f : LatencyFigure{};
}

constexpr int kHeldConnections = 16;
constexpr int kStops = 200;

// The answer to POST /v1/stop with the token while another client holds kHeldConnections
// idle connections without it, opening a new one for each that is cut.
LatencyFigure stopWithHeldConnections()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    RemoteOn remote(p.app.window());
    if (!remote.ok)
        return {};
    const QByteArray request = "POST /v1/stop HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                               remote.token.value() +
                               "\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    const quint16 port = remote.server->port();
    std::vector<double> us;
    std::unique_ptr<QThread> client(QThread::create([&] {
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < kStops; ++i) {
            for (auto &h : held) {
                if (h->state() == QAbstractSocket::ConnectedState)
                    (void)h->waitForReadyRead(0); // notices a cut connection
            }
            held.erase(std::remove_if(held.begin(), held.end(),
                                      [](const auto &h) { return h->state() != QAbstractSocket::ConnectedState; }),
                       held.end());
            while (int(held.size()) < kHeldConnections) {
                held.push_back(std::make_unique<QTcpSocket>());
                held.back()->connectToHost(QHostAddress::LocalHost, port);
                if (!held.back()->waitForConnected(2000))
                    return;
            }
            QElapsedTimer t;
            t.start();
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(2000))
                return;
            socket.write(request);
            QByteArray in;
            while (!in.contains("\r\n\r\n{") || !in.endsWith('}')) {
                if (!socket.waitForReadyRead(2000))
                    return;
                in += socket.readAll();
            }
            if (!in.startsWith("HTTP/1.1 200"))
                return;
            us.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
    }));
    QObject::connect(client.get(), &QThread::finished, [] { Wakeup::poke(); });
    client->start();
    (void)waitUntil([&] { return client->isFinished(); }, 600000);
    client->wait();
    if (us.size() != size_t(kStops))
        return {};
    std::sort(us.begin(), us.end());
    return {us.at(us.size() / 2), us.at(size_t(double(us.size()) * 0.99)), us.back()};
}

// CPU share of one core while the program sits idle, with remote control listening or not.
double idleCpu(bool remoteOn)
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return -1;
    RemoteOn remote(p.app.window());
    if (!remote.ok)
        return -1;
    if (!remoteOn)
        remote.server.reset();
    return idleShare();
}

// 1000 reads of an unobservable property (the pump type) from a client thread, each a
// round trip through the session's thread; runWaiting: while a dose waits for its arrival.
LatencyFigure silaPropertyLatency(bool runWaiting)
{
    ExternalSim sim(runWaiting ? QStringList{QStringLiteral("--fault"), QStringLiteral("silent")}
                               : QStringList{});
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    SilaOn sila(app.window());
    if (!sila.ok)
        return {};
    if (runWaiting && !startWaitingDose(app))
        return {};
    auto stub = status::PumpStatusProvider::NewStub(sila.channel);
    const LatencyFigure f = timedOnClientThread([&] {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
        status::Get_PumpType_Responses answer;
        QElapsedTimer t;
        t.start();
        if (!stub->Get_PumpType(&context, status::Get_PumpType_Parameters(), &answer).ok())
            return -1.0;
        return double(t.nsecsElapsed()) / 1000.0;
    });
    const bool stillWaiting = !runWaiting || app.window().running();
    app.find<QPushButton>("cmdStop")->click();
    (void)app.waitForRunEnd(10000);
    return stillWaiting ? f : LatencyFigure{};
}

// CPU share of one core while the program sits idle, with SiLA 2 listening or not.
double idleCpuSila(bool on)
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return -1;
    std::unique_ptr<SilaOn> sila;
    if (on) {
        sila = std::make_unique<SilaOn>(p.app.window());
        if (!sila->ok)
            return -1;
    }
    (void)waitUntil([] { return false; }, 1000); // gRPC's threads settle
    return idleShare();
}

struct PollFigure {
    double programPercent = -1;
    double simPercent = -1;
    double medianMs = -1;
    // A cycle less its pause and its bytes' time on the line: median, 95th and worst.
    double medianOverMs = -1;
    double p95OverMs = -1;
    double worstOverMs = -1;
    int cycles = 0;
};

enum class PlotView { None, Minute, TenMinutesFull };

// Polls for kMeasureMs in a console on the external simulator, the drive turning at
// 1000 rpm, on a line paced at 9600 baud or not; with the plot window open when asked,
// at its default minute or at ten minutes already full of samples (its worst case).
PollFigure pollWithPlot(PlotView view, bool paced)
{
    ExternalSim sim(paced ? QStringList{QStringLiteral("--line-rate"), QStringLiteral("9600")}
                          : QStringList{});
    Program p(sim);
    if (!p.ok)
        return {};
    prime(p.app);
    p.app.window().link().BefehlSenden(QStringLiteral("V1000"));
    frmDirekt console(p.app.state(), p.app.window().link(), p.app.window().consoleTranscript(),
                      &p.app.window());
    console.show();
    if (view != PlotView::None)
        console.findChild<QPushButton *>(QStringLiteral("cmdPlot"))->click();
    if (view == PlotView::TenMinutesFull) {
        auto *plot = console.findChild<frmLivePlot *>(QStringLiteral("frmLivePlot"));
        plot->setSpanSeconds(600);
        const qint64 now = clockMs();
        for (qint64 ms = now - 600000; ms < now; ms += 300)
            plot->addSample({ms, qint32(1000 + ms % 7), qint32(25 + ms % 3)});
    }

    QElapsedTimer clock;
    std::vector<double> cycleMs;
    std::vector<double> overMs;
    double lastMs = -1;
    QObject::connect(&console, &frmDirekt::liveValues,
                     [&](qint32 rpm, qint32 mA, const QString &flags) {
                         const double now = double(clock.nsecsElapsed()) / 1e6;
                         // GN, GFS, GRC and their replies, each reply ending in CR LF.
                         const int bytes = 3 + 4 + 4 + integerForm(rpm).size() +
                                           integerForm(mA).size() + flags.size() + 6;
                         const double lineMs = paced ? bytes * 10.0 / kBaud * 1000.0 : 0.0;
                         if (lastMs >= 0) {
                             cycleMs.push_back(now - lastMs);
                             overMs.push_back(now - lastMs - frmDirekt::kAbfragePauseMs - lineMs);
                         }
                         lastMs = now;
                     });
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, [&] {
        console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStop"))->click();
    });
    PollFigure f;
    const double cpu0 = cpuSeconds();
    const double sim0 = sim.cpu();
    clock.start();
    stop.start(kMeasureMs);
    console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStart"))->click();
    // Looked at 20 times a second, so that the looking costs no CPU time worth measuring.
    (void)pollUntil([&] { return !console.AbfrageLaeuft(); }, kMeasureMs + 5000, 50);
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    f.programPercent = 100.0 * (cpuSeconds() - cpu0) / wall;
    f.simPercent = 100.0 * (sim.cpu() - sim0) / wall;
    p.app.window().link().BefehlSenden(QStringLiteral("V 0"));
    if (cycleMs.empty())
        return f;
    std::sort(cycleMs.begin(), cycleMs.end());
    std::sort(overMs.begin(), overMs.end());
    f.medianMs = cycleMs[cycleMs.size() / 2];
    f.medianOverMs = overMs[overMs.size() / 2];
    f.p95OverMs = overMs[std::min(overMs.size() - 1, overMs.size() * 95 / 100)];
    f.worstOverMs = overMs.back();
    f.cycles = int(cycleMs.size()) + 1;
    return f;
}

// kPollDoses doses of a quarter revolution with 1 s pauses while the console polls a
// controller that answers each query after kSlowReplyMs and splits its notification: how
// much later than its pause's end each dose's "LA" is logged by the simulator.
SpreadFigure doseLatenessWhilePolling()
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("received.log"));
    ExternalSim sim({QStringLiteral("--reply-delay"), QString::number(kSlowReplyMs),
                     QStringLiteral("--fault"), QStringLiteral("split-notification"),
                     QStringLiteral("--log"), logPath});
    Program p(sim);
    if (!p.ok || !dir.isValid())
        return {};
    SimLog log(logPath);
    AppFixture &app = p.app;
    chooseDosing(app, QStringLiteral("0.25"), QString::number(kPollDoses));
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(1); // s
    app.enter("txtPause", QStringLiteral("1"));
    prime(app);

    frmDirekt console(app.state(), app.window().link(), app.window().consoleTranscript(),
                      &app.window());
    console.show();
    int cycles = 0;
    QObject::connect(&console, &frmDirekt::liveValues, [&] { ++cycles; });
    // When each pause ends, on the clock the simulator stamps its log with; from the time
    // left, as other receivers of the progress may have taken a while.
    PumpRun &run = app.window().run();
    std::vector<double> pauseEndMs;
    bool pausing = false;
    QObject::connect(&run, &PumpRun::fortschritt, &console, [&] {
        const PumpRun::Progress progress = run.progress();
        if (progress.pausing && !pausing)
            pauseEndMs.push_back(wallMs() + progress.secondsLeft * 1000.0);
        pausing = progress.pausing;
    });
    console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStart"))->click();
    if (!pollUntil([&] { return cycles >= 1; }, 10000, 50))
        return {};
    const size_t from = log.lines().size();
    app.find<QPushButton>("cmdStart")->click();
    const bool ended = app.waitForRunEnd(kPollDoses * 5000);
    console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStop"))->click();
    (void)pollUntil([&] { return !console.AbfrageLaeuft(); }, 5000, 50);
    if (!ended || run.outcome().dosesDone != kPollDoses)
        return {};

    std::vector<double> doseAtMs;
    const std::vector<LoggedLine> &lines = log.lines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].text.startsWith(QLatin1String("LA ")) && lines[i].text != QLatin1String("LA 0"))
            doseAtMs.push_back(double(lines[i].ms));
    }
    if (doseAtMs.size() != size_t(kPollDoses) || pauseEndMs.size() != size_t(kPollDoses - 1))
        return {};
    std::vector<double> lateMs;
    for (size_t i = 0; i + 1 < doseAtMs.size(); ++i)
        lateMs.push_back(doseAtMs[i + 1] - pauseEndMs[i]);
    return spread(lateMs);
}

// Resident memory of this process, in MB.
double rssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

// A journal of about 50 MB, a run a minute up to now, as rotation failing leaves it.
bool writeLargeJournal(const QString &path)
{
    QFile::remove(path + QStringLiteral(".1"));
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        return false;
    QByteArray text = RunJournal::csvLine(RunJournal::header());
    const int rows = 50 * 1024 * 1024 / 106;
    const QDateTime first = QDateTime::currentDateTime().addSecs(-60LL * rows);
    for (int i = 0; i < rows; ++i) {
        RunRecord r;
        r.started = first.addSecs(60LL * i);
        r.ended = r.started.addSecs(30);
        r.port = QStringLiteral("COM1");
        r.device = QStringLiteral("/dev/ttyUSB0");
        r.pumpType = QStringLiteral("vyt-P02");
        r.mode = QStringLiteral("dosing");
        r.setValue = QStringLiteral("12.5");
        r.endedBy = QStringLiteral("completed");
        text += RunJournal::csvLine(r.fields());
        if (text.size() > (1 << 20)) {
            if (file.write(text) != text.size())
                return false;
            text.clear();
        }
    }
    return file.write(text) == text.size();
}

struct JournalFigure {
    double idleMb = -1;
    double afterMb = -1;
    double oneRequestMs = -1;
    double medianMs = -1;
    double journalMb = 0;
};

// /v1/runs on a 50 MB journal: one request's time (limit 1000), and the memory after ten.
JournalFigure journalRequests()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    RemoteOn remote(p.app.window());
    const QString path = p.app.window().runJournal().path();
    if (!remote.ok || !writeLargeJournal(path))
        return {};
    JournalFigure f;
    f.journalMb = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    f.idleMb = rssMb();
    const QByteArray request = "GET /v1/runs?since=2000-01-01&limit=1000 HTTP/1.1\r\nHost: "
                               "127.0.0.1\r\nAuthorization: Bearer " +
                               remote.token.value() + "\r\nConnection: close\r\n\r\n";
    const quint16 port = remote.server->port();
    std::vector<double> us;
    std::unique_ptr<QThread> client(QThread::create([&] {
        for (int i = 0; i < 10; ++i)
            us.push_back(statusRoundTrip(port, request));
    }));
    QObject::connect(client.get(), &QThread::finished, [] { Wakeup::poke(); });
    client->start();
    (void)waitUntil([&] { return client->isFinished(); }, 600000);
    client->wait();
    QFile::remove(path);
    if (us.size() != 10 || *std::min_element(us.begin(), us.end()) < 0)
        return {};
    f.afterMb = rssMb();
    f.oneRequestMs = us.front() / 1000.0;
    std::sort(us.begin(), us.end());
    f.medianMs = us.at(us.size() / 2) / 1000.0;
    return f;
}

} // namespace

QString spreadText(const SpreadFigure &f)
{
    if (!f.measured)
        return QStringLiteral("not measured (no run, or no stop on the line)");
    return QStringLiteral("median %1 ms, worst %2 ms").arg(f.medianMs, 0, 'f', 1).arg(f.worstMs, 0, 'f', 1);
}

QString msText(const LatencyFigure &f)
{
    return QStringLiteral("median %1 ms, 99th %2 ms, max %3 ms")
        .arg(f.medianUs / 1000.0, 0, 'f', 2)
        .arg(f.p99Us / 1000.0, 0, 'f', 2)
        .arg(f.maxUs / 1000.0, 0, 'f', 2);
}

// The SiLA 2 figures: a property's round trip, the stops with a subscribed client, idle CPU.
template <class Row>
void silaFigures(const Row &row)
{
    const LatencyFigure idle = silaPropertyLatency(false);
    row("SiLA 2 property read, idle (1000)", msText(idle), "p99 < 10 ms",
        idle.p99Us >= 0 && idle.p99Us < 10000);
    const LatencyFigure waiting = silaPropertyLatency(true);
    row("  the same, while a dose waits", msText(waiting), "p99 < 10 ms",
        waiting.p99Us >= 0 && waiting.p99Us < 10000);
    const SpreadFigure late = flowStopLateness(false, true);
    row("Flow stop lateness, SiLA client subscribed", spreadText(late), "< 50 ms",
        late.measured && late.worstMs < 50);
    const SpreadFigure click = stopClickToLine(true);
    row("Stop click to V 0, SiLA client subscribed", spreadText(click), "< 5 ms",
        click.measured && click.worstMs < 5);
    const double without = idleCpuSila(false);
    const double with = idleCpuSila(true);
    row("CPU, 10 s idle, SiLA 2 on",
        QStringLiteral("%1 % of a core (off: %2 %)").arg(with, 0, 'f', 3).arg(without, 0, 'f', 3),
        "<= off + 0.02 %", with >= 0 && without >= 0 && with <= without + 0.02);
}

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes about window features would break up the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QApplication qapp(argc, argv);
    QLocale::setDefault(QLocale::c());
    // Operator messages are answered and recorded, never shown; the program's end is recorded.
    MessageRecorder messages;

    std::printf("vyt-bench: the program offscreen, vyt-controller-sim as a separate process\n\n");
    std::printf("%-44s %-44s %s\n", "figure", "measured", "goal");
    bool allMet = true;
    auto row = [&](const char *name, const QString &measured, const char *goal, bool met) {
        allMet = allMet && met;
        std::printf("%-44s %-44s %s%s\n", name, qPrintable(measured), goal, met ? "" : "  NOT MET");
        std::fflush(stdout);
    };

    if (qapp.arguments().contains(QStringLiteral("--sila"))) {
        silaFigures(row);
        return allMet ? 0 : 1;
    }
    const bool remoteOnly = qapp.arguments().contains(QStringLiteral("--remote"));
    const bool pollOnly = qapp.arguments().contains(QStringLiteral("poll"));
    if (qapp.arguments().contains(QStringLiteral("journal"))) {
        const JournalFigure f = journalRequests();
        row("/v1/runs, 50 MB journal, limit 1000",
            QStringLiteral("first %1 ms, median of 10 %2 ms (%3 MB)")
                .arg(f.oneRequestMs, 0, 'f', 1)
                .arg(f.medianMs, 0, 'f', 1)
                .arg(f.journalMb, 0, 'f', 1),
            "< 100 ms", f.oneRequestMs >= 0 && f.oneRequestMs < 100);
        row("RSS after 10 /v1/runs, 50 MB journal",
            QStringLiteral("%1 MB (idle %2 MB)").arg(f.afterMb, 0, 'f', 1).arg(f.idleMb, 0, 'f', 1),
            "<= idle + 20 MB", f.afterMb >= 0 && f.afterMb <= f.idleMb + 20);
        return allMet ? 0 : 1;
    }
    if (!remoteOnly && !pollOnly) {
        const CpuFigure flow = flowCpu();
        row("CPU, 10 s flow run",
            QStringLiteral("%1 % of a core (simulator %2 %)")
                .arg(flow.programPercent, 0, 'f', 3)
                .arg(flow.simPercent, 0, 'f', 3),
            "<= 1 %", flow.programPercent >= 0 && flow.programPercent <= 1.0);
        const CpuFigure arrival = arrivalCpu();
        row("CPU, 10 s wait for arrival",
            QStringLiteral("%1 % of a core (simulator %2 %)")
                .arg(arrival.programPercent, 0, 'f', 3)
                .arg(arrival.simPercent, 0, 'f', 3),
            "<= 1 %", arrival.programPercent >= 0 && arrival.programPercent <= 1.0);

        const DoseFigure paced = doses(true);
        const double goal = 1.05 * paced.lineSeconds + kDoses * 0.001;
        row("200 doses, no pause, 9600 baud",
            QStringLiteral("%1 s = %2 x line time %3 s (%4 bytes)")
                .arg(paced.seconds, 0, 'f', 3)
                .arg(paced.seconds / paced.lineSeconds, 0, 'f', 3)
                .arg(paced.lineSeconds, 0, 'f', 3)
                .arg(paced.bytes),
            qPrintable(QStringLiteral("<= 1.05 x + 200 ms = %1 s").arg(goal, 0, 'f', 3)),
            paced.seconds > 0 && paced.seconds <= goal);
        const DoseFigure unpaced = doses(false);
        row("  the same, line not paced (round trip)",
            QStringLiteral("%1 s = %2 ms a dose")
                .arg(unpaced.seconds, 0, 'f', 3)
                .arg(unpaced.seconds / kDoses * 1000.0, 0, 'f', 3),
            "(for reference)", unpaced.seconds > 0);

        const LatencyFigure journalRow = journalRowCost();
        row("Run journal, one row (1000 rows)",
            QStringLiteral("median %1 us, 99th %2 us, max %3 us")
                .arg(journalRow.medianUs, 0, 'f', 1)
                .arg(journalRow.p99Us, 0, 'f', 1)
                .arg(journalRow.maxUs, 0, 'f', 1),
            "< 1000 us", journalRow.p99Us >= 0 && journalRow.p99Us < 1000);

        const LatencyFigure latency = replyLatency();
        row("ParameterLesen, LF to handler (500 queries)",
            QStringLiteral("median %1 us, 99th %2 us, max %3 us")
                .arg(latency.medianUs, 0, 'f', 1)
                .arg(latency.p99Us, 0, 'f', 1)
                .arg(latency.maxUs, 0, 'f', 1),
            "< 1000 us", latency.p99Us >= 0 && latency.p99Us < 1000);

        const SpreadFigure late = flowStopLateness(false);
        row("Flow stop lateness, 20 runs of 1 s", spreadText(late), "< 50 ms",
            late.measured && late.worstMs < 50);
        const SpreadFigure lateModal = flowStopLateness(true);
        row("  the same, a modal dialog open", spreadText(lateModal), "< 50 ms",
            lateModal.measured && lateModal.worstMs < 50);
        const SpreadFigure click = stopClickToLine();
        row("Stop click to V 0 on the line (20 clicks)", spreadText(click), "< 5 ms",
            click.measured && click.worstMs < 5);
    }

    if (!pollOnly) {
        const LatencyFigure idle = remoteLatency(false);
        row("Remote status request, idle (1000)", msText(idle), "< 5 ms",
            idle.p99Us >= 0 && idle.p99Us < 5000);
        const LatencyFigure waiting = remoteLatency(true);
        row("  the same, while a dose waits", msText(waiting), "< 5 ms",
            waiting.p99Us >= 0 && waiting.p99Us < 5000);
        const LatencyFigure held = stopWithHeldConnections();
        row("Remote stop, 16 connections held without token", msText(held), "< 5 ms",
            held.p99Us >= 0 && held.p99Us < 5000);
        // Remote control adds no timer: idle costs what it costs without it.
        const double without = idleCpu(false);
        const double with = idleCpu(true);
        row("CPU, 10 s idle, remote control on",
            QStringLiteral("%1 % of a core (off: %2 %)")
                .arg(with, 0, 'f', 3)
                .arg(without, 0, 'f', 3),
            "<= off + 0.02 %", with >= 0 && without >= 0 && with <= without + 0.02);
    }
    if (!remoteOnly) {
        const struct {
            PlotView view;
            bool paced;
            const char *name;
        } polls[] = {{PlotView::None, false, "Poll cycle, pty, no plot"},
                     {PlotView::Minute, false, "Poll cycle, pty, plot open"},
                     {PlotView::TenMinutesFull, false, "Poll cycle, pty, plot of 10 full min"},
                     {PlotView::None, true, "Poll cycle, 9600 baud, no plot"},
                     {PlotView::Minute, true, "Poll cycle, 9600 baud, plot open"}};
        for (const auto &poll : polls) {
            const PollFigure f = pollWithPlot(poll.view, poll.paced);
            if (poll.view != PlotView::None && !poll.paced)
                row(poll.view == PlotView::Minute ? "CPU, 10 s polling, live plot open"
                                                  : "CPU, the same, plot of 10 full minutes",
                    QStringLiteral("%1 % of a core (simulator %2 %)")
                        .arg(f.programPercent, 0, 'f', 3)
                        .arg(f.simPercent, 0, 'f', 3),
                    "<= 2 %", f.programPercent >= 0 && f.programPercent <= 2.0);
            row(poll.name,
                QStringLiteral("median %1 ms; over pause+line: median %2, 95th %3, worst %4 ms")
                    .arg(f.medianMs, 0, 'f', 1)
                    .arg(f.medianOverMs, 0, 'f', 1)
                    .arg(f.p95OverMs, 0, 'f', 1)
                    .arg(f.worstOverMs, 0, 'f', 1),
                "median <= 5 ms over", f.cycles > 1 && f.medianOverMs <= 5.0);
        }
        const SpreadFigure late = doseLatenessWhilePolling();
        row("Dose after its pause, console polling",
            late.measured ? QStringLiteral("median %1 ms, worst %2 ms (%3 doses, replies 0.25 s)")
                                .arg(late.medianMs, 0, 'f', 1)
                                .arg(late.worstMs, 0, 'f', 1)
                                .arg(kPollDoses)
                          : QStringLiteral("not measured (the run did not complete)"),
            "worst < 260 ms", late.measured && late.worstMs < 260);
    }

    if (messages.count() > 0) {
        std::printf("\nmessages shown during the bench:\n");
        for (const QString &t : messages.texts())
            std::printf("  %s\n", qPrintable(t));
    }
    return allMet ? 0 : 1;
}
