#pragma once
// The program's one clock: milliseconds that keep counting while the computer sleeps,
// so that a flow which should have ended during a suspend stops at once on resume.
// Midnight and changes of the wall clock do not move it.
#include <QtGlobal>

namespace vyt {

[[nodiscard]] qint64 clockNs();
[[nodiscard]] inline qint64 clockMs() { return clockNs() / 1000000; }

// Tests: moves the clock forward, as a suspend of that length does.
void advanceClockForTest(qint64 ms);

} // namespace vyt
