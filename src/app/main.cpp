#include "app/Headless.h"
#include "config/SettingsStore.h"
#include "dialogs/frmAbout.h"
#include "link/ProcessGuard.h"
#include "main/frmPumpensteuerung.h"
#include "ui/DesktopNotices.h"
#include "remote/RemoteAddress.h"
#include "remote/RemoteServer.h"
#include "sila/SilaServer.h"
#include "session/ProgramEnd.h"
#include "ui/WindowSeams.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <optional>

#ifndef VYT_VERSION
#error "VYT_VERSION must come from the build (the project version)"
#endif

namespace {

constexpr char kProgramName[] = "vyt-pump-controller";
constexpr int kExitUsage = 2;
constexpr int kMaxPort = 12;

// QApplication and the xcb plugin take these out of argv themselves, so they must pass
// here untouched; a session manager, for one, restarts the program with -session ID.
struct QtOption {
    const char *name;
    bool takesValue;
    bool takesEqualsForm; // -style=fusion as well as -style fusion
};
constexpr QtOption kQtOptions[] = {
    {"platform", true, false},
    {"platformpluginpath", true, false},
    {"platformtheme", true, false},
    {"plugin", true, true},
    {"qwindowgeometry", true, false},
    {"geometry", true, false},
    {"qwindowtitle", true, false},
    {"title", true, false},
    {"qwindowicon", true, false},
    {"icon", true, false},
    {"session", true, false},
    {"style", true, true},
    {"stylesheet", true, true},
    {"display", true, false},
    {"name", true, false},
    {"reverse", false, false},
    {"widgetcount", false, false},
    {"sync", false, false},
    {"nograb", false, false},
};

// How many arguments from argv[i] on are one of Qt's own options; 0 for none.
int qtOptionLength(int argc, char *argv[], int i)
{
    const char *arg = argv[i];
    if (arg[0] != '-' || arg[1] == '\0')
        return 0;
    // Qt reads "--platform" as "-platform".
    arg += arg[1] == '-' ? 2 : 1;
    for (const QtOption &option : kQtOptions) {
        const std::size_t n = std::strlen(option.name);
        if (std::strncmp(arg, option.name, n) != 0)
            continue;
        if (arg[n] == '\0')
            return option.takesValue && i + 1 < argc ? 2 : 1;
        if (arg[n] == '=' && option.takesEqualsForm)
            return 1;
    }
    return 0;
}

// What the command line asks for. Options that the window will act on get a field here.
struct CommandLine {
    bool done = false; // help, version or an error is printed: end with exitCode
    int exitCode = 0;
    std::optional<vyt::RemoteAddress> remoteControl; // --remote-control: where to listen
    std::optional<vyt::SilaOptions> sila;            // --sila: where, and the certificate
    bool headless = false;
    int port = 0; // --port: COM n
    QString method; // --run-method: the method file to run once
};

void printError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgramName,
                 qPrintable(message), kProgramName);
}

// Runs before any QApplication exists: that needs a display, and --help or a mistyped
// option must answer on a bare terminal without one.
CommandLine parseCommandLine(int argc, char *argv[])
{
    QStringList args{QString::fromLatin1(kProgramName)};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            for (; i < argc; ++i)
                args << QString::fromLocal8Bit(argv[i]);
            break;
        }
        if (const int n = qtOptionLength(argc, argv, i); n > 0) {
            i += n - 1;
            continue;
        }
        args << QString::fromLocal8Bit(argv[i]);
    }

    QCommandLineParser parser;
    // "-help" and "-version" as well, the way Qt's own options are written.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Runs micro annular gear pumps through a motion controller on one serial port.\n"
        "Qt's own options, such as -platform NAME, -display DISPLAY or -style STYLE, are\n"
        "passed on to Qt."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Print this summary of the options and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Print the version and exit."));
    const QCommandLineOption remoteControl(
        QStringLiteral("remote-control"),
        QStringLiteral("Let programs run the pump through a JSON interface over HTTP at "
                       "[ADDRESS:]PORT. ADDRESS is 127.0.0.1 (this machine only) unless "
                       "given; every request needs the token in remote-token beside vyt.conf."),
        QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window or display: one pump on the port given with "
                       "--port, with its settings from vyt.conf. Messages go to stderr; a "
                       "port that cannot be opened or a controller that does not answer ends "
                       "the program with exit status 1. SIGTERM or SIGINT stops the drive "
                       "and ends it."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("The serial port COM N (1 to %1) for --headless; its device is the one "
                       "[Ports] in vyt.conf names, else /dev/ttyS<N-1>.")
            .arg(kMaxPort),
        QStringLiteral("N"));
    const QCommandLineOption runMethod(
        QStringLiteral("run-method"),
        QStringLiteral("With --headless: run the method in FILE (a .vytmethod document) once "
                       "and exit with status 0 when it completed, 1 when it was refused, "
                       "stopped or failed (the reason on stderr). A prompt waits for Enter on "
                       "the terminal; without a terminal it fails."),
        QStringLiteral("FILE"));
    const QCommandLineOption sila(
        QStringLiteral("sila"),
        QStringLiteral("Serve the pump to lab orchestrators as a SiLA 2 server (gRPC over TLS) "
                       "at [ADDRESS:]PORT, announced over mDNS. ADDRESS is 127.0.0.1 (this "
                       "machine only) unless given. Without --sila-cert, the certificate is "
                       "the program's own: sila-server-PORT.crt beside vyt.conf, made at the first "
                       "start; clients must be given it to trust."),
        QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption silaCert(
        QStringLiteral("sila-cert"),
        QStringLiteral("With --sila: the server's certificate (PEM) instead of the program's "
                       "own; needs --sila-key."),
        QStringLiteral("FILE"));
    const QCommandLineOption silaKey(
        QStringLiteral("sila-key"),
        QStringLiteral("With --sila-cert: its private key (PEM), readable by this user only."),
        QStringLiteral("FILE"));
    parser.addOptions({help, version, remoteControl, sila, silaCert, silaKey, headless, port,
                       runMethod});

    CommandLine result;
    if (!parser.parse(args)) {
        printError(parser.errorText());
        return {true, kExitUsage};
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("Unexpected argument '%1'.")
                       .arg(parser.positionalArguments().constFirst()));
        return {true, kExitUsage};
    }
    if (parser.isSet(help)) {
        // Qt writes a placeholder for the program's name when no application exists yet.
        const QString rest = parser.helpText().section(QLatin1Char('\n'), 1);
        std::printf("Usage: %s [options]\n%s", kProgramName, qPrintable(rest));
        return {true, 0};
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", kProgramName, VYT_VERSION);
        return {true, 0};
    }
    result.headless = parser.isSet(headless);
    if (parser.isSet(port)) {
        bool ok = false;
        result.port = parser.value(port).trimmed().toInt(&ok);
        if (!ok || result.port < 1 || result.port > kMaxPort) {
            printError(QStringLiteral("Invalid value for --port: a whole number from 1 to %1.")
                           .arg(kMaxPort));
            return {true, kExitUsage};
        }
        if (!result.headless) {
            printError(QStringLiteral("--port goes with --headless; the window asks for its port."));
            return {true, kExitUsage};
        }
    } else if (result.headless) {
        printError(QStringLiteral("--headless needs --port N."));
        return {true, kExitUsage};
    }
    if (parser.isSet(runMethod)) {
        if (!result.headless) {
            printError(QStringLiteral("--run-method goes with --headless --port N; the window "
                                      "runs methods from \"Methods...\"."));
            return {true, kExitUsage};
        }
        result.method = parser.value(runMethod);
    }
    if (parser.isSet(remoteControl)) {
        QString why;
        result.remoteControl = vyt::parseRemoteAddress(parser.value(remoteControl), &why);
        if (!result.remoteControl) {
            printError(QStringLiteral("Invalid value for --remote-control: %1.").arg(why));
            return {true, kExitUsage};
        }
    }
    if (parser.isSet(sila)) {
        QString why;
        auto where = vyt::parseRemoteAddress(parser.value(sila), &why);
        if (!where) {
            printError(QStringLiteral("Invalid value for --sila: %1.").arg(why));
            return {true, kExitUsage};
        }
        if (parser.isSet(silaCert) != parser.isSet(silaKey)) {
            printError(QStringLiteral("--sila-cert and --sila-key go together."));
            return {true, kExitUsage};
        }
        result.sila = vyt::SilaOptions{*where, parser.value(silaCert), parser.value(silaKey)};
    } else if (parser.isSet(silaCert) || parser.isSet(silaKey)) {
        printError(QStringLiteral("--sila-cert and --sila-key go with --sila [ADDRESS:]PORT."));
        return {true, kExitUsage};
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.done)
        return commandLine.exitCode;
    // Without a display: no QApplication, no window.
    if (commandLine.headless)
        return vyt::runHeadless(argc, argv, commandLine.port, commandLine.remoteControl,
                                commandLine.sila, commandLine.method);

    QApplication app(argc, argv);
    vyt::installWindowSeams();
    // Before anything can open the port: from then on every way out stops the drive.
    vyt::ProcessGuard::install();
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QApplication::setApplicationVersion(QStringLiteral(VYT_VERSION));
    // No display name: Qt would append it to every title a desktop shows, and the
    // windows' titles are exact ("Serial ports", "Exit", "Error"). The desktop file names
    // the program for the task bar.
    QApplication::setDesktopFileName(QString::fromLatin1(kProgramName));
    QApplication::setWindowIcon(vyt::programIcon());
    // The window ends the program itself, after the save question.
    QApplication::setQuitOnLastWindowClosed(false);

    // A save killed half way leaves its temporary beside vyt.conf; the file itself is whole.
    vyt::removeLeftoverStoreTemporaries();
    vyt::frmPumpensteuerung window;
    vyt::DesktopNotices notices(window.session(), window);
    // On before the port dialog, so that a waiting script hears why it cannot start yet.
    std::unique_ptr<vyt::RemoteServer> remote;
    if (commandLine.remoteControl)
        remote = vyt::startRemoteControl(window.session(), *commandLine.remoteControl,
                                         [&window](const QString &text, bool warning) {
                                             window.setRemoteLine(text, warning);
                                         });
    std::unique_ptr<vyt::SilaServer> sila;
    if (commandLine.sila)
        sila = vyt::startSila(window.session(), *commandLine.sila,
                              [&window](const QString &text, bool warning) {
                                  window.setSilaLine(text, warning);
                              });
    if (!window.laden() || vyt::programEnding())
        return 0;
    return QApplication::exec();
}
