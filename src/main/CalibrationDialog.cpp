#include "main/CalibrationDialog.h"

#include "ui_CalibrationDialog.h"

#include "config/NumberText.h"
#include "config/Units.h"
#include "main/MediaList.h"
#include "session/PumpRun.h"
#include "main/frmPumpensteuerung.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>
#include <QSignalBlocker>

namespace vyt {

namespace {
enum Column { kMass = 0, kVolume = 1 };
const double kMilligramsPer[] = {1.0, 1000.0}; // the mass unit list: mg, g
} // namespace

CalibrationDialog::CalibrationDialog(frmPumpensteuerung &window)
    : QDialog(&window), ui(std::make_unique<Ui::frmCalibration>()), m_window(window)
{
    ui->setupUi(this);
    // Composed from the operator's entries and the refusal's reasons.
    showsPlainText(ui->lblRechnung);
    showsPlainText(ui->lblStatistik);
    {
        const QSignalBlocker block(ui->cboTestEinheit);
        ui->cboTestEinheit->addItems(mengeEinheiten());
    }
    {
        const QSignalBlocker block(ui->cboMassEinheit);
        ui->cboMassEinheit->addItems({QStringLiteral("mg"), QStringLiteral("g")});
    }
    const PumpSettings &s = window.state().settings;
    // The operator's own dosing quantity is the natural first test.
    ui->txtTestMenge->setText(generalForm(s.Menge));
    ui->cboTestEinheit->setCurrentIndex(
        s.Mengeneinheit >= 0 && s.Mengeneinheit < ui->cboTestEinheit->count() ? s.Mengeneinheit
                                                                              : 0);
    QHeaderView *header = ui->tblMassen->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    // Two equal columns, each wide enough for the longer caption ("effective volume (µl)").
    const int column = std::max(header->sectionSizeHint(kMass), header->sectionSizeHint(kVolume));
    ui->tblMassen->setMinimumWidth(2 * column + ui->tblMassen->verticalHeader()->sizeHint().width() +
                                   2 * ui->tblMassen->frameWidth() + 4);
    resizeTable();
    // Enter doses from the Dose button, so the helper opens on it; no button is the
    // dialog's default, which a focused Apply or Close would hand Enter to.
    ui->cmdDose->setFocus();
    qApp->installEventFilter(this);

    connect(ui->cmdDose, &QPushButton::clicked, this, &CalibrationDialog::dose);
    connect(ui->cmdReset, &QPushButton::clicked, this, &CalibrationDialog::startOver);
    connect(ui->cmdApply, &QPushButton::clicked, this, &CalibrationDialog::apply);
    connect(ui->cmdClose, &QPushButton::clicked, this, &QDialog::close);
    connect(ui->cmdSaveMedium, &QPushButton::clicked, this,
            [this] { (void)m_window.media().saveCurrentAs(m_window.media().currentName()); });
    connect(ui->spnRepetitions, qOverload<int>(&QSpinBox::valueChanged), this, [this] {
        resizeTable();
        recompute();
    });
    connect(ui->cboMassEinheit, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &CalibrationDialog::recompute);
    connect(ui->tblMassen, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (item->column() == kMass)
            recompute();
    });
    connect(&window, &frmPumpensteuerung::calibrationDoseEnded, this,
            &CalibrationDialog::doseEnded);
    // Runs only after the window has ended its run, and so after doseEnded for our own.
    connect(&window.run(), &PumpRun::finished, this, &CalibrationDialog::runEnded, Qt::QueuedConnection);
    recompute();
}

void CalibrationDialog::runEnded()
{
    if (m_ownRunEnded) {
        m_ownRunEnded = false;
        return;
    }
    // Another run (Start, remote control) delivered into the vessel: the dose not yet
    // weighed would weigh both. It is no dose; it is run again after taring.
    const int row = firstUnweighed();
    if (row < 0 || m_dosing)
        return;
    QTableWidgetItem *mass = ui->tblMassen->item(row, kMass);
    if (ui->tblMassen->isPersistentEditorOpen(mass))
        ui->tblMassen->closePersistentEditor(mass);
    {
        const QSignalBlocker block(ui->tblMassen);
        ui->tblMassen->setCurrentItem(nullptr);
        for (int r = row; r < ui->tblMassen->rowCount(); ++r) {
            QTableWidgetItem *m = ui->tblMassen->item(r, kMass);
            m->setText(QString());
            m->setFlags(Qt::ItemIsSelectable);
        }
    }
    m_dosesDone = row;
    m_foreignRun = true;
    updateControls();
    recompute();
    ui->cmdDose->setFocus();
}

CalibrationDialog::~CalibrationDialog()
{
    // Hiding in QDialog's destructor commits an open mass cell; its signal must not
    // reach the report once ui is gone.
    ui->tblMassen->disconnect(this);
}

bool CalibrationDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyRelease || event->type() == QEvent::ApplicationDeactivate) {
        m_keys.track(event); // of any window: a box opened by Enter takes its release
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    auto *w = qobject_cast<QWidget *>(watched);
    // A key travels up the parents when nobody takes it: act on its first delivery only.
    if (!w || w->window() != this || w != focusWidget())
        return false;
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
        return false;
    if (key->modifiers() & ~Qt::KeypadModifier)
        return false;
    return enterPressed(key);
}

bool CalibrationDialog::enterPressed(QKeyEvent *key)
{
    // A held Enter is one press: its repeats go nowhere, not into the next mass cell.
    if (!m_keys.firstPress(key))
        return true;
    QWidget *focus = focusWidget();
    if (auto *button = qobject_cast<QPushButton *>(focus)) {
        if (button->isEnabled())
            button->click();
        return true;
    }
    if (focus == ui->tblMassen) {
        // The mass just typed and taken with Enter: the next Enter doses again.
        if (m_dosesDone > 0 && firstUnweighed() < 0)
            ui->cmdDose->click();
        return true;
    }
    return false; // a field or list takes Enter itself (the mass cell takes its mass)
}

void CalibrationDialog::resizeTable()
{
    QTableWidget *t = ui->tblMassen;
    const QSignalBlocker block(t);
    const int old = t->rowCount();
    t->setRowCount(ui->spnRepetitions->value());
    for (int row = old; row < t->rowCount(); ++row) {
        // A mass can be typed once its dose has been delivered.
        auto *mass = new QTableWidgetItem;
        mass->setFlags(Qt::ItemIsSelectable);
        t->setItem(row, kMass, mass);
        auto *volume = new QTableWidgetItem;
        volume->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        t->setItem(row, kVolume, volume);
    }
    updateControls();
}

void CalibrationDialog::dose()
{
    if (m_dosing || m_dosesDone >= ui->spnRepetitions->value())
        return;
    const QString &title = m_window.state().FehlerTitel;
    const auto quantity = readSingle(ui->txtTestMenge->text());
    // Backwards or nothing cannot be weighed.
    if (!quantity || !(*quantity > 0)) {
        showMessage(this, QStringLiteral("Please enter a positive real number."), title);
        ui->txtTestMenge->setFocus();
        ui->txtTestMenge->selectAll();
        return;
    }
    const PumpState &state = m_window.state();
    // Doses run with another factor, density or pump than the first cannot be averaged.
    if (m_dosesDone > 0 && (m_ranWith.factor != double(state.settings.Kalibrierfaktor) ||
                            m_ranWith.density != double(state.settings.Dichte) ||
                            m_ranWith.displacement != double(state.Verdraengungsvolumen)))
        startOver();
    if (m_dosesDone == 0) {
        m_ranWith = calibration::Input{};
        m_ranWith.quantity = double(*quantity);
        m_ranWith.unit = ui->cboTestEinheit->currentIndex();
        m_ranWith.factor = double(state.settings.Kalibrierfaktor);
        m_ranWith.density = double(state.settings.Dichte);
        m_ranWith.displacement = double(state.Verdraengungsvolumen);
    }
    m_dosing = true;
    m_doseFailed = false;
    updateControls();
    showStatus();
    if (!m_window.startCalibrationDose(float(m_ranWith.quantity), m_ranWith.unit) && m_dosing) {
        m_dosing = false;
        updateControls();
        showStatus();
    }
}

void CalibrationDialog::doseEnded(bool completed)
{
    if (!m_dosing)
        return;
    m_dosing = false;
    m_ownRunEnded = true;
    m_foreignRun = false;
    if (completed) {
        const int row = m_dosesDone++;
        QTableWidgetItem *mass = ui->tblMassen->item(row, kMass);
        {
            const QSignalBlocker block(ui->tblMassen);
            mass->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable);
        }
        ui->tblMassen->setCurrentItem(mass);
        // The operator's hands go from the balance to the keys: the mass is typed at once,
        // Enter takes it, and the next Enter doses again.
        ui->tblMassen->setFocus();
        ui->tblMassen->editItem(mass);
    } else {
        // What a stopped dose left in the vessel is no dose: it is run again.
        m_doseFailed = true;
    }
    updateControls();
    recompute();
}

void CalibrationDialog::startOver()
{
    if (m_dosing)
        return;
    m_dosesDone = 0;
    m_doseFailed = false;
    m_foreignRun = false;
    {
        const QSignalBlocker block(ui->tblMassen);
        ui->tblMassen->setRowCount(0);
    }
    resizeTable();
    recompute();
}

void CalibrationDialog::updateControls()
{
    const bool fresh = m_dosesDone == 0 && !m_dosing;
    ui->txtTestMenge->setEnabled(fresh);
    ui->cboTestEinheit->setEnabled(fresh);
    ui->spnRepetitions->setMinimum(std::max(1, m_dosesDone));
    ui->spnRepetitions->setEnabled(!m_dosing);
    ui->cmdDose->setEnabled(!m_dosing && m_dosesDone < ui->spnRepetitions->value());
    ui->cmdReset->setEnabled(!m_dosing && m_dosesDone > 0);
    ui->cmdApply->setEnabled(!m_dosing && m_result.proposal.has_value());
    ui->cmdSaveMedium->setEnabled(!m_dosing);
}

std::optional<double> CalibrationDialog::massAt(int row) const
{
    if (row >= m_dosesDone)
        return std::nullopt;
    const QTableWidgetItem *item = ui->tblMassen->item(row, kMass);
    const auto mass = item ? readNumber(item->text()) : std::nullopt;
    const int unit = ui->cboMassEinheit->currentIndex();
    if (!mass || *mass < 0 || unit < 0 || unit > 1)
        return std::nullopt;
    return *mass * kMilligramsPer[unit];
}

calibration::Input CalibrationDialog::input() const
{
    calibration::Input in = m_ranWith;
    in.masses.clear();
    for (int row = 0; row < ui->tblMassen->rowCount(); ++row)
        in.masses << massAt(row);
    return in;
}

void CalibrationDialog::recompute()
{
    const calibration::Input in = input();
    m_result = m_dosesDone > 0 ? calibration::evaluate(in) : calibration::Result{};
    const QLocale locale;
    {
        const QSignalBlocker block(ui->tblMassen);
        for (int row = 0; row < ui->tblMassen->rowCount(); ++row) {
            QString text;
            if (row < m_result.volumes.size() && m_result.volumes.at(row))
                text = generalForm(*m_result.volumes.at(row), locale);
            else if (row < m_dosesDone &&
                     !ui->tblMassen->item(row, kMass)->text().trimmed().isEmpty())
                text = tr("no mass");
            ui->tblMassen->item(row, kVolume)->setText(text);
        }
    }
    ui->lblStatistik->setText(calibration::statisticsText(m_result, locale));
    QString text = calibration::arithmeticText(in, m_result, locale);
    if (!m_result.refusal.isEmpty())
        text += QLatin1Char('\n') + m_result.refusal;
    ui->lblRechnung->setText(text);
    updateControls();
    showStatus();
}

int CalibrationDialog::firstUnweighed() const
{
    for (int row = 0; row < m_dosesDone; ++row) {
        if (!massAt(row))
            return row;
    }
    return -1;
}

QString CalibrationDialog::statusText() const
{
    const int doses = ui->spnRepetitions->value();
    if (m_dosing)
        return tr("Dose %1 running").arg(m_dosesDone + 1);
    if (m_doseFailed)
        return tr("The dose did not complete: tare the balance and dose again.");
    if (m_foreignRun)
        return tr("Another run went to the pump before dose %1 was weighed: empty the vessel, "
                  "tare the balance and dose again.")
            .arg(m_dosesDone + 1);
    if (m_dosesDone == 0)
        return {};
    if (const int row = firstUnweighed(); row >= 0)
        return tr("Dose %1 of %2 delivered: type its mass.").arg(row + 1).arg(doses);
    if (m_dosesDone < doses)
        return tr("Dose %1 of %2 weighed: tare the balance for the next dose.")
            .arg(m_dosesDone)
            .arg(doses);
    if (m_result.proposal && m_result.refusal.isEmpty())
        return tr("Dose %1 of %2 weighed: Apply takes the factor %3.")
            .arg(m_dosesDone)
            .arg(doses)
            .arg(calibration::proposalText(m_result));
    return tr("Dose %1 of %2 weighed: no factor to apply; Start over to calibrate again.")
        .arg(m_dosesDone)
        .arg(doses);
}

void CalibrationDialog::showStatus()
{
    ui->lblDosis->setText(statusText());
    fitHeight();
}

void CalibrationDialog::fitHeight()
{
    // The report's labels take no width of their own; only their height grows.
    if (!isVisible() || !layout())
        return;
    layout()->activate();
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width())
                                                     : layout()->totalSizeHint().height();
    if (needed > height())
        resize(width(), needed);
}

void CalibrationDialog::apply()
{
    if (!m_result.proposal)
        return;
    // A factor the field would refuse gets the field's own words, and stays out of it.
    if (!m_result.refusal.isEmpty()) {
        showMessage(this, m_result.refusal, m_window.state().FehlerTitel, MsgButtons::Ok,
                    MsgIcon::Exclamation);
        return;
    }
    const QString medium = m_window.media().currentName();
    if (m_window.applyCalibrationFactor(calibration::proposalText(m_result)))
        m_window.media().offerFactor(medium);
}

} // namespace vyt
