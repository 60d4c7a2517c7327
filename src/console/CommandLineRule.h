#pragma once
// What one command line to the controller may hold. The console's command line and its
// function keys go out exactly as their boxes show them, as one command each.
#include <QString>

namespace vyt {

// The controller reads lines of at most this many characters.
constexpr int kMaxCommandLength = 255;

// Empty when text may go out as one command line; otherwise why not, in a sentence.
[[nodiscard]] QString commandLineRefusal(const QString &text);

} // namespace vyt
