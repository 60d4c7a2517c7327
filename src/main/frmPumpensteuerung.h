#pragma once
// The main window: pump, motor and mode frames, Start, Stop and Exit.
#include "config/PumpState.h"
#include "console/TranscriptLines.h"
#include "session/RunReport.h"
#include "session/Session.h"
#include "ui/HeldKeys.h"

#include <QWidget>
#include <memory>
#include <optional>

namespace Ui {
class frmPumpensteuerung;
}
class QAbstractButton;
class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;

namespace vyt {

class ControllerLink;
class FieldValidation;
class RunJournal;
class RunProgressRows;
struct RunRecord;
class frmHistory;
class frmMethods;
class dlgMethodPrompt;
class CalibrationDialog;
class MediaList;
class MSComm;
class PumpRun;
class WindowAttendant;

class frmPumpensteuerung : public QWidget {
    Q_OBJECT
public:
    explicit frmPumpensteuerung(QWidget *parent = nullptr);
    ~frmPumpensteuerung() override;

    // The start-up sequence up to showing the window. Answers false when the operator
    // cancelled the port dialog and the program is ending.
    bool laden();

    [[nodiscard]] PumpState &state() { return m_state; }
    [[nodiscard]] ControllerLink &link() { return *m_link; }
    // The console's transcript, kept while the program runs.
    [[nodiscard]] TranscriptLines &consoleTranscript() { return m_consoleTranscript; }
    [[nodiscard]] MSComm &MSComm1() { return *m_port; }
    [[nodiscard]] PumpRun &run() { return *m_run; }
    [[nodiscard]] RunJournal &runJournal() { return *m_journal; }
    [[nodiscard]] Session &session() { return *m_session; }

    void AnzeigeAufbauen();
    void EinstellungenSpeichern();
    // The unload handler: asks whether to save, stops the drive and ends the program.
    // Answers false when the operator cancelled.
    bool Beenden();

    void cmdStart_Click();
    void cmdStop_Click();
    // Start is checking, or a run is going on.
    [[nodiscard]] bool running() const { return m_session->running(); }

    // One dose of quantity in the unit (index into mengeEinheiten()) with the stored factor,
    // through Start's own path, with a plan of its own: the operator's quantity, unit,
    // repetitions and mode stay as they are. False when it did not start;
    // calibrationDoseEnded() follows a start.
    bool startCalibrationDose(float quantity, int unit);
    [[nodiscard]] FieldValidation &validation() { return *m_validation; }
    // A quiet line under the status line (remote control); warning colours it.
    void setRemoteLine(const QString &text, bool warning);
    // The same for SiLA 2, on a line of its own below.
    void setSilaLine(const QString &text, bool warning);

    // Puts a factor into the calibration factor field as if typed, through its check.
    bool applyCalibrationFactor(const QString &text);
    // The named media of the port and type in force.
    [[nodiscard]] MediaList &media() { return *m_media; }
    void showCalibration();
    void showMethods();

signals:
    // Each selection handler announces its run (tests count them).
    void handlerRan(const QString &name);
    // A calibration dose has ended; completed when its dose arrived.
    void calibrationDoseEnded(bool completed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void showServiceLine(QLabel *&line, const QString &name, const QString &text, bool warning);
    void verbinden();
    void keepLayoutSteady();
    void arrangeTabOrder();
    void addRangeHints();
    void addMediaList();
    void showRangeHints();
    void cboPumpentyp_Click();
    void cboEncoder_Click();
    void cboGetriebe_Click();
    void optBetriebsart_Click(int index);
    void cbxEndlosDosierung_Click();
    void cbxEndlosFoerderung_Click();
    void cbxPotentiometer_Click();
    void txtWiederholung_GotFocus();
    void txtDauer_GotFocus();
    void wendePumpentypAn(int typ);
    void setzeBereichTooltips();
    void zeigeAntriebswerte();
    void fuelleListe(QComboBox *liste, const QStringList &eintraege);
    void waehle(QComboBox *liste, int index);
    bool tasteGedrueckt(QKeyEvent *key);
    bool pressCounted(QKeyEvent *key);
    bool shortcutRepeated(QKeyEvent *key);
    [[nodiscard]] bool isWindowKey(const QKeyEvent *key) const;
    void pressButton(QAbstractButton *button);
    void positioniere();
    [[nodiscard]] QPointF positionInTwips() const;
    void zeigeFortschritt(const QString &text, int wert, int maximum);
    void linkVerloren();
    void onRunEnded(const RunPlan &plan, const RunOutcome &outcome);
    void showHistory();
    void placeHistory();
    void placeMethods();
    // Start stays off while a method runs: its steps start through the session.
    void enableStart();
    void drainStopOrWarn();
    void endOnSignal(int signalNumber);
    bool trySave(QString *error);
    // On leaving: saves, or lets the operator retry, leave unsaved (true) or stay (false).
    bool saveBeforeLeaving();
    // Starts plan from the window: a refusal is told (an empty one has been told already).
    bool startPlan(const RunPlan &plan, const Session::Origin &origin);
    void tellRefusal(const Session::Refusal &refusal);
    void onRunStarted();
    // Why a start for a client must wait: a window in front of the operator, the
    // calibration helper, Start unavailable. Empty when it need not.
    [[nodiscard]] QString busyForClients() const;
    // Shows the run values a client has put into the session.
    void followSession();
    void onPotentiometerEnded();
    void continuePotentiometer();

    std::unique_ptr<Ui::frmPumpensteuerung> ui;
    QLabel *m_flowRateHint = nullptr;
    QLabel *m_doseHint = nullptr;
    std::unique_ptr<WindowAttendant> m_attendant;
    std::unique_ptr<Session> m_session;
    // The session's parts, under the names the window's code has always used.
    PumpState &m_state;
    MSComm *m_port = nullptr;
    ControllerLink *m_link = nullptr;
    PumpRun *m_run = nullptr;
    RunJournal *m_journal = nullptr;
    std::unique_ptr<FieldValidation> m_validation;
    frmHistory *m_history = nullptr; // made when first asked for, a child of the window
    frmMethods *m_methods = nullptr; // made when first asked for
    dlgMethodPrompt *m_prompt = nullptr; // made with the window: it counts keys from the start
    bool m_beendet = false;     // the unload handler has ended the program
    bool m_leaving = false;     // the program is on its way out: the stop is sent
    CalibrationDialog *m_calibration = nullptr; // made when first asked for
    MediaList *m_media = nullptr;
    QLabel *m_remoteLine = nullptr;             // made when remote control is on
    QLabel *m_silaLine = nullptr;               // made when SiLA 2 is on
    TranscriptLines m_consoleTranscript;
    HeldKeys m_heldKeys;
    int m_pressChecked = 0; // the key whose press has passed the shortcut check
};

} // namespace vyt
