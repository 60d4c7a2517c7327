#include "session/RunProgressRows.h"

#include "link/ProcessGuard.h"

#include <unistd.h>

namespace vyt {

RunProgressRows::RunProgressRows(RunJournal &journal, RowSource source, RowWriter write,
                                 QObject *parent)
    : QObject(parent), m_journal(journal), m_source(std::move(source)), m_write(std::move(write)),
      m_deadline(this)
{
    connect(&m_deadline, &Deadline::expired, this, &RunProgressRows::writeProgress);
}

RunProgressRows::~RunProgressRows()
{
    end();
}

void RunProgressRows::begin()
{
    m_active = true;
    openDescriptor();
    refresh();
    m_deadline.start(kIntervalMs);
}

void RunProgressRows::refresh()
{
    if (!m_active || m_fd < 0)
        return;
    RunRecord row = m_source();
    row.ended = QDateTime::currentDateTime();
    row.endedBy = QStringLiteral("crashed");
    const QByteArray crashed = m_journal.rowLine(row);
    row.endedBy = QStringLiteral("program ended");
    const QByteArray ended = m_journal.rowLine(row);
    if (ProcessGuard::setCrashRow(m_fd, crashed, ended))
        return;
    // Too long for the handler's room (a long note): the counts matter, the note less.
    row.note.clear();
    const QByteArray shortEnded = m_journal.rowLine(row);
    row.endedBy = QStringLiteral("crashed");
    (void)ProcessGuard::setCrashRow(m_fd, m_journal.rowLine(row), shortEnded);
}

void RunProgressRows::end()
{
    m_active = false;
    m_deadline.stop();
    closeDescriptor();
}

void RunProgressRows::writeProgress()
{
    if (!m_active)
        return;
    RunRecord row = m_source();
    row.ended = QDateTime::currentDateTime();
    row.endedBy = QStringLiteral("running");
    row.interruptedDose.clear(); // the dose moving now is not cut short: it goes on
    m_write(row);
    // The append may have rotated the journal: the crash row goes to the file in its place.
    closeDescriptor();
    openDescriptor();
    refresh();
    m_deadline.start(kIntervalMs);
}

void RunProgressRows::openDescriptor()
{
    m_fd = m_journal.openForCrashRow();
}

void RunProgressRows::closeDescriptor()
{
    // The handler forgets the descriptor before it is closed and perhaps reused.
    ProcessGuard::clearCrashRow();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace vyt
