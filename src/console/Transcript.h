#pragma once
// The console's transcript: each line stamped with its time and marked as sent (">") or
// received ("<"). It shows what the console put on the line as it went out, whichever
// control sent it, and the replies to the console's questions; other senders (a run,
// remote control) and the console's live-value poll are left out. Input that arrives while
// nobody reads (a late reply, a "p" notification) is shown too, marked as unsolicited,
// instead of being dropped by the next command. The lines outlive the console.
#include <QByteArray>
#include <QObject>
#include <QTime>
#include <QTimer>

class QPlainTextEdit;

namespace vyt {

class ControllerLink;
struct PumpState;
class TranscriptLines;

class Transcript : public QObject {
    Q_OBJECT
public:
    // An unsolicited line without its LF is shown after this long without more input.
    static constexpr int kQuietMs = 250;
    // Of an endless unsolicited line only the newest this many bytes are kept and shown, so
    // that noise fills neither the memory nor the transcript.
    static constexpr qsizetype kMaxLineBytes = 4096;

    // Shows the lines kept so far in view and adds what sender sends from now on.
    Transcript(QPlainTextEdit &view, TranscriptLines &lines, ControllerLink &link, PumpState &state,
               QObject &sender, QObject *parent = nullptr);

    void clear();
    [[nodiscard]] QString text() const;
    // The transcript as UTF-8 text, written whole or not at all; false and a reason on failure.
    [[nodiscard]] bool saveTo(const QString &file, QString *error) const;

    // "12:00:01.250 > GN": the form of every line.
    [[nodiscard]] static QString line(const QTime &time, QChar mark, const QString &text);
    // Control characters shown by name ("<CR>", "<0x13>"), so that every line stays one line.
    [[nodiscard]] static QString printable(const QString &text);
    static constexpr const char *kUnsolicited = " (unsolicited)";
    // The note for output a stop dropped: "(not sent: 120 bytes dropped for the stop)".
    [[nodiscard]] static QString dropNote(qint64 bytes);

private:
    void sent(const QString &text, QObject *origin);
    void received(const QString &text, QObject *origin);
    void append(QChar mark, const QString &text);
    void droppedForStop(qint64 bytes);
    void takeUnsolicited(const QByteArray &bytes);
    void showUnsolicited(bool partialToo);

    QPlainTextEdit &m_view;
    TranscriptLines &m_lines;
    ControllerLink &m_link;
    QObject &m_sender;
    PumpState &m_state;
    QByteArray m_pending;
    qsizetype m_dropped = 0; // of the line in m_pending, left out of a flood
    QTimer m_quiet;
};

} // namespace vyt
