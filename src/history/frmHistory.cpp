#include "history/frmHistory.h"

#include "config/LastFolders.h"
#include "journal/JournalCursor.h"
#include "journal/RunJournal.h"
#include "history/RunTableModel.h"
#include "ui/MessageBox.h"
#include "ui/PlainText.h"
#include "ui_frmHistory.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <algorithm>
#include <utility>
#include <numeric>

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
    // Where the last export went, beside the buttons; a long path wraps.
    m_exportStatus = showsPlainText(new QLabel(this));
    m_exportStatus->setObjectName(QStringLiteral("lblExportStatus"));
    m_exportStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_exportStatus->setWordWrap(true);
    m_exportStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_ui->layButtons->insertWidget(1, m_exportStatus, 1);

    openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };

    m_model = new RunTableModel(this);
    m_proxy = new RunFilterModel(this);
    m_proxy->setSourceModel(m_model);
    m_ui->tblRuns->setModel(m_proxy);
    m_ui->tblRuns->sortByColumn(RunTableModel::kStartedColumn, Qt::DescendingOrder);
    m_ui->tblRuns->verticalHeader()->hide();
    hideSideColumns();
    // A width dragged by the operator stays; the header's own stretching of the last
    // column is no choice of theirs.
    connect(m_ui->tblRuns->horizontalHeader(), &QHeaderView::sectionResized, this, [this] {
        if (!m_fitting && isVisible() && QGuiApplication::mouseButtons() != Qt::NoButton)
            m_widthsSetByOperator = true;
    });
    m_ui->tblRuns->horizontalHeader()->setStretchLastSection(true);

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
    connect(m_model, &RunTableModel::fetched, this, &frmHistory::onFetched);
    // A scroll to the bottom asks for older rows, even when the filter hides the last ones.
    connect(m_ui->tblRuns->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &frmHistory::fillView);

    reload();
}

frmHistory::~frmHistory() = default;

void frmHistory::hideSideColumns()
{
    QTableView *view = m_ui->tblRuns;
    // The units are shown beside their amounts, the repetitions beside the doses done, an
    // interrupted dose beside what was delivered, density and factor in the medium's tool
    // tip; any column comes back from the header's menu.
    for (const int c : {RunTableModel::kUnitColumn, RunTableModel::kRepetitionsColumn,
                        RunTableModel::kDeliveredUnitColumn, RunTableModel::kDensityColumn,
                        RunTableModel::kFactorColumn, RunTableModel::kInterruptedColumn})
        view->setColumnHidden(c, true);
    QHeaderView *header = view->horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this, view](const QPoint &at) {
        auto *menu = new QMenu(this);
        menu->setObjectName(QStringLiteral("mnuColumns"));
        menu->setAttribute(Qt::WA_DeleteOnClose);
        for (int c = 0; c < m_model->columnCount(); ++c) {
            QAction *action =
                menu->addAction(m_model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
            action->setCheckable(true);
            action->setChecked(!view->isColumnHidden(c));
            connect(action, &QAction::toggled, this, [this, view, c](bool shown) {
                view->setColumnHidden(c, !shown);
                fitColumns();
            });
        }
        menu->popup(view->horizontalHeader()->mapToGlobal(at));
    });
}

QList<int> frmHistory::neededWidths() const
{
    const QTableView *view = m_ui->tblRuns;
    const QAbstractItemView *rows = view; // QTableView hides its sizeHintForColumn()
    // The rows come in after the window has opened: the widths of their usual contents
    // (the longest mode and end, amounts of 7 digits) are given at once, so that they fit.
    const auto textWidth = [view](const QString &text) {
        return view->fontMetrics().horizontalAdvance(text) +
               2 * view->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, view) + 4;
    };
    const QHash<int, int> leastWidths{
        {RunTableModel::kStartedColumn, textWidth(QStringLiteral("0000-00-00 00:00:00"))},
        {RunTableModel::kEndedColumn, textWidth(QStringLiteral("0000-00-00 00:00:00"))},
        {RunTableModel::kModeColumn, textWidth(QStringLiteral("potentiometer"))},
        {RunTableModel::kSetValueColumn, textWidth(QStringLiteral("0000.000 ml/min"))},
        {RunTableModel::kDosesColumn, textWidth(QStringLiteral("0000 of 0000"))},
        {RunTableModel::kDeliveredColumn, textWidth(QStringLiteral("0.00000000 ml"))},
        {RunTableModel::kEndedByColumn, textWidth(QStringLiteral("program ended"))}};
    QList<int> widths;
    for (int c = 0; c < m_model->columnCount(); ++c) {
        if (view->isColumnHidden(c)) {
            widths << 0;
            continue;
        }
        const int width =
            std::max({rows->sizeHintForColumn(c), view->horizontalHeader()->sectionSizeHint(c),
                      leastWidths.value(c, 0)});
        widths << std::min(width, kWidestColumn);
    }
    return widths;
}

int frmHistory::widthAroundColumns() const
{
    const QTableView *view = m_ui->tblRuns;
    const QMargins margins = layout()->contentsMargins();
    return margins.left() + margins.right() + 2 * view->frameWidth() +
           view->verticalScrollBar()->sizeHint().width();
}

QSize frmHistory::fittingSize(const QSize &limit) const
{
    const QList<int> widths = neededWidths();
    const int columns = std::accumulate(widths.begin(), widths.end(), 0);
    const QTableView *view = m_ui->tblRuns;
    const int tableHeight = view->horizontalHeader()->sizeHint().height() + 2 * view->frameWidth() +
                            20 * view->verticalHeader()->defaultSectionSize() +
                            view->horizontalScrollBar()->sizeHint().height();
    const QSize wanted(std::max(minimumSizeHint().width(), columns + widthAroundColumns()),
                       sizeHint().height() - view->sizeHint().height() + tableHeight);
    return wanted.boundedTo(limit);
}

namespace {

// Narrows the widest of the given columns first, none below frmHistory::kNarrowestColumn,
// until all widths together fit into room.
void giveWay(QList<int> &widths, const QList<int> &columns, int room)
{
    const auto totalAt = [&](int level) {
        int total = 0;
        for (int c = 0; c < widths.size(); ++c)
            total += columns.contains(c) ? std::min(widths.at(c), level) : widths.at(c);
        return total;
    };
    int low = frmHistory::kNarrowestColumn;
    int high = 0;
    for (const int c : columns)
        high = std::max(high, widths.at(c));
    if (totalAt(high) <= room)
        return;
    while (low < high) {
        const int level = low + (high - low + 1) / 2;
        if (totalAt(level) <= room)
            low = level;
        else
            high = level - 1;
    }
    for (const int c : columns)
        widths[c] = std::min(widths.at(c), low);
}

} // namespace

void frmHistory::fitColumns()
{
    QList<int> widths = neededWidths();
    const int room = width() - widthAroundColumns();
    // Only free text gives way: a window narrower still scrolls rather than cut the times.
    giveWay(widths, {RunTableModel::kDeviceColumn, RunTableModel::kMediumColumn, RunTableModel::kNoteColumn},
            room);
    const bool outer = std::exchange(m_fitting, true);
    for (int c = 0; c < widths.size(); ++c)
        m_ui->tblRuns->setColumnWidth(c, widths.at(c));
    m_fitting = outer;
}

void frmHistory::showEvent(QShowEvent *event)
{
    // At the size the window opens with, its own or the one the operator gave it.
    if (m_dropped) {
        m_dropped = false;
        reload();
    }
    if (!m_fitted) {
        m_fitted = true;
        m_refitOnRows = m_model->rowCount() == 0;
        fitColumns();
        // The view measures only the rows it shows, and it shows them once laid out.
        QTimer::singleShot(0, this, [this] {
            if (!m_widthsSetByOperator)
                fitColumns();
        });
    }
    QWidget::showEvent(event);
}

void frmHistory::closeEvent(QCloseEvent *event)
{
    // A closed history holds no rows: a large journal's memory goes back at once.
    m_dropped = true;
    m_model->setCursor(nullptr);
    QWidget::closeEvent(event);
}

void frmHistory::reload()
{
    m_readError.clear();
    m_model->setCursor(std::make_shared<JournalCursor>(QStringList{m_path, m_rotatedPath}));
    m_model->fetchMore({});
    updateCount();
}

void frmHistory::onFetched(const QString &error)
{
    if (!error.isEmpty())
        m_readError = error;
    // The first rows came in after the window opened: the columns take the room their
    // texts need (a cut dose beside what was delivered), unless the operator set widths.
    if (m_refitOnRows && isVisible()) {
        m_refitOnRows = false;
        if (!m_widthsSetByOperator)
            fitColumns();
    }
    updateCount();
    fillView();
}

void frmHistory::fillView()
{
    const QScrollBar *bar = m_ui->tblRuns->verticalScrollBar();
    if (m_model->canFetchMore({}) &&
        (m_proxy->rowCount() < kRowsToFill || bar->value() == bar->maximum()))
        m_model->fetchMore({});
}

void frmHistory::addRecord(const RunRecord &record)
{
    if (!m_dropped)
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
    const QByteArray bytes = RunJournal::exportCsv(rowsToExport(), m_ui->chkExportBom->isChecked());
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
    // Older runs load as the list scrolls: an export of the list holds only those loaded.
    const bool selection = m_ui->tblRuns->selectionModel()->hasSelection();
    if (!selection && m_model->canFetchMore(QModelIndex()) &&
        showMessage(this,
                    tr("Only the %1 runs loaded so far are exported; older runs load as the list "
                       "scrolls. Scroll to the end of the list first to export them all.")
                        .arg(m_proxy->rowCount()),
                    windowTitle(), MsgButtons::OkCancel, MsgIcon::Question) != MsgResult::Ok)
        return;
    const QString chosen = saveFileName(
        this, tr("Export runs"), startPath(FileKind::Export, QStringLiteral("runs-export.csv")),
        tr("CSV files (*.csv);;All files (*)"));
    if (chosen.isEmpty())
        return;
    const QString file = QFileInfo(chosen).absoluteFilePath();
    QString error;
    if (!exportTo(file, &error)) {
        showMessage(this, error, windowTitle());
        return;
    }
    rememberFolder(FileKind::Export, file);
    m_exportStatus->setText(tr("Saved in %1.").arg(QDir::toNativeSeparators(file)));
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
