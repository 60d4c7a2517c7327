#include "app/Headless.h"

#include "config/FieldRules.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "link/ProcessGuard.h"
#include "remote/RemoteAddress.h"
#include "remote/RemoteServer.h"
#include "sila/SilaServer.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/ProgramEnd.h"
#include "session/Session.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace vyt {
namespace {

constexpr char kProgramName[] = "vyt-pump-controller";

void say(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", kProgramName, qPrintable(text));
}

// Nobody to ask: each notice goes to stderr, answered as Esc would answer it.
class StderrAttendant : public Attendant {
public:
    MsgResult tell(const Notice &notice) override
    {
        say(notice.title.isEmpty() ? notice.text : notice.title + QStringLiteral(" ") + notice.text);
        return unansweredResult(notice.buttons);
    }
    bool choosePort(qint16 &) override { return true; }
};

// The first drive limit outside the pump type's bounds, with its field's message.
QString limitOutOfBounds(const PumpState &state)
{
    for (const char *field : {"txtMaximaldrehzahl", "txtBeschleunigung", "txtDauerstrom",
                              "txtSpitzenstrom"}) {
        const QString name = QLatin1String(field);
        if (!driveLimitInBounds(state, name))
            return driveLimitMessage(state, name);
    }
    return {};
}

// Reads and parses a method file; the reason on stderr when it cannot be run.
std::optional<Method> readMethodFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("The method %1 cannot be read: %2.")
                .arg(QDir::toNativeSeparators(path), file.errorString()));
        return std::nullopt;
    }
    MethodError error;
    auto method = parseMethod(file.read(kMaxMethodBytes + 1), &error);
    if (!method)
        say(QStringLiteral("The method %1 is refused: %2").arg(QDir::toNativeSeparators(path), error.text()));
    return method;
}

// Runs the method once; the program ends with 0 when it completed, 1 otherwise. A prompt
// is answered with Enter on the terminal, and fails without one.
void runMethodOnce(Session &session, const Method &method, int &status)
{
    MethodRun &methods = session.methods();
    auto lastStep = std::make_shared<int>(0);
    QObject::connect(&methods, &MethodRun::progressChanged, &session, [&methods, lastStep] {
        const MethodRun::Progress p = methods.progress();
        if (methods.running() && p.step != *lastStep) {
            *lastStep = p.step;
            say(methods.statusLine());
        }
    });
    QObject::connect(&methods, &MethodRun::finished, &session,
                     [&session, &status](bool completed, const QString &why) {
                         say(why);
                         status = completed ? 0 : 1;
                         session.shutdown();
                         QCoreApplication::exit(status);
                     });
    QObject::connect(&methods, &MethodRun::promptWaiting, &session, [&methods](const QString &text) {
        if (!::isatty(STDIN_FILENO)) {
            say(QStringLiteral("The method waits for the operator (\"%1\"), and there is no "
                               "terminal to answer.")
                    .arg(text));
            methods.stop();
            return;
        }
        say(text + QStringLiteral(" Press Enter to continue, Ctrl+C to stop."));
        auto *enter = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &methods);
        QObject::connect(enter, &QSocketNotifier::activated, &methods, [&methods, enter] {
            char buffer[256];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            enter->deleteLater();
            if (got <= 0) {
                methods.stop(); // the terminal went away
                return;
            }
            (void)methods.continuePrompt();
        });
        QObject::connect(&methods, &MethodRun::promptAnswered, enter, &QObject::deleteLater);
        QObject::connect(&methods, &MethodRun::finished, enter, &QObject::deleteLater);
    });
    if (const auto refused = methods.start(method)) {
        say(QStringLiteral("The method %1 is refused: %2").arg(method.name, refused->text()));
        status = 1;
        session.shutdown();
        QCoreApplication::exit(1);
    }
}

} // namespace

int runHeadless(int argc, char *argv[], int port, const std::optional<RemoteAddress> &remote,
                const std::optional<SilaOptions> &sila, const QString &methodFile)
{
    QCoreApplication app(argc, argv);
    // Before the port opens: from then on every way out stops the drive.
    ProcessGuard &guard = ProcessGuard::install();
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYT_VERSION));
    removeLeftoverStoreTemporaries();

    std::optional<Method> method;
    if (!methodFile.isEmpty()) {
        method = readMethodFile(methodFile);
        if (!method)
            return 1; // nothing has been opened yet
    }

    StderrAttendant attendant;
    Session session(attendant, qint16(port));
    session.loadSettings();
    QObject::connect(&guard, &ProcessGuard::terminationRequested, &session, [&session](int signal) {
        session.shutdown();
        endProgram(128 + signal);
    });
    ProcessGuard::setLastWords([&session] {
        session.setLeaving(true);
        session.endPotentiometerRun(RunOutcome::End::ProgramEnded);
        session.run().abandon();
    });

    // The port's error has gone to stderr as the operator's message would have said it.
    if (!session.link().SchnittstelleOK())
        return 1;
    if (const QString why = limitOutOfBounds(session.state()); !why.isEmpty()) {
        session.shutdown();
        say(QStringLiteral("The drive limits of COM%1 in vyt.conf are refused: %2").arg(port).arg(why));
        return 1;
    }
    std::unique_ptr<RemoteServer> server;
    std::unique_ptr<SilaServer> silaServer;
    int status = -1;
    session.link().ParameterLesen(
        QStringLiteral("VER"), &session,
        [&](const QString &version) {
            if (session.state().KeineAntwort) {
                say(session.link().silenceMessage());
                status = 1;
                QCoreApplication::exit(1);
                return;
            }
            say(QStringLiteral("COM%1 (%2): controller %3, pump %4")
                    .arg(port)
                    .arg(QDir::toNativeSeparators(session.port().DevicePath()), version.trimmed(),
                         QString::fromUtf8(pumpType(session.state().settings.Pumpentyp).name)));
            if (remote) {
                server = startRemoteControl(session, *remote);
                if (!server) {
                    session.shutdown();
                    status = 1;
                    QCoreApplication::exit(1);
                    return;
                }
            }
            if (sila) {
                silaServer = startSila(session, *sila);
                if (!silaServer) {
                    session.shutdown();
                    status = 1;
                    QCoreApplication::exit(1);
                    return;
                }
            }
            if (method)
                runMethodOnce(session, *method, status);
        },
        ControllerLink::OnSilence::Quiet);
    const int code = QCoreApplication::exec();
    silaServer.reset();
    server.reset();
    if (session.port().PortOpen())
        session.shutdown();
    return status >= 0 ? status : code;
}

} // namespace vyt
