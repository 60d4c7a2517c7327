#pragma once
// The runs: the checks before a flow, the dosing run and the flow run. A run is a state
// machine driven by its own deadline and by the port's signals, not a nested wait: a
// modal window opened meanwhile (About, the console, a message) cannot hold a pause or
// a flow past its end, and Stop takes effect at once.
#include <optional>
#include "config/PumpState.h"
#include "session/Notice.h"
#include "session/Wait.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

namespace vyt {

class ControllerLink;

// How a run ended and what it did, for the summary and the run journal.
struct RunOutcome {
    enum class End { Completed, Stopped, ProgramEnded, LinkLost, NoReply };
    End end = End::Stopped;
    qint64 dosesDone = 0;   // arrivals seen
    double delivered = 0;   // dosing: the sum of the doses that arrived, in their unit
    double motorSeconds = 0; // flow: how long the motor ran at the set speed
    QString note;            // the message that ended the run, if one did
    // A dose that was on its way when the run ended: its number (0: none) and nominal
    // quantity. The controller cannot be asked how far it got.
    qint64 interruptedNumber = 0;
    double interruptedDose = 0;
};

class PumpRun : public QObject {
    Q_OBJECT
public:
    static constexpr double kPositionLimit = 600000000.0;

    PumpRun(PumpState &state, ControllerLink &link, Attendant &attendant);

    // What the checks before a flow, or the first dose, would refuse with these settings:
    // the field to blame and the message. Nullopt when the run may start.
    struct Refusal {
        QString field;
        QString message;
    };
    [[nodiscard]] static std::optional<Refusal> startRefusal(const PumpState &state);
    [[nodiscard]] static std::optional<Refusal> firstDoseRefusal(const PumpState &state);

    // How far the run has come, for a request from another program.
    struct Progress {
        bool dosing = false;
        bool pausing = false;
        qint64 dose = 0;         // the dose moving or the last one done
        qint64 doses = 0;        // N (kEndlessRepetitions: endless)
        double secondsLeft = -1; // of the pause or the flow; -1: none or endless
    };
    [[nodiscard]] Progress progress() const;
    // Both start a run of values (the settings with the run's plan in them, the operator's
    // own left as they are) and return at once; finished() tells when it has ended.
    // followSettings: the operator's Start, whose later doses take what the operator enters
    // meanwhile, as they always have; a plan from elsewhere keeps its own values.
    void Dosieren(const PumpState &values, bool followSettings = false);
    // stopProcedure is the Stop button's procedure, run at the end of the flow.
    void Foerdern(const PumpState &values, const std::function<void()> &stopProcedure);
    [[nodiscard]] bool isRunning() const { return m_phase != Phase::Idle; }
    // A dose's move has gone out and not arrived, or a flow turns the motor: a stop that
    // cannot be sent now leaves the pump running.
    [[nodiscard]] bool motorMayTurn() const;
    // Abbruch has been raised: the run ends as soon as the stop has gone out.
    void stopRequested();
    // The program ends while a run goes on: the run ends here and now, without a word on
    // the line (the stop has been sent), and finished() tells it.
    void abandon();
    // What the run going on has done so far, for the journal's progress rows; its end
    // is not known yet.
    [[nodiscard]] RunOutcome outcomeSoFar() const;
    // The last run's end; valid once finished() has been emitted.
    [[nodiscard]] const RunOutcome &outcome() const { return m_outcome; }

    // Motor speed in rpm for the flow rate in the settings (single precision).
    [[nodiscard]] float drehzahl() const;
    // The run's formulas on their own, so that the range hints use the very same ones.
    [[nodiscard]] static float flowSpeed(const PumpState &state, float rate);
    // Motor revolutions of one dose; nullopt for a unit outside the table.
    [[nodiscard]] static std::optional<float> doseRevolutions(const PumpState &state, float quantity);
    [[nodiscard]] static bool doseFits(const PumpState &state, float revolutions);
    // Start's test of a flow rate and the first dose's test of a quantity, as the values
    // the fields stored: what the range hints must pass.
    [[nodiscard]] static bool flowFits(const PumpState &state, float rate);
    [[nodiscard]] static bool quantityFits(const PumpState &state, float quantity);

signals:
    // What the operator sees under the buttons; an empty text means idle.
    // maximum 0 hides the bar.
    void fortschritt(const QString &text, int value, int maximum);
    // The run has ended, however it ended.
    void finished();

private:
    enum class Phase {
        Idle,
        Arrival, // a dose moves (or is about to); waiting for its notification
        Pause,
        Flow,
    };

    // "Please enter a value from -Qmax to Qmax." for the quantity unit in force.
    [[nodiscard]] static QString doseLimitMessage(const PumpState &state);
    [[nodiscard]] bool abgebrochen() const;
    void wake();
    void nextDose();
    void checkArrival();
    void afterArrival(bool arrived);
    void noteInterruptedDose();
    void startPause();
    void flowOver();
    void finish();
    void showPauseProgress();
    void showFlowProgress();

    PumpState &m_state; // the flags; the run's values are its own
    PumpState m_values;
    bool m_followSettings = false;
    ControllerLink &m_link;
    Attendant &m_attendant;

    Phase m_phase = Phase::Idle;
    Deadline m_deadline;
    QTimer m_display; // refreshes the status text while a pause or a flow runs
    bool m_armed = false; // the move's commands are on their way: a notification is its own
    qint64 m_dose = 0;
    qint64 m_count = 0;
    bool m_endless = false;
    double m_position = 0; // P: the absolute target, in increments
    float m_revolutions = 0; // R of the last dose
    float m_speed = 0;
    QString m_rateText; // "5 ml/min = "
    double m_flowSeconds = 0;
    std::function<void()> m_stopProcedure;
    float m_doseQuantity = 0; // Q of the dose that moves
    bool m_completed = false;
    qint64 m_flowStartNs = -1;
    RunOutcome m_outcome;
};

} // namespace vyt
