#include "main/frmPumpensteuerung.h"

#include "ui_frmPumpensteuerung.h"

#include "config/FieldValidation.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "config/Units.h"
#include "config/WindowPlace.h"
#include "console/frmDirekt.h"
#include "dialogs/frmAbout.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "link/ProcessGuard.h"
#include "main/CalibrationDialog.h"
#include "main/MediaList.h"
#include "main/PumpRun.h"
#include "main/RangeHints.h"
#include "main/RunProgressRows.h"
#include "main/RunReport.h"
#include "journal/RunJournal.h"
#include "journal/frmHistory.h"
#include "main/Settings.h"
#include "texts/WindowTexts.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"
#include "ui/ProgramEnd.h"
#include "ui/Wait.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSignalBlocker>
#include <QToolButton>
#include <cmath>
#include <functional>

namespace vyt {

frmPumpensteuerung::frmPumpensteuerung(QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::frmPumpensteuerung>())
{
    ui->setupUi(this);
    // The status line shows replies, paths and system errors.
    showsPlainText(ui->lblStatus);
    // The displacement is shown, not entered: a read-only box on the button face.
    QPalette grau = ui->txtVerdraengungsvolumen->palette();
    grau.setColor(QPalette::Base, grau.color(QPalette::Button));
    ui->txtVerdraengungsvolumen->setPalette(grau);
    // Stop and Exit act on a click without taking the focus: leaving a field that holds a
    // refused entry would show its message first and swallow the click, the motor running on.
    // The field check still reports, after the stop, when Stop hands the focus to Start.
    ui->cmdStop->setFocusPolicy(Qt::TabFocus);
    ui->cmdBeenden->setFocusPolicy(Qt::TabFocus);
    // A closed list changes by the wheel only when it has the focus: a wheel turned while
    // passing over it must not turn 100 ms of pause into 100 h. (See eventFilter.)
    for (QComboBox *liste : findChildren<QComboBox *>())
        liste->setFocusPolicy(Qt::StrongFocus);
    keepLayoutSteady();
    m_port = std::make_unique<MSComm>();
    m_link = std::make_unique<ControllerLink>(m_state, *m_port, this);
    m_run = std::make_unique<PumpRun>(m_state, *m_link, this);
    m_validation = std::make_unique<FieldValidation>(m_state, this);
    m_journal = std::make_unique<RunJournal>();
    m_progressRows = std::make_unique<RunProgressRows>(
        *m_journal, [this] { return progressRow(); },
        [this](const RunRecord &row) { appendToJournal(row, false); });
    // The run history, beside the buttons: the spacer before Exit gives it its room, so
    // no designed control moves.
    auto *history = new QPushButton(tr("History\u2026"), this);
    history->setObjectName(QStringLiteral("cmdHistory"));
    history->setFlat(true);
    history->setFocusPolicy(Qt::TabFocus);
    history->setToolTip(tr("Run history (Ctrl+R)"));
    ui->layKnoepfe->insertWidget(0, history);
    connect(history, &QPushButton::clicked, this, &frmPumpensteuerung::showHistory);
    addRangeHints();
    // The calibration helper, in the free cell beside the factor it proposes: no wider
    // than the unit labels above it and no taller than the field, so nothing moves.
    auto *calibrate = new QToolButton(this);
    calibrate->setObjectName(QStringLiteral("cmdCalibrate"));
    calibrate->setText(QStringLiteral("\u2026"));
    calibrate->setAutoRaise(true);
    calibrate->setFocusPolicy(Qt::TabFocus);
    calibrate->setToolTip(tr("Calibrate\u2026 (Ctrl+K)"));
    calibrate->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
    calibrate->setMaximumSize(
        std::min(ui->lblVerdraengungsvolumenEinheit->sizeHint().width(), ui->lblDichteEinheit->sizeHint().width()),
        ui->txtKalibrierFaktor->sizeHint().height());
    ui->gridPumpe->addWidget(calibrate, 3, 2, Qt::AlignLeft | Qt::AlignVCenter);
    connect(calibrate, &QToolButton::clicked, this, &frmPumpensteuerung::showCalibration);
    addMediaList();
    arrangeTabOrder();
    verbinden();
}

void frmPumpensteuerung::arrangeTabOrder()
{
    // Each addition takes its stop beside its designed neighbour; Start still leads to
    // the pump type.
    QWidget *chain[] = {ui->txtKalibrierFaktor, findChild<QWidget *>(QStringLiteral("cmdCalibrate")),
                        findChild<QWidget *>(QStringLiteral("cboMedium")),
                        findChild<QWidget *>(QStringLiteral("cmdMedium"))};
    for (std::size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
    auto *history = findChild<QWidget *>(QStringLiteral("cmdHistory"));
    setTabOrder(ui->cbxPotentiometer, history);
    setTabOrder(history, ui->cmdBeenden);
}

frmPumpensteuerung::~frmPumpensteuerung()
{
    ProcessGuard::setLastWords({});
    qApp->removeEventFilter(this);
}

void frmPumpensteuerung::keepLayoutSteady()
{
    // Both mode field sets keep their places: the hidden set still holds its room, so the
    // fields do not jump sideways on a mode switch.
    const QList<QWidget *> modeWidgets{
        ui->lblMenge,        ui->txtMenge,          ui->cboMengeEinheit,  ui->lblPause,
        ui->txtPause,        ui->cboPauseEinheit,   ui->lblWiederholung,  ui->txtWiederholung,
        ui->cbxEndlosDosierung, ui->lblFoerderstrom, ui->txtFoerderstrom, ui->cboFoerderstromEinheit,
        ui->lblDauer,        ui->txtDauer,          ui->cboDauerEinheit,  ui->cbxEndlosFoerderung,
        ui->cbxPotentiometer};
    for (QWidget *w : modeWidgets) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    // The pump and the motor frame side by side, of one size.
    const int breite = std::max(ui->framePumpe->sizeHint().width(), ui->frameAntrieb->sizeHint().width());
    for (QWidget *frame : {static_cast<QWidget *>(ui->framePumpe), static_cast<QWidget *>(ui->frameAntrieb)}) {
        frame->setMinimumWidth(breite);
        frame->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }
    ui->layOben->setStretch(0, 1);
    ui->layOben->setStretch(1, 1);
}

void frmPumpensteuerung::addRangeHints()
{
    // In the mode frame's free stretch column: ignored in width, so a long text is cut
    // rather than widening the window and moving the designed controls.
    auto make = [this](const char *name) {
        auto *label = showsPlainText(new QLabel(this));
        label->setObjectName(QString::fromLatin1(name));
        QFont small = label->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        label->setFont(small);
        label->setForegroundRole(QPalette::PlaceholderText);
        QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        policy.setRetainSizeWhenHidden(true);
        label->setSizePolicy(policy);
        ui->gridFelder->addWidget(label, 0, 3);
        return label;
    };
    m_doseHint = make("lblMengeMax");
    m_flowRateHint = make("lblFoerderstromMax");
    m_flowRateHint->setVisible(false);
    // Every selection handler announces itself, every accepted entry is stored: either
    // may change a limit.
    connect(this, &frmPumpensteuerung::handlerRan, this, &frmPumpensteuerung::showRangeHints);
    connect(m_validation.get(), &FieldValidation::stored, this, &frmPumpensteuerung::showRangeHints);
}

void frmPumpensteuerung::addMediaList()
{
    // The pump frame's free row below the factor, its spacer moved below: the motor frame
    // beside it is taller, so the window keeps its size.
    ui->gridPumpe->removeItem(ui->spcPumpe);
    ui->gridPumpe->addItem(ui->spcPumpe, 5, 0);
    m_media = new MediaList(m_state, *m_validation, {ui->txtDichte, ui->txtKalibrierFaktor}, ui->gridPumpe, 4,
                            this);
    connect(m_validation.get(), &FieldValidation::stored, m_media, &MediaList::followValues);
    // Media belong to a port and a pump type.
    connect(this, &frmPumpensteuerung::handlerRan, m_media, [this](const QString &handler) {
        if (handler == QLatin1String("cboPumpentyp"))
            m_media->reload();
    });
    connect(m_link.get(), &ControllerLink::portOpened, m_media, &MediaList::reload);
}

void frmPumpensteuerung::showRangeHints()
{
    m_doseHint->setText(doseHint(m_state));
    m_flowRateHint->setText(flowRateHint(m_state));
    const bool dosieren = m_state.settings.Betriebsart != 2;
    m_doseHint->setVisible(dosieren);
    m_flowRateHint->setVisible(!dosieren);
}

void frmPumpensteuerung::verbinden()
{
    using Index = void (QComboBox::*)(int);
    const Index changed = &QComboBox::currentIndexChanged;
    connect(ui->cboPumpentyp, changed, this, [this] { cboPumpentyp_Click(); });
    connect(ui->cboEncoder, changed, this, [this] { cboEncoder_Click(); });
    connect(ui->cboGetriebe, changed, this, [this] { cboGetriebe_Click(); });
    // The unit lists store their index; an index outside the table is ignored.
    auto einheit = [this, changed](QComboBox *liste, std::function<void(int)> speichere) {
        connect(liste, changed, this, [this, liste, speichere](int i) {
            if (i >= 0 && i < liste->count())
                speichere(i);
            emit handlerRan(liste->objectName());
        });
    };
    PumpSettings &s = m_state.settings;
    einheit(ui->cboMengeEinheit, [&s](int i) { s.Mengeneinheit = qint16(i); });
    einheit(ui->cboFoerderstromEinheit, [&s](int i) { s.Foerderstromeinheit = qint16(i); });
    einheit(ui->cboPauseEinheit, [&s](int i) { s.Pauseeinheit = float(i); });
    einheit(ui->cboDauerEinheit, [&s](int i) { s.Dauereinheit = float(i); });
    connect(ui->optBetriebsart1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            optBetriebsart_Click(1);
    });
    connect(ui->optBetriebsart2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            optBetriebsart_Click(2);
    });
    connect(ui->cbxEndlosDosierung, &QCheckBox::toggled, this, [this] { cbxEndlosDosierung_Click(); });
    connect(ui->cbxEndlosFoerderung, &QCheckBox::toggled, this, [this] { cbxEndlosFoerderung_Click(); });
    connect(ui->cbxPotentiometer, &QCheckBox::toggled, this, [this] { cbxPotentiometer_Click(); });
    // The last run's summary goes as soon as the operator changes a value.
    const auto clearSummary = [this] {
        if (!m_laeuft && !ui->cbxPotentiometer->isChecked())
            zeigeFortschritt(QString(), 0, 0);
    };
    for (QLineEdit *feld : findChildren<QLineEdit *>())
        connect(feld, &QLineEdit::textEdited, this, clearSummary);
    for (QComboBox *liste : findChildren<QComboBox *>())
        connect(liste, &QComboBox::activated, this, clearSummary);
    for (QAbstractButton *box : findChildren<QAbstractButton *>()) {
        if (!qobject_cast<QPushButton *>(box))
            connect(box, &QAbstractButton::clicked, this, clearSummary);
    }
    connect(ui->cmdStart, &QPushButton::clicked, this, [this] { cmdStart_Click(); });
    connect(ui->cmdStop, &QPushButton::clicked, this, [this] { cmdStop_Click(); });
    connect(ui->cmdBeenden, &QPushButton::clicked, this, [this] { (void)Beenden(); });
    connect(m_run.get(), &PumpRun::fortschritt, this, &frmPumpensteuerung::zeigeFortschritt);
    connect(m_run.get(), &PumpRun::fortschritt, m_progressRows.get(), &RunProgressRows::refresh);
    connect(m_run.get(), &PumpRun::finished, this, &frmPumpensteuerung::onRunEnded);
    connect(m_link.get(), &ControllerLink::linkLost, this, &frmPumpensteuerung::linkVerloren);
    connect(&ProcessGuard::install(), &ProcessGuard::terminationRequested, this,
            &frmPumpensteuerung::endOnSignal);
    // exit() from under us (the X connection broke): the run's row still goes to the journal.
    ProcessGuard::setLastWords([this] {
        m_leaving = true;
        endPotentiometerRun(RunOutcome::End::ProgramEnded);
        if (m_laeuft)
            m_run->abandon();
    });
    // The title names the port in use, also after the port dialog chose another one.
    connect(m_link.get(), &ControllerLink::portOpened, this,
            [this] { setWindowTitle(hauptfensterTitel(m_state.Schnittstelle)); });
}

bool frmPumpensteuerung::laden()
{
    PumpSettings &s = m_state.settings;
    m_state.FehlerTitel = QStringLiteral("Error");
    // The window sees every key before the focused control.
    qApp->installEventFilter(this);
    m_state.SchnittstelleOffen = false;
    m_state.KeineAntwort = true;
    (void)m_link->SchnittstelleOK();
    if (programEnding())
        return false;
    m_state.ParameterGeaendert = true;

    auto store = openStore();
    const int port = m_state.Schnittstelle;
    ladeEinstellungen(*store, port, s, {"Pumpentyp", "Dichte", "Kalibrierfaktor", "Betriebsart"});
    if (s.Betriebsart != 1 && s.Betriebsart != 2)
        s.Betriebsart = 1;
    (s.Betriebsart == 1 ? ui->optBetriebsart1 : ui->optBetriebsart2)->setChecked(true);
    ladeEinstellungen(*store, port, s, {"Menge", "Mengeneinheit", "Pause", "Pauseeinheit"});
    leitePauseAb(s);
    ladeEinstellungen(*store, port, s,
                      {"Wiederholung", "Foerderstrom", "Foerderstromeinheit", "Dauer", "Dauereinheit"});
    leiteDauerAb(s);

    AnzeigeAufbauen();

    // The stored drive replaces the defaults the pump type has just applied.
    ladeEinstellungen(*store, port, s, {"Encodertyp", "Getriebetyp"});
    const qint16 encoder = s.Encodertyp, getriebe = s.Getriebetyp;
    waehle(ui->cboEncoder, encoder);
    waehle(ui->cboGetriebe, getriebe);
    ladeEinstellungen(*store, port, s,
                      {"Beschleunigung", "Maximaldrehzahl", "Dauerstrom", "Spitzenstrom"});
    zeigeAntriebswerte();
    showRangeHints(); // the stored drive values came in after the handlers ran
    m_media->reload();

    positioniere();
    show();
    // The port dialog was the active window; take the keyboard back from it.
    raise();
    activateWindow();
    ui->cmdStart->setFocus();
    return true;
}

void frmPumpensteuerung::AnzeigeAufbauen()
{
    PumpSettings &s = m_state.settings;
    setWindowTitle(hauptfensterTitel(m_state.Schnittstelle));
    ui->txtDichte->setToolTip(bereichTooltip(0.1f, 15, true));
    ui->txtKalibrierFaktor->setToolTip(bereichTooltip(-10, 10, false));

    fuelleListe(ui->cboPumpentyp, pumpTypeNames());
    if (s.Pumpentyp < 0 || s.Pumpentyp >= kPumpTypeCount)
        s.Pumpentyp = 0;
    waehle(ui->cboPumpentyp, s.Pumpentyp);

    ui->txtDichte->setText(generalForm(s.Dichte));
    ui->txtKalibrierFaktor->setText(generalForm(s.Kalibrierfaktor));

    ui->txtMenge->setText(generalForm(s.Menge));
    fuelleListe(ui->cboMengeEinheit, mengeEinheiten());
    waehle(ui->cboMengeEinheit, s.Mengeneinheit);

    fuelleListe(ui->cboPauseEinheit, zeitEinheiten());
    waehle(ui->cboPauseEinheit, int(roundHalfEven(s.Pauseeinheit)));
    ui->txtPause->setText(generalForm(s.Pause));

    if (s.Wiederholung == kEndlessRepetitions)
        ui->cbxEndlosDosierung->setChecked(true);
    else
        ui->txtWiederholung->setText(integerForm(s.Wiederholung));

    ui->txtFoerderstrom->setText(generalForm(s.Foerderstrom));
    fuelleListe(ui->cboFoerderstromEinheit, foerderstromEinheiten());
    waehle(ui->cboFoerderstromEinheit, s.Foerderstromeinheit);

    fuelleListe(ui->cboDauerEinheit, zeitEinheiten());
    waehle(ui->cboDauerEinheit, int(roundHalfEven(s.Dauereinheit)));
    if (s.Dauer != 0)
        ui->txtDauer->setText(generalForm(s.Dauer));
    else
        ui->cbxEndlosFoerderung->setChecked(true);
    waehle(ui->cboDauerEinheit, int(roundHalfEven(s.Dauereinheit)));

    ui->cbxPotentiometer->setChecked(false);
}

// Fills a list without selecting anything, so that the next selection always
// raises the list's handler exactly once.
void frmPumpensteuerung::fuelleListe(QComboBox *liste, const QStringList &eintraege)
{
    const QSignalBlocker block(liste);
    liste->clear();
    liste->addItems(eintraege);
    liste->setCurrentIndex(-1);
}

// Selects an entry as the program; an index the list does not hold selects the first.
void frmPumpensteuerung::waehle(QComboBox *liste, int index)
{
    if (index < 0 || index >= liste->count())
        index = 0;
    if (liste->currentIndex() == index) {
        // Nothing changes, but the handler must still run, as for a click.
        const QSignalBlocker block(liste);
        liste->setCurrentIndex(-1);
    }
    liste->setCurrentIndex(index);
}

void frmPumpensteuerung::cboPumpentyp_Click()
{
    const int i = ui->cboPumpentyp->currentIndex();
    if (i != m_state.settings.Pumpentyp) {
        const MsgResult answer = showMessage(this, QString::fromLatin1(kPumpentypFrage),
                                             QString::fromLatin1(kPumpentypTitel),
                                             MsgButtons::OkCancel, MsgIcon::Exclamation);
        if (answer != MsgResult::Ok) {
            // Cancel keeps everything as it was: the type in force, its drive values,
            // the encoder and gear choices.
            const QSignalBlocker block(ui->cboPumpentyp);
            ui->cboPumpentyp->setCurrentIndex(m_state.settings.Pumpentyp);
            emit handlerRan(QStringLiteral("cboPumpentyp"));
            return;
        }
    }
    if (i >= 0 && i < kPumpTypeCount)
        wendePumpentypAn(i);
    m_state.ParameterGeaendert = true;
    setzeBereichTooltips();
    emit handlerRan(QStringLiteral("cboPumpentyp"));
}

void frmPumpensteuerung::wendePumpentypAn(int typ)
{
    PumpSettings &s = m_state.settings;
    const PumpType &row = pumpType(typ);
    s.Pumpentyp = qint16(typ);
    m_state.Verdraengungsvolumen = row.displacement;
    ui->txtVerdraengungsvolumen->setText(generalForm(row.displacement));
    s.Maximaldrehzahl = row.maxSpeed;
    m_state.DrehzahlMin = kMinSpeed;
    m_state.DrehzahlMax = row.maxSpeed;
    s.Beschleunigung = kDefaultAcceleration;
    s.Dauerstrom = row.contCurrent;
    s.Spitzenstrom = row.peakCurrent;
    zeigeAntriebswerte();
    m_state.StromMin = row.minCurrent;
    m_state.DauerstromMax = row.maxContCurrent;
    m_state.SpitzenstromMax = row.maxPeakCurrent;

    fuelleListe(ui->cboEncoder, encoderItems(typ));
    waehle(ui->cboEncoder, 0);
    m_state.Encoderaufloesung = standardEncoderResolution(typ);
    fuelleListe(ui->cboGetriebe, gearItems(typ));
    waehle(ui->cboGetriebe, 0);
    s.Getriebetyp = 0;
    m_state.Getriebeuntersetzung = 1;
}

void frmPumpensteuerung::zeigeAntriebswerte()
{
    const PumpSettings &s = m_state.settings;
    ui->txtMaximaldrehzahl->setText(generalForm(s.Maximaldrehzahl));
    ui->txtBeschleunigung->setText(generalForm(s.Beschleunigung));
    ui->txtDauerstrom->setText(generalForm(s.Dauerstrom));
    ui->txtSpitzenstrom->setText(generalForm(s.Spitzenstrom));
}

void frmPumpensteuerung::setzeBereichTooltips()
{
    ui->txtMaximaldrehzahl->setToolTip(
        bereichTooltip(m_state.DrehzahlMin, m_state.DrehzahlMax, false));
    ui->txtBeschleunigung->setToolTip(bereichTooltip(1, 2000, false));
    ui->txtDauerstrom->setToolTip(bereichTooltip(m_state.StromMin, m_state.DauerstromMax, false));
    ui->txtSpitzenstrom->setToolTip(
        bereichTooltip(m_state.StromMin, m_state.SpitzenstromMax, false));
}

void frmPumpensteuerung::cboEncoder_Click()
{
    const int k = ui->cboEncoder->currentIndex();
    if (const auto e = encoderResolution(m_state.settings.Pumpentyp, k))
        m_state.Encoderaufloesung = *e;
    m_state.settings.Encodertyp = qint16(k);
    emit handlerRan(QStringLiteral("cboEncoder"));
}

void frmPumpensteuerung::cboGetriebe_Click()
{
    const int k = ui->cboGetriebe->currentIndex();
    if (const auto g = gearRatio(m_state.settings.Pumpentyp, k))
        m_state.Getriebeuntersetzung = *g;
    m_state.settings.Getriebetyp = qint16(k);
    emit handlerRan(QStringLiteral("cboGetriebe"));
}

void frmPumpensteuerung::optBetriebsart_Click(int index)
{
    if (index != 1 && index != 2)
        return;
    m_state.settings.Betriebsart = qint16(index);
    const QList<QWidget *> dosierung{ui->lblMenge,        ui->txtMenge,        ui->cboMengeEinheit,
                                     ui->lblPause,        ui->txtPause,        ui->cboPauseEinheit,
                                     ui->lblWiederholung, ui->txtWiederholung, ui->cbxEndlosDosierung};
    const QList<QWidget *> foerderung{ui->lblFoerderstrom,     ui->txtFoerderstrom,
                                      ui->cboFoerderstromEinheit, ui->lblDauer,
                                      ui->txtDauer,            ui->cboDauerEinheit,
                                      ui->cbxEndlosFoerderung, ui->cbxPotentiometer};
    const bool dosieren = index == 1;
    // Hiding the focused control would hand the focus to the next field in the chain
    // and run its entry handler; the chosen mode button takes it instead.
    const QList<QWidget *> &weg = dosieren ? foerderung : dosierung;
    QRadioButton *chosen = dosieren ? ui->optBetriebsart1 : ui->optBetriebsart2;
    QRadioButton *other = dosieren ? ui->optBetriebsart2 : ui->optBetriebsart1;
    if (weg.contains(QApplication::focusWidget()) || QApplication::focusWidget() == other)
        chosen->setFocus();
    // Tab stops at the checked mode button only, as in a group of option buttons: Space on
    // the other one would switch the mode unasked. The arrow keys still switch.
    chosen->setFocusPolicy(Qt::StrongFocus);
    other->setFocusPolicy(Qt::NoFocus);
    for (QWidget *w : dosierung)
        w->setVisible(dosieren);
    for (QWidget *w : foerderung)
        w->setVisible(!dosieren);
    emit handlerRan(QStringLiteral("optBetriebsart"));
}

void frmPumpensteuerung::cbxEndlosDosierung_Click()
{
    if (ui->cbxEndlosDosierung->isChecked()) {
        ui->txtWiederholung->clear();
        m_state.settings.Wiederholung = kEndlessRepetitions;
    } else {
        ui->txtWiederholung->setText(QStringLiteral("1"));
        m_state.settings.Wiederholung = 1;
    }
    emit handlerRan(QStringLiteral("cbxEndlosDosierung"));
}

void frmPumpensteuerung::cbxEndlosFoerderung_Click()
{
    if (ui->cbxEndlosFoerderung->isChecked()) {
        ui->txtDauer->clear();
        m_state.settings.Dauer = 0;
    } else {
        ui->txtDauer->setText(QStringLiteral("1"));
        m_state.settings.Dauer = 1;
    }
    emit handlerRan(QStringLiteral("cbxEndlosFoerderung"));
}

void frmPumpensteuerung::txtWiederholung_GotFocus()
{
    ui->cbxEndlosDosierung->setChecked(false);
    if (ui->txtWiederholung->text().isEmpty()) {
        m_state.settings.Wiederholung = 1;
        ui->txtWiederholung->setText(QStringLiteral("1"));
    }
}

void frmPumpensteuerung::txtDauer_GotFocus()
{
    ui->cbxEndlosFoerderung->setChecked(false);
    if (ui->txtDauer->text().isEmpty()) {
        m_state.settings.Dauer = 1;
        ui->txtDauer->setText(QStringLiteral("1"));
    }
}

void frmPumpensteuerung::cmdStart_Click()
{
    if (m_laeuft || m_startet || !ui->cmdStart->isEnabled())
        return;
    // The checks below wait for the controller with Start still enabled: a second click
    // meanwhile is this same start, and a Stop meanwhile cancels it.
    QScopedValueRollback<bool> startet(m_startet, true);
    m_state.Abbruch = false;
    // An entry still being typed reaches the pump only through its check, and a damaged
    // store's limit is refused before it can reach the controller.
    if (!m_validation->validateChanged() || !m_validation->checkStoredDriveLimits())
        return;
    // A calibration dose stands in for the operator's dosing values from here on.
    beginCalibrationDose();
    if (!m_link->SchnittstelleOK())
        return;
    // The rest of the start, once the controller is known to answer.
    const auto starten = [this, client = m_startClient] {
        const QScopedValueRollback<bool> startet(m_startet, true);
        if (m_state.Abbruch || !m_run->StartPruefen())
            return;
        ui->cmdStart->setEnabled(false);
        ui->cmdStop->setFocus();
        if (m_state.ParameterGeaendert)
            m_link->ParameterSetzen();
        m_laeuft = true;
        m_plan = planForStart();
        m_plan.client = client;
        m_progressRows->begin();
        // The run goes on from its own timer and the port's signals; onRunEnded() follows.
        if (m_state.settings.Betriebsart == 1)
            m_run->Dosieren();
        else if (m_state.settings.Betriebsart == 2)
            m_run->Foerdern([this] {
                // Leaving has sent the stop already; the port is about to close.
                if (!m_leaving)
                    cmdStop_Click();
            });
        else
            onRunEnded();
    };
    if (!m_state.KeineAntwort) {
        starten();
        return;
    }
    // Still starting while VER is out: a second click meanwhile is this same start.
    startet.commit();
    m_link->ParameterLesen(QStringLiteral("VER"), this, [this, starten](const QString &) {
        m_startet = false;
        if (!m_state.KeineAntwort)
            starten();
        if (m_laeuft)
            return;
        // Refused after all: a calibration dose that waited for the answer ends undone,
        // and whoever waits for the start hears of its end.
        if (m_calibrationInForce) {
            endCalibrationDose();
            emit calibrationDoseEnded(false);
        }
        Wakeup::poke();
    });
}

void frmPumpensteuerung::journal(const RunPlan &plan, const RunOutcome &outcome)
{
    // The crash row goes first: a crash from here on must not follow the final row.
    m_progressRows->end();
    appendToJournal(journalRow(plan, outcome), true);
}

RunRecord frmPumpensteuerung::journalRow(const RunPlan &plan, const RunOutcome &outcome) const
{
    static const char *const kModes[] = {"dosing", "flow", "potentiometer"};
    static const char *const kEnds[] = {"completed", "stopped", "program ended", "link lost",
                                        "no reply"};
    const PumpSettings &s = m_state.settings;
    const bool dosing = plan.mode == RunPlan::Mode::Dosing;
    const bool potentiometer = plan.mode == RunPlan::Mode::Potentiometer;
    RunRecord row;
    row.started = plan.started;
    row.ended = QDateTime::currentDateTime();
    row.port = QStringLiteral("COM%1").arg(m_state.Schnittstelle);
    row.device = m_port->DevicePath();
    row.pumpType = pumpType(s.Pumpentyp).name;
    row.mode = QLatin1String(kModes[int(plan.mode)]);
    if (!potentiometer) {
        row.setValue = storeForm(plan.setValue);
        row.unit = plan.unit;
        row.delivered = storeForm(deliveredAmount(plan, outcome));
    }
    if (dosing) {
        row.repetitions = plan.repetitions == kEndlessRepetitions ? QStringLiteral("endless")
                                                                 : integerForm(plan.repetitions);
        row.dosesDone = outcome.dosesDone;
    }
    row.endedBy = QLatin1String(kEnds[int(outcome.end)]);
    row.note = outcome.note;
    if (!plan.client.isEmpty())
        row.note = QStringLiteral("remote %1").arg(plan.client) +
                   (row.note.isEmpty() ? QString() : QStringLiteral(": ") + row.note);
    return row;
}

RunRecord frmPumpensteuerung::progressRow() const
{
    if (!m_laeuft && m_potentiometer.started.isValid())
        return journalRow(m_potentiometer, RunOutcome{});
    RunOutcome so = m_run->outcomeSoFar();
    if (m_calibrationInForce)
        so.note = QStringLiteral("calibration");
    return journalRow(m_plan, so);
}

void frmPumpensteuerung::appendToJournal(const RunRecord &row, bool final)
{
    const bool written = m_journal->append(row);
    // A run is never held up by its journal, and nobody is there to read while leaving.
    if (!final || programEnding() || m_leaving)
        return;
    if (written) {
        if (!std::exchange(m_journalFailureTold, QString()).isEmpty())
            showMessage(this,
                        tr("The run journal %1 is written again.")
                            .arg(QDir::toNativeSeparators(m_journal->path())),
                        tr("Run journal"), MsgButtons::Ok, MsgIcon::Information);
        return;
    }
    if (m_journal->error() == m_journalFailureTold)
        return; // told already; a new reason is told again
    m_journalFailureTold = m_journal->error();
    showMessage(this, m_journal->error(), m_state.FehlerTitel, MsgButtons::Ok,
                MsgIcon::Exclamation);
}

void frmPumpensteuerung::endPotentiometerRun(RunOutcome::End end)
{
    if (!m_potentiometer.started.isValid())
        return;
    RunOutcome outcome;
    outcome.end = end;
    const RunPlan plan = m_potentiometer;
    m_potentiometer = RunPlan{};
    journal(plan, outcome);
}

void frmPumpensteuerung::showHistory()
{
    if (!m_history) {
        m_history = new frmHistory(*m_journal, this);
        // Where the operator had it; else over the main window, wide enough for every column.
        keepWindowPlace(*m_history, QStringLiteral("History"), [this] { placeHistory(); });
    }
    m_history->show();
    m_history->raise();
    m_history->activateWindow();
}

void frmPumpensteuerung::placeHistory()
{
    // The history's frame is not known before it is shown: the main window's stands in.
    const QRect area = screen()->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    m_history->resize(m_history->fittingSize(area.size() - frame));
    QRect place(QPoint(), m_history->size() + frame);
    place.moveCenter(frameGeometry().center());
    m_history->move(movedOnto(place, area).topLeft());
}

bool frmPumpensteuerung::startCalibrationDose(float quantity, int unit)
{
    if (running() || m_calibrationDose || unit < 0 || unit >= mengeEinheiten().size())
        return false;
    CalibrationDose dose;
    dose.quantity = quantity;
    dose.unit = qint16(unit);
    m_calibrationDose = dose;
    // The run may end before Start returns (a refused dose): that counts as started, and so
    // does a start still waiting for the controller's answer.
    bool ended = false;
    const auto watch = connect(this, &frmPumpensteuerung::calibrationDoseEnded, this, [&ended] { ended = true; });
    cmdStart_Click();
    disconnect(watch);
    const bool started = ended || m_laeuft || m_startet;
    if (!started)
        endCalibrationDose(); // a check refused the start: the operator's values come back
    return started;
}

void frmPumpensteuerung::beginCalibrationDose()
{
    if (!m_calibrationDose || m_calibrationInForce)
        return;
    PumpSettings &s = m_state.settings;
    CalibrationDose &d = *m_calibrationDose;
    d.savedQuantity = s.Menge;
    d.savedUnit = s.Mengeneinheit;
    d.savedRepetitions = s.Wiederholung;
    d.savedMode = s.Betriebsart;
    s.Menge = d.quantity;
    s.Mengeneinheit = d.unit;
    s.Wiederholung = 1;
    s.Betriebsart = 1;
    m_calibrationInForce = true;
}

PumpSettings frmPumpensteuerung::operatorSettings() const
{
    PumpSettings s = m_state.settings;
    if (!m_calibrationInForce || !m_calibrationDose)
        return s;
    // A value the operator changed while the dose ran is the operator's and stays.
    const CalibrationDose &d = *m_calibrationDose;
    if (s.Menge == d.quantity)
        s.Menge = d.savedQuantity;
    if (s.Mengeneinheit == d.unit)
        s.Mengeneinheit = d.savedUnit;
    if (s.Wiederholung == 1)
        s.Wiederholung = d.savedRepetitions;
    if (s.Betriebsart == 1)
        s.Betriebsart = d.savedMode;
    return s;
}

void frmPumpensteuerung::endCalibrationDose()
{
    m_state.settings = operatorSettings();
    m_calibrationDose.reset();
    m_calibrationInForce = false;
}

bool frmPumpensteuerung::startFor(const QString &client)
{
    if (running())
        return false;
    const QScopedValueRollback<QString> origin(m_startClient, client);
    bool ended = false;
    const auto watch = connect(m_run.get(), &PumpRun::finished, this, [&ended] { ended = true; });
    cmdStart_Click();
    disconnect(watch);
    return ended || m_laeuft;
}

void frmPumpensteuerung::stopFromRemote()
{
    if (m_state.SchnittstelleOffen) {
        cmdStop_Click();
        return;
    }
    m_state.Abbruch = true;
    Wakeup::poke();
}

void frmPumpensteuerung::setRemoteLine(const QString &text, bool warning)
{
    if (!m_remoteLine) {
        // Below the status line, so that no designed control moves; only there when on.
        m_remoteLine = showsPlainText(new QLabel(this));
        m_remoteLine->setObjectName(QStringLiteral("lblRemote"));
        QFont small = m_remoteLine->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        m_remoteLine->setFont(small);
        m_remoteLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        ui->layFenster->addWidget(m_remoteLine);
    }
    m_remoteLine->setText(text);
    QPalette colours = palette();
    if (warning)
        colours.setColor(QPalette::WindowText, QColor(0xa0, 0x40, 0x00));
    else
        colours.setColor(QPalette::WindowText, colours.color(QPalette::PlaceholderText));
    m_remoteLine->setPalette(colours);
}

bool frmPumpensteuerung::applyCalibrationFactor(const QString &text)
{
    ui->txtKalibrierFaktor->setText(text);
    return m_validation->validate(ui->txtKalibrierFaktor);
}

void frmPumpensteuerung::showCalibration()
{
    if (!m_calibration) {
        m_calibration = new CalibrationDialog(*this);
        m_calibration->adjustSize();
        m_calibration->move(frameGeometry().center() - m_calibration->rect().center());
    }
    m_calibration->show();
    m_calibration->raise();
    m_calibration->activateWindow();
}

RunPlan frmPumpensteuerung::planForStart() const
{
    const PumpSettings &s = m_state.settings;
    RunPlan plan;
    plan.started = QDateTime::currentDateTime();
    const auto unitText = [](const QStringList &units, int i) {
        return i >= 0 && i < units.size() ? units.at(i) : QString();
    };
    if (s.Betriebsart == 2) {
        plan.mode = RunPlan::Mode::Flow;
        plan.setValue = s.Foerderstrom;
        plan.unit = unitText(foerderstromEinheiten(), s.Foerderstromeinheit);
    } else {
        plan.setValue = s.Menge;
        plan.unit = unitText(mengeEinheiten(), s.Mengeneinheit);
        plan.repetitions = s.Wiederholung;
    }
    return plan;
}

void frmPumpensteuerung::onRunEnded()
{
    m_laeuft = false;
    Wakeup::poke(); // whoever waits for the run's end
    RunOutcome outcome = m_run->outcome();
    // Stopped because the operator is leaving: the program's end ended it.
    if (m_leaving && outcome.end == RunOutcome::End::Stopped)
        outcome.end = RunOutcome::End::ProgramEnded;
    const bool calibrationRun = m_calibrationInForce;
    if (calibrationRun) {
        endCalibrationDose();
        outcome.note = outcome.note.isEmpty() ? QStringLiteral("calibration")
                                              : QStringLiteral("calibration: ") + outcome.note;
    }
    journal(m_plan, outcome);
    if (calibrationRun)
        emit calibrationDoseEnded(outcome.end == RunOutcome::End::Completed && outcome.dosesDone == 1);
    if (programEnding())
        return;
    // The summary stays until the next Start or until the operator changes a value.
    zeigeFortschritt(runSummary(m_plan, outcome), 0, 0);
    ui->cmdStart->setEnabled(true);
    ui->cmdStart->setFocus();
}

void frmPumpensteuerung::sendStop()
{
    m_link->sendStop({QStringLiteral("SOR 0"), QStringLiteral("V 0")});
}

void frmPumpensteuerung::cmdStop_Click()
{
    m_state.Abbruch = true;
    Wakeup::poke();
    ui->cbxPotentiometer->setChecked(false);
    if (m_link->SchnittstelleOK())
        sendStop();
    // On the way out the focus stays: moving it would check the field being left.
    if (programEnding() || m_leaving)
        return;
    if (!m_laeuft)
        zeigeFortschritt(QString(), 0, 0);
    ui->cmdStart->setEnabled(true);
    ui->cmdStart->setFocus();
}

void frmPumpensteuerung::cbxPotentiometer_Click()
{
    QCheckBox *box = ui->cbxPotentiometer;
    const bool an = box->isChecked();
    // A box that could not take effect returns to unchecked, so the window never
    // claims a mode the controller is not in.
    auto zurueck = [box] {
        const QSignalBlocker block(box);
        box->setChecked(false);
    };
    if (an && (!m_validation->validateChanged() || !m_validation->checkStoredDriveLimits())) {
        zurueck();
        return;
    }
    if (!m_link->SchnittstelleOK()) {
        zurueck();
        return;
    }
    // The rest, once the controller is known to answer.
    const auto umschalten = [this, an] {
        if (!an) {
            m_state.Abbruch = true;
            endPotentiometerRun(m_leaving ? RunOutcome::End::ProgramEnded
                                          : RunOutcome::End::Stopped);
            cmdStop_Click();
            return;
        }
        ui->cmdStart->setEnabled(false);
        ui->cmdStop->setFocus();
        m_state.Abbruch = false;
        m_link->BefehlSenden(QStringLiteral("DIPROG"));
        m_link->BefehlSenden(QStringLiteral("CONTMOD"));
        m_link->BefehlSenden(QStringLiteral("SOR 1"));
        m_potentiometer = RunPlan{};
        m_potentiometer.mode = RunPlan::Mode::Potentiometer;
        m_potentiometer.started = QDateTime::currentDateTime();
        m_progressRows->begin();
        zeigeFortschritt(tr("Potentiometer mode: the controller follows its potentiometer"), 0, 0);
    };
    if (!m_state.KeineAntwort) {
        umschalten();
        return;
    }
    m_link->ParameterLesen(QStringLiteral("VER"), this, [this, umschalten, zurueck](const QString &) {
        if (m_state.KeineAntwort)
            zurueck();
        else
            umschalten();
    });
}

void frmPumpensteuerung::linkVerloren()
{
    // A run ends by itself (Abbruch is set); potentiometer mode has nothing running.
    if (m_laeuft)
        return;
    endPotentiometerRun(RunOutcome::End::LinkLost);
    const QSignalBlocker block(ui->cbxPotentiometer);
    ui->cbxPotentiometer->setChecked(false);
    zeigeFortschritt(QString(), 0, 0);
    ui->cmdStart->setEnabled(true);
}

void frmPumpensteuerung::zeigeFortschritt(const QString &text, int wert, int maximum)
{
    ui->lblStatus->setText(text);
    ui->prgStatus->setVisible(maximum > 0);
    if (maximum > 0) {
        ui->prgStatus->setMaximum(maximum);
        ui->prgStatus->setValue(wert);
    }
}

bool frmPumpensteuerung::Beenden()
{
    if (m_beendet)
        return true;
    const MsgResult answer =
        showMessage(this, QString::fromLatin1(kSpeicherFrage), QString::fromLatin1(kSpeicherTitel),
                    MsgButtons::YesNoCancel, MsgIcon::Exclamation);
    if (answer == MsgResult::Cancel)
        return false;
    // The drive stops before anything can hold the program up (a failed save's message).
    QScopedValueRollback<bool> leaving(m_leaving, true);
    if (m_port->PortOpen())
        cmdStop_Click();
    endPotentiometerRun(RunOutcome::End::ProgramEnded);
    if (answer == MsgResult::Yes) {
        // Yes ends the program: an entry being typed is saved through its check, a refused
        // one is told and its last accepted value saved instead.
        m_validation->settleForLeaving();
        if (!saveBeforeLeaving())
            return false;
    }
    if (m_port->PortOpen()) {
        drainStopOrWarn();
        (void)m_port->setPortOpen(false);
    }
    // Closed, so that it remembers where the operator had it.
    if (m_history)
        m_history->close();
    m_beendet = true;
    m_state.Abbruch = true;
    leaving.commit();
    endProgram(0);
    // Its row goes into the journal before the process ends.
    m_run->abandon();
    return true;
}

void frmPumpensteuerung::endOnSignal(int signalNumber)
{
    // Shutdown, logout or Ctrl+C: nobody may be there to answer a question, so the stop
    // goes straight to the line (no field check, no message) and the program ends unsaved.
    m_state.Abbruch = true;
    m_leaving = true;
    Wakeup::poke();
    if (m_port->PortOpen()) {
        sendStop();
        (void)m_port->waitForDrain(MSComm::kDrainTimeoutMs);
        (void)m_port->setPortOpen(false);
    }
    m_beendet = true;
    endPotentiometerRun(RunOutcome::End::ProgramEnded);
    endProgram(128 + signalNumber);
    m_run->abandon();
}

void frmPumpensteuerung::drainStopOrWarn()
{
    // A controller that said XOFF holds the stop in our queue: wait for it a moment, and
    // say so when it could not go out.
    if (m_port->waitForDrain(MSComm::kDrainTimeoutMs))
        return;
    showMessage(this,
                tr("The stop command could not be sent to the pump controller on %1: the "
                   "controller does not accept data (flow control). The pump may still be "
                   "running. Stop it at the controller.")
                    .arg(m_link->portTitle().chopped(1)),
                m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Critical);
}

void frmPumpensteuerung::EinstellungenSpeichern()
{
    QString fehler;
    if (!trySave(&fehler))
        showMessage(this, fehler, m_state.FehlerTitel, MsgButtons::Ok, MsgIcon::Critical);
}

bool frmPumpensteuerung::trySave(QString *error)
{
    const QPointF twips = positionInTwips();
    m_state.settings.Left = float(twips.x());
    m_state.settings.Top = float(twips.y());
    auto store = openStore();
    return speichereEinstellungen(*store, m_state.Schnittstelle, operatorSettings(), error);
}

bool frmPumpensteuerung::saveBeforeLeaving()
{
    // A save that fails must not cost the operator the settings: try again (a full disk
    // freed meanwhile), leave without them, or stay.
    for (;;) {
        QString fehler;
        if (trySave(&fehler))
            return true;
        switch (showMessage(this, fehler, m_state.FehlerTitel, MsgButtons::RetryExitCancel,
                            MsgIcon::Critical)) {
        case MsgResult::Retry: continue;
        case MsgResult::Discard: return true;
        default: return false;
        }
    }
}

namespace {
double twipsPerPixelX(const QScreen *s) { return 1440.0 / (s ? s->logicalDotsPerInchX() : 96.0); }
double twipsPerPixelY(const QScreen *s) { return 1440.0 / (s ? s->logicalDotsPerInchY() : 96.0); }
} // namespace

QPointF frmPumpensteuerung::positionInTwips() const
{
    // The client area's place, not the frame's: restoring puts the client area there, so
    // a window manager's title bar cannot make the window creep on every restart.
    const QScreen *s = screen();
    const QPoint at = geometry().topLeft();
    return {at.x() * twipsPerPixelX(s), at.y() * twipsPerPixelY(s)};
}

void frmPumpensteuerung::positioniere()
{
    adjustSize();
    QScreen *s = QGuiApplication::primaryScreen();
    const QRect avail = s ? s->geometry() : QRect(0, 0, 1024, 768);
    const QSize size = frameGeometry().size().expandedTo(this->size());
    const double tx = twipsPerPixelX(s), ty = twipsPerPixelY(s);
    const QPoint standard(avail.x() + (avail.width() - size.width()) / 2,
                          avail.y() + int((avail.height() - size.height()) / 2 - 200 / ty));
    auto store = openStore();
    const auto left = gespeicherteZahl(*store, m_state.Schnittstelle, "Left");
    const auto top = gespeicherteZahl(*store, m_state.Schnittstelle, "Top");
    QPoint ziel = standard;
    bool restored = false;
    // Anything beyond a few hundred screens' width is damage, not a position.
    constexpr double kWeit = 1e8;
    if (left && top && std::fabs(*left) < kWeit && std::fabs(*top) < kWeit) {
        // Rounded, not cut: a twips value that reads back as 99.9999 px is 100 px.
        const QPoint gespeichert(int(std::lround(*left / tx)), int(std::lround(*top / ty)));
        // A position on no screen (a monitor that is gone) falls back to the default.
        if (titleBarOnAScreen(gespeichert, size.width())) {
            ziel = gespeichert;
            restored = true;
        }
    }
    // The default centres the whole window, frame included; a stored place is the client
    // area's, as it was saved.
    if (restored)
        setGeometry(QRect(ziel, this->size()));
    else
        move(ziel);
    m_state.settings.Left = float(ziel.x() * tx);
    m_state.settings.Top = float(ziel.y() * ty);
}

bool frmPumpensteuerung::eventFilter(QObject *watched, QEvent *event)
{
    const auto type = event->type();
    if (type == QEvent::FocusIn) {
        if (watched == ui->txtWiederholung)
            txtWiederholung_GotFocus();
        else if (watched == ui->txtDauer)
            txtDauer_GotFocus();
        return false;
    }
    if (type == QEvent::Wheel) {
        auto *liste = qobject_cast<QComboBox *>(watched);
        return liste && liste->window() == this && !liste->hasFocus();
    }
    // Releases are counted wherever they go: a box opened by the press takes its release.
    m_heldKeys.track(event);
    if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress)
        return false;
    // A key travels up the parents when nobody takes it: count and act on its first
    // delivery only.
    auto *w = qobject_cast<QWidget *>(watched);
    QWidget *focus = QApplication::focusWidget();
    if (!w || (focus ? w != focus : !w->isWindow()))
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (type == QEvent::ShortcutOverride)
        return shortcutRepeated(key);
    const bool firstPress = pressCounted(key);
    if (w->window() != this || QApplication::activeModalWidget())
        return false;
    // A held key is one press: its repeats must not start a second run once the first
    // ends. Held Alt combinations too: their repeats would type the letter into a field.
    if (!firstPress)
        return isWindowKey(key) || (key->modifiers() & Qt::AltModifier);
    return isWindowKey(key) && tasteGedrueckt(key);
}

bool frmPumpensteuerung::pressCounted(QKeyEvent *key)
{
    // The press whose shortcut check has just been let through is the same press.
    if (m_pressChecked == key->key()) {
        m_pressChecked = 0;
        return true;
    }
    m_pressChecked = 0;
    return m_heldKeys.firstPress(key);
}

bool frmPumpensteuerung::shortcutRepeated(QKeyEvent *key)
{
    // Every press is offered to the shortcuts first (Alt+S for Start among them): a press
    // of a key that is down is taken here, so no shortcut fires; its key press follows.
    m_pressChecked = 0;
    if (!m_heldKeys.firstPress(key)) {
        key->accept();
        return true;
    }
    m_pressChecked = key->key();
    return false;
}

bool frmPumpensteuerung::isWindowKey(const QKeyEvent *key) const
{
    const auto mods = key->modifiers() & ~Qt::KeypadModifier;
    switch (key->key()) {
    case Qt::Key_F1:
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter: return true;
    case Qt::Key_H: return mods == (Qt::ShiftModifier | Qt::ControlModifier);
    case Qt::Key_R:
    case Qt::Key_K: return mods == Qt::ControlModifier;
    default: return false;
    }
}

bool frmPumpensteuerung::tasteGedrueckt(QKeyEvent *key)
{
    const auto mods = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_F1) {
        frmAbout::zeigen(this);
        return true;
    }
    if (key->key() == Qt::Key_H && mods == (Qt::ShiftModifier | Qt::ControlModifier)) {
        // The console sends the limits as it opens: a damaged store's limit is refused first.
        if (m_validation->checkStoredDriveLimits())
            frmDirekt::oeffnen(m_state, *m_link, this);
        return true;
    }
    if (key->key() == Qt::Key_Escape) {
        (void)Beenden();
        return true;
    }
    if (key->key() == Qt::Key_R && mods == Qt::ControlModifier) {
        showHistory();
        return true;
    }
    if (key->key() == Qt::Key_K && mods == Qt::ControlModifier) {
        showCalibration();
        return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        // Start is the window's default button; a focused button (Exit, Stop, History, the
        // small "..." buttons) takes Enter itself and never passes it on to Start.
        auto *knopf = qobject_cast<QAbstractButton *>(QApplication::focusWidget());
        if (knopf && knopf->window() == this &&
            (qobject_cast<QPushButton *>(knopf) || qobject_cast<QToolButton *>(knopf)))
            pressButton(knopf);
        else
            ui->cmdStart->click();
        return true;
    }
    return false;
}

void frmPumpensteuerung::pressButton(QAbstractButton *button)
{
    // A menu button opens its menu, as a click on it would.
    auto *tool = qobject_cast<QToolButton *>(button);
    if (tool && tool->menu() && tool->popupMode() == QToolButton::InstantPopup)
        tool->showMenu();
    else
        button->click();
}

void frmPumpensteuerung::closeEvent(QCloseEvent *event)
{
    if (m_beendet || programEnding() || Beenden())
        event->accept();
    else
        event->ignore();
}

} // namespace vyt
