#include "app/Headless.h"

#include "config/FieldRules.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "link/ProcessGuard.h"
#include "remote/RemoteAddress.h"
#include "remote/RemoteServer.h"
#include "session/ProgramEnd.h"
#include "session/Session.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

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

} // namespace

int runHeadless(int argc, char *argv[], int port, const std::optional<RemoteAddress> &remote)
{
    QCoreApplication app(argc, argv);
    // Before the port opens: from then on every way out stops the drive.
    ProcessGuard &guard = ProcessGuard::install();
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(VYT_VERSION));
    removeLeftoverStoreTemporaries();

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
                }
            }
        },
        ControllerLink::OnSilence::Quiet);
    const int code = QCoreApplication::exec();
    server.reset();
    if (session.port().PortOpen())
        session.shutdown();
    return status >= 0 ? status : code;
}

} // namespace vyt
