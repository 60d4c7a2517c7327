#pragma once
// The direct control console: a command terminal, twelve function keys, live speed
// and current bars, the status query and the controller's drive parameters.
#include "config/PumpState.h"
#include "console/DriveParameters.h"
#include "console/FunctionKeyStore.h"
#include "console/ParameterBackup.h"
#include "ui/FileChooser.h"
#include "ui/HeldKeys.h"
#include "session/Wait.h"

#include <QDialog>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QKeyEvent;

namespace Ui {
class frmDirekt;
}

namespace vyt {

class ControllerLink;
class SquareBar;
class Transcript;
class TranscriptLines;
struct ParameterColumn;
class ParameterCompareDialog;

class frmDirekt : public QDialog {
    Q_OBJECT
public:
    static constexpr int kFunktionstasten = 12;
    static constexpr qint32 kVollausschlagDrehzahl = 6000; // rpm
    static constexpr qint32 kVollausschlagStrom = 2800;    // mA
    static constexpr int kAbfragePauseMs = 300;

    // transcript keeps the transcript's lines beyond this console.
    frmDirekt(PumpState &state, ControllerLink &link, TranscriptLines &transcript,
              QWidget *parent = nullptr);
    ~frmDirekt() override;

    // Loads the console (limits sent first while ParameterGeaendert), shows it modally, returns
    // when closed.
    static void oeffnen(PumpState &state, ControllerLink &link, TranscriptLines &transcript,
                        QWidget *parent);
    void ShowProgress(QWidget *Balken, QLabel *Wert, qint32 AktDat, qint32 MaxDat);

    // The default command of function key n (1 to 12) for an encoder of E lines.
    [[nodiscard]] static QString Vorgabe(int n, float Encoderaufloesung);

    // The file dialogs, replaceable for tests.
    FileChooser saveFileName = saveFileChooser();
    FileChooser openFileName = openFileChooser();
    // Shows a parameter comparison modally; tests look at the table instead.
    std::function<void(ParameterCompareDialog &)> showComparisonDialog;

    [[nodiscard]] bool AbfrageStopp() const { return m_abfrageStopp; }
    [[nodiscard]] bool AbfrageLaeuft() const { return m_abfrageLaeuft; }
    // Read Status, the parameter reads, a read-back or EEPSAV waits for replies.
    [[nodiscard]] bool busyReading() const { return m_liest; }

signals:
    // Each polling cycle's speed, current and fault flags, once both values are read.
    void liveValues(qint32 rpm, qint32 mA, const QString &faultFlags);

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // What a read sequence does when a read goes unanswered.
    enum class OnSilence { ReadOn, StopReading };
    using ReplyShown = std::function<void(int index, const QString &reply)>;
    using ReadsDone = std::function<void(bool complete)>;
    struct ReadPlan;

    bool tasteVorab(QKeyEvent *key, QWidget *receiver);
    bool enterTaste(QKeyEvent *key, QWidget *receiver);
    void verlaufBlaettern(int schritt);
    [[nodiscard]] bool schnittstelleOK();

    // Refuses, with its message, a command that would not go out as the box shows it.
    [[nodiscard]] bool commandAccepted(const QString &text, const QString &what, QLineEdit *box);
    void befehlszeileSenden();
    void showCommandReply(const QString &antwort);
    void funktionstaste(int n);
    void escTaste();
    void senden(const QString &Befehl);

    // The poll is a chain of replies: GN, GFS and GRC, each asked once the one before has
    // answered, then the pause; each step ends the poll instead when it has been stopped.
    void werteabfrageStarten();
    void werteabfrageStoppen();
    void abfrageZyklus();
    void speedRead(const QString &gn);
    void faultFlagsRead(const QString &gn, const QString &gfs);
    void currentRead(const QString &gn, const QString &gfs, const QString &grc);
    // Answers whether the poll goes on; ends it when it has been stopped or closed.
    [[nodiscard]] bool pollGoesOn();
    void endPoll();
    void cutPollPause();
    [[nodiscard]] bool abfrageBeendet() const;
    void setLeseKnoepfe(bool enabled);

    // Asks each command in its turn, the next once the one before has answered or timed
    // out. shown gets each reply; done(false) when the console closed meanwhile or, with
    // StopReading, a read went unanswered. Nothing runs once the console is gone.
    void readInTurn(const QStringList &commands, OnSilence silence, ReplyShown shown,
                    ReadsDone done);
    void readNext(const std::shared_ptr<ReadPlan> &plan);
    // The step after a read sequence, which may open a modal window: from the event loop,
    // not from inside the line's reply handler. The reading ends with it.
    void afterReading(std::function<void()> step);

    void zustandLesen();
    // then(allArrived) runs once the four boxes show the controller's values.
    void parameterLaden(std::function<void(bool allArrived)> then = {});
    void parameterSetzen();
    void eepromSichern();
    void askToStore(const DriveValues &controller);

    // Commissioning aids (frmDirektCommissioning.cpp): the transcript's buttons, the
    // parameter backup with compare, restore and read-back, the function keys kept.
    void setUpCommissioning();
    void addTranscriptButtons();
    void addParameterTools();
    void addReadBackMarks();
    void saveTranscript();
    void addResetKeysButton();
    void restoreFunctionKeys();
    void keepFunctionKeys();
    void resetFunctionKeys();
    [[nodiscard]] FunctionKeyTexts functionKeyTexts() const;
    [[nodiscard]] FunctionKeyTexts functionKeyDefaults() const;
    void setBackupButtonsEnabled(bool enabled);
    [[nodiscard]] QLineEdit *parameterBox(int i) const;
    [[nodiscard]] DriveValues boxValues() const;
    [[nodiscard]] bool parameterBoxesAccepted();
    // done gets the four values, or nullopt when the console closed or one went unanswered.
    void readControllerValues(std::function<void(const std::optional<DriveValues> &)> done);
    void readBack(const DriveValues &sent);
    void showReadBack(const DriveValues &sent, const std::optional<DriveValues> &controller);
    void clearReadBack();
    void setParameterStatus(const QString &text, bool good, bool readBack = false);
    void saveParameters();
    void readVersionAndSave();
    void saveBackup(const DriveValues &values, const QString &version);
    // Asks for a backup file and reads it; nullopt when cancelled or unreadable (failure,
    // with the file and the reason for %1 and %2, told to the operator).
    [[nodiscard]] std::optional<ParameterBackup>
    chooseBackup(const QString &caption, const QString &failure, QString *chosen = nullptr);
    void compareParameters();
    void restoreParameters();
    [[nodiscard]] bool showValuesToStore(const DriveValues &controller);
    void showComparison(const QString &title, const QString &note,
                        const QList<ParameterColumn> &columns);

    void setzeWertPosition(QWidget *Balken, QLabel *Wert, int prozent);
    void platziereBalken();
    void zentrieren();

    PumpState &m_state;
    ControllerLink &m_link;
    std::unique_ptr<Ui::frmDirekt> m_ui;
    std::array<QPushButton *, kFunktionstasten> m_cmdF{};
    std::array<QLineEdit *, kFunktionstasten> m_txtF{};

    bool m_abfrageStopp = false;
    bool m_abfrageLaeuft = false;
    Deadline m_abfragePause; // between a cycle's last reply and the next cycle
    bool m_geschlossen = false;
    // Read Status, Load Parameters, a read-back or EEPSAV waiting for replies: one at a time.
    bool m_liest = false;

    TranscriptLines &m_transcriptLines;
    Transcript *m_transcript = nullptr;
    // The live-value poll asks on behalf of this one, not the console: its values are on
    // the bars, and the transcript shows only what the console itself sends.
    QObject *m_pollAsker = nullptr;
    std::array<QLabel *, kDriveParameterCount> m_readBackMark{};
    QLabel *m_parameterStatus = nullptr;
    QLabel *m_transcriptStatus = nullptr; // where the transcript was saved
    bool m_statusIsReadBack = false;      // the status tells a read-back after Set
    QList<QPushButton *> m_backupButtons; // they read from the controller
    qint16 m_keysPort = 0; // the port whose function keys the boxes hold
    QString m_keysRefused; // stored keys not loaded, and why: told when the console shows

    // The keys that acted here and are still down: their further presses are repeats.
    HeldKeys m_heldKeys;

    // Commands sent since the console opened, for Up and Down in the command line.
    QStringList m_verlauf;
    int m_verlaufPos = 0;
    QString m_entwurf;
};

} // namespace vyt
