#pragma once
// The pump catalog and the encoder and gear tables: one table of all 25 pump types,
// each with the encoder and gear choices it offers.
#include <QLocale>
#include <QStringList>
#include <optional>

namespace vyt {

struct PumpType {
    const char *name;
    float displacement;   // µl per pump revolution
    float maxSpeed;       // rpm, also the default of the maximum-speed field
    float contCurrent;    // mA, default continuous current
    float peakCurrent;    // mA, default peak current
    float minCurrent;     // mA, lower bound of both current fields
    float maxContCurrent; // mA
    float maxPeakCurrent; // mA
};

constexpr int kPumpTypeCount = 25;
constexpr float kMinSpeed = 1;                // rpm, every type
constexpr float kDefaultAcceleration = 500;   // rev./s², every type

// The catalog row of type index (0..24). An index outside the catalog gives row 0,
// so that a hand-edited store can never read past the table.
const PumpType &pumpType(int index);
// The 25 entries of the pump type list, in catalog order.
QStringList pumpTypeNames();
// Encoder list items of a type, e.g. {"16 (Standard)", "256"} or {"Standard"}; empty outside 0..24.
QStringList encoderItems(int type);
// Resolution (lines per motor revolution) of the type's first encoder item; 0 outside 0..24.
float standardEncoderResolution(int type);
// Resolution of encoder item index of a type; nullopt when the type has no such item.
std::optional<float> encoderResolution(int type, int index);
// Gear list items of a type: "none", then the ratios as "4.1 : 1" in the locale's notation.
QStringList gearItems(int type, const QLocale &locale = QLocale());
// Ratio of gear item index (0 -> 1); nullopt when the type has no such item.
std::optional<float> gearRatio(int type, int index);

} // namespace vyt
