#pragma once
// Named media (a density and a calibration factor) per port and pump type, kept in the
// store's own [Media] section so that no designed section or key is ever touched.
#include <QList>
#include <QSettings>
#include <QString>

namespace vyt {

struct MediumPreset {
    QString name;
    float density = 1;
    float factor = 1;
};

// The presets of a port and type, sorted by name. An entry whose value is no pair of
// numbers inside the fields' ranges (a hand-edited store) is left out.
[[nodiscard]] QList<MediumPreset> loadMedia(QSettings &store, int port, int pumpType);
// The first of media whose density and factor are these, as the store writes them (the
// fields hold 7 digits); empty when none is.
[[nodiscard]] QString mediumOf(const QList<MediumPreset> &media, float density, float factor);
// Whether two values are the same as the store writes them.
[[nodiscard]] bool sameStoredValue(float a, float b);
// Writes or replaces one preset; false with a reason when the store could not be written.
[[nodiscard]] bool saveMedium(QSettings &store, int port, int pumpType, const MediumPreset &medium,
                              QString *reason = nullptr);
[[nodiscard]] bool removeMedium(QSettings &store, int port, int pumpType, const QString &name,
                                QString *reason = nullptr);
[[nodiscard]] bool renameMedium(QSettings &store, int port, int pumpType, const QString &from,
                                const QString &to, QString *reason = nullptr);

} // namespace vyt
