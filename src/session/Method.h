#pragma once
// Methods: a program of steps (dose, flow, wait, prompt, repeat) kept as a UTF-8 JSON
// document. Read and checked here without widgets, so that the window, remote control
// and the command line refuse, estimate and run exactly the same thing.
#include "config/PumpState.h"
#include "session/RunReport.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace vyt {

struct MethodStep {
    enum class Kind { Dose, Flow, Wait, Prompt, Repeat };
    Kind kind = Kind::Dose;
    QJsonObject order;         // dose, flow: the body of /v1/dose or /v1/flow
    double duration = 0;       // wait
    QString durationUnit;      // wait: "ms", "s", "min", "h" as the lists show them
    QString text;              // prompt
    int count = 1;             // repeat
    QList<MethodStep> steps;   // repeat
};

struct Method {
    QString name;
    QString pumpType; // the catalog name the method was written for; empty: any
    QString medium;   // a saved medium applied first; empty: the values in force
    QList<MethodStep> steps;
};

// Why a method is refused: the step ("3.1": the first step of the third), its kind and
// the message; an empty step blames the document as a whole.
struct MethodError {
    QString step;
    QString kind;
    QString message;
    // "step 3.1 (dose): Please enter a value from -14062500 to 14062500."
    [[nodiscard]] QString text() const;
};

inline constexpr const char *kMethodFormat = "vyt-method/1";
inline constexpr qsizetype kMaxMethodBytes = 1024 * 1024;
inline constexpr int kMaxRepeat = 1000;
inline constexpr int kMaxMethodDepth = 4;     // repeats inside repeats
inline constexpr int kMaxMethodActions = 100000; // steps once the repeats are unrolled

[[nodiscard]] QString stepKindName(MethodStep::Kind kind);

// Reads a document: its structure, names and types. Nothing about the pump yet.
[[nodiscard]] std::optional<Method> parseMethod(const QByteArray &json, MethodError *error);
// The document of a method, as parseMethod reads it.
[[nodiscard]] QByteArray methodJson(const Method &method);

// One thing a run of the method does, the repeats unrolled.
struct MethodAction {
    MethodStep::Kind kind = MethodStep::Kind::Dose;
    QString step;     // its place in the document: "3.1"
    RunPlan plan;     // dose, flow
    double seconds = 0; // wait
    QString text;     // prompt
};

// What a method does on this pump, checked as the window's fields and Start check it:
// the actions in order, or the first refusal. The medium's values, if one is named, are
// in `medium` (found by the caller in the store).
struct MediumValues {
    float density = 1;
    float factor = 1;
};
[[nodiscard]] std::optional<QList<MethodAction>>
planMethod(const Method &method, const PumpState &state, const std::optional<MediumValues> &medium,
           MethodError *error);
// The settings a method's medium gives (density and factor through the fields' checks).
[[nodiscard]] std::optional<PumpState> withMedium(const PumpState &state, const MediumValues &medium,
                                                  QString *why);

// How long an action takes and how much it delivers, from the run's own formulas (a move's
// time from the maximum speed and the acceleration); seconds < 0: until Stop.
struct MethodEstimate {
    double seconds = 0;
    double amount = 0;
    QString unit; // of amount: "µl", "ml", ...
};
[[nodiscard]] MethodEstimate estimateAction(const MethodAction &action, const PumpState &state);
// The method's total: seconds < 0 when a step runs until Stop. Amounts of one kind add up
// (µl and ml in ml, mg and g in g; in µl or mg when all were); amounts of another kind
// than the first (a mass beside a volume, revolutions) are left out and `mixedUnits` says so.
struct MethodTotal {
    double seconds = 0;
    double amount = 0;
    QString unit;
    bool mixedUnits = false;
};
[[nodiscard]] MethodTotal estimateMethod(const QList<MethodAction> &actions, const PumpState &state);

// The folder methods are kept in by default: methods/ in the data folder.
[[nodiscard]] QString methodsFolder();

} // namespace vyt
