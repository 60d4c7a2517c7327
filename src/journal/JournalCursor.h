#pragma once
// Reads the run journal newest first: runs.csv from its end backwards, then the rotated
// runs.csv.1, a block at a time, so that a read never holds a whole file. No QObject:
// a cursor may be handed from one worker thread to the next, one at a time.
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace vyt {

class JournalCursor {
public:
    // Bytes read at a time from the end.
    static constexpr qint64 kBlockBytes = 64 * 1024;
    // A record longer than this is taken for damage: the reader finds its footing again
    // at the next line start instead of reading on to the file's beginning.
    static constexpr qint64 kLongestRecord = 1024 * 1024;

    // The files newest first (runs.csv, runs.csv.1). They are opened now, so that rows
    // appended or a rotation after this moment neither show up nor shift what is read.
    explicit JournalCursor(const QStringList &paths);
    ~JournalCursor();
    JournalCursor(const JournalCursor &) = delete;
    JournalCursor &operator=(const JournalCursor &) = delete;

    // The next older row, padded to the header's width; nothing at the end or on an error.
    [[nodiscard]] std::optional<QStringList> next();
    // Up to count rows, newest first.
    [[nodiscard]] QList<QStringList> take(int count);
    [[nodiscard]] bool atEnd() const { return m_file >= m_files.size(); }
    // Why a file could not be read; empty when all went well.
    [[nodiscard]] QString error() const { return m_error; }

private:
    struct File {
        QString path;
        int fd = -1;
        qint64 size = 0;
        int width = 0; // of its rows, as its header says
    };
    bool readBlock();
    void parseTail(qsizetype from, bool fileStart);
    void nextFile();
    void fail(const File &file, int error);

    std::vector<File> m_files;
    size_t m_file = 0;
    qint64 m_pos = 0;                // bytes before m_carry still to be read
    QByteArray m_carry;              // read, not yet parsed: ends at a record boundary
    QList<QStringList> m_pending;    // parsed, oldest first: handed out from the back
    QString m_error;
};

// What a read of the journal gives: rows newest first.
struct JournalPage {
    QList<QStringList> rows;
    bool truncated = false; // more rows matched than limit
    QString error;
};

// Rows started at or after since (invalid: all), newest first, at most limit. Rows are
// appended as runs end, so the read stops once a row ended well before since.
[[nodiscard]] JournalPage readNewest(const QStringList &paths, const QDateTime &since,
                                     int limit);

} // namespace vyt
