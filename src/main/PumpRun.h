#pragma once
// The runs: the checks before a flow, the dosing run and the flow run. A run is a state
// machine driven by its own deadline and by the port's signals, not a nested wait: a
// modal window opened meanwhile (About, the console, a message) cannot hold a pause or
// a flow past its end, and Stop takes effect at once.
#include <optional>
#include "config/PumpState.h"
#include "session/Wait.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
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
};

class PumpRun : public QObject {
    Q_OBJECT
public:
    static constexpr double kPositionLimit = 600000000.0;

    PumpRun(PumpState &state, ControllerLink &link, QWidget *messageParent);

    // The checks before a flow run; dosing skips them. Shows the message and answers
    // false when the run must not start.
    [[nodiscard]] bool StartPruefen();
    // What StartPruefen, or the first dose, would refuse with these settings: the field
    // to blame and the message, without showing it. Nullopt when the run may start.
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
    // Both start a run and return at once; finished() tells when it has ended.
    void Dosieren();
    // stopProcedure is the Stop button's procedure, run at the end of the flow.
    void Foerdern(const std::function<void()> &stopProcedure);
    [[nodiscard]] bool isRunning() const { return m_phase != Phase::Idle; }
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
        LineBusy, // the next dose waits until another reader has its reply
        Arrival,  // a dose moves; waiting for its notification
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
    void startPause();
    void flowOver();
    void finish();
    void showPauseProgress();
    void showFlowProgress();

    PumpState &m_state;
    ControllerLink &m_link;
    QPointer<QWidget> m_messageParent;

    Phase m_phase = Phase::Idle;
    Deadline m_deadline;
    QTimer m_display; // refreshes the status text while a pause or a flow runs
    QByteArray m_tail; // the last bytes seen while a dose moves: a notification may be split
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
