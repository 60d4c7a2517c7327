#pragma once
// Remote control: a small JSON interface over HTTP through which a program on this
// machine (or, when the operator allows it, on the lab network) doses, runs a flow,
// stops and reads the state, through the session's own checks, start and stop.
// Every request carries the token; off unless the command line asks for it.
#include "remote/ConnectionGuard.h"
#include "remote/RemoteAddress.h"
#include "session/RunOrder.h"
#include "remote/RemoteToken.h"
#include "session/PumpRun.h"

#include <QHttpServer>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QObject>
#include <QHash>
#include <QPointer>
#include <deque>
#include <functional>
#include <memory>

#include <QFuture>

namespace vyt {

class Session;

class RemoteServer : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxBodyBytes = 64 * 1024;
    // /v1/runs gives this many rows unless "limit" asks for others, at most kMaxRunLimit.
    static constexpr int kMaxRunRows = 1000;
    static constexpr int kMaxRunLimit = 10000;

    RemoteServer(Session &session, RemoteToken token, QObject *parent = nullptr);
    ~RemoteServer() override;

    // Listens there; false with the reason in error(), worded to follow "Remote control is
    // off: ". Port 0 takes a free one (tests).
    bool listen(const RemoteAddress &where);
    [[nodiscard]] quint16 port() const { return m_where.port; }
    [[nodiscard]] const RemoteAddress &where() const { return m_where; }
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] ConnectionGuard &guard() { return *m_guard; }
    // The status line's text: "Remote control: 127.0.0.1:8650".
    [[nodiscard]] QString lineText() const;

    // Why a start would be refused now; empty when it would not be.
    [[nodiscard]] QString startBlocker() const;

signals:
    // The quiet line a window shows for remote control; warning: open to the network.
    void lineChanged(const QString &text, bool warning);

private:
    struct Reply {
        QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok;
        QJsonObject body;
        QByteArray csv; // sent instead of the body when set (text/csv)
        // Set when a worker makes the answer (a journal read): sent once it is done.
        std::shared_ptr<QFuture<Reply>> later;
    };
    using Handler = Reply (RemoteServer::*)(const QHttpServerRequest &);
    // One request's answer: HTTP/1.1 wants a connection's answers in the order of its
    // requests, so one that is ready waits behind a journal read still going on.
    struct Answer {
        QPointer<QTcpSocket> socket;
        std::unique_ptr<QHttpServerResponder> responder;
        std::unique_ptr<ConnectionGuard::Busy> busy; // the guard leaves it alone meanwhile
        Reply reply;
        bool ready = false;
        bool close = false; // "Connection: close"
    };

    void addRoute(const char *path, QHttpServerRequest::Method method, Handler handler);
    void serve(const QHttpServerRequest &request, QHttpServerResponder &responder,
               QHttpServerRequest::Method method, Handler handler);
    [[nodiscard]] bool authorised(const QHttpServerRequest &request) const;
    Reply replyTo(const QHttpServerRequest &request, QHttpServerRequest::Method method,
                  Handler handler);
    void queueAnswer(QTcpSocket *socket, const std::shared_ptr<Answer> &answer);
    void sendReady(QTcpSocket *socket);
    void send(Answer &answer);

    Reply status(const QHttpServerRequest &request);
    Reply dose(const QHttpServerRequest &request);
    Reply flow(const QHttpServerRequest &request);
    Reply stop(const QHttpServerRequest &request);
    Reply runMethod(const QHttpServerRequest &request);
    Reply continueMethod(const QHttpServerRequest &request);
    Reply runs(const QHttpServerRequest &request);
    Reply openApi(const QHttpServerRequest &request);
    Reply start(const QHttpServerRequest &request, OrderKind kind);
    // The answer to a start the session took: now, or once the controller has answered.
    Reply startAnswer();
    [[nodiscard]] Reply startedReply();
    [[nodiscard]] Reply notStartedReply(const std::optional<PumpRun::Refusal> &refusal);
    void showLine();

    static Reply failure(QHttpServerResponder::StatusCode status, const QString &message,
                         const QString &field = QString());

    Session &m_session;
    RemoteToken m_token;
    // Before m_http: its sockets, destroyed with it, still take their answers out of here.
    QHash<QTcpSocket *, std::deque<std::shared_ptr<Answer>>> m_answers;
    QHttpServer m_http;
    QPointer<ConnectionGuard> m_guard; // owned by m_http once bound
    RemoteAddress m_where;
    QString m_error;
    bool m_starting = false; // a start is between its checks and the run
};

// Turns remote control on for the session: the token (made when missing), the socket.
// showLine, if given, shows the line a window keeps for it. Null when it cannot be on;
// the reason is then on stderr and on that line.
using RemoteLine = std::function<void(const QString &text, bool warning)>;
[[nodiscard]] std::unique_ptr<RemoteServer> startRemoteControl(Session &session,
                                                               const RemoteAddress &where,
                                                               const RemoteLine &showLine = {});

// The client's address as people write it ("127.0.0.1", not "::ffff:127.0.0.1").
[[nodiscard]] QString clientText(const QHostAddress &address);

} // namespace vyt
