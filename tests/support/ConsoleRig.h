#pragma once
// A console on Com1 wired to the in-process controller: the console tests' one rig.
#include "config/PumpState.h"
#include "console/LiveTools.h"
#include "console/TranscriptLines.h"
#include "console/frmDirekt.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "main/WindowAttendant.h"
#include "support/SimFixture.h"
#include "support/TestEnv.h"

#include <QList>
#include <QPushButton>
#include <functional>
#include <memory>

namespace vyt::test {

struct ConsoleRig {
    MessageRecorder messages; // first: no real box, ever
    SimFixture fixture;       // empties the store and maps Com1
    PumpState state;
    MSComm port;
    WindowAttendant attendant{nullptr};
    ControllerLink link{state, port, attendant};
    TranscriptLines transcript; // outlives each console shown
    std::unique_ptr<frmDirekt> console;

    // Opens the port and shows the console (not modal).
    [[nodiscard]] bool open();
    // Opens the port only; show() makes the console.
    [[nodiscard]] bool openPort();
    frmDirekt &show();
    template <typename T> T *child(const char *name) const
    {
        return console->findChild<T *>(QString::fromLatin1(name));
    }
    [[nodiscard]] sim::ControllerSim &sim() { return fixture.sim(); }
    [[nodiscard]] QPushButton *button(const char *name) const;
    [[nodiscard]] LiveTools &tools() const;

    // Serves events until the console has no read going on, no poll running and nothing
    // waits on the line.
    [[nodiscard]] bool settle(int timeoutMs = 30000);
    // Every line the program has sent since the last call (a marker ends the list), once
    // nothing waits on the line.
    [[nodiscard]] QStringList sentLines();
    // Starts polling and stops it from inside the cycle that delivered the n-th
    // values; duringCycle runs after each delivery. The clock times of the deliveries,
    // once the poll has ended.
    QList<qint64> pollCycles(int n, const std::function<void(int cycle)> &duringCycle = {});
};

} // namespace vyt::test
