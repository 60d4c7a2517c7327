#pragma once
// Texts the main window composes at run time (the fixed captions live in its .ui).
#include <QLocale>
#include <QString>

namespace vyt {

[[nodiscard]] QString hauptfensterTitel(int port); // "COM1: vyt-Pump controller"
// "range 0.1 ... 15" (spaced) or "range -10...10".
[[nodiscard]] QString bereichTooltip(double lower, double upper, bool spaced,
                                     const QLocale &locale = QLocale());

constexpr const char *kSpeicherFrage = "Do you want to save the settings?";
constexpr const char *kSpeicherTitel = "Exit";
constexpr const char *kPumpentypFrage = "Are you sure that you want to change the pump type?";
constexpr const char *kPumpentypTitel = "Warning";

} // namespace vyt
