#include "config/PumpCatalog.h"

#include "config/NumberText.h"

#include <array>
#include <cmath>

namespace vyt {
namespace {

struct EncoderChoice {
    const char *item;
    float resolution;
};

struct EncoderSet {
    std::array<EncoderChoice, 2> choices;
    int count;
};

// A gear family is one stage ratio and its powers. Families whose ratio is a long
// fraction are listed rounded (first stage to a tenth, later stages whole); the
// others are listed as the ratio itself.
struct GearSet {
    double stage;
    int stages;
    bool rounded;
};

constexpr EncoderSet kEnc16{{{{"16 (Standard)", 16}, {"256", 256}}}, 2};
constexpr EncoderSet kEnc32{{{{"32 (Standard)", 32}, {"256", 256}}}, 2};
constexpr EncoderSet kEnc100{{{{"100 (Standard)", 100}, {}}}, 1};
constexpr EncoderSet kEnc250{{{{"Standard", 250}, {}}}, 1};
constexpr EncoderSet kEnc500{{{{"Standard", 500}, {}}}, 1};

constexpr GearSet kNoGear{1, 0, false};
constexpr GearSet kGear57by14{57.0 / 14.0, 4, true};
constexpr GearSet kGear57by13{57.0 / 13.0, 2, true};
constexpr GearSet kGear26by7{26.0 / 7.0, 2, false};
constexpr GearSet kGear4p8{4.8, 1, false};

struct CatalogRow {
    PumpType type;
    EncoderSet encoder;
    GearSet gear;
};

// name, displacement, max speed, default cont./peak current, min current, max cont./peak current
constexpr std::array<CatalogRow, kPumpTypeCount> kCatalog{{
    {{"vyt-P01", 1.5f, 6000, 230, 400, 100, 300, 400}, kEnc16, kGear57by14},
    {{"vyt-P02", 3, 6000, 230, 400, 100, 300, 400}, kEnc16, kGear57by14},
    {{"vyt-P03", 12, 6000, 300, 600, 100, 400, 600}, kEnc32, kNoGear},
    {{"vyt-P04", 48, 6000, 800, 1200, 300, 1200, 2000}, kEnc100, kNoGear},
    {{"vyt-P05", 1.5f, 6000, 300, 600, 100, 400, 600}, kEnc32, kGear57by13},
    {{"vyt-P06", 3, 6000, 300, 600, 100, 400, 600}, kEnc32, kGear57by13},
    {{"vyt-P07", 48, 6000, 1000, 1500, 400, 2800, 5000}, kEnc250, kGear26by7},
    {{"vyt-P08", 1.5f, 6000, 900, 1100, 400, 1200, 1300}, kEnc250, kNoGear},
    {{"vyt-P09", 3, 6000, 900, 1100, 400, 1200, 1300}, kEnc250, kNoGear},
    {{"vyt-P10", 6, 6000, 1000, 1200, 400, 1400, 1500}, kEnc250, kGear26by7},
    {{"vyt-P11", 12, 6000, 1000, 1200, 400, 1400, 1500}, kEnc250, kGear26by7},
    {{"vyt-P12", 24, 6000, 1000, 2000, 300, 2800, 5000}, kEnc250, kGear26by7},
    {{"vyt-P13", 48, 6000, 1000, 2000, 300, 2800, 5000}, kEnc250, kGear26by7},
    {{"vyt-P14", 48, 6000, 4500, 6000, 600, 6000, 10000}, kEnc250, kGear4p8},
    {{"vyt-P15", 192, 6000, 5000, 6000, 600, 6000, 10000}, kEnc250, kGear4p8},
    {{"vyt-P16", 24, 6000, 1000, 1500, 400, 2000, 4000}, kEnc250, kNoGear},
    {{"vyt-P17", 48, 6000, 1000, 2000, 400, 2500, 4000}, kEnc250, kNoGear},
    {{"vyt-P18", 192, 6000, 5000, 6000, 600, 6000, 10000}, kEnc250, kGear4p8},
    {{"vyt-P19", 1.5f, 4700, 600, 800, 500, 1100, 1300}, kEnc500, kNoGear},
    {{"vyt-P20", 3, 4700, 600, 800, 500, 1100, 1300}, kEnc500, kNoGear},
    {{"vyt-P21", 6, 4700, 700, 900, 500, 1100, 1300}, kEnc500, kNoGear},
    {{"vyt-P22", 12, 4700, 700, 900, 500, 1100, 1300}, kEnc500, kNoGear},
    {{"vyt-P23", 48, 4700, 1800, 2000, 600, 2000, 2000}, kEnc500, kNoGear},
    {{"vyt-P24", 24, 4700, 1600, 1800, 600, 2000, 2000}, kEnc500, kNoGear},
    {{"vyt-P25", 48, 4700, 1600, 1800, 600, 2000, 2000}, kEnc500, kNoGear},
}};

bool inCatalog(int type) { return type >= 0 && type < kPumpTypeCount; }

// The ratio of stage k (1-based) as the nearest single to the exact power.
float stageRatio(const GearSet &gear, int k) { return float(std::pow(gear.stage, k)); }

} // namespace

const PumpType &pumpType(int index) { return kCatalog[inCatalog(index) ? index : 0].type; }

QStringList pumpTypeNames()
{
    QStringList names;
    for (const CatalogRow &row : kCatalog)
        names << QString::fromLatin1(row.type.name);
    return names;
}

QStringList encoderItems(int type)
{
    QStringList items;
    if (!inCatalog(type))
        return items;
    const EncoderSet &enc = kCatalog[type].encoder;
    for (int i = 0; i < enc.count; ++i)
        items << QString::fromLatin1(enc.choices[i].item);
    return items;
}

float standardEncoderResolution(int type)
{
    return inCatalog(type) ? kCatalog[type].encoder.choices[0].resolution : 0;
}

std::optional<float> encoderResolution(int type, int index)
{
    if (!inCatalog(type))
        return std::nullopt;
    const EncoderSet &enc = kCatalog[type].encoder;
    if (index < 0 || index >= enc.count)
        return std::nullopt;
    return enc.choices[index].resolution;
}

QStringList gearItems(int type, const QLocale &locale)
{
    QStringList items{QStringLiteral("none")};
    if (!inCatalog(type))
        return items;
    const GearSet &gear = kCatalog[type].gear;
    for (int k = 1; k <= gear.stages; ++k) {
        double shown = stageRatio(gear, k);
        if (gear.rounded)
            shown = k == 1 ? roundHalfEven(shown * 10) / 10 : roundHalfEven(shown);
        items << generalForm(shown, locale) + QStringLiteral(" : 1");
    }
    return items;
}

std::optional<float> gearRatio(int type, int index)
{
    if (!inCatalog(type))
        return std::nullopt;
    if (index == 0)
        return 1.0f;
    const GearSet &gear = kCatalog[type].gear;
    if (index < 0 || index > gear.stages)
        return std::nullopt;
    return stageRatio(gear, index);
}

} // namespace vyt
