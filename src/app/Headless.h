#pragma once
// One pump without a window: for a pump PC without a screen, or a board beside the pump.
#include <optional>

namespace vyt {

struct RemoteAddress;

// Runs the session of COM port with the settings of vyt.conf until a signal ends it.
// Answers the exit status: 1 when the port cannot be opened or the controller does not
// answer, told on stderr.
int runHeadless(int argc, char *argv[], int port, const std::optional<RemoteAddress> &remote);

} // namespace vyt
