// The console's commissioning aids: the transcript's Clear and Save…, the parameter
// backup with compare, restore and read-back after Set, and the function keys kept per
// port. The controls are added here in code, beside the designed ones.
#include "console/frmDirekt.h"

#include "config/FieldRules.h"
#include "config/LastFolders.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "console/ParameterBackup.h"
#include "console/ParameterCompareDialog.h"
#include "console/CommandLineRule.h"
#include "console/Transcript.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"
#include "session/ProgramEnd.h"
#include "ui_frmDirekt.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QTimer>

namespace vyt {

namespace {

const QColor kTaken(0, 128, 0);
const QColor kNotTaken(192, 0, 0);
const QChar kTick(0x2713);
const QChar kCross(0x2717);
const QString kBackupFilter = QStringLiteral("Parameter backups (*.json);;All files (*)");

QPushButton *newButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    return button;
}

// A name typed without its ending gets the one the file dialog offered.
QString withSuffix(const QString &file, const QString &suffix)
{
    return QFileInfo(file).suffix().isEmpty() ? file + QLatin1Char('.') + suffix : file;
}

// A box holds the controller's notation (what it replied, what a backup keeps) or the
// operator's, both read without group separators; a text that the operator's notation
// with groups reads otherwise ("1.000" in German) is ambiguous and none.
std::optional<qint32> wholeBoxValue(const QString &text)
{
    QLocale own;
    QLocale controller = QLocale::c();
    own.setNumberOptions(QLocale::RejectGroupSeparator);
    controller.setNumberOptions(QLocale::RejectGroupSeparator);
    std::optional<qint32> whole = readWholeNumber(text, own);
    if (!whole)
        whole = readWholeNumber(text, controller);
    const std::optional<double> asTyped = readNumber(text, QLocale());
    if (whole && asTyped && *asTyped != double(*whole))
        return std::nullopt;
    return whole;
}

QString colourStyle(const QColor &colour)
{
    return QStringLiteral("color: %1;").arg(colour.name());
}

} // namespace

void frmDirekt::setUpCommissioning()
{
    showComparisonDialog = [](ParameterCompareDialog &dialog) { dialog.exec(); };
    m_transcript =
        new Transcript(*m_ui->txtTerminal, m_transcriptLines, m_link, m_state, *this, this);
    addTranscriptButtons();
    addParameterTools();
    addReadBackMarks();
    addResetKeysButton();
    restoreFunctionKeys();

    // Tab reaches each new control beside its neighbours, not after Close.
    const auto after = [this](QWidget *before, const char *name) {
        auto *control = findChild<QWidget *>(QLatin1String(name));
        setTabOrder(before, control);
        return control;
    };
    after(after(m_ui->cmdSend, "cmdTranscriptClear"), "cmdTranscriptSave");
    after(m_ui->txtF12, "cmdResetKeys");
    after(after(after(m_ui->txtLPC, "cmdParameterBackup"), "cmdParameterCompare"),
          "cmdParameterRestore");
}

// ---------------------------------------------------------------------------
// Transcript

void frmDirekt::addTranscriptButtons()
{
    auto *row = new QHBoxLayout;
    QPushButton *clear = newButton(this, "cmdTranscriptClear", tr("Clear"));
    QPushButton *save = newButton(this, "cmdTranscriptSave", tr("Save…"));
    clear->setToolTip(tr("Empty the transcript"));
    save->setToolTip(tr("Save the transcript as a text file"));
    row->addWidget(clear);
    row->addWidget(save);
    m_ui->layoutCommand->addLayout(row);
    // Where the last save went, whole: the operator finds the file by it.
    m_transcriptStatus = showsPlainText(new QLabel(this));
    m_transcriptStatus->setObjectName(QStringLiteral("lblTranscriptStatus"));
    m_transcriptStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_transcriptStatus->setWordWrap(true);
    m_transcriptStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_ui->layoutCommand->addWidget(m_transcriptStatus);
    connect(clear, &QPushButton::clicked, this, [this] { m_transcript->clear(); });
    connect(save, &QPushButton::clicked, this, &frmDirekt::saveTranscript);
}

void frmDirekt::saveTranscript()
{
    QPointer<frmDirekt> self(this);
    const QString suggestion = startPath(
        FileKind::Transcript,
        QStringLiteral("console-%1.txt")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"))));
    const QString chosen = saveFileName(this, tr("Save transcript"), suggestion,
                                        tr("Text files (*.txt);;All files (*)"));
    if (!self || chosen.isEmpty() || programEnding())
        return;
    const QString file = QFileInfo(withSuffix(chosen, QStringLiteral("txt"))).absoluteFilePath();
    QString error;
    if (!m_transcript->saveTo(file, &error)) {
        m_transcriptStatus->clear();
        showMessage(this, tr("The transcript could not be saved as %1: %2").arg(file, error),
                    m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return;
    }
    rememberFolder(FileKind::Transcript, file);
    m_transcriptStatus->setText(tr("Saved in %1.").arg(QDir::toNativeSeparators(file)));
}

// ---------------------------------------------------------------------------
// Function keys kept per port

FunctionKeyTexts frmDirekt::functionKeyTexts() const
{
    FunctionKeyTexts texts;
    for (int i = 0; i < kFunktionstasten; ++i)
        texts[i] = m_txtF[i]->text();
    return texts;
}

FunctionKeyTexts frmDirekt::functionKeyDefaults() const
{
    FunctionKeyTexts texts;
    for (int n = 1; n <= kFunktionstasten; ++n)
        texts[n - 1] = Vorgabe(n, m_state.Encoderaufloesung);
    return texts;
}

void frmDirekt::addResetKeysButton()
{
    auto *reset = newButton(m_ui->frameFtasten, "cmdResetKeys", tr("Reset keys"));
    reset->setToolTip(tr("Put the default commands back into the twelve boxes"));
    m_ui->layoutFtasten->addWidget(reset, 0, 7, 1, 2);
    connect(reset, &QPushButton::clicked, this, &frmDirekt::resetFunctionKeys);
}

void frmDirekt::restoreFunctionKeys()
{
    m_keysPort = m_state.Schnittstelle;
    const auto stored = loadFunctionKeys(*openStore(), m_keysPort);
    QStringList refused;
    for (int i = 0; i < kFunktionstasten; ++i) {
        if (!stored[i])
            continue;
        // A stored key that would not go out as its box shows it keeps its default.
        const QString refusal = commandLineRefusal(*stored[i]);
        if (refusal.isEmpty())
            m_txtF[i]->setText(*stored[i]);
        else
            refused << tr("The stored command of function key F%1 was not loaded. %2 F%1 has "
                          "its default command \"%3\" again.")
                           .arg(i + 1)
                           .arg(refusal, m_txtF[i]->text());
    }
    m_keysRefused = refused.join(QStringLiteral("\n\n"));
}

void frmDirekt::resetFunctionKeys()
{
    const FunctionKeyTexts defaults = functionKeyDefaults();
    for (int i = 0; i < kFunktionstasten; ++i)
        m_txtF[i]->setText(defaults[i]);
}

void frmDirekt::keepFunctionKeys()
{
    QString reason;
    auto store = openStore();
    if (!saveFunctionKeys(*store, m_keysPort, functionKeyTexts(), functionKeyDefaults(), this,
                          &reason) &&
        !programEnding())
        showMessage(this, tr("The function keys could not be kept: %1").arg(reason),
                    m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
}

// ---------------------------------------------------------------------------
// Parameter boxes: bounds, read-back

QLineEdit *frmDirekt::parameterBox(int i) const
{
    return findChild<QLineEdit *>(QLatin1String(kDriveParameters[i].box));
}

DriveValues frmDirekt::boxValues() const
{
    DriveValues values;
    for (int i = 0; i < kDriveParameterCount; ++i)
        values[i] = parameterBox(i)->text();
    return values;
}

void frmDirekt::addReadBackMarks()
{
    // Each mark goes beside its box's unit, in the unit's place in the grid.
    QLabel *const units[] = {m_ui->lblSPEinheit, m_ui->lblACEinheit, m_ui->lblLCCEinheit,
                             m_ui->lblLPCEinheit};
    QGridLayout *grid = m_ui->layoutParameter;
    for (int i = 0; i < kDriveParameterCount; ++i) {
        QLabel *unit = units[i];
        int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(unit), &row, &column, &rowSpan, &columnSpan);
        grid->removeWidget(unit);
        auto *cell = new QHBoxLayout;
        cell->setSpacing(4);
        auto *mark = new QLabel(this);
        mark->setObjectName(
            QStringLiteral("lbl%1ReadBack").arg(QLatin1String(kDriveParameters[i].name)));
        mark->setMinimumWidth(mark->fontMetrics().horizontalAdvance(kTick) + 4);
        cell->addWidget(unit);
        cell->addWidget(mark);
        cell->addStretch();
        grid->addLayout(cell, row, column, rowSpan, columnSpan);
        m_readBackMark[i] = mark;
        // A changed entry has not been read back.
        connect(parameterBox(i), &QLineEdit::textEdited, mark, [mark] {
            mark->clear();
            mark->setToolTip({});
        });
    }
}

bool frmDirekt::parameterBoxesAccepted()
{
    std::array<qint32, kDriveParameterCount> values{};
    for (int i = 0; i < kDriveParameterCount; ++i) {
        QLineEdit *box = parameterBox(i);
        const QString field = QLatin1String(kDriveParameters[i].mainField);
        // The same bounds and message as the main window's drive field, but no rounding:
        // what goes out is exactly what the box says.
        const std::optional<qint32> whole = wholeBoxValue(box->text());
        const QString refusal = whole ? driveLimitRefusal(m_state, field, integerForm(*whole),
                                                          QLocale::c())
                                      : driveLimitMessage(m_state, field);
        if (refusal.isEmpty()) {
            values[i] = *whole;
            continue;
        }
        // The marks and status of an earlier Set do not belong to this one.
        clearReadBack();
        QPointer<QLineEdit> focus(box);
        showMessage(this, refusal, m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        if (focus && focus->isVisible()) {
            focus->setFocus(Qt::OtherFocusReason);
            focus->selectAll();
        }
        return false;
    }
    // "12.0" and "1E3" stand for whole numbers: the boxes show them as they are sent.
    for (int i = 0; i < kDriveParameterCount; ++i)
        parameterBox(i)->setText(integerForm(values[i]));
    return true;
}

void frmDirekt::readControllerValues(std::function<void(const std::optional<DriveValues> &)> done)
{
    QStringList befehle;
    for (const DriveParameter &p : kDriveParameters)
        befehle << QLatin1String(p.readCommand);
    auto values = std::make_shared<DriveValues>();
    // Closed, or silent (its message has been shown once): no further reads.
    readInTurn(
        befehle, OnSilence::StopReading,
        [values](int i, const QString &antwort) { (*values)[i] = antwort; },
        [values, done = std::move(done)](bool complete) {
            done(complete ? std::optional<DriveValues>(*values) : std::nullopt);
        });
}

void frmDirekt::clearReadBack()
{
    for (QLabel *mark : m_readBackMark) {
        mark->clear();
        mark->setToolTip({});
    }
    // A restore's or a backup's status stays: it is no read-back.
    if (m_statusIsReadBack)
        setParameterStatus({}, true);
}

void frmDirekt::setParameterStatus(const QString &text, bool good, bool readBack)
{
    m_parameterStatus->setText(text);
    m_parameterStatus->setStyleSheet(good ? QString() : colourStyle(kNotTaken));
    m_statusIsReadBack = readBack;
}

void frmDirekt::readBack(const DriveValues &sent)
{
    m_liest = true;
    clearReadBack();
    readControllerValues([this, sent](const std::optional<DriveValues> &controller) {
        m_liest = false;
        if (!m_geschlossen)
            showReadBack(sent, controller);
    });
}

void frmDirekt::showReadBack(const DriveValues &sent, const std::optional<DriveValues> &controller)
{
    if (!controller) {
        setParameterStatus(tr("Sent; the controller did not answer the read-back."), false, true);
        return;
    }
    QStringList notTaken;
    for (int i = 0; i < kDriveParameterCount; ++i) {
        const bool took = sameValue(sent[i], (*controller)[i]);
        QLabel *mark = m_readBackMark[i];
        mark->setText(took ? kTick : kCross);
        mark->setStyleSheet(colourStyle(took ? kTaken : kNotTaken));
        mark->setToolTip(
            plainToolTip(tr("Sent %1, the controller has %2.").arg(sent[i], (*controller)[i])));
        if (!took)
            notTaken << tr("%1 (sent %2, the controller has %3)")
                            .arg(QLatin1String(kDriveParameters[i].name), sent[i],
                                 (*controller)[i]);
    }
    setParameterStatus(
        notTaken.isEmpty()
            ? tr("Read back: all four values taken.")
            : tr("Read back: not taken: %1.").arg(notTaken.join(QStringLiteral("; "))),
        notTaken.isEmpty(), true);
}

// ---------------------------------------------------------------------------
// Backup, compare, restore

void frmDirekt::addParameterTools()
{
    auto *row = new QHBoxLayout;
    const struct {
        const char *name;
        QString caption;
        QString tip;
        void (frmDirekt::*action)();
        bool reads;
    } tools[] = {
        {"cmdParameterBackup", tr("Save parameters…"),
         tr("Read the four values and the controller's version and save them in a file"),
         &frmDirekt::saveParameters, true},
        {"cmdParameterCompare", tr("Compare…"),
         tr("Show the controller's values beside a backup's and the main window's"),
         &frmDirekt::compareParameters, true},
        {"cmdParameterRestore", tr("Restore…"),
         tr("Fill the boxes from a backup; nothing is sent until Set Parameters"),
         &frmDirekt::restoreParameters, false},
    };
    for (const auto &tool : tools) {
        QPushButton *button = newButton(this, tool.name, tool.caption);
        button->setToolTip(tool.tip);
        connect(button, &QPushButton::clicked, this, tool.action);
        row->addWidget(button);
        if (tool.reads)
            m_backupButtons << button;
    }
    m_parameterStatus = showsPlainText(new QLabel(this));
    m_parameterStatus->setObjectName(QStringLiteral("lblParameterStatus"));
    m_parameterStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long status wraps instead of widening the console.
    m_parameterStatus->setWordWrap(true);
    m_parameterStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(m_parameterStatus, 1);
    m_ui->layoutParameter->addLayout(row, m_ui->layoutParameter->rowCount(), 0, 1, -1);
}

void frmDirekt::setBackupButtonsEnabled(bool enabled)
{
    for (QPushButton *button : std::as_const(m_backupButtons))
        button->setEnabled(enabled);
}

void frmDirekt::saveParameters()
{
    if (m_liest)
        return;
    // Load Parameters itself: the boxes show what is saved.
    parameterLaden([this](bool allArrived) {
        if (allArrived)
            readVersionAndSave();
    });
}

void frmDirekt::readVersionAndSave()
{
    m_liest = true;
    const DriveValues values = boxValues();
    m_link.ParameterLesen(QStringLiteral("VER"), this, [this, values](const QString &version) {
        if (m_geschlossen || m_state.KeineAntwort) {
            m_liest = false;
            return;
        }
        afterReading([this, values, version] { saveBackup(values, version); });
    });
}

void frmDirekt::saveBackup(const DriveValues &values, const QString &version)
{
    QPointer<frmDirekt> self(this);
    ParameterBackup backup;
    backup.values = values;
    backup.controllerVersion = version;
    backup.pumpTypeIndex = m_state.settings.Pumpentyp;
    backup.pumpType = QString::fromUtf8(pumpType(m_state.settings.Pumpentyp).name);
    backup.port = QStringLiteral("COM%1").arg(m_state.Schnittstelle);
    backup.device = m_link.port().DevicePath();
    backup.saved = QDateTime::currentDateTime();

    const QString suggestion =
        startPath(FileKind::Parameters,
                  QStringLiteral("drive-parameters-%1-%2.json")
                      .arg(backup.port, backup.saved.toString(QStringLiteral("yyyy-MM-dd"))));
    const QString chosen = saveFileName(this, tr("Save parameters"), suggestion, kBackupFilter);
    if (!self || chosen.isEmpty() || programEnding())
        return;
    const QString file = QFileInfo(withSuffix(chosen, QStringLiteral("json"))).absoluteFilePath();
    QString error;
    if (!writeBackup(file, backup, &error)) {
        showMessage(this, tr("The parameters could not be saved as %1: %2").arg(file, error),
                    m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Exclamation);
        return;
    }
    rememberFolder(FileKind::Parameters, file);
    setParameterStatus(tr("Saved in %1.").arg(QDir::toNativeSeparators(file)), true);
}

std::optional<ParameterBackup> frmDirekt::chooseBackup(const QString &caption,
                                                       const QString &failure, QString *chosen)
{
    QPointer<frmDirekt> self(this);
    const QString file =
        openFileName(this, caption, lastFolder(FileKind::Parameters), kBackupFilter);
    if (!self || file.isEmpty() || programEnding())
        return std::nullopt;
    if (chosen)
        *chosen = file;
    QString error;
    std::optional<ParameterBackup> backup = readBackup(file, &error);
    if (backup)
        rememberFolder(FileKind::Parameters, file);
    else
        showMessage(this, failure.arg(file, error), m_state.FehlerTitel, MsgButtons::Ok,
                    MsgIcon::Exclamation);
    return backup;
}

void frmDirekt::compareParameters()
{
    if (m_liest || !schnittstelleOK())
        return;
    QPointer<frmDirekt> self(this);
    QString file;
    const std::optional<ParameterBackup> backup =
        chooseBackup(tr("Compare with a parameter backup"), tr("%1 cannot be compared: %2"), &file);
    if (!self || !backup)
        return;
    m_liest = true;
    readControllerValues([this, file, backup = *backup](const std::optional<DriveValues> &values) {
        if (m_geschlossen || !values) {
            m_liest = false;
            return;
        }
        afterReading([this, file, backup, controller = *values] {
            showComparison(tr("Compare parameters"),
                           tr("Backup %1, saved %2 for %3 on %4.")
                               .arg(QFileInfo(file).fileName(),
                                    QLocale().toString(backup.saved, QLocale::ShortFormat),
                                    backup.pumpType, backup.port),
                           {{tr("Controller"), controller},
                            {tr("Backup"), backup.values},
                            {tr("Main window"), mainWindowValues(m_state)}});
        });
    });
}

void frmDirekt::restoreParameters()
{
    QPointer<frmDirekt> self(this);
    QString file;
    const std::optional<ParameterBackup> backup =
        chooseBackup(tr("Restore from a parameter backup"), tr("%1 cannot be restored: %2"), &file);
    if (!self || !backup)
        return;
    for (int i = 0; i < kDriveParameterCount; ++i)
        parameterBox(i)->setText(backup->values[i]);
    clearReadBack();
    QString status = tr("From %1: click Set Parameters to send.").arg(QFileInfo(file).fileName());
    // Another type's limits may lie outside this one's bounds; Set will say which.
    if (backup->pumpTypeIndex != m_state.settings.Pumpentyp)
        status += QLatin1Char(' ') +
                  tr("Saved for %1, the main window has %2.")
                      .arg(backup->pumpType,
                           QString::fromUtf8(pumpType(m_state.settings.Pumpentyp).name));
    setParameterStatus(status, backup->pumpTypeIndex == m_state.settings.Pumpentyp);
}

bool frmDirekt::showValuesToStore(const DriveValues &controller)
{
    QPointer<frmDirekt> self(this);
    QList<ParameterColumn> columns{{tr("Controller"), controller}};
    const DriveValues boxes = boxValues();
    if (std::any_of(boxes.begin(), boxes.end(), [](const QString &v) { return !v.isEmpty(); }))
        columns.append({tr("Parameter boxes"), boxes});
    columns.append({tr("Main window"), mainWindowValues(m_state)});
    showComparison(tr("Values to be stored"),
                   tr("EEPSAV stores the controller's values (first column) in its EEPROM."),
                   columns);
    return self && !programEnding() && !m_geschlossen;
}

void frmDirekt::showComparison(const QString &title, const QString &note,
                               const QList<ParameterColumn> &columns)
{
    // The console may go while the dialog is open (the program ending): a guard owns it.
    QPointer<ParameterCompareDialog> dialog =
        new ParameterCompareDialog(title, note, columns, this);
    showComparisonDialog(*dialog);
    delete dialog.data();
}

} // namespace vyt
