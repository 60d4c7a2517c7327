#include "history/RunTableModel.h"

#include "journal/JournalCursor.h"
#include "journal/RunJournal.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>
#include <limits>

namespace vyt {
namespace {

QString timeShown(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QString();
}

// Numbers in the journal are written with "." whatever the locale.
QVariant numberOrLowest(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? value : std::numeric_limits<double>::lowest();
}

} // namespace

RunTableModel::RunTableModel(QObject *parent) : QAbstractTableModel(parent)
{
}

RunTableModel::~RunTableModel() = default;

void RunTableModel::setCursor(std::shared_ptr<JournalCursor> cursor)
{
    beginResetModel();
    m_rows.clear();
    m_cursor = std::move(cursor);
    m_exhausted = !m_cursor;
    m_fetching = false;
    ++m_generation;
    endResetModel();
}

bool RunTableModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_exhausted && !m_fetching;
}

void RunTableModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    m_fetching = true;
    // The read runs in a worker: the window's thread schedules the motor.
    auto *watcher = new QFutureWatcher<Chunk>(this);
    const quint64 generation = m_generation;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation == m_generation)
            addChunk(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([cursor = m_cursor] {
        Chunk chunk;
        chunk.rows = cursor->take(kFetchRows);
        chunk.atEnd = cursor->atEnd();
        chunk.error = cursor->error();
        return chunk;
    }));
}

void RunTableModel::addChunk(const Chunk &chunk)
{
    m_fetching = false;
    m_exhausted = chunk.atEnd;
    if (!chunk.rows.isEmpty()) {
        beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + chunk.rows.size() - 1));
        for (const QStringList &fields : chunk.rows)
            m_rows << makeRow(fields);
        endInsertRows();
    }
    emit fetched(chunk.error);
}

namespace {

// "30 µl": an amount and its unit in one cell, so that the unit needs no column of its own.
QString withUnit(const QString &amount, const QString &unit)
{
    return amount.isEmpty() || unit.isEmpty() ? amount : amount + QLatin1Char(' ') + unit;
}

} // namespace

RunTableModel::Row RunTableModel::makeRow(const QStringList &fields)
{
    Row row{fields, QDateTime::fromString(fields.value(kStartedColumn), Qt::ISODate),
            QDateTime::fromString(fields.value(kEndedColumn), Qt::ISODate)};
    while (row.fields.size() < RunJournal::header().size())
        row.fields << QString();
    return row;
}

void RunTableModel::setRows(const QList<QStringList> &rows)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(rows.size());
    for (const QStringList &fields : rows)
        m_rows << makeRow(fields);
    endResetModel();
}

void RunTableModel::addRow(const QStringList &fields)
{
    beginInsertRows({}, m_rows.size(), m_rows.size());
    m_rows << makeRow(fields);
    endInsertRows();
}

int RunTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RunTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(RunJournal::header().size());
}

QVariant RunTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows.at(index.row());
    const int column = index.column();
    const QString field = row.fields.value(column);
    switch (role) {
    case kFieldRole: return field;
    case Qt::ToolTipRole:
        if (column == kMediumColumn && !row.fields.value(kDensityColumn).isEmpty())
            return tr("Density %1, calibration factor %2")
                .arg(row.fields.value(kDensityColumn), row.fields.value(kFactorColumn));
        return column == kNoteColumn && !field.isEmpty() ? field : QVariant();
    case kSortRole:
        switch (column) {
        case kStartedColumn: return row.started;
        case kEndedColumn: return row.ended;
        case kSetValueColumn:
        case kDosesColumn:
        case kDensityColumn:
        case kFactorColumn:
        case kInterruptedColumn:
        case kDeliveredColumn: return numberOrLowest(field);
        default: return field;
        }
    case Qt::DisplayRole:
        switch (column) {
        case kStartedColumn: return row.started.isValid() ? timeShown(row.started) : field;
        case kEndedColumn: return row.ended.isValid() ? timeShown(row.ended) : field;
        case kSetValueColumn: return withUnit(field, row.fields.value(kUnitColumn));
        case kDosesColumn: {
            const QString of = row.fields.value(kRepetitionsColumn);
            if (field.isEmpty() || of.isEmpty())
                return field;
            return of == QLatin1String("endless") ? tr("%1 (endless)").arg(field)
                                                  : tr("%1 of %2").arg(field, of);
        }
        case kDeliveredColumn: {
            // A dose cut short in its move: its part is unknown, so it is told beside.
            const QString unit = row.fields.value(kDeliveredUnitColumn);
            const QString cut = row.fields.value(kInterruptedColumn);
            return cut.isEmpty() ? withUnit(field, unit)
                                 : tr("%1 + up to %2").arg(withUnit(field, unit), withUnit(cut, unit));
        }
        case kInterruptedColumn: return withUnit(field, row.fields.value(kDeliveredUnitColumn));
        case kNoteColumn: {
            // A note over several lines stays on one table line; the tool tip has it whole.
            QString oneLine = field;
            oneLine.replace(QLatin1String("\r\n"), QLatin1String(" "));
            oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
            oneLine.replace(QLatin1Char('\r'), QLatin1Char(' '));
            return oneLine;
        }
        default: return field;
        }
    default: return {};
    }
}

QVariant RunTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    // The window is narrow for so many columns: the factor goes by its short name.
    QString name = section == kFactorColumn ? QStringLiteral("factor")
                                            : RunJournal::header().value(section);
    if (!name.isEmpty())
        name[0] = name.at(0).toUpper();
    return name;
}

RunFilterModel::RunFilterModel(QObject *parent) : QSortFilterProxyModel(parent)
{
    setSortRole(RunTableModel::kSortRole);
    setDynamicSortFilter(true);
}

void RunFilterModel::setMode(const QString &mode)
{
    m_mode = mode;
    invalidateFilter();
}

void RunFilterModel::setFirstDay(const QDate &day)
{
    m_firstDay = day;
    invalidateFilter();
}

bool RunFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &parent) const
{
    const auto *runs = qobject_cast<const RunTableModel *>(sourceModel());
    if (!runs || parent.isValid())
        return true;
    if (!m_mode.isEmpty() && runs->fields(sourceRow).value(RunTableModel::kModeColumn) != m_mode)
        return false;
    if (m_firstDay.isValid()) {
        const QDateTime started = runs->started(sourceRow);
        if (!started.isValid() || started.toLocalTime().date() < m_firstDay)
            return false;
    }
    return true;
}

} // namespace vyt
