#pragma once
// The largest flow rate and dose the current pump, drive and factors allow, found with
// the run's own checks on the very text a hint shows, so that a hint never promises
// what Start then refuses.
#include "config/PumpState.h"

#include <QLocale>
#include <QString>
#include <optional>

namespace vyt {

// The largest number of at most seven significant digits, written as the hint writes it,
// that the flow rate field reads into a rate Start accepts. nullopt when nothing limits
// it (a factor of 0) or the unit is unknown.
[[nodiscard]] std::optional<QString> largestFlowRate(const PumpState &state,
                                                     const QLocale &locale = QLocale());
// The same for the quantity field and the first dose's check.
[[nodiscard]] std::optional<QString> largestDose(const PumpState &state,
                                                 const QLocale &locale = QLocale());

// "max. 9 ml/min", or empty without a limit.
[[nodiscard]] QString flowRateHint(const PumpState &state, const QLocale &locale = QLocale());
[[nodiscard]] QString doseHint(const PumpState &state, const QLocale &locale = QLocale());

} // namespace vyt
