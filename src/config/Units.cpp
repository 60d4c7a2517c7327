#include "config/Units.h"

#include <array>

namespace vyt {

const QStringList &mengeEinheiten()
{
    static const QStringList l{QStringLiteral("µl"), QStringLiteral("mg"), QStringLiteral("rev.")};
    return l;
}

const QStringList &foerderstromEinheiten()
{
    static const QStringList l{QStringLiteral("ml/min"), QStringLiteral("g/min"),
                               QStringLiteral("rpm")};
    return l;
}

const QStringList &zeitEinheiten()
{
    static const QStringList l{QStringLiteral("ms"), QStringLiteral("s"), QStringLiteral("min"),
                               QStringLiteral("h")};
    return l;
}

std::optional<float> inSekunden(float value, double unitIndex)
{
    // ms, s, min, h; an index between or outside the entries has no unit.
    static constexpr std::array<float, 4> kDivisor{1000.0f, 1.0f, 1.0f, 1.0f};
    static constexpr std::array<float, 4> kFactor{1.0f, 1.0f, 60.0f, 3600.0f};
    if (!(unitIndex >= 0 && unitIndex <= 3) || unitIndex != double(int(unitIndex)))
        return std::nullopt;
    const auto i = std::size_t(unitIndex);
    return value / kDivisor[i] * kFactor[i];
}

} // namespace vyt
