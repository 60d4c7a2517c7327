#pragma once
// What a run was asked to do and what it did, in the operator's words: the summary the
// status line keeps after a run, and the amounts for the run journal.
#include "session/PumpRun.h"

#include <QDateTime>
#include <QString>

namespace vyt {

// What a run is asked to do: taken at Start from the accepted settings, or given as it
// is by a calibration dose or a remote request, so that nothing overwrites the
// operator's own values.
struct RunPlan {
    enum class Mode { Dosing, Flow, Potentiometer };
    Mode mode = Mode::Dosing;
    // The values, in the settings' own terms (the unit lists' indexes).
    float quantity = 0;
    qint16 quantityUnit = 0;
    qint32 count = 1; // kEndlessRepetitions: endless
    float pause = 0;
    float pauseUnit = 0;
    float rate = 0;
    qint16 rateUnit = 0;
    float duration = 0; // 0: until Stop
    float durationUnit = 0;
    QString note; // goes into the journal's note ("calibration")

    // For the journal and the summary, filled in when the run starts.
    double setValue = 0;    // quantity per dose, or flow rate
    QString unit;           // as the list shows it: "µl", "ml/min", ...
    qint64 repetitions = 0; // dosing: N (kEndlessRepetitions: endless)
    QDateTime started;
    QString client; // the address of the program that started it remotely; empty: the window
    QString medium; // the named medium in force at the start; empty for own values
    float density = 1;
    float factor = 1; // the calibration factor

    // The dose and flow values of these settings, as Start takes them.
    [[nodiscard]] static RunPlan fromSettings(const PumpSettings &settings);
    // The settings with this plan's values in them.
    void applyTo(PumpSettings &settings) const;
    // setValue, unit and repetitions from the values; started now.
    void describe();
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
