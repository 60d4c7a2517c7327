#include "main/Calibration.h"

#include "config/NumberText.h"
#include "config/Units.h"

#include <cmath>

namespace vyt::calibration {

namespace {

// Rounded to a number of significant digits, for the one-line text only.
double significant(double value, int digits)
{
    if (value == 0 || !std::isfinite(value))
        return value;
    const double scale = std::pow(10.0, digits - 1 - int(std::floor(std::log10(std::fabs(value)))));
    return std::round(value * scale) / scale;
}

// The mean effective volume expressed in the unit the quantity was asked in.
std::optional<double> inAskedUnit(const Input &input, double microlitres)
{
    switch (input.unit) {
    case 0: return microlitres;
    case 1: return microlitres * input.density;
    case 2:
        if (input.displacement == 0)
            return std::nullopt;
        return microlitres / input.displacement;
    default: return std::nullopt;
    }
}

} // namespace

std::optional<double> nominalMicrolitres(const Input &input)
{
    switch (input.unit) {
    case 0: return input.quantity;
    case 1:
        if (!(input.density > 0))
            return std::nullopt;
        return input.quantity / input.density;
    case 2: return input.quantity * input.displacement;
    default: return std::nullopt;
    }
}

Result evaluate(const Input &input)
{
    Result r;
    r.nominal = nominalMicrolitres(input);
    bool allWeighed = !input.masses.isEmpty();
    double sum = 0;
    for (const auto &mass : input.masses) {
        if (mass && input.density > 0 && std::isfinite(*mass)) {
            const double v = *mass / input.density;
            r.volumes << v;
            sum += v;
            ++r.weighed;
        } else {
            r.volumes << std::nullopt;
            allWeighed = false;
        }
    }
    if (r.weighed == 0)
        return r;
    r.mean = sum / r.weighed;
    if (r.weighed > 1) {
        double squares = 0;
        for (const auto &v : r.volumes) {
            if (v)
                squares += (*v - r.mean) * (*v - r.mean);
        }
        r.standardDeviation = std::sqrt(squares / (r.weighed - 1));
    }
    if (r.mean != 0)
        r.variation = r.standardDeviation / std::fabs(r.mean) * 100.0;
    // Every dose must be weighed: a missing one may be the short one.
    if (!allWeighed || r.mean == 0 || !r.nominal)
        return r;
    const double proposal = input.factor * *r.nominal / r.mean;
    if (!std::isfinite(proposal))
        return r;
    r.proposal = proposal;
    // Judged as the field would judge the text Apply types into it.
    const auto typed = readSingle(storeForm(proposal), QLocale::c());
    if (!typed || *typed < kFactorMin || *typed > kFactorMax) {
        const QLocale locale;
        r.refusal = QStringLiteral("Please enter a value from ") + generalForm(kFactorMin, locale) +
                    QStringLiteral(" to ") + generalForm(kFactorMax, locale) + QLatin1Char('.');
    }
    return r;
}

QString arithmeticText(const Input &input, const Result &result, const QLocale &locale)
{
    if (result.weighed == 0)
        return QString();
    const QStringList &units = mengeEinheiten();
    const QString unit =
        input.unit >= 0 && input.unit < units.size() ? units.at(input.unit) : QString();
    const auto delivered = inAskedUnit(input, result.mean);
    QString text =
        generalForm(input.quantity, locale) + QLatin1Char(' ') + unit + QStringLiteral(" asked, ");
    if (delivered)
        text += generalForm(*delivered, locale) + QLatin1Char(' ') + unit;
    else
        text += generalForm(result.mean, locale) + QStringLiteral(" µl");
    text += QStringLiteral(" delivered on average (CV ") +
            generalForm(std::round(result.variation * 10.0) / 10.0, locale) + QStringLiteral(" %)");
    if (result.proposal)
        text += QStringLiteral(", factor ") + generalForm(input.factor, locale) +
                QStringLiteral(" -> ") + generalForm(significant(*result.proposal, 5), locale);
    return text;
}

} // namespace vyt::calibration
