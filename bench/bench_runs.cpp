// vyt-bench: what the runs cost. The real main window runs offscreen against
// vyt-controller-sim started as a separate process, so that the CPU time measured
// here is the program's alone; the simulator's own time is shown beside it.
//
//   1. CPU time while a 10 s flow runs and while a dose waits 10 s for its arrival;
//   2. 200 doses without pause on a line paced at 9600 baud, against the time the
//      bytes alone need on the line;
//   3. ParameterLesen from the arrival of the reply's LF to its return.
#include "config/NumberText.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "support/AppFixture.h"
#include "ui/Wait.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

using namespace vyt;
using namespace vyt::test;

namespace {

constexpr int kMeasureMs = 10000;
constexpr int kDoses = 200;
constexpr int kQueries = 500;
constexpr double kBaud = 9600;

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
    (void)app.window().link().ParameterLesen(QStringLiteral("VER"));
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

CpuFigure flowCpu()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    AppFixture &app = p.app;
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.enter("txtFoerderstrom", QStringLiteral("5"));
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(1);
    app.enter("txtDauer", QString::number(kMeasureMs / 1000));
    app.find<QPushButton>("cmdStart")->setFocus();
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

LatencyFigure replyLatency()
{
    ExternalSim sim({});
    Program p(sim);
    if (!p.ok)
        return {};
    ControllerLink &link = p.app.window().link();
    // The last input before ParameterLesen returns is the one that completed the line.
    QElapsedTimer clock;
    clock.start();
    qint64 lastInput = 0;
    QObject::connect(&p.app.window().MSComm1(), &MSComm::inputArrived,
                     [&] { lastInput = clock.nsecsElapsed(); });
    (void)link.ParameterLesen(QStringLiteral("VER"));
    std::vector<double> us;
    us.reserve(kQueries);
    for (int i = 0; i < kQueries; ++i) {
        lastInput = -1;
        const QString reply = link.ParameterLesen(QStringLiteral("GN"));
        const qint64 back = clock.nsecsElapsed();
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

} // namespace

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

    const LatencyFigure latency = replyLatency();
    row("ParameterLesen, LF to return (500 queries)",
        QStringLiteral("median %1 us, 99th %2 us, max %3 us")
            .arg(latency.medianUs, 0, 'f', 1)
            .arg(latency.p99Us, 0, 'f', 1)
            .arg(latency.maxUs, 0, 'f', 1),
        "< 1000 us", latency.p99Us >= 0 && latency.p99Us < 1000);

    if (messages.count() > 0) {
        std::printf("\nmessages shown during the bench:\n");
        for (const QString &t : messages.texts())
            std::printf("  %s\n", qPrintable(t));
    }
    return allMet ? 0 : 1;
}
