#pragma once
// The console's function-key texts kept per port in the store's own [FunctionKeys]
// section (keys "COM1/F3"), so that no designed section or key is touched. Only a text
// that differs from its default is kept: a key left at its default follows the encoder.
#include <QSettings>
#include <QString>
#include <array>
#include <optional>

class QWidget;

namespace vyt {

constexpr int kFunctionKeyCount = 12;
using FunctionKeyTexts = std::array<QString, kFunctionKeyCount>;

// The stored texts of a port's keys; nullopt where a key keeps its default.
[[nodiscard]] std::array<std::optional<QString>, kFunctionKeyCount>
loadFunctionKeys(QSettings &store, int port);

// Keeps the texts that differ from the defaults and forgets the others. Writes only when
// something changed; false with a reason when the store could not be written.
[[nodiscard]] bool saveFunctionKeys(QSettings &store, int port, const FunctionKeyTexts &texts,
                                    const FunctionKeyTexts &defaults, QWidget *messageParent,
                                    QString *reason);

} // namespace vyt
