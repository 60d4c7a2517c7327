#pragma once
// What a run was asked to do and what it did, in the operator's words: the summary the
// status line keeps after a run, and the amounts for the run journal.
#include "main/PumpRun.h"

#include <QDateTime>
#include <QString>

namespace vyt {

// Taken at Start from the accepted settings.
struct RunPlan {
    enum class Mode { Dosing, Flow, Potentiometer };
    Mode mode = Mode::Dosing;
    double setValue = 0;    // quantity per dose, or flow rate
    QString unit;           // as the list shows it: "µl", "ml/min", ...
    qint64 repetitions = 0; // dosing: N (kEndlessRepetitions: endless)
    QDateTime started;
    QString client; // the address of the program that started it remotely; empty: the window
};

// "h:mm:ss" or "m:ss"; values beyond any real wait show as the largest one.
[[nodiscard]] QString durationText(double seconds);
// The unit of an amount delivered at a flow rate's unit: "ml/min" -> "ml", "rpm" -> "rev.".
[[nodiscard]] QString amountUnit(const QString &rateUnit);
// The nominal amount delivered, in amountUnit(plan.unit) for a flow, plan.unit for doses.
[[nodiscard]] double deliveredAmount(const RunPlan &plan, const RunOutcome &outcome);
// "5 of 5 doses done, 150 µl", "Flow ended after 2:00, 10 ml", ...; empty for a run the
// program's end cut short (nobody is there to read it).
[[nodiscard]] QString runSummary(const RunPlan &plan, const RunOutcome &outcome);

} // namespace vyt
