#pragma once
// Waits of a test on the line's queue: a read asked and its reply awaited, the queue
// drained. Both serve events until their condition holds; neither sleeps.
#include "link/ControllerLink.h"

#include <QString>
#include <functional>

namespace vyt::test {

// Asks command in its turn and serves events until its reply is in (or timed out): the
// reply text, empty when none came. silence as ParameterLesen takes it.
[[nodiscard]] QString readReply(ControllerLink &link, const QString &command,
                                ControllerLink::OnSilence silence = ControllerLink::OnSilence::Tell,
                                int timeoutMs = 10000);
// Serves events in an event loop of its own, as a modal window does, until done() holds
// (looked at every millisecond); false when timeoutMs passed first.
[[nodiscard]] bool serveUntil(const std::function<bool()> &done, int timeoutMs);
// Serves events until no request waits on the line.
[[nodiscard]] bool waitForQuietLine(ControllerLink &link, int timeoutMs = 10000);

} // namespace vyt::test
