#pragma once
// One pump on one port, without widgets: its settings, the line, the runs and the journal.
// The window, the console, remote control and a headless run are its clients; whatever
// needs the operator goes to its Attendant. It holds no global state: two sessions on two
// ports run side by side in one process.
#include "config/PumpState.h"
#include "session/Notice.h"
#include "session/PumpRun.h"
#include "session/RunReport.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

namespace vyt {

class ControllerLink;
class MethodRun;
class MethodScheduler;
class MSComm;
class RunJournal;
class RunProgressRows;
struct RunRecord;

class Session : public QObject {
    Q_OBJECT
public:
    using Refusal = PumpRun::Refusal;

    // Who asked for a run: the window (client empty), a remote client, the calibration
    // helper. It goes into the journal's note.
    struct Origin {
        enum class Kind { Window, Remote, Calibration, Method };
        Kind kind = Kind::Window;
        QString client; // the remote client's address
    };

    // What a client sees of the session at a glance.
    struct Status {
        bool starting = false; // the controller is being asked before the run
        bool running = false;
        bool potentiometer = false;
        PumpRun::Progress progress;
        RunPlan plan; // the run going on or the last one
        Origin origin;
        bool portOpen = false;
        bool controllerAnswered = false;
    };

    Session(Attendant &attendant, qint16 port, QObject *parent = nullptr);
    ~Session() override;

    [[nodiscard]] PumpState &state() { return m_state; }
    [[nodiscard]] const PumpState &state() const { return m_state; }
    [[nodiscard]] MSComm &port() { return *m_port; }
    [[nodiscard]] ControllerLink &link() { return *m_link; }
    [[nodiscard]] PumpRun &run() { return *m_run; }
    [[nodiscard]] RunJournal &journal() { return *m_journal; }
    [[nodiscard]] Attendant &attendant() { return *m_attendant; }
    // The method running on this pump, if any; its steps start through start() below.
    [[nodiscard]] MethodRun &methods() { return *m_methods; }
    [[nodiscard]] const MethodRun &methods() const { return *m_methods; }
    // The port's schedules of methods, read from the store when first asked for (paused).
    [[nodiscard]] MethodScheduler &schedules();
    // A trial beside the real pump: this session talks to its own device and writes no
    // journal (no rows, no crash row), so that nothing of it mixes with the real record.
    void useTrialDevice(const QString &device);
    [[nodiscard]] bool isTrial() const { return m_trial; }
    // The run's own progress text ("Dose 1 of 2"), without a method's words around it.
    [[nodiscard]] QString runProgressText() const { return m_runProgress; }

    // The settings of the port from the store, in the order the window loads them, with
    // the catalog values of the stored type, encoder and gear (for a run without a window).
    void loadSettings();
    // The catalog values of a pump type, its default drive limits, encoder and gear.
    void applyPumpType(int type);
    void applyEncoder(int index);
    void applyGear(int index);

    // The plan Start runs: the operator's values as the settings hold them.
    [[nodiscard]] RunPlan planFromSettings() const;
    // The run's own checks for a plan (flow speed, duration, the first dose), as Start
    // makes them; nullopt when it may start.
    [[nodiscard]] std::optional<Refusal> StartPruefen(const RunPlan &plan) const;
    // Starts a run of plan: the port is opened (the attendant may choose it), a silent
    // controller is asked for its version, the limits go out, the run begins. Answers a
    // refusal for a plan that must not run; nullopt when it started or is starting (the
    // version's answer decides: runStarted() or startFailed() follows).
    std::optional<Refusal> start(const RunPlan &plan, const Origin &origin);
    // The Stop button: the run ends, potentiometer mode too, "SOR 0", "V 0" go first.
    void stop();
    // Stop without the port: nothing goes on the line; a run or a start still ends.
    void cancelStart();
    // The controller follows its potentiometer from now: the run that stands for it.
    void beginPotentiometer();
    // Potentiometer mode is over; its row goes into the journal.
    void endPotentiometerRun(RunOutcome::End end);

    [[nodiscard]] bool running() const { return m_running || m_starting; }
    [[nodiscard]] bool potentiometerOn() const { return m_potentiometer.started.isValid(); }
    [[nodiscard]] Status status() const;
    [[nodiscard]] const RunPlan &plan() const { return m_plan; }
    [[nodiscard]] const Origin &origin() const { return m_origin; }

    // The process ends at once (a signal, no window): the drive stops, the run's row goes
    // into the journal, the port closes.
    void shutdown();
    // The program is on its way out: the stop has been sent, nothing more is told.
    void setLeaving(bool leaving) { m_leaving = leaving; }
    [[nodiscard]] bool leaving() const { return m_leaving; }

    // What the window says about starting for a client: why it must wait (a window open in
    // front of the operator, a helper, Start unavailable; empty: nothing), and an entry
    // being typed or one that would be refused. Without a window nothing holds a start.
    struct ClientChecks {
        std::function<QString()> busy;
        std::function<std::optional<Refusal>()> typing;
        std::function<std::optional<Refusal>()> pendingEntry;
        // The medium marked in the window (empty: own values).
        std::function<QString()> medium;
    };
    void setClientChecks(ClientChecks checks) { m_clientChecks = std::move(checks); }
    // Why a client's start must wait now; empty when it may go ahead.
    [[nodiscard]] QString busyReason() const;
    [[nodiscard]] std::optional<Refusal> entryBeingTyped() const;
    [[nodiscard]] std::optional<Refusal> pendingEntry() const;
    // New run values from a client: the window follows (settingsChanged).
    void setRunSettings(const PumpSettings &settings);
    // The text under the buttons: the run's progress, its summary, potentiometer mode.
    [[nodiscard]] QString statusLine() const { return m_statusLine; }

    // The journal's row for a run and how it ended.
    [[nodiscard]] RunRecord journalRow(const RunPlan &plan, const RunOutcome &outcome) const;

signals:
    void progress(const QString &text, int value, int maximum);
    // The checks are passed and the run has begun.
    void runStarted();
    // A start that was under way did not begin: refused by the run's checks after the
    // controller answered (the refusal), or the port or the controller failed (told already).
    void startFailed(const std::optional<vyt::PumpRun::Refusal> &refusal);
    // Potentiometer mode ended without the window's asking (a remote stop, a lost link).
    void potentiometerEnded();
    // A run has ended and its row is written.
    void runEnded(const RunPlan &plan, const RunOutcome &outcome);
    void linkLost();
    void portOpened();
    // The settings changed from outside the window (a remote request).
    void settingsChanged();

private:
    std::optional<Refusal> continueStart();
    void beginRun();
    void onRunFinished();
    void writeJournal(const RunPlan &plan, const RunOutcome &outcome);
    void appendToJournal(const RunRecord &row, bool final);
    [[nodiscard]] RunRecord progressRow() const;
    [[nodiscard]] PumpState valuesFor(const RunPlan &plan) const;
    void sendStop();
    void showProgress(const QString &text, int value, int maximum);
    // The named medium whose density and factor are in force; empty for own values.
    [[nodiscard]] QString mediumInForce() const;
    void noteMedium(RunPlan &plan) const;

    Attendant *m_attendant;
    PumpState m_state;
    std::unique_ptr<MSComm> m_port;
    std::unique_ptr<ControllerLink> m_link;
    std::unique_ptr<PumpRun> m_run;
    std::unique_ptr<RunJournal> m_journal;
    std::unique_ptr<RunProgressRows> m_progressRows;
    std::unique_ptr<MethodRun> m_methods;
    std::unique_ptr<MethodScheduler> m_schedules; // after m_methods: it goes first
    QString m_runProgress;
    bool m_trial = false;
    RunPlan m_plan;
    RunPlan m_startingPlan;
    Origin m_origin;
    RunPlan m_potentiometer; // since when (started invalid: off)
    ClientChecks m_clientChecks;
    QString m_statusLine;
    bool m_starting = false;
    bool m_running = false;
    bool m_leaving = false;
    QString m_journalFailureTold;
};

} // namespace vyt
