#pragma once
// The line's one owner: every byte written to the controller and every byte read from
// it passes here. Requests go out in order, one query at a time: a command waits while a
// query waits for its reply, a query waits for the requests before it. A stop jumps the
// queue. The parser hands the notification to whoever listens and every other line to
// the query in flight, so nothing is lost between two readers.
#include "link/LineParser.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>

namespace vyt {

class MSComm;

class LineQueue : public QObject {
    Q_OBJECT
public:
    struct Reply {
        QString text;          // CR LF pairs removed, the notification's "p" taken out
        bool answered = false; // a whole line came; false: timed out, or the line went
    };
    using ReplyHandler = std::function<void(const Reply &)>;

    explicit LineQueue(MSComm &port, QObject *parent = nullptr);
    ~LineQueue() override;

    // Writes command and CR, now or as soon as the requests before it are done.
    // discardInput: unread input is dropped just before it goes (arming a move: only a
    // notification after it counts). written runs when it has been written.
    // origin is who sends it, told with written() (the console's transcript shows its own).
    void command(const QString &command, bool discardInput = false,
                 std::function<void()> written = {}, QObject *origin = nullptr);
    // Writes command and CR in its turn and hands the reply to handler when it is in (or
    // timed out, or the line went), unless context is gone by then. timeoutMs counts from
    // the write. context is its origin too.
    void query(const QString &command, int timeoutMs, QObject *context, ReplyHandler handler);
    // Writes these commands at once, ahead of everything waiting: the commands waiting are
    // dropped (nothing queued behind a stop may move the pump), and so is output not yet on
    // the line. Answers the bytes of output dropped.
    qint64 stop(const QStringList &commands, QObject *origin = nullptr);

    // A query waits for its reply, or requests wait for their turn.
    [[nodiscard]] bool busy() const { return m_inFlight || !m_waiting.empty(); }
    [[nodiscard]] bool queryInFlight() const { return m_inFlight; }

    // Removes every CR LF pair; the first "p" is the notification. Answers whether a "p"
    // was found.
    static bool cleanReply(QString &reply);

signals:
    // "p" CR LF: a move armed with NP has reached its target.
    void notification();
    // Bytes that arrived while no query waited (for the console's transcript).
    void unsolicited(const QByteArray &bytes);
    // A query's reply was taken (answered or not).
    void replied();
    // Each request as it goes on the line, with whoever sent it (null: nobody told, or
    // gone since).
    void written(const QString &command, QObject *origin);
    // A query's cleaned reply, before its asker has it (empty when none came in time).
    void replyTaken(const QString &reply, QObject *origin);
    // A stop dropped this many bytes of output not yet on the line, told before its commands.
    void outputDropped(qint64 bytes);

private:
    struct Request {
        QString command;
        bool isQuery = false;
        bool discardInput = false;
        int timeoutMs = 0;
        QPointer<QObject> context;
        QPointer<QObject> origin;
        bool hasContext = false;
        ReplyHandler handler;
        std::function<void()> written;
    };

    void enqueue(Request request);
    void serve();
    void write(const QString &command);
    void onInput();
    void finishQuery(QByteArray line, bool answered);
    void onLinkLost();

    MSComm &m_port;
    LineParser m_parser;
    std::deque<Request> m_waiting;
    bool m_inFlight = false;
    Request m_current;
    QTimer m_replyTimer;
    bool m_stopIsLast = false; // nothing but a stop was written since the last stop
    bool m_serving = false;
};

} // namespace vyt
