// vyt-controller-sim: a motion controller on a pseudo-terminal, for trying the
// program without hardware. The first line of output is the device to open.
#include "sim/ControllerSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    // Nothing else is safe in a signal handler; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

const char *const kDescription =
    "A motion controller on a pseudo-terminal, for trying vyt-Pump controller without "
    "hardware.\n"
    "\n"
    "It prints the device it listens on as its first output line, then answers the "
    "program as the controller would: queries get one line, other commands nothing, and "
    "\"p\" arrives when a move armed with NP is done.\n"
    "\n"
    "To try the program:\n"
    "  1. run  vyt-controller-sim --link /tmp/vyt-com1  (or note the /dev/pts/N it prints);\n"
    "  2. start vyt-pump-controller; in the serial port dialog choose COM1 and type that\n"
    "     path as its device;\n"
    "     (or write COM1=<path> in the group [Ports] of ~/.config/vyt/vyt.conf);\n"
    "  3. use the program; --log FILE records every command that arrives.\n"
    "Stop the simulator with Ctrl+C.";

} // namespace

int main(int argc, char *argv[])
{
    using vyt::sim::ControllerSim;
    using vyt::sim::Fault;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vyt-controller-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Also reach the device under PATH (a symlink)."),
                                  QStringLiteral("PATH"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append every received command to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption encoder(QStringLiteral("encoder"),
                                     QStringLiteral("Encoder lines per revolution (default 16)."),
                                     QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption lineRate(QStringLiteral("line-rate"),
                                      QStringLiteral("Pace the line at BAUD (e.g. 9600)."),
                                      QStringLiteral("BAUD"));
    const QCommandLineOption instant(QStringLiteral("instant"),
                                     QStringLiteral("Moves arrive at once."));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Misbehave: %1; N is its parameter.")
                                       .arg(vyt::sim::faultNames().join(QStringLiteral(", "))),
                                   QStringLiteral("NAME[=N]"));
    const QCommandLineOption replyDelay(
        QStringLiteral("reply-delay"),
        QStringLiteral("Answer each query MS after it arrived (e.g. %1); goes with --fault.")
            .arg(ControllerSim::kDefaultReplyDelayMs),
        QStringLiteral("MS"));
    parser.addOptions({link, log, encoder, lineRate, instant, fault, replyDelay});
    parser.process(app);

    ControllerSim sim;
    bool ok = false;
    const int lines = parser.value(encoder).toInt(&ok);
    if (!ok || lines < 1) {
        std::fprintf(stderr, "vyt-controller-sim: --encoder wants a positive number\n");
        return 2;
    }
    sim.setEncoderLines(lines);
    if (parser.isSet(lineRate)) {
        const int baud = parser.value(lineRate).toInt(&ok);
        if (!ok || baud < 0) {
            std::fprintf(stderr, "vyt-controller-sim: --line-rate wants a baud rate\n");
            return 2;
        }
        sim.setLineRate(baud);
    }
    sim.setInstantMoves(parser.isSet(instant));
    if (parser.isSet(replyDelay)) {
        const int ms = parser.value(replyDelay).toInt(&ok);
        if (!ok || ms < 0) {
            std::fprintf(stderr, "vyt-controller-sim: --reply-delay wants milliseconds\n");
            return 2;
        }
        sim.setReplyDelay(ms);
    }
    if (parser.isSet(fault)) {
        const QString spec = parser.value(fault);
        const int eq = spec.indexOf(QLatin1Char('='));
        Fault f = Fault::None;
        int param = 0;
        if (eq >= 0)
            param = spec.mid(eq + 1).toInt(&ok);
        if (!vyt::sim::faultFromName(spec.left(eq), &f) || (eq >= 0 && !ok)) {
            std::fprintf(stderr, "vyt-controller-sim: unknown fault %s (known: %s)\n",
                         qPrintable(spec),
                         qPrintable(vyt::sim::faultNames().join(QStringLiteral(", "))));
            return 2;
        }
        sim.setFault(f, param);
    }
    if (parser.isSet(log)) {
        sim.setLogFile(parser.value(log));
        if (!sim.isLogging()) {
            std::fprintf(stderr, "vyt-controller-sim: cannot write the log %s\n",
                         qPrintable(parser.value(log)));
            return 1;
        }
    }

    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "vyt-controller-sim: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(sim.devicePath()));
    std::fflush(stdout);
    if (parser.isSet(link)) {
        if (!sim.addLink(parser.value(link))) {
            std::fprintf(stderr, "vyt-controller-sim: cannot create the link %s\n",
                         qPrintable(parser.value(link)));
            return 1;
        }
        std::fprintf(stderr, "vyt-controller-sim: also reachable as %s\n",
                     qPrintable(parser.value(link)));
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        std::perror("vyt-controller-sim: socketpair");
        return 1;
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &c, 1);
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    const int code = app.exec();
    sim.removeLinks();
    return code;
}
