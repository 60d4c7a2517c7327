#include "journal/frmHistory.h"

#include "journal/RunJournal.h"
#include "journal/RunTableModel.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"
#include "ui_frmHistory.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <algorithm>

namespace vyt {
namespace {

const QString kAllModes = QStringLiteral("All modes");
const QStringList kModes{QStringLiteral("dosing"), QStringLiteral("flow"),
                         QStringLiteral("potentiometer")};

struct Period {
    const char *name;
    int days; // 0: no limit; 1: today only
};
constexpr Period kPeriods[] = {{QT_TR_NOOP("All dates"), 0},
                               {QT_TR_NOOP("Today"), 1},
                               {QT_TR_NOOP("Last 7 days"), 7},
                               {QT_TR_NOOP("Last 30 days"), 30}};

} // namespace

frmHistory::frmHistory(RunJournal &journal, QWidget *parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::frmHistory>()), m_path(journal.path()),
      m_rotatedPath(journal.rotatedPath())
{
    m_ui->setupUi(this);
    setWindowFlag(Qt::Window, true);
    showsPlainText(m_ui->lblCount); // it may show a read error with the journal's path

    saveFileName = [](QWidget *owner, const QString &caption, const QString &dir,
                      const QString &filter) {
        return QFileDialog::getSaveFileName(owner, caption, dir, filter);
    };
    openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };

    m_model = new RunTableModel(this);
    m_proxy = new RunFilterModel(this);
    m_proxy->setSourceModel(m_model);
    m_ui->tblRuns->setModel(m_proxy);
    m_ui->tblRuns->sortByColumn(RunTableModel::kStartedColumn, Qt::DescendingOrder);
    m_ui->tblRuns->verticalHeader()->hide();
    m_ui->tblRuns->horizontalHeader()->setStretchLastSection(true);
    m_ui->tblRuns->setColumnWidth(RunTableModel::kStartedColumn, 150);
    m_ui->tblRuns->setColumnWidth(RunTableModel::kEndedColumn, 150);

    {
        // Filled without signals (addItem on an empty list selects and signals).
        const QSignalBlocker modeBlocker(m_ui->cboMode);
        const QSignalBlocker periodBlocker(m_ui->cboPeriod);
        m_ui->cboMode->addItem(kAllModes);
        m_ui->cboMode->addItems(kModes);
        for (const Period &p : kPeriods)
            m_ui->cboPeriod->addItem(tr(p.name), p.days);
        m_ui->cboMode->setCurrentIndex(0);
        m_ui->cboPeriod->setCurrentIndex(0);
    }
    connect(m_ui->cboMode, &QComboBox::currentIndexChanged, this, &frmHistory::applyFilter);
    connect(m_ui->cboPeriod, &QComboBox::currentIndexChanged, this, &frmHistory::applyFilter);
    connect(m_ui->cmdExport, &QPushButton::clicked, this, &frmHistory::exportRows);
    connect(m_ui->cmdOpenFolder, &QPushButton::clicked, this, &frmHistory::openFolder);
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(&journal, &RunJournal::appended, this, &frmHistory::addRecord);
    connect(m_proxy, &QAbstractItemModel::rowsInserted, this, &frmHistory::updateCount);
    connect(m_proxy, &QAbstractItemModel::rowsRemoved, this, &frmHistory::updateCount);
    connect(m_proxy, &QAbstractItemModel::modelReset, this, &frmHistory::updateCount);

    reload();
}

frmHistory::~frmHistory() = default;

void frmHistory::reload()
{
    QString oldError;
    QString newError;
    QList<QStringList> rows = RunJournal::readRows(m_rotatedPath, &oldError);
    rows += RunJournal::readRows(m_path, &newError);
    m_readError = newError.isEmpty() ? oldError : newError;
    m_model->setRows(rows);
    updateCount();
}

void frmHistory::addRecord(const RunRecord &record)
{
    m_model->addRow(record.fields());
}

void frmHistory::applyFilter()
{
    const int modeIndex = m_ui->cboMode->currentIndex();
    m_proxy->setMode(modeIndex > 0 ? m_ui->cboMode->currentText() : QString());
    const int days = m_ui->cboPeriod->currentData().toInt();
    m_proxy->setFirstDay(days > 0 ? QDate::currentDate().addDays(1 - days) : QDate());
    updateCount();
}

void frmHistory::updateCount()
{
    // A journal that cannot be read says so here rather than in a box over the window.
    m_ui->lblCount->setText(
        m_readError.isEmpty()
            ? tr("%1 of %2 runs").arg(m_proxy->rowCount()).arg(m_model->rowCount())
            : m_readError);
}

QList<QStringList> frmHistory::rowsToExport() const
{
    QList<int> shownRows;
    for (const QModelIndex &index : m_ui->tblRuns->selectionModel()->selectedRows())
        shownRows << index.row();
    if (shownRows.isEmpty())
        for (int r = 0; r < m_proxy->rowCount(); ++r)
            shownRows << r;
    std::sort(shownRows.begin(), shownRows.end());

    QList<QStringList> rows;
    rows.reserve(shownRows.size());
    for (const int r : shownRows)
        rows << m_model->fields(m_proxy->mapToSource(m_proxy->index(r, 0)).row());
    return rows;
}

bool frmHistory::exportTo(const QString &file, QString *error) const
{
    QByteArray bytes = RunJournal::spreadsheetLine(RunJournal::header());
    for (const QStringList &row : rowsToExport())
        bytes += RunJournal::spreadsheetLine(row);
    // Written aside and renamed, so a failed export never leaves half a file.
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit())
        return true;
    if (error)
        *error = tr("The runs could not be exported to %1: %2.")
                     .arg(QDir::toNativeSeparators(file), out.errorString());
    return false;
}

void frmHistory::exportRows()
{
    if (m_lastExportFolder.isEmpty())
        m_lastExportFolder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString file = saveFileName(this, tr("Export runs"),
                                      m_lastExportFolder + QStringLiteral("/runs-export.csv"),
                                      tr("CSV files (*.csv);;All files (*)"));
    if (file.isEmpty())
        return;
    m_lastExportFolder = QFileInfo(file).absolutePath();
    QString error;
    if (!exportTo(file, &error))
        showMessage(this, error, windowTitle());
}

void frmHistory::openFolder()
{
    const QString folder = QFileInfo(m_path).absolutePath();
    QDir().mkpath(folder); // before the first run the folder may not exist yet
    if (!openUrl(QUrl::fromLocalFile(folder)))
        showMessage(this,
                    tr("The folder %1 could not be opened.").arg(QDir::toNativeSeparators(folder)),
                    windowTitle());
}

} // namespace vyt
