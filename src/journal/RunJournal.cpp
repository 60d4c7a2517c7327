#include "journal/RunJournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyt {
namespace {

const QStringList &columns()
{
    static const QStringList names{
        QStringLiteral("started"),    QStringLiteral("ended"),     QStringLiteral("port"),
        QStringLiteral("device"),     QStringLiteral("pump type"), QStringLiteral("mode"),
        QStringLiteral("set value"),  QStringLiteral("unit"),      QStringLiteral("repetitions"),
        QStringLiteral("doses done"), QStringLiteral("delivered"), QStringLiteral("ended by"),
        QStringLiteral("note"),
        // Appended later: a reader of the first 13 columns reads on as before.
        QStringLiteral("medium"),     QStringLiteral("density"),   QStringLiteral("calibration factor"),
        QStringLiteral("delivered unit"), QStringLiteral("interrupted dose")};
    return names;
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool needsQuotes(const QByteArray &field)
{
    for (const char c : field)
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            return true;
    return false;
}

// Whether the file's last byte is a line end; only asked when someone else may have
// written the file last (another program instance, a crash in the middle of a row).
bool endsWithLineEnd(const QString &path, qint64 size)
{
    QFile file(path);
    char last = 0;
    return file.open(QIODevice::ReadOnly) && file.seek(size - 1) && file.getChar(&last) &&
           last == '\n';
}

// A damaged record read as one plain line: commas split it, quotes are kept as text.
QStringList plainLine(const QByteArray &line)
{
    QStringList fields;
    for (const QByteArray &part : line.split(','))
        fields << QString::fromUtf8(part);
    return fields;
}

} // namespace

// Local time with its offset: readable and unambiguous across DST. Qt 6.4 writes a
// local time without its offset and a zero offset as "Z", so the offset is spelt out here.
QString RunJournal::timeText(const QDateTime &time, bool milliseconds)
{
    if (!time.isValid())
        return {};
    const QDateTime local = time.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(milliseconds ? QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")
                                       : QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QStringList RunRecord::fields() const
{
    return {RunJournal::timeText(started),
            RunJournal::timeText(ended),
            port,
            device,
            pumpType,
            mode,
            setValue,
            unit,
            repetitions,
            dosesDone < 0 ? QString() : QString::number(dosesDone),
            delivered,
            endedBy,
            note,
            medium,
            density,
            calibrationFactor,
            deliveredUnit,
            interruptedDose};
}

RunRecord RunRecord::fromFields(const QStringList &f)
{
    RunRecord r;
    r.started = QDateTime::fromString(f.value(0), Qt::ISODate);
    r.ended = QDateTime::fromString(f.value(1), Qt::ISODate);
    r.port = f.value(2);
    r.device = f.value(3);
    r.pumpType = f.value(4);
    r.mode = f.value(5);
    r.setValue = f.value(6);
    r.unit = f.value(7);
    r.repetitions = f.value(8);
    bool ok = false;
    const qint64 doses = f.value(9).toLongLong(&ok);
    r.dosesDone = ok && doses >= 0 ? doses : -1;
    r.delivered = f.value(10);
    r.endedBy = f.value(11);
    r.note = f.value(12);
    r.medium = f.value(13);
    r.density = f.value(14);
    r.calibrationFactor = f.value(15);
    r.deliveredUnit = f.value(16);
    r.interruptedDose = f.value(17);
    return r;
}

RunJournal::RunJournal(QString path, QObject *parent) : QObject(parent), m_path(std::move(path))
{
    qRegisterMetaType<vyt::RunRecord>();
}

QString RunJournal::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/runs.csv");
}

QStringList RunJournal::header()
{
    return columns();
}

int RunJournal::widthOfHeader(const QByteArray &fileStart)
{
    const int full = int(columns().size());
    qsizetype end = fileStart.indexOf('\n');
    const QList<QStringList> records = parseCsv(end < 0 ? fileStart : fileStart.left(end + 1));
    if (records.isEmpty() || records.first().value(0) != columns().first())
        return full;
    return std::clamp(int(records.first().size()), kFirstColumns, full);
}

int RunJournal::rowWidth()
{
    struct stat info {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size == 0)
        return int(columns().size());
    // A file's header never changes while it lives: its width is read once per file, not
    // at every progress tick of a run.
    if (m_widthFile == std::pair<quint64, quint64>(info.st_dev, info.st_ino) && m_knownWidth > 0)
        return m_knownWidth;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return int(columns().size());
    m_knownWidth = widthOfHeader(file.read(4096));
    m_widthFile = {quint64(info.st_dev), quint64(info.st_ino)};
    return m_knownWidth;
}

void RunJournal::noteWidth(int fd, int width)
{
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0) {
        m_widthFile = {quint64(info.st_dev), quint64(info.st_ino)};
        m_knownWidth = width;
    }
}

QByteArray RunJournal::rowLine(const RunRecord &record)
{
    return csvLine(record.fields().mid(0, rowWidth()));
}

QByteArray RunJournal::csvLine(const QStringList &fields)
{
    QByteArray line;
    line.reserve(256);
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        QByteArray field = fields.at(i).toUtf8();
        if (needsQuotes(field)) {
            line += '"';
            line += field.replace('"', QByteArrayLiteral("\"\""));
            line += '"';
        } else {
            line += field;
        }
    }
    line += "\r\n";
    return line;
}

QString RunJournal::spreadsheetCell(const QString &cell)
{
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    // Either decimal mark: a number typed in the operator's locale is still a number.
    static const QRegularExpression kPlainNumber(
        QStringLiteral("^[+-]?(\\d+([.,]\\d*)?|[.,]\\d+)([eE][+-]?\\d+)?$"));
    if (cell.isEmpty() || !kFormulaStarts.contains(cell.front()) ||
        kPlainNumber.match(cell).hasMatch())
        return cell;
    return QLatin1Char('\'') + cell;
}

QByteArray RunJournal::spreadsheetLine(const QStringList &fields)
{
    QStringList guarded;
    guarded.reserve(fields.size());
    for (const QString &field : fields)
        guarded << spreadsheetCell(field);
    return csvLine(guarded);
}

QByteArray RunJournal::exportCsv(const QList<QStringList> &rows, bool withBom)
{
    QByteArray bytes = withBom ? QByteArrayLiteral("\xEF\xBB\xBF") : QByteArray();
    bytes += spreadsheetLine(header());
    for (const QStringList &row : rows)
        bytes += spreadsheetLine(row);
    return bytes;
}

bool RunJournal::fail(const QString &why)
{
    m_error = tr("The run journal %1 cannot be written: %2").arg(shown(m_path), why);
    m_knownSize = -1;
    return false;
}

bool RunJournal::rotate()
{
    // rename() replaces an older runs.csv.1 in one step on POSIX; elsewhere remove it first.
    if (std::rename(QFile::encodeName(m_path).constData(),
                    QFile::encodeName(rotatedPath()).constData()) == 0)
        return true;
    QFile::remove(rotatedPath());
    return QFile::rename(m_path, rotatedPath());
}

bool RunJournal::append(const RunRecord &record)
{
    m_error.clear();
    const QFileInfo info(m_path);
    if (info.isDir())
        return fail(tr("a folder of that name is in its place."));
    if (!QDir().mkpath(info.absolutePath()))
        return fail(tr("its folder %1 cannot be created.").arg(shown(info.absolutePath())));
    // A rotation that fails (runs.csv.1 held open, say) is no reason to lose the run:
    // the row then goes to the grown journal.
    if (info.exists() && info.size() > m_rotationSize && rotate())
        m_knownSize = -1;

    // Unbuffered: the row reaches the file in one write(2), which O_APPEND places whole
    // at the end even when another instance appends at the same time.
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return fail(file.errorString() + QLatin1Char('.'));
    const qint64 before = file.size();
    // A file begun by an older version keeps its header's width: no rewrite, and its
    // readers see the rows they know until rotation starts a new file.
    const int width = before == 0 ? int(columns().size()) : rowWidth();
    QByteArray bytes;
    if (before == 0)
        bytes = csvLine(header());
    else if (before != m_knownSize && !endsWithLineEnd(m_path, before))
        bytes = QByteArrayLiteral("\r\n"); // a torn last line must not swallow this row
    bytes += csvLine(record.fields().mid(0, width));

    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString why = file.errorString();
        // Take back a partial row so the next one starts on a line of its own.
        if (!file.isSequential())
            file.resize(before);
        return fail((why.isEmpty() ? tr("the disk is full") : why) + QLatin1Char('.'));
    }
    m_knownSize = before + bytes.size();
    if (before == 0)
        noteWidth(file.handle(), int(columns().size())); // a new file: an inode may come again
    emit appended(record);
    return true;
}

int RunJournal::openForCrashRow()
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return -1;
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd); // a device or a pipe in its place: no row of ours goes there blind
        return -1;
    }
    if (info.st_size == 0) {
        // A row without the header would be read as the header.
        const QByteArray head = csvLine(header());
        if (::write(fd, head.constData(), size_t(head.size())) != head.size()) {
            (void)::ftruncate(fd, 0); // half a header would become a row
            ::close(fd);
            return -1;
        }
        noteWidth(fd, int(columns().size()));
    }
    return fd;
}

QList<QStringList> RunJournal::parseCsv(const QByteArray &text, QList<qsizetype> *starts)
{
    QList<QStringList> records;
    const qsizetype n = text.size();
    qsizetype pos = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (pos < n) {
        const qsizetype start = pos;
        QStringList fields;
        QByteArray field;
        bool broken = false;
        bool endOfRecord = false;
        while (!endOfRecord) {
            if (pos < n && text.at(pos) == '"') {
                // Quoted field: up to the closing quote, "" stands for one quote.
                ++pos;
                for (;;) {
                    const qsizetype quote = text.indexOf('"', pos);
                    if (quote < 0) {
                        broken = true;
                        break;
                    }
                    field += text.mid(pos, quote - pos);
                    pos = quote + 1;
                    if (pos < n && text.at(pos) == '"') {
                        field += '"';
                        ++pos;
                    } else {
                        break;
                    }
                }
                if (broken)
                    break;
            }
            // Unquoted text (or stray text after a closing quote) up to the delimiter.
            qsizetype end = pos;
            while (end < n && text.at(end) != ',' && text.at(end) != '\r' && text.at(end) != '\n')
                ++end;
            field += text.mid(pos, end - pos);
            pos = end;
            fields << QString::fromUtf8(field);
            field.clear();
            if (pos >= n) {
                endOfRecord = true;
            } else if (text.at(pos) == ',') {
                ++pos;
            } else {
                if (text.at(pos) == '\r' && pos + 1 < n && text.at(pos + 1) == '\n')
                    ++pos;
                ++pos;
                endOfRecord = true;
            }
        }
        if (broken) {
            qsizetype end = text.indexOf('\n', start);
            if (end < 0)
                end = n;
            QByteArray line = text.mid(start, end - start);
            if (line.endsWith('\r'))
                line.chop(1);
            fields = plainLine(line);
            pos = end + 1;
        }
        if (fields.size() == 1 && fields.first().isEmpty())
            continue; // a blank line
        records << fields;
        if (starts)
            *starts << start;
    }
    return records;
}

QList<QStringList> RunJournal::readRows(const QString &path, QString *error)
{
    if (error)
        error->clear();
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error =
                tr("The run journal %1 cannot be read: %2.").arg(shown(path), file.errorString());
        return {};
    }
    const QByteArray text = file.readAll();
    const int width = widthOfHeader(text.left(4096));
    QList<QStringList> rows = parseCsv(text);
    if (!rows.isEmpty() && rows.first().value(0) == columns().first())
        rows.removeFirst();
    for (QStringList &row : rows)
        row = paddedRow(std::move(row), width);
    return rows;
}

QStringList RunJournal::paddedRow(QStringList row, int fileWidth)
{
    const int full = int(columns().size());
    const int width = std::clamp(fileWidth, int(kFirstColumns), full);
    // Extra fields come from an unquoted comma: they belong to the file's last column,
    // the note in a file of the first 13 columns.
    if (row.size() > width) {
        const QStringList rest = row.mid(width - 1);
        row = row.mid(0, width - 1);
        row << rest.join(QLatin1Char(','));
    }
    while (row.size() < full)
        row << QString();
    return row;
}

} // namespace vyt
