#pragma once
// The largest flow rate and dose the current pump, drive and factors allow, worked out
// with the run's own formulas so that a hint never promises what Start then refuses.
#include "config/PumpState.h"

#include <QLocale>
#include <QString>
#include <optional>

namespace vyt {

// The rate, in the chosen flow unit, at which the flow speed reaches the maximum speed.
// nullopt when nothing limits it (a factor of 0) or the unit is unknown.
[[nodiscard]] std::optional<float> largestFlowRate(const PumpState &state);
// The largest whole dose, in the chosen quantity unit, that stays within the position
// range of one move; nullopt when nothing limits it.
[[nodiscard]] std::optional<double> largestDose(const PumpState &state);

// "max. 9 ml/min", or empty without a limit.
[[nodiscard]] QString flowRateHint(const PumpState &state, const QLocale &locale = QLocale());
[[nodiscard]] QString doseHint(const PumpState &state, const QLocale &locale = QLocale());

} // namespace vyt
