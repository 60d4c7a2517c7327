#pragma once
// An in-process controller on a pseudo-terminal, reachable by the program as "Com" n.
#include "sim/ControllerSim.h"

#include <QString>

namespace vyt::test {

// Starts the simulator, empties the test store and maps the port to the simulator's
// device. Check started() before use (QVERIFY cannot run in a constructor).
class SimFixture {
public:
    explicit SimFixture(int port = 1);
    SimFixture(const SimFixture &) = delete;
    SimFixture &operator=(const SimFixture &) = delete;

    [[nodiscard]] bool started() const { return m_started; }
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] sim::ControllerSim &sim() { return m_sim; }
    [[nodiscard]] const sim::ControllerSim &sim() const { return m_sim; }

private:
    sim::ControllerSim m_sim;
    bool m_started = false;
    QString m_error;
};

// Serves events until the simulator has received at least count lines.
[[nodiscard]] bool waitForLines(const sim::ControllerSim &sim, int count, int timeoutMs = 10000);
// Serves events until the simulator has received this exact line (anywhere).
[[nodiscard]] bool waitForLine(const sim::ControllerSim &sim, const QString &line,
                               int timeoutMs = 10000);

} // namespace vyt::test
