#include "session/Clock.h"

#include <atomic>
#include <ctime>

namespace vyt {
namespace {
std::atomic<qint64> g_testOffsetMs{0};
}

qint64 clockNs()
{
    timespec ts{};
#ifdef CLOCK_BOOTTIME
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return (qint64(ts.tv_sec) * 1000 + g_testOffsetMs.load()) * 1000000 + ts.tv_nsec;
}

void advanceClockForTest(qint64 ms) { g_testOffsetMs += ms; }

} // namespace vyt
