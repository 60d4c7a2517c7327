#pragma once
// The controller's four drive limits as the console handles them: how each is read and
// written, which box shows it and which main-window field holds the program's own value.
#include "config/PumpState.h"

#include <QString>
#include <array>

namespace vyt {

struct DriveParameter {
    const char *name;             // "SP": the row's label and the backup file's key
    const char *readCommand;      // "GSP"
    const char *writePrefix;      // "SP "
    const char *box;              // the console's box, "txtSP"
    const char *mainField;        // the main window's field, whose bounds the box obeys
    float PumpSettings::*setting; // the main window's accepted value
    const char *meaning;          // for the comparison table
};

constexpr int kDriveParameterCount = 4;
extern const std::array<DriveParameter, kDriveParameterCount> kDriveParameters;

// The four values as texts, in the order of kDriveParameters.
using DriveValues = std::array<QString, kDriveParameterCount>;

// The main window's accepted limits, in the form the controller is sent them.
[[nodiscard]] DriveValues mainWindowValues(const PumpState &state);

// Whether two texts stand for the same value: compared as numbers where both are
// numbers ("6000" and "6000.0"), else as the texts with blanks trimmed.
[[nodiscard]] bool sameValue(const QString &a, const QString &b);

} // namespace vyt
