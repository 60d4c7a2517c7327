#include "main/Calibration.h"

#include "config/NumberText.h"
#include "config/Units.h"

#include <cmath>

namespace vyt::calibration {

namespace {

// What a balance's readings support: four significant digits for volumes, a tenth of a
// percent for the variation.
constexpr int kMeasuredDigits = 4;
constexpr int kVariationDecimals = 1;
const QChar kTie(0x00A0); // a space no line breaks at

QString measured(double value, const QString &unit, const QLocale &locale)
{
    return measuredForm(value, kMeasuredDigits, locale) + kTie + unit;
}

QString variation(const Result &result, const QLocale &locale)
{
    return QStringLiteral("CV") + kTie + fixedForm(result.variation, kVariationDecimals, locale) +
           kTie + QLatin1Char('%');
}

// The factor field's own reading of the text Apply types into it.
std::optional<float> typedFactor(double proposal)
{
    return readSingle(storeForm(proposal), QLocale::c());
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
    const auto typed = typedFactor(proposal);
    if (!typed || *typed < kFactorMin || *typed > kFactorMax) {
        const QLocale locale;
        r.refusal = QStringLiteral("Please enter a value from ") + generalForm(kFactorMin, locale) +
                    QStringLiteral(" to ") + generalForm(kFactorMax, locale) + QLatin1Char('.');
    }
    return r;
}

QString proposalText(const Result &result, const QLocale &locale)
{
    if (!result.proposal)
        return {};
    const auto typed = typedFactor(*result.proposal);
    return generalForm(typed ? double(*typed) : *result.proposal, locale);
}

QString arithmeticText(const Input &input, const Result &result, const QLocale &locale)
{
    if (result.weighed == 0)
        return QString();
    const QStringList &units = mengeEinheiten();
    const QString unit =
        input.unit >= 0 && input.unit < units.size() ? units.at(input.unit) : QString();
    const auto delivered = inAskedUnit(input, result.mean);
    QString text = generalForm(input.quantity, locale) + kTie + unit + QStringLiteral(" asked, ");
    text += delivered ? measured(*delivered, unit, locale)
                      : measured(result.mean, QStringLiteral("µl"), locale);
    text +=
        QStringLiteral(" delivered on average (") + variation(result, locale) + QLatin1Char(')');
    if (result.proposal)
        text += QStringLiteral(", factor") + kTie + generalForm(input.factor, locale) + kTie +
                QStringLiteral("->") + kTie + proposalText(result, locale);
    return text;
}

QString statisticsText(const Result &result, const QLocale &locale)
{
    if (result.weighed == 0)
        return QString();
    const QString microlitres = QStringLiteral("µl");
    return QStringLiteral("Mean") + kTie + measured(result.mean, microlitres, locale) +
           QStringLiteral(", standard") + kTie + QStringLiteral("deviation") + kTie +
           measured(result.standardDeviation, microlitres, locale) + QStringLiteral(", ") +
           variation(result, locale);
}

} // namespace vyt::calibration
