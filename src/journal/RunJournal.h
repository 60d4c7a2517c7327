#pragma once
// The run journal: one CSV row per finished run, appended to runs.csv in the
// program's data folder, so that the operator can look back at what was delivered.
// A long run leaves "running" rows before its final one; the last row of a start wins.
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <utility>

namespace vyt {

struct RunRecord {
    QDateTime started;
    QDateTime ended;
    QString port;          // "COM1"
    QString device;        // "/dev/ttyUSB0"
    QString pumpType;      // "vyt-P02"
    QString mode;          // "dosing", "flow" or "potentiometer"
    QString setValue;      // already formatted
    QString unit;          // "µl", "mg", "rev.", "ml/min", "g/min", "rpm" or empty
    QString repetitions;   // a number, "endless" or empty
    qint64 dosesDone = -1; // -1 leaves the field empty
    QString delivered;
    // "completed", "stopped", "program ended", "link lost", "no reply", "crashed";
    // "running" for a progress row of a run still going on.
    QString endedBy;
    QString note;
    // Columns added later, after the first 13 so that older readers keep working.
    QString medium;            // the named medium in force; empty for own values
    QString density;           // already formatted, as the settings hold it
    QString calibrationFactor; // already formatted
    QString deliveredUnit;     // the unit of delivered: "µl", "mg", "rev.", "ml", "g"
    // The nominal quantity of a dose that was moving when the run ended: how much of it
    // was delivered is not known. Empty when no dose was cut short.
    QString interruptedDose;

    // The texts of the journal's columns, in header order.
    [[nodiscard]] QStringList fields() const;
    // The inverse of fields(); missing fields stay empty, unreadable times invalid.
    [[nodiscard]] static RunRecord fromFields(const QStringList &fields);
};

class RunJournal : public QObject {
    Q_OBJECT
public:
    // A journal past this size is moved to runs.csv.1 before the next row.
    static constexpr qint64 kRotationSize = 10LL * 1024 * 1024;

    explicit RunJournal(QString path = defaultPath(), QObject *parent = nullptr);

    // runs.csv in the application's local data folder (XDG_DATA_HOME on Linux).
    [[nodiscard]] static QString defaultPath();
    [[nodiscard]] QString path() const { return m_path; }
    // Where the previous journal goes on rotation.
    [[nodiscard]] QString rotatedPath() const { return m_path + QStringLiteral(".1"); }

    void setRotationSize(qint64 bytes) { m_rotationSize = bytes; }
    [[nodiscard]] qint64 rotationSize() const { return m_rotationSize; }

    // Appends one row (and the header to a new or empty file). False when the row
    // could not be written; error() then says why. Never shows a message itself.
    [[nodiscard]] bool append(const RunRecord &record);
    [[nodiscard]] QString error() const { return m_error; }

    // A descriptor of the journal opened for appending (O_APPEND), for the row a crash
    // leaves; a new or empty journal gets its header first. -1 when it cannot be had.
    // The caller closes it.
    [[nodiscard]] int openForCrashRow();

    // Local time with its UTC offset ("2026-12-07T15:30:00+01:00"), to the second or
    // to the millisecond; an invalid time gives an empty text.
    [[nodiscard]] static QString timeText(const QDateTime &time, bool milliseconds = false);
    // The column names, in order.
    [[nodiscard]] static QStringList header();
    // How many columns the journals of older versions had: a file begun with their
    // header keeps rows of that width until rotation begins a new one.
    static constexpr int kFirstColumns = 13;
    // The width of the rows the journal's file takes: its header's, or the full header's
    // for a new or empty file.
    [[nodiscard]] int rowWidth();
    // The record's line as this journal's file takes it (its header's width).
    [[nodiscard]] QByteArray rowLine(const RunRecord &record);
    // The width of a file's rows, from the header text at its start; the full width
    // when text has no header of ours.
    [[nodiscard]] static int widthOfHeader(const QByteArray &fileStart);
    // One CSV record with its CRLF, fields quoted where RFC 4180 needs it.
    [[nodiscard]] static QByteArray csvLine(const QStringList &fields);
    // A cell as a file for spreadsheets holds it: a text that begins with = + - @, a tab
    // or a CR would be taken for a formula and gets a leading apostrophe ("'=1+2*3");
    // a plain number ("-2.5", "+3", "-1E+07") is left as it is.
    [[nodiscard]] static QString spreadsheetCell(const QString &cell);
    // csvLine() for the files the operator opens in a spreadsheet (exports, value logs);
    // runs.csv itself keeps its cells exact.
    [[nodiscard]] static QByteArray spreadsheetLine(const QStringList &fields);
    // The rows (in the full header's width) as an export for spreadsheets: UTF-8, the
    // header first, formula-like cells guarded; withBom puts a byte order mark in front
    // for spreadsheet programs that take a file without one for their own code page.
    [[nodiscard]] static QByteArray exportCsv(const QList<QStringList> &rows, bool withBom);
    // Parses CSV text into records (header included), tolerant of damage: a record
    // whose quote never closes is read as one plain line, so later rows survive.
    // starts, when given, receives each record's byte offset in text.
    [[nodiscard]] static QList<QStringList> parseCsv(const QByteArray &text,
                                                     QList<qsizetype> *starts = nullptr);
    // A parsed record of a file whose rows are `width` wide, as a row of the full
    // header's width. In a file of the first 13 columns extra fields (an unquoted comma)
    // join the note at its end; missing fields are empty.
    [[nodiscard]] static QStringList paddedRow(QStringList fields, int width);
    // The journal's rows without the header, each padded to the header's width.
    // A missing file is no error: it gives no rows.
    [[nodiscard]] static QList<QStringList> readRows(const QString &path, QString *error = nullptr);

signals:
    void appended(const vyt::RunRecord &record);

private:
    bool rotate();
    // The file open on fd has rows of this width (its header was just written).
    void noteWidth(int fd, int width);
    bool fail(const QString &why);

    QString m_path;
    QString m_error;
    qint64 m_rotationSize = kRotationSize;
    // Size of the file after our last write: when it still matches, the file ends
    // with our CRLF and needs no check for a torn last line.
    qint64 m_knownSize = -1;
    // The row width of the file of this device and inode, read from its header.
    std::pair<quint64, quint64> m_widthFile{0, 0};
    int m_knownWidth = 0;
};

} // namespace vyt

Q_DECLARE_METATYPE(vyt::RunRecord)
