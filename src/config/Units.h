#pragma once
// The unit tables of the mode frame: the list index is what the settings store holds.
#include <QStringList>
#include <optional>

namespace vyt {

[[nodiscard]] const QStringList &mengeEinheiten();       // "µl", "mg", "rev."
[[nodiscard]] const QStringList &foerderstromEinheiten(); // "ml/min", "g/min", "rpm"
[[nodiscard]] const QStringList &zeitEinheiten();         // "ms", "s", "min", "h"

// Seconds from a value in the time unit with this index; nullopt for an index outside
// the table (callers then keep their previous seconds value).
[[nodiscard]] std::optional<float> inSekunden(float value, double unitIndex);

} // namespace vyt
