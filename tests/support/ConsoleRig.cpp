#include "support/ConsoleRig.h"

#include "session/Clock.h"
#include "support/LineWait.h"

#include <QTimer>

namespace vyt::test {

namespace {
const QString kMarker = QStringLiteral("MARK");
}

bool ConsoleRig::openPort()
{
    if (!fixture.started())
        return false;
    port.setCommPort(1);
    if (!port.setPortOpen(true))
        return false;
    state.SchnittstelleOffen = true;
    state.ParameterGeaendert = false;
    return true;
}

frmDirekt &ConsoleRig::show()
{
    console = std::make_unique<frmDirekt>(state, link, transcript);
    console->show();
    return *console;
}

bool ConsoleRig::open()
{
    if (!openPort())
        return false;
    show();
    return true;
}

QPushButton *ConsoleRig::button(const char *name) const
{
    return child<QPushButton>(name);
}

LiveTools &ConsoleRig::tools() const
{
    return *console->findChild<LiveTools *>(QStringLiteral("liveTools"));
}

bool ConsoleRig::settle(int timeoutMs)
{
    return serveUntil(
        [this] {
            return (!console || (!console->busyReading() && !console->AbfrageLaeuft())) &&
                   !link.line().busy();
        },
        timeoutMs);
}

QStringList ConsoleRig::sentLines()
{
    // Requests still queued go out before the marker.
    (void)waitForQuietLine(link);
    port.setOutput(kMarker.toLatin1() + '\r');
    if (!waitForLine(sim(), kMarker))
        return {QStringLiteral("<marker lost>")};
    QStringList lines = sim().receivedLines();
    lines.removeLast();
    sim().clearReceived();
    return lines;
}

QList<qint64> ConsoleRig::pollCycles(int n, const std::function<void(int cycle)> &duringCycle)
{
    QList<qint64> times;
    QPushButton *stop = button("cmdWerteabfrageStop");
    const auto connection = QObject::connect(console.get(), &frmDirekt::liveValues, [&] {
        times << clockMs();
        if (duringCycle)
            duringCycle(int(times.size()));
        if (times.size() == n)
            stop->click();
    });
    // A poll that delivers nothing must still end.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, stop, &QPushButton::click);
    guard.start(30000);
    button("cmdWerteabfrageStart")->click();
    (void)serveUntil([this] { return !console->AbfrageLaeuft(); }, 35000);
    QObject::disconnect(connection);
    return times;
}

} // namespace vyt::test
