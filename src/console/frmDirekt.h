#pragma once
// The direct control console: a command terminal, twelve function keys, live speed
// and current bars, the status query and the controller's drive parameters.
#include "config/PumpState.h"
#include "console/DriveParameters.h"
#include "console/FunctionKeyStore.h"
#include "console/ParameterBackup.h"
#include "ui/FileChooser.h"
#include "ui/HeldKeys.h"

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
struct ParameterColumn;
class ParameterCompareDialog;

class frmDirekt : public QDialog {
    Q_OBJECT
public:
    static constexpr int kFunktionstasten = 12;
    static constexpr qint32 kVollausschlagDrehzahl = 6000; // rpm
    static constexpr qint32 kVollausschlagStrom = 2800;    // mA
    static constexpr int kAbfragePauseMs = 300;

    frmDirekt(PumpState &state, ControllerLink &link, QWidget *parent = nullptr);
    ~frmDirekt() override;

    // Loads the console (limits sent first while ParameterGeaendert), shows it modally, returns
    // when closed.
    static void oeffnen(PumpState &state, ControllerLink &link, QWidget *parent);
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

signals:
    // Each polling cycle's speed, current and fault flags, once both values are read.
    void liveValues(qint32 rpm, qint32 mA, const QString &faultFlags);

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    enum class Zyklus { Weiter, Ende, Weg };

    bool tasteVorab(QKeyEvent *key, QWidget *receiver);
    bool enterTaste(QKeyEvent *key, QWidget *receiver);
    void verlaufBlaettern(int schritt);
    [[nodiscard]] bool schnittstelleOK();

    // Refuses, with its message, a command that would not go out as the box shows it.
    [[nodiscard]] bool commandAccepted(const QString &text, const QString &what, QLineEdit *box);
    void befehlszeileSenden();
    void funktionstaste(int n);
    void escTaste();
    void senden(const QString &Befehl);

    void werteabfrageStarten();
    void werteabfrageStoppen();
    [[nodiscard]] Zyklus abfrageZyklus();
    [[nodiscard]] bool abfrageBeendet() const;
    void setLeseKnoepfe(bool enabled);

    void zustandLesen();
    bool parameterLaden(); // true when all four replies arrived
    void parameterSetzen();
    void eepromSichern();

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
    [[nodiscard]] std::optional<DriveValues> readControllerValues();
    void readBack(const DriveValues &sent);
    void clearReadBack();
    void setParameterStatus(const QString &text, bool good, bool readBack = false);
    void saveParameters();
    // Asks for a backup file and reads it; nullopt when cancelled or unreadable (failure,
    // with the file and the reason for %1 and %2, told to the operator).
    [[nodiscard]] std::optional<ParameterBackup>
    chooseBackup(const QString &caption, const QString &failure, QString *chosen = nullptr);
    void compareParameters();
    void restoreParameters();
    [[nodiscard]] bool showValuesToStore();
    void showComparison(const QString &title, const QString &note,
                        const QList<ParameterColumn> &columns);
    [[nodiscard]] QString backupFolder() const;

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
    bool m_geschlossen = false;
    // Read Status, Load Parameters or EEPSAV waiting for replies: one at a time.
    bool m_liest = false;

    Transcript *m_transcript = nullptr;
    std::array<QLabel *, kDriveParameterCount> m_readBackMark{};
    QLabel *m_parameterStatus = nullptr;
    bool m_statusIsReadBack = false;      // the status tells a read-back after Set
    QList<QPushButton *> m_backupButtons; // they read from the controller
    QString m_lastFolder;
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
