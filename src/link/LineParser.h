#pragma once
// What comes in from the controller, cut into whole lines. The arrival notification
// "p" CR LF is recognised wherever its bytes fall: split across reads, before or after a
// reply, glued to other bytes. Everything else is a line for the request in flight.
#include <QByteArray>
#include <QList>

namespace vyt {

class LineParser {
public:
    // The most of an unfinished line that is kept; older bytes are dropped.
    static constexpr qsizetype kMaxLineBytes = 4096;

    struct Piece {
        enum class Kind { Notification, Line };
        Kind kind = Kind::Line;
        QByteArray bytes; // a line with its CR LF; empty for a notification
    };

    // Takes bytes as they arrived. replyAwaited: a query waits for its reply, so that only a
    // line that is nothing but the notification counts as one; otherwise a line ending in
    // it does (noise glued in front of it is dropped).
    [[nodiscard]] QList<Piece> feed(const QByteArray &bytes, bool replyAwaited);
    // The unfinished line, taken out: a reply that never got its line feed. A "p" or "p" CR
    // that may still become the notification stays.
    [[nodiscard]] QByteArray takeUnfinished();
    // Forgets what is unfinished, the start of a notification included (arming a move).
    void clear() { m_buffer.clear(); }
    // Forgets stale bytes before a query goes out, but keeps a notification's start.
    void dropStale();
    [[nodiscard]] const QByteArray &unfinished() const { return m_buffer; }

private:
    [[nodiscard]] bool startsNotification() const;

    QByteArray m_buffer;
};

} // namespace vyt
