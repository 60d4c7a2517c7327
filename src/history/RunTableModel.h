#pragma once
// The journal's rows for a table view, and the filter by mode and first day the
// history window puts over them.
#include <QAbstractTableModel>
#include <QDate>
#include <QDateTime>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <memory>

namespace vyt {

class JournalCursor;

class RunTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kStartedColumn = 0;
    static constexpr int kEndedColumn = 1;
    static constexpr int kDeviceColumn = 3;
    static constexpr int kModeColumn = 5;
    static constexpr int kSetValueColumn = 6;
    static constexpr int kUnitColumn = 7; // shown with the set value
    static constexpr int kRepetitionsColumn = 8; // shown with the doses done
    static constexpr int kDosesColumn = 9;
    static constexpr int kDeliveredColumn = 10;
    static constexpr int kEndedByColumn = 11;
    static constexpr int kNoteColumn = 12;
    static constexpr int kMediumColumn = 13;
    static constexpr int kDensityColumn = 14;
    static constexpr int kFactorColumn = 15;
    // Shown with the amounts it belongs to, not as a column of its own.
    static constexpr int kDeliveredUnitColumn = 16;
    static constexpr int kInterruptedColumn = 17;
    // Times as QDateTime and numbers as numbers, so that sorting is not by text.
    static constexpr int kSortRole = Qt::UserRole;
    // The field exactly as the journal holds it, for export.
    static constexpr int kFieldRole = Qt::UserRole + 1;

    // Rows a fetch reads from the journal: the newest at once, older ones as the view
    // scrolls down to them.
    static constexpr int kFetchRows = 500;

    explicit RunTableModel(QObject *parent = nullptr);
    ~RunTableModel() override;

    // Drops the rows and reads from this cursor on, a chunk at a time in a worker.
    void setCursor(std::shared_ptr<JournalCursor> cursor);
    // A chunk is being read.
    [[nodiscard]] bool fetching() const { return m_fetching; }
    [[nodiscard]] bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

    // Rows as RunJournal::readRows gives them.
    void setRows(const QList<QStringList> &rows);
    void addRow(const QStringList &fields);
    [[nodiscard]] QStringList fields(int row) const { return m_rows.value(row).fields; }
    [[nodiscard]] QDateTime started(int row) const { return m_rows.value(row).started; }

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;

signals:
    // A chunk has come in; error says why the journal could not be read (empty: no fault).
    void fetched(const QString &error);

private:
    struct Chunk {
        QList<QStringList> rows;
        bool atEnd = false;
        QString error;
    };
    void addChunk(const Chunk &chunk);

    struct Row {
        QStringList fields;
        QDateTime started;
        QDateTime ended;
    };
    static Row makeRow(const QStringList &fields);
    QList<Row> m_rows;
    std::shared_ptr<JournalCursor> m_cursor; // used by one worker at a time
    bool m_fetching = false;
    bool m_exhausted = true;
    quint64 m_generation = 0; // a chunk of an earlier cursor is dropped
};

class RunFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit RunFilterModel(QObject *parent = nullptr);

    // Only runs of this mode; empty shows every mode.
    void setMode(const QString &mode);
    // Only runs started on this local day or later; an invalid date shows all.
    void setFirstDay(const QDate &day);

protected:
    [[nodiscard]] bool filterAcceptsRow(int sourceRow, const QModelIndex &parent) const override;

private:
    QString m_mode;
    QDate m_firstDay;
};

} // namespace vyt
