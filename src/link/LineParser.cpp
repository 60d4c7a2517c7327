#include "link/LineParser.h"

namespace vyt {

namespace {
const QByteArray kNotification = QByteArrayLiteral("p\r\n");
} // namespace

QList<LineParser::Piece> LineParser::feed(const QByteArray &bytes, bool replyAwaited)
{
    QList<Piece> pieces;
    m_buffer += bytes;
    qsizetype from = 0;
    for (qsizetype lf = m_buffer.indexOf('\n'); lf >= 0; lf = m_buffer.indexOf('\n', from)) {
        // A reply is all that came with it up to the last line feed: "12\r\r\n\n34\r\n" is one
        // reply whatever pairs it holds; a notification before it stays one.
        if (replyAwaited && m_buffer.mid(from, lf + 1 - from) != kNotification) {
            qsizetype end = m_buffer.lastIndexOf('\n');
            // A notification after the reply is one of its own.
            while (end > lf && QByteArrayView(m_buffer).first(end + 1).endsWith("\np\r\n"))
                end -= kNotification.size();
            lf = end;
        }
        const QByteArray line = m_buffer.mid(from, lf + 1 - from);
        from = lf + 1;
        const bool notification =
            replyAwaited ? line == kNotification : line.endsWith(kNotification);
        if (notification)
            pieces.append({Piece::Kind::Notification, {}});
        else
            pieces.append({Piece::Kind::Line, line});
    }
    m_buffer.remove(0, from);
    // A line is short: of a flood only the newest part is kept.
    if (const qsizetype drop = m_buffer.size() - kMaxLineBytes; drop > 0)
        m_buffer.remove(0, drop);
    return pieces;
}

bool LineParser::startsNotification() const
{
    return m_buffer == "p" || m_buffer == "p\r";
}

QByteArray LineParser::takeUnfinished()
{
    if (startsNotification())
        return {};
    return std::exchange(m_buffer, QByteArray());
}

void LineParser::dropStale()
{
    if (!startsNotification())
        m_buffer.clear();
}

} // namespace vyt
