#pragma once
// Keeps the run journal abreast of a run going on, so that a long run is not lost with
// the program: a row marked "running" every minute, and the row a crash leaves, kept
// preformatted for the fatal-signal handler. The final row follows them when the run ends.
#include "journal/RunJournal.h"
#include "session/Wait.h"

#include <QObject>
#include <functional>

namespace vyt {

class RunProgressRows : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kIntervalMs = 60000;
    // The run's row as it stands (what it has done so far; "ended by" is set here).
    using RowSource = std::function<RunRecord()>;
    // Appends a progress row; the owner decides what a failure is worth.
    using RowWriter = std::function<void(const RunRecord &)>;

    RunProgressRows(RunJournal &journal, RowSource source, RowWriter write,
                    QObject *parent = nullptr);
    ~RunProgressRows() override;

    // A run has started: its crash row is kept from now, its first progress row follows
    // in a minute.
    void begin();
    // The run has made progress (a dose, a display tick): the crash row follows it.
    void refresh();
    // The run has ended: no more rows from here; its final row is the owner's.
    void end();
    [[nodiscard]] bool isActive() const { return m_active; }

private:
    void writeProgress();
    void openDescriptor();
    void closeDescriptor();

    RunJournal &m_journal;
    RowSource m_source;
    RowWriter m_write;
    Deadline m_deadline;
    int m_fd = -1;
    bool m_active = false;
};

} // namespace vyt
