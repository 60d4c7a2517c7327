#pragma once
// One pump without a window: for a pump PC without a screen, or a board beside the pump.
#include <QString>
#include <optional>

namespace vyt {

struct RemoteAddress;
struct SilaOptions;

// Runs the session of COM port with the settings of vyt.conf until a signal ends it, or,
// with a method file, until that method has run once. Answers the exit status: 1 when the
// port cannot be opened, the controller does not answer, SiLA 2 or remote control cannot be
// on, or the method does not complete, told on stderr.
int runHeadless(int argc, char *argv[], int port, const std::optional<RemoteAddress> &remote,
                const std::optional<SilaOptions> &sila, const QString &methodFile = {});

} // namespace vyt
