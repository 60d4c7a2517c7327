#include "support/SimFixture.h"

#include "support/TestEnv.h"

#include <QTest>

namespace vyt::test {

SimFixture::SimFixture(int port)
{
    useEmptyStore();
    m_started = m_sim.start(&m_error);
    if (m_started)
        mapPort(port, m_sim.devicePath());
}

bool waitForLines(const sim::ControllerSim &sim, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return sim.receivedLines().size() >= count; }, timeoutMs);
}

bool waitForLine(const sim::ControllerSim &sim, const QString &line, int timeoutMs)
{
    return QTest::qWaitFor([&] { return sim.receivedLines().contains(line); }, timeoutMs);
}

} // namespace vyt::test
