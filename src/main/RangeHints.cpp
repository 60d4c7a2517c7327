#include "main/RangeHints.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "session/PumpRun.h"

#include <cmath>
#include <functional>

namespace vyt {
namespace {

// The positive numbers of seven significant digits in ascending order: 1000000 to 9999999
// times a power of ten, from below the smallest single to beyond the largest.
constexpr int kLowestExponent = -52; // 1.000000E-46 reads as 0
constexpr int kHighestExponent = 32; // 9.999999E+38 is no single
constexpr qint64 kPerDecade = 9000000;
constexpr qint64 kCount = (kHighestExponent - kLowestExponent + 1) * kPerDecade;

QString sevenDigitText(qint64 index, const QLocale &locale)
{
    const int exponent = kLowestExponent + int(index / kPerDecade);
    const double digits = double(1000000 + index % kPerDecade);
    // Off by an ulp or two at most: the seven digits written are these digits.
    const double value =
        exponent < 0 ? digits / std::pow(10.0, -exponent) : digits * std::pow(10.0, exponent);
    return plainForm(value, locale);
}

using Accepts = std::function<bool(float)>;

// A text the field refuses counts as refused; otherwise the run's check on what it read.
bool passes(const QString &text, const QLocale &locale, const Accepts &accepts)
{
    const auto value = readSingle(text, locale);
    return value && accepts(*value);
}

// The run's checks grow monotonically with the magnitude, so halving finds the largest
// text that passes. nullopt when the field's own range ends first: nothing to name.
std::optional<QString> largestPassing(const QLocale &locale, const Accepts &accepts)
{
    qint64 low = -1; // stands for 0, which always passes
    qint64 high = kCount - 1;
    while (high - low > 1) {
        const qint64 mid = low + (high - low) / 2;
        (passes(sevenDigitText(mid, locale), locale, accepts) ? low : high) = mid;
    }
    if (low < 0)
        return plainForm(0, locale);
    if (!readSingle(sevenDigitText(high, locale), locale))
        return std::nullopt;
    return sevenDigitText(low, locale);
}

QString hint(const std::optional<QString> &number, const QStringList &units, int unit)
{
    if (!number || unit < 0 || unit >= units.size())
        return {};
    return QStringLiteral("max. ") + *number + QLatin1Char(' ') + units.at(unit);
}

} // namespace

std::optional<QString> largestFlowRate(const PumpState &state, const QLocale &locale)
{
    // A factor of 0 never turns the motor: only an overflow far past any rate is refused.
    if (state.settings.Kalibrierfaktor == 0)
        return std::nullopt;
    return largestPassing(locale, [&state](float rate) { return PumpRun::flowFits(state, rate); });
}

std::optional<QString> largestDose(const PumpState &state, const QLocale &locale)
{
    if (state.settings.Kalibrierfaktor == 0)
        return std::nullopt;
    return largestPassing(
        locale, [&state](float quantity) { return PumpRun::quantityFits(state, quantity); });
}

QString flowRateHint(const PumpState &state, const QLocale &locale)
{
    return hint(largestFlowRate(state, locale), foerderstromEinheiten(),
                state.settings.Foerderstromeinheit);
}

QString doseHint(const PumpState &state, const QLocale &locale)
{
    return hint(largestDose(state, locale), mengeEinheiten(), state.settings.Mengeneinheit);
}

} // namespace vyt
