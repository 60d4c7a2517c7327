#pragma once
// What the windowed program puts behind the session's seams at start: its windows close
// before the program ends, and the settings store's notices become message boxes.

namespace vyt {

void installWindowSeams();

} // namespace vyt
