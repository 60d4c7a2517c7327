#include "journal/JournalCursor.h"

#include "journal/RunJournal.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyt {
namespace {

// Rows land in the journal when their run ends; instances on one machine may write a
// little out of order, and the clock may be set back a little. This much is read on.
constexpr qint64 kOrderSlackSecs = 10 * 60;

// The line starts in text after which an even number of quotes follows, in order: text
// ends at a record boundary, so such a line start begins a record (a quoted line end has
// an odd number after it) unless a torn row further on has turned the count over.
QList<qsizetype> recordStarts(const QByteArray &text)
{
    QList<qsizetype> starts;
    qsizetype quotes = 0;
    for (qsizetype i = text.size() - 2; i >= 0; --i) {
        if (text.at(i + 1) == '"')
            ++quotes;
        if (text.at(i) == '\n' && quotes % 2 == 0)
            starts.prepend(i + 1);
    }
    return starts;
}

// Every row this program writes has its file's header's width: a line start inside a
// quoted note gives a first record of another width.
qsizetype trustedStart(const QByteArray &text, int width)
{
    const QList<qsizetype> starts = recordStarts(text);
    for (qsizetype i = 0; i < starts.size(); ++i) {
        const qsizetype end = i + 1 < starts.size() ? starts.at(i + 1) : text.size();
        const QList<QStringList> rows =
            RunJournal::parseCsv(text.mid(starts.at(i), end - starts.at(i)));
        if (!rows.isEmpty() && rows.first().size() == width)
            return starts.at(i);
    }
    return -1;
}

bool readFully(int fd, char *to, qint64 bytes, qint64 at)
{
    while (bytes > 0) {
        const ssize_t got = ::pread(fd, to, size_t(bytes), off_t(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // the file was cut short under us
            return false;
        }
        to += got;
        at += got;
        bytes -= got;
    }
    return true;
}

// The row width of a file, from the header at its start.
int headerWidth(int fd, qint64 size)
{
    QByteArray head(std::min<qint64>(size, 4096), Qt::Uninitialized);
    if (head.isEmpty() || !readFully(fd, head.data(), head.size(), 0))
        return int(RunJournal::header().size());
    return RunJournal::widthOfHeader(head);
}

} // namespace

JournalCursor::JournalCursor(const QStringList &paths)
{
    for (const QString &path : paths) {
        File file{path};
        file.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (file.fd < 0 && errno == ENOENT)
            continue; // no journal yet, or never rotated: no rows, no error
        if (file.fd < 0 || ::fstat(file.fd, &info) != 0) {
            fail(file, errno);
            if (file.fd >= 0)
                ::close(file.fd);
            continue;
        }
        file.size = S_ISREG(info.st_mode) ? qint64(info.st_size) : 0;
        file.width = headerWidth(file.fd, file.size);
        m_files.push_back(file);
    }
    if (!m_files.empty())
        m_pos = m_files.front().size;
}

JournalCursor::~JournalCursor()
{
    for (const File &file : m_files)
        ::close(file.fd);
}

void JournalCursor::fail(const File &file, int error)
{
    m_error = RunJournal::tr("The run journal %1 cannot be read: %2.")
                  .arg(QDir::toNativeSeparators(file.path), qt_error_string(error));
}

std::optional<QStringList> JournalCursor::next()
{
    while (m_pending.isEmpty()) {
        if (atEnd())
            return std::nullopt;
        if (!readBlock())
            nextFile();
    }
    return m_pending.takeLast();
}

QList<QStringList> JournalCursor::take(int count)
{
    QList<QStringList> rows;
    while (rows.size() < count) {
        std::optional<QStringList> row = next();
        if (!row)
            break;
        rows << std::move(*row);
    }
    return rows;
}

void JournalCursor::nextFile()
{
    ++m_file;
    m_carry = QByteArray();
    m_pos = atEnd() ? 0 : m_files.at(m_file).size;
}

// Reads the block before what is read already and parses the whole records it completes;
// false once the file is done.
bool JournalCursor::readBlock()
{
    if (m_pos == 0) {
        if (m_carry.isEmpty())
            return false;
        parseTail(0, true);
        return true;
    }
    const File &file = m_files.at(m_file);
    const qint64 bytes = std::min(kBlockBytes, m_pos);
    QByteArray block(bytes, Qt::Uninitialized);
    if (!readFully(file.fd, block.data(), bytes, m_pos - bytes)) {
        fail(file, errno);
        m_pos = 0;
        m_carry = QByteArray();
        return false;
    }
    m_pos -= bytes;
    m_carry.prepend(block);
    if (m_pos == 0) {
        parseTail(0, true);
        return true;
    }
    const qsizetype start = trustedStart(m_carry, file.width);
    if (start > 0) {
        parseTail(start, false);
        return true;
    }
    if (m_carry.size() <= kLongestRecord)
        return true; // one record so far: read on
    // An unclosed quote has spoilt the count. The records from the first line start are
    // parsed as a forward read would; the first may be cut, so it is read again later.
    const qsizetype line = m_carry.indexOf('\n') + 1;
    if (line <= 0 || line >= m_carry.size()) {
        parseTail(0, false);
        return true;
    }
    QList<qsizetype> starts;
    QList<QStringList> rows = RunJournal::parseCsv(m_carry.mid(line), &starts);
    qsizetype keep = line;
    if (rows.size() >= 2) {
        rows.removeFirst();
        keep += starts.at(1);
    }
    for (QStringList &row : rows)
        m_pending << RunJournal::paddedRow(std::move(row), file.width);
    m_carry.truncate(keep);
    return true;
}

void JournalCursor::parseTail(qsizetype from, bool fileStart)
{
    QList<QStringList> rows = RunJournal::parseCsv(m_carry.mid(from));
    if (fileStart && !rows.isEmpty() && rows.first().value(0) == RunJournal::header().first())
        rows.removeFirst();
    const int width = m_files.at(m_file).width;
    for (QStringList &row : rows)
        m_pending << RunJournal::paddedRow(std::move(row), width);
    if (fileStart)
        m_carry = QByteArray();
    else
        m_carry.truncate(from);
}

JournalPage readNewest(const QStringList &paths, const QDateTime &since, int limit)
{
    JournalPage page;
    JournalCursor cursor(paths);
    const QDateTime oldestEnd = since.isValid() ? since.addSecs(-kOrderSlackSecs) : QDateTime();
    while (std::optional<QStringList> row = cursor.next()) {
        if (since.isValid()) {
            const QDateTime ended = QDateTime::fromString(row->value(1), Qt::ISODate);
            if (ended.isValid() && ended < oldestEnd)
                break; // every older row ended earlier still, so started before since
            const QDateTime started = QDateTime::fromString(row->value(0), Qt::ISODate);
            if (!started.isValid() || started < since)
                continue;
        }
        if (page.rows.size() >= limit) {
            page.truncated = true;
            break;
        }
        page.rows << std::move(*row);
    }
    page.error = cursor.error();
    return page;
}

} // namespace vyt
