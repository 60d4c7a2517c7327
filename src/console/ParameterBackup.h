#pragma once
// A backup of the controller's drive limits in a small JSON file, with what tells one
// backup from another: pump type, port, device, date and the controller's version.
#include "console/DriveParameters.h"

#include <QDateTime>
#include <QString>
#include <optional>

namespace vyt {

struct ParameterBackup {
    DriveValues values;
    QString pumpType; // catalog name
    int pumpTypeIndex = 0;
    QString port;   // "COM1"
    QString device; // "/dev/ttyUSB0"
    QDateTime saved;
    QString controllerVersion; // the reply to "VER"
};

// Larger files are no backup of ours; they are refused before they are read.
constexpr qint64 kMaxBackupBytes = 64 * 1024;

// Writes the backup whole or not at all; false and a reason when the file fails.
[[nodiscard]] bool writeBackup(const QString &file, const ParameterBackup &backup, QString *error);
// Reads a backup; nullopt and a reason when the file cannot be read or lacks a value.
[[nodiscard]] std::optional<ParameterBackup> readBackup(const QString &file, QString *error);

} // namespace vyt
