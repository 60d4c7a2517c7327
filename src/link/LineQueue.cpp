#include "link/LineQueue.h"

#include "link/MSComm.h"

#include <QScopedValueRollback>

namespace vyt {

LineQueue::LineQueue(MSComm &port, QObject *parent) : QObject(parent), m_port(port)
{
    m_replyTimer.setSingleShot(true);
    m_replyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, [this] {
        finishQuery(m_parser.takeUnfinished(), false);
    });
    connect(&m_port, &MSComm::inputArrived, this, &LineQueue::onInput);
    connect(&m_port, &MSComm::linkLost, this, &LineQueue::onLinkLost);
}

LineQueue::~LineQueue() = default;

bool LineQueue::cleanReply(QString &reply)
{
    // Until none is left: cutting one pair out of "\r\r\n\n" joins the next.
    while (reply.contains(QStringLiteral("\r\n")))
        reply.remove(QStringLiteral("\r\n"));
    const int p = reply.indexOf(QLatin1Char('p'));
    if (p < 0)
        return false;
    reply.remove(p, 1);
    return true;
}

void LineQueue::command(const QString &command, bool discardInput, std::function<void()> written,
                        QObject *origin)
{
    Request r;
    r.command = command;
    r.discardInput = discardInput;
    r.written = std::move(written);
    r.origin = origin;
    enqueue(std::move(r));
}

void LineQueue::query(const QString &command, int timeoutMs, QObject *context,
                      ReplyHandler handler)
{
    Request r;
    r.command = command;
    r.isQuery = true;
    r.timeoutMs = timeoutMs;
    r.context = context;
    r.origin = context;
    r.hasContext = context != nullptr;
    r.handler = std::move(handler);
    enqueue(std::move(r));
}

void LineQueue::enqueue(Request request)
{
    if (!m_port.PortOpen()) {
        // Nothing can go out: a query learns it at once, a command is dropped as a write
        // to a closed port always was.
        if (request.isQuery && request.handler && (!request.hasContext || request.context))
            request.handler(Reply{});
        return;
    }
    m_waiting.push_back(std::move(request));
    serve();
}

void LineQueue::serve()
{
    // A handler that queues the next request runs inside this loop; it is served here.
    if (m_serving)
        return;
    const QScopedValueRollback<bool> serving(m_serving, true);
    while (!m_inFlight && !m_waiting.empty()) {
        Request r = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (r.isQuery && r.hasContext && !r.context)
            continue; // whoever asked is gone: the query is not sent
        if (r.discardInput) {
            m_port.setInBufferCount(0);
            m_parser.clear();
        }
        if (r.isQuery) {
            // What came before the query is not its reply; a notification begun stays one.
            onInput();
            m_parser.dropStale();
        }
        write(r.command);
        emit written(r.command, r.origin);
        if (r.written)
            r.written();
        if (r.isQuery) {
            m_inFlight = true;
            m_current = std::move(r);
            m_replyTimer.start(m_current.timeoutMs);
        }
    }
}

void LineQueue::write(const QString &command)
{
    m_stopIsLast = false;
    m_port.setOutput(command.toLatin1() + '\r');
}

qint64 LineQueue::stop(const QStringList &commands, QObject *origin)
{
    // Queries keep their turn (they move nothing); a command queued before the stop
    // must not go out after it.
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->isQuery)
            ++it;
        else
            it = m_waiting.erase(it);
    }
    // A stop after a stop keeps the first: what waits is a stop already, and a line that
    // only stops looks as it always did.
    const qint64 dropped = m_stopIsLast ? 0 : m_port.dropPendingOutput();
    // The drop may have cut a command: a CR of its own ends that piece, so that the
    // controller reads the stop's first command whole.
    if (dropped > 0) {
        m_port.setOutput(QByteArrayLiteral("\r"));
        emit outputDropped(dropped);
    }
    for (const QString &command : commands) {
        write(command);
        emit written(command, origin);
    }
    m_stopIsLast = true;
    return dropped;
}

void LineQueue::onInput()
{
    if (m_port.InBufferCount() == 0)
        return;
    const QByteArray bytes = m_port.Input();
    if (!m_inFlight)
        emit unsolicited(bytes);
    // The notification may come with a reply's bytes: every piece is handed on in order.
    const QList<LineParser::Piece> pieces = m_parser.feed(bytes, m_inFlight);
    for (const LineParser::Piece &piece : pieces) {
        if (piece.kind == LineParser::Piece::Kind::Notification)
            emit notification();
        else if (m_inFlight)
            finishQuery(piece.bytes, true);
    }
}

void LineQueue::finishQuery(QByteArray line, bool answered)
{
    if (!m_inFlight)
        return;
    m_replyTimer.stop();
    m_inFlight = false;
    Request r = std::move(m_current);
    m_current = Request{};
    Reply reply;
    reply.text = QString::fromLatin1(line);
    reply.answered = answered;
    const bool notified = cleanReply(reply.text);
    // Before the handler, which may send the next request.
    emit replyTaken(reply.text, r.origin);
    if (r.handler && (!r.hasContext || r.context))
        r.handler(reply);
    emit replied();
    if (notified)
        emit notification();
    serve();
}

void LineQueue::onLinkLost()
{
    m_parser.clear();
    std::deque<Request> waiting;
    waiting.swap(m_waiting);
    if (m_inFlight)
        finishQuery({}, false);
    for (Request &r : waiting) {
        if (r.isQuery && r.handler && (!r.hasContext || r.context))
            r.handler(Reply{});
    }
}

} // namespace vyt
