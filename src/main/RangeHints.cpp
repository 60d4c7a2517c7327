#include "main/RangeHints.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "main/PumpRun.h"

#include <cmath>

namespace vyt {
namespace {

// A whole dose is held as a float; past 2^24 the next quantity up is the next float.
float nextQuantityUp(float q)
{
    const float up = q + 1.0f;
    return up > q ? up : std::nextafter(q, INFINITY);
}

bool fits(const PumpState &state, float q)
{
    const auto r = PumpRun::doseRevolutions(state, q);
    return r && PumpRun::doseFits(state, *r);
}

QString hint(double value, const QStringList &units, int unit, const QLocale &locale)
{
    if (unit < 0 || unit >= units.size())
        return {};
    // Plain digits: a limit reads better as 14062500 than as 1.40625E+07.
    return QStringLiteral("max. ") + plainForm(value, locale) + QLatin1Char(' ') + units.at(unit);
}

} // namespace

std::optional<float> largestFlowRate(const PumpState &state)
{
    const PumpSettings &s = state.settings;
    const float M = s.Maximaldrehzahl;
    const float G = state.Getriebeuntersetzung;
    const float K = s.Kalibrierfaktor;
    const float Vd = state.Verdraengungsvolumen;
    // The speed formula of the flow run, solved for the rate.
    float rate = 0;
    switch (s.Foerderstromeinheit) {
    case 0: rate = M * Vd / 1000.0f / G / K; break;
    case 1: rate = M * Vd * s.Dichte / 1000.0f / G / K; break;
    case 2: rate = M / G / K; break;
    default: return std::nullopt;
    }
    rate = std::fabs(rate);
    if (!std::isfinite(rate))
        return std::nullopt;
    return rate;
}

std::optional<double> largestDose(const PumpState &state)
{
    const PumpSettings &s = state.settings;
    const double G = state.Getriebeuntersetzung;
    const double K = s.Kalibrierfaktor;
    const double Vd = state.Verdraengungsvolumen;
    // The bound the dosing run names when it refuses a dose, in double precision.
    double qmax = PumpRun::kPositionLimit / 4.0 / state.Encoderaufloesung / G / K;
    if (s.Mengeneinheit == 0)
        qmax *= Vd;
    else if (s.Mengeneinheit == 1)
        qmax *= Vd * s.Dichte;
    else if (s.Mengeneinheit != 2)
        return std::nullopt;
    qmax = std::fabs(std::trunc(qmax));
    if (!std::isfinite(qmax) || qmax > 3.0e38)
        return std::nullopt;
    // The run computes in single precision: nudge the bound onto what it accepts.
    float q = float(qmax);
    for (int i = 0; i < 64 && q > 0 && !fits(state, q); ++i)
        q = std::floor(std::nextafter(q, 0.0f));
    for (int i = 0; i < 64 && fits(state, nextQuantityUp(q)); ++i)
        q = nextQuantityUp(q);
    return double(q);
}

QString flowRateHint(const PumpState &state, const QLocale &locale)
{
    const auto rate = largestFlowRate(state);
    return rate ? hint(*rate, foerderstromEinheiten(), state.settings.Foerderstromeinheit, locale)
                : QString();
}

QString doseHint(const PumpState &state, const QLocale &locale)
{
    const auto dose = largestDose(state);
    return dose ? hint(*dose, mengeEinheiten(), state.settings.Mengeneinheit, locale) : QString();
}

} // namespace vyt
