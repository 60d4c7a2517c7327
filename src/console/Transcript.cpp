#include "console/Transcript.h"

#include "config/NumberText.h"
#include "config/PumpState.h"
#include "console/TranscriptLines.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"

#include <QPlainTextEdit>
#include <QSaveFile>
#include <algorithm>

namespace vyt {

Transcript::Transcript(QPlainTextEdit &view, TranscriptLines &lines, ControllerLink &link,
                       PumpState &state, QObject &sender, QObject *parent)
    : QObject(parent), m_view(view), m_lines(lines), m_link(link), m_sender(sender), m_state(state)
{
    m_view.setMaximumBlockCount(int(TranscriptLines::kMaxLines));
    m_view.setPlainText(m_lines.text());
    m_view.moveCursor(QTextCursor::End);
    m_view.ensureCursorVisible();
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(kQuietMs);
    connect(&m_quiet, &QTimer::timeout, this, [this] { showUnsolicited(true); });
    connect(&m_link.line(), &LineQueue::unsolicited, this, &Transcript::takeUnsolicited);
    connect(&m_link, &ControllerLink::outputDroppedForStop, this, &Transcript::droppedForStop);
    connect(&m_link.line(), &LineQueue::written, this, &Transcript::sent);
    connect(&m_link.line(), &LineQueue::replyTaken, this, &Transcript::received);
}

QString Transcript::line(const QTime &time, QChar mark, const QString &text)
{
    return time.toString(QStringLiteral("hh:mm:ss.zzz")) + QLatin1Char(' ') + mark +
           QLatin1Char(' ') + text;
}

QString Transcript::printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\r'))
            out += QLatin1String("<CR>");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("<LF>");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("<0x%1>").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void Transcript::append(QChar mark, const QString &text)
{
    const QString shown = line(QTime::currentTime(), mark, printable(text));
    m_lines.append(shown);
    m_view.appendPlainText(shown);
    m_view.moveCursor(QTextCursor::End);
    m_view.ensureCursorVisible();
}

void Transcript::sent(const QString &text, QObject *origin)
{
    if (origin != &m_sender)
        return;
    // What came in before the command belongs before it.
    showUnsolicited(true);
    append(QLatin1Char('>'), text);
}

void Transcript::droppedForStop(qint64 bytes)
{
    // Commands shown as sent above may never have reached the controller.
    append(QLatin1Char('>'), dropNote(bytes));
}

QString Transcript::dropNote(qint64 bytes)
{
    return QStringLiteral("(not sent: %1 bytes dropped for the stop)").arg(integerForm(bytes));
}

void Transcript::received(const QString &text, QObject *origin)
{
    // A silent controller leaves no line.
    if (origin == &m_sender && !text.isEmpty())
        append(QLatin1Char('<'), text);
}

void Transcript::clear()
{
    m_lines.clear();
    m_view.clear();
}

QString Transcript::text() const
{
    return m_lines.text();
}

bool Transcript::saveTo(const QString &file, QString *error) const
{
    QString text = m_lines.text();
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    const QByteArray bytes = text.toUtf8();
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text) || out.write(bytes) != bytes.size() ||
        !out.commit()) {
        if (error)
            *error = out.errorString();
        return false;
    }
    return true;
}

void Transcript::takeUnsolicited(const QByteArray &bytes)
{
    // The line's reader hands over what no query waited for; it has seen the notification
    // in it already.
    m_pending += bytes;
    showUnsolicited(false);
    if (!m_pending.isEmpty())
        m_quiet.start();
}

void Transcript::showUnsolicited(bool partialToo)
{
    const auto show = [this](QByteArray bytes) {
        if (bytes.endsWith("\r\n"))
            bytes.chop(2);
        QString text = QString::fromLatin1(bytes);
        // Of a flood only the newest part is kept, as a reply keeps it.
        if (m_dropped > 0 || bytes.size() > kMaxLineBytes) {
            m_dropped += std::max<qsizetype>(0, bytes.size() - kMaxLineBytes);
            text = QStringLiteral("[%1 bytes left out] ").arg(m_dropped) +
                   QString::fromLatin1(bytes.right(kMaxLineBytes));
            m_dropped = 0;
        }
        append(QLatin1Char('<'), text + QLatin1String(kUnsolicited));
    };
    for (qsizetype end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
        show(m_pending.left(end + 1));
        m_pending.remove(0, end + 1);
    }
    // A line without end (noise) is held to its newest part until the line is quiet.
    if (const qsizetype excess = m_pending.size() - kMaxLineBytes; excess > 0) {
        m_dropped += excess;
        m_pending.remove(0, excess);
    }
    if (partialToo && !m_pending.isEmpty()) {
        m_quiet.stop();
        show(m_pending);
        m_pending.clear();
    }
}

} // namespace vyt
