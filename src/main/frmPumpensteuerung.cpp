#include "main/frmPumpensteuerung.h"

#include "ui_frmPumpensteuerung.h"

#include "main/FieldBinder.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "config/Units.h"
#include "ui/WindowPlace.h"
#include "console/frmDirekt.h"
#include "dialogs/frmAbout.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "link/ProcessGuard.h"
#include "main/CalibrationDialog.h"
#include "main/MediaList.h"
#include "session/PumpRun.h"
#include "main/RangeHints.h"
#include "session/RunProgressRows.h"
#include "session/RunReport.h"
#include "journal/RunJournal.h"
#include "history/frmHistory.h"
#include "methods/dlgMethodPrompt.h"
#include "methods/frmMethods.h"
#include "session/MethodRun.h"
#include "session/Settings.h"
#include "main/WindowAttendant.h"
#include "texts/WindowTexts.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"
#include "session/ProgramEnd.h"
#include "session/Wait.h"

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
    : QWidget(parent), ui(std::make_unique<Ui::frmPumpensteuerung>()),
      m_attendant(std::make_unique<WindowAttendant>(this)),
      m_session(std::make_unique<Session>(*m_attendant, 1)), m_state(m_session->state())
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
    m_port = &m_session->port();
    m_link = &m_session->link();
    m_run = &m_session->run();
    m_journal = &m_session->journal();
    m_validation = std::make_unique<FieldValidation>(m_state, this);
    // The run history, beside the buttons: the spacer before Exit gives it its room, so
    // no designed control moves.
    auto *history = new QPushButton(tr("History\u2026"), this);
    history->setObjectName(QStringLiteral("cmdHistory"));
    history->setFlat(true);
    history->setFocusPolicy(Qt::TabFocus);
    history->setToolTip(tr("Run history (Ctrl+R)"));
    ui->layKnoepfe->insertWidget(0, history);
    connect(history, &QPushButton::clicked, this, &frmPumpensteuerung::showHistory);
    auto *methods = new QPushButton(tr("Methods\u2026"), this);
    methods->setObjectName(QStringLiteral("cmdMethods"));
    methods->setFlat(true);
    methods->setFocusPolicy(Qt::TabFocus);
    methods->setToolTip(tr("Methods (Ctrl+M)"));
    ui->layKnoepfe->insertWidget(1, methods);
    connect(methods, &QPushButton::clicked, this, &frmPumpensteuerung::showMethods);
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
    auto *methods = findChild<QWidget *>(QStringLiteral("cmdMethods"));
    setTabOrder(ui->cbxPotentiometer, history);
    setTabOrder(history, methods);
    setTabOrder(methods, ui->cmdBeenden);
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
    connect(m_link, &ControllerLink::portOpened, m_media, &MediaList::reload);
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
        if (!m_session->running() && !ui->cbxPotentiometer->isChecked())
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
    Session *session = m_session.get();
    connect(session, &Session::progress, this, &frmPumpensteuerung::zeigeFortschritt);
    connect(session, &Session::runStarted, this, &frmPumpensteuerung::onRunStarted);
    connect(session, &Session::startFailed, this,
            [this](const std::optional<Session::Refusal> &refusal) {
                if (refusal)
                    tellRefusal(*refusal);
                // A calibration dose that waited for the controller's answer ends undone.
                if (m_session->origin().kind == Session::Origin::Kind::Calibration)
                    emit calibrationDoseEnded(false);
            });
    connect(session, &Session::runEnded, this, &frmPumpensteuerung::onRunEnded);
    connect(session, &Session::potentiometerEnded, this, &frmPumpensteuerung::onPotentiometerEnded);
    connect(session, &Session::linkLost, this, &frmPumpensteuerung::linkVerloren);
    connect(session, &Session::settingsChanged, this, &frmPumpensteuerung::followSession);
    MethodRun &methodRun = m_session->methods();
    // Off from the method's first step on, before its first run has started.
    connect(&methodRun, &MethodRun::progressChanged, this, [this] {
        if (m_session->methods().running())
            ui->cmdStart->setEnabled(false);
    });
    connect(&methodRun, &MethodRun::started, this, [this] { ui->cmdStart->setEnabled(false); });
    connect(&methodRun, &MethodRun::finished, this, [this] {
        if (!programEnding() && !m_session->running() && !ui->cbxPotentiometer->isChecked())
            ui->cmdStart->setEnabled(true);
    });
    m_prompt = new dlgMethodPrompt(methodRun, this);
    connect(&methodRun, &MethodRun::promptWaiting, m_prompt, &dlgMethodPrompt::ask);
    m_session->setClientChecks(
        {[this] { return busyForClients(); },
         [this]() -> std::optional<Session::Refusal> {
             if (const auto typing = m_validation->fieldBeingTyped())
                 return Session::Refusal{*typing, QString()};
             return std::nullopt;
         },
         [this]() -> std::optional<Session::Refusal> {
             if (const auto pending = m_validation->pendingRefusal())
                 return Session::Refusal{pending->field, pending->message};
             return std::nullopt;
         },
         [this] { return m_media->currentName(); }});
    connect(&ProcessGuard::install(), &ProcessGuard::terminationRequested, this,
            &frmPumpensteuerung::endOnSignal);
    // exit() from under us (the X connection broke): the run's row still goes to the journal.
    ProcessGuard::setLastWords([this] {
        m_leaving = true;
        m_session->setLeaving(true);
        m_session->endPotentiometerRun(RunOutcome::End::ProgramEnded);
        m_run->abandon();
    });
    // The title names the port in use, also after the port dialog chose another one.
    connect(session, &Session::portOpened, this,
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
    m_session->applyPumpType(typ);
    ui->txtVerdraengungsvolumen->setText(generalForm(m_state.Verdraengungsvolumen));
    zeigeAntriebswerte();
    // The lists' handlers run for the first entries; the type's own values stand after them.
    fuelleListe(ui->cboEncoder, encoderItems(typ));
    waehle(ui->cboEncoder, 0);
    fuelleListe(ui->cboGetriebe, gearItems(typ));
    waehle(ui->cboGetriebe, 0);
    m_session->applyPumpType(typ);
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
    m_session->applyEncoder(ui->cboEncoder->currentIndex());
    emit handlerRan(QStringLiteral("cboEncoder"));
}

void frmPumpensteuerung::cboGetriebe_Click()
{
    m_session->applyGear(ui->cboGetriebe->currentIndex());
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
    // A second click while the controller is being asked is this same start.
    if (m_session->running() || !ui->cmdStart->isEnabled())
        return;
    // An entry still being typed reaches the pump only through its check, and a damaged
    // store's limit is refused before it can reach the controller.
    if (!m_validation->validateChanged() || !m_validation->checkStoredDriveLimits())
        return;
    (void)startPlan(m_session->planFromSettings(), Session::Origin{});
}

bool frmPumpensteuerung::startPlan(const RunPlan &plan, const Session::Origin &origin)
{
    const auto refusal = m_session->start(plan, origin);
    if (refusal)
        tellRefusal(*refusal);
    return !refusal;
}

void frmPumpensteuerung::tellRefusal(const Session::Refusal &refusal)
{
    // An empty refusal has been told where it arose (the port, the controller).
    if (!refusal.message.isEmpty())
        showMessage(this, refusal.message, m_state.FehlerTitel, MsgButtons::Ok,
                    MsgIcon::Exclamation);
}

QString frmPumpensteuerung::busyForClients() const
{
    if (const QWidget *modal = QApplication::activeModalWidget()) {
        if (modal->objectName() == QLatin1String("frmSchnittstelle"))
            return tr("The port dialog has not been answered.");
        return tr("A window is open in front of the operator: \"%1\".").arg(modal->windowTitle());
    }
    // Its next mass would weigh a client's dose as well as its own.
    if (m_calibration && m_calibration->isVisible())
        return tr("The calibration helper is open.");
    if (!ui->cmdStart->isEnabled())
        return tr("Start is not available.");
    return {};
}

void frmPumpensteuerung::followSession()
{
    // The handlers below store what they show; the session's values are what counts.
    const PumpSettings s = m_state.settings;
    (s.Betriebsart == 2 ? ui->optBetriebsart2 : ui->optBetriebsart1)->setChecked(true);
    {
        const QSignalBlocker blockUnits(ui->cboMengeEinheit), blockPause(ui->cboPauseEinheit),
            blockRate(ui->cboFoerderstromEinheit), blockDuration(ui->cboDauerEinheit),
            blockEndlessDoses(ui->cbxEndlosDosierung), blockEndlessFlow(ui->cbxEndlosFoerderung);
        ui->cboMengeEinheit->setCurrentIndex(s.Mengeneinheit);
        ui->cboPauseEinheit->setCurrentIndex(int(roundHalfEven(s.Pauseeinheit)));
        ui->cboFoerderstromEinheit->setCurrentIndex(s.Foerderstromeinheit);
        ui->cboDauerEinheit->setCurrentIndex(int(roundHalfEven(s.Dauereinheit)));
        ui->txtMenge->setText(generalForm(s.Menge));
        ui->txtPause->setText(generalForm(s.Pause));
        const bool endlessDoses = s.Wiederholung == kEndlessRepetitions;
        ui->cbxEndlosDosierung->setChecked(endlessDoses);
        ui->txtWiederholung->setText(endlessDoses ? QString() : integerForm(s.Wiederholung));
        ui->txtFoerderstrom->setText(generalForm(s.Foerderstrom));
        ui->cbxEndlosFoerderung->setChecked(s.Dauer == 0);
        ui->txtDauer->setText(s.Dauer == 0 ? QString() : generalForm(s.Dauer));
    }
    m_state.settings = s;
    showRangeHints();
}

void frmPumpensteuerung::onRunStarted()
{
    ui->cmdStart->setEnabled(false);
    ui->cmdStop->setFocus();
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

void frmPumpensteuerung::enableStart()
{
    ui->cmdStart->setEnabled(!m_session->methods().running());
}

void frmPumpensteuerung::showMethods()
{
    if (!m_methods) {
        m_methods = new frmMethods(*m_session, this);
        keepWindowPlace(*m_methods, QStringLiteral("Methods"), [this] { placeMethods(); });
    }
    m_methods->show();
    m_methods->raise();
    m_methods->activateWindow();
}

void frmPumpensteuerung::placeMethods()
{
    // Beside the main window where there is room, else over it.
    const QRect area = screen()->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    m_methods->resize(m_methods->sizeHint().expandedTo(QSize(640, 520)).boundedTo(area.size() - frame));
    QRect place(QPoint(), m_methods->size() + frame);
    place.moveCenter(frameGeometry().center());
    m_methods->move(movedOnto(place, area).topLeft());
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
    if (running() || unit < 0 || unit >= mengeEinheiten().size())
        return false;
    if (!m_validation->validateChanged() || !m_validation->checkStoredDriveLimits())
        return false;
    RunPlan plan = m_session->planFromSettings();
    plan.mode = RunPlan::Mode::Dosing;
    plan.quantity = quantity;
    plan.quantityUnit = qint16(unit);
    plan.count = 1;
    plan.note = QStringLiteral("calibration");
    Session::Origin origin;
    origin.kind = Session::Origin::Kind::Calibration;
    return startPlan(plan, origin);
}

void frmPumpensteuerung::setRemoteLine(const QString &text, bool warning)
{
    showServiceLine(m_remoteLine, QStringLiteral("lblRemote"), text, warning);
}

void frmPumpensteuerung::setSilaLine(const QString &text, bool warning)
{
    showServiceLine(m_silaLine, QStringLiteral("lblSila"), text, warning);
}

void frmPumpensteuerung::showServiceLine(QLabel *&line, const QString &name, const QString &text,
                                         bool warning)
{
    if (!line) {
        // Below the status line, so that no designed control moves; only there when on.
        line = showsPlainText(new QLabel(this));
        line->setObjectName(name);
        QFont small = line->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        line->setFont(small);
        line->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        ui->layFenster->addWidget(line);
    }
    line->setText(text);
    QPalette colours = palette();
    if (warning)
        colours.setColor(QPalette::WindowText, QColor(0xa0, 0x40, 0x00));
    else
        colours.setColor(QPalette::WindowText, colours.color(QPalette::PlaceholderText));
    line->setPalette(colours);
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

void frmPumpensteuerung::onRunEnded(const RunPlan &plan, const RunOutcome &outcome)
{
    if (plan.note == QLatin1String("calibration"))
        emit calibrationDoseEnded(outcome.end == RunOutcome::End::Completed && outcome.dosesDone == 1);
    if (programEnding())
        return;
    // The summary stays until the next Start or until the operator changes a value.
    zeigeFortschritt(runSummary(plan, outcome), 0, 0);
    enableStart();
    ui->cmdStart->setFocus();
}

void frmPumpensteuerung::cmdStop_Click()
{
    m_state.Abbruch = true;
    ui->cbxPotentiometer->setChecked(false);
    m_session->stop();
    // On the way out the focus stays: moving it would check the field being left.
    if (programEnding() || m_leaving)
        return;
    if (!m_session->status().running)
        zeigeFortschritt(QString(), 0, 0);
    enableStart();
    ui->cmdStart->setFocus();
}

void frmPumpensteuerung::cbxPotentiometer_Click()
{
    const bool an = ui->cbxPotentiometer->isChecked();
    if (!an) {
        // Off always stops, whether the controller answers or not.
        m_state.Abbruch = true;
        m_session->endPotentiometerRun(m_leaving ? RunOutcome::End::ProgramEnded
                                                 : RunOutcome::End::Stopped);
        cmdStop_Click();
        return;
    }
    // A box that could not take effect returns to unchecked, so the window never
    // claims a mode the controller is not in.
    if (!m_validation->validateChanged() || !m_validation->checkStoredDriveLimits() ||
        !m_link->SchnittstelleOK()) {
        onPotentiometerEnded();
        return;
    }
    if (!m_state.KeineAntwort) {
        continuePotentiometer();
        return;
    }
    ui->cmdStart->setEnabled(false);
    m_link->ParameterLesen(QStringLiteral("VER"), this, [this](const QString &) {
        if (!ui->cbxPotentiometer->isChecked())
            return; // unchecked meanwhile: that has stopped everything
        if (m_state.KeineAntwort)
            onPotentiometerEnded();
        else
            continuePotentiometer();
    });
}

void frmPumpensteuerung::continuePotentiometer()
{
    ui->cmdStart->setEnabled(false);
    ui->cmdStop->setFocus();
    m_session->beginPotentiometer();
    zeigeFortschritt(m_session->statusLine(), 0, 0);
}

void frmPumpensteuerung::onPotentiometerEnded()
{
    const QSignalBlocker block(ui->cbxPotentiometer);
    ui->cbxPotentiometer->setChecked(false);
    if (programEnding() || m_leaving || m_session->running())
        return;
    zeigeFortschritt(QString(), 0, 0);
    enableStart();
}

void frmPumpensteuerung::linkVerloren()
{
    // A run ends by itself (Abbruch is set); potentiometer mode has been ended.
    if (!m_session->running())
        onPotentiometerEnded();
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
    m_session->setLeaving(true);
    if (m_port->PortOpen())
        cmdStop_Click();
    m_session->endPotentiometerRun(RunOutcome::End::ProgramEnded);
    if (answer == MsgResult::Yes) {
        // Yes ends the program: an entry being typed is saved through its check, a refused
        // one is told and its last accepted value saved instead.
        m_validation->settleForLeaving();
        if (!saveBeforeLeaving()) {
            m_session->setLeaving(false);
            return false;
        }
    }
    if (m_port->PortOpen()) {
        drainStopOrWarn();
        (void)m_port->setPortOpen(false);
    }
    // Closed, so that it remembers where the operator had it.
    if (m_history)
        m_history->close();
    if (m_methods)
        m_methods->close();
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
    m_leaving = true;
    m_beendet = true;
    m_session->shutdown();
    endProgram(128 + signalNumber);
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
    return speichereEinstellungen(*store, m_state.Schnittstelle, m_state.settings, error);
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
    QWidget *w = HeldKeys::firstDelivery(watched);
    if (!w)
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
    case Qt::Key_M:
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
            frmDirekt::oeffnen(m_state, *m_link, m_consoleTranscript, this);
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
    if (key->key() == Qt::Key_M && mods == Qt::ControlModifier) {
        showMethods();
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
