#pragma once
// The arithmetic of a gravimetric calibration: weighed doses against the quantity asked
// for, and the calibration factor that would have delivered it. No window, no run.
#include <QList>
#include <QLocale>
#include <QString>
#include <optional>

namespace vyt::calibration {

// What was dosed and what the balance said.
struct Input {
    double quantity = 0;                 // per dose, in the unit below
    int unit = 0;                        // index into mengeEinheiten(): 0 µl, 1 mg, 2 rev.
    double density = 1;                  // g/cm³ = mg/µl
    double factor = 1;                   // the calibration factor the doses ran with
    double displacement = 0;             // µl per revolution, for "rev."
    QList<std::optional<double>> masses; // mg per dose; nullopt: not weighed (or not dosed)
};

struct Result {
    QList<std::optional<double>> volumes; // effective µl per dose, where a mass is known
    int weighed = 0;                      // doses with a mass
    double mean = 0;                      // µl, over the weighed doses
    double standardDeviation = 0;         // µl, sample (n-1); 0 for one dose
    double variation = 0;                 // coefficient of variation in %, 0 for a mean of 0
    std::optional<double> nominal;        // µl asked per dose
    std::optional<double> proposal;       // the factor that delivers the nominal volume
    QString refusal; // the factor field's message when the proposal lies outside its range
};

// The lowest and highest calibration factor the factor field accepts.
constexpr float kFactorMin = -10;
constexpr float kFactorMax = 10;

// Volume asked per dose in µl; nullopt when the unit or the density leaves none.
[[nodiscard]] std::optional<double> nominalMicrolitres(const Input &input);
[[nodiscard]] Result evaluate(const Input &input);
// The proposal as the factor field will show it once Apply has typed it there: the same
// text in the report, in the field and in the question that follows. Empty without one.
[[nodiscard]] QString proposalText(const Result &result, const QLocale &locale = QLocale());
// "30 µl asked, 28.80 µl delivered on average (CV 0.8 %), factor 1 -> 1.041667"; empty
// while nothing has been weighed. A phrase is held together by non-breaking spaces, so
// that a narrow window breaks the line only after a comma or between plain words.
[[nodiscard]] QString arithmeticText(const Input &input, const Result &result,
                                     const QLocale &locale = QLocale());
// "Mean 28.80 µl, standard deviation 0.2000 µl, CV 0.7 %"; empty while nothing has been
// weighed.
[[nodiscard]] QString statisticsText(const Result &result, const QLocale &locale = QLocale());

} // namespace vyt::calibration
