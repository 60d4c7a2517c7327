#pragma once
// Ending the program at once, from any window. Tests replace the ending with a recorder.
// Qt Core only: the window closes its windows through the hook it installs at start.
#include <functional>

namespace vyt {

using EndHandler = std::function<void(int code)>;

// Runs the hook (the window closes every window there) and leaves every event loop. The caller must return at once;
// programEnding() stays true so that no run or start-up step goes on afterwards.
void endProgram(int code = 0);
[[nodiscard]] bool programEnding();

// Replaces the real ending (tests); an empty handler restores it and clears the flag.
void setEndHandler(EndHandler handler);

// What the real ending does before it leaves the event loops; the program installs
// QApplication::closeAllWindows at start. An empty hook does nothing.
void setBeforeExit(std::function<void()> hook);

} // namespace vyt
