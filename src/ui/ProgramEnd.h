#pragma once
// Ending the program at once, from any window. Tests replace the ending with a recorder.
#include <functional>

namespace vyt {

using EndHandler = std::function<void(int code)>;

// Closes every window and leaves every event loop. The caller must return at once;
// programEnding() stays true so that no run or start-up step goes on afterwards.
void endProgram(int code = 0);
[[nodiscard]] bool programEnding();

// Replaces the real ending (tests); an empty handler restores it and clears the flag.
void setEndHandler(EndHandler handler);

} // namespace vyt
