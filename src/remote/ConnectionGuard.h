#pragma once
// The listening socket of remote control, with the limits the HTTP server itself does
// not keep: how many connections at once, how many bytes a request may bring, and how
// long a client may take to send it. What breaks a limit is answered and closed here;
// everything else goes on to the HTTP server unchanged. A connection that has brought
// the token is never refused or cut for room: connections without it make way, oldest
// first, so that no process without the token can keep a Stop out.
#include <QHash>
#include <QPointer>
#include <QTcpServer>

class QTcpSocket;
class QTimer;

namespace vyt {

struct ConnectionLimits {
    // Connections that have not yet brought the token; a new one closes the oldest.
    int maxConnections = 16;
    // All connections together, token or not: beyond this even a client with the token
    // is refused (a guard for the descriptors, far above any real use).
    int maxTotal = 256;
    // A body may hold 64 KiB (the server answers 413 beyond); with room for the header
    // lines, more than this without an answer is cut off here.
    qint64 maxRequestBytes = 80 * 1024;
    // From the connection or the last answer to the next complete request.
    int timeoutMs = 10000;
    // The same for a connection that has not brought the token yet.
    int unauthorisedTimeoutMs = 2000;
};

class ConnectionGuard : public QTcpServer {
    Q_OBJECT
public:
    explicit ConnectionGuard(QObject *parent = nullptr);

    void setLimits(const ConnectionLimits &limits) { m_limits = limits; }
    [[nodiscard]] const ConnectionLimits &limits() const { return m_limits; }
    [[nodiscard]] int connectionCount() const { return int(m_connections.size()); }

    // The socket's request carried the token: it is kept whatever else comes.
    void admit(QTcpSocket *socket);
    // The client asked to close after this answer ("Connection: close").
    void closeAfterAnswer(QTcpSocket *socket);

    // While a handler works on a request of this socket (it may wait for the controller
    // for a moment), the guard leaves the socket alone.
    class Busy {
    public:
        Busy(ConnectionGuard &guard, QTcpSocket *socket);
        ~Busy();
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;

    private:
        QPointer<ConnectionGuard> m_guard;
        QPointer<QTcpSocket> m_socket;
    };

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QTimer *timer = nullptr;
        qint64 received = 0; // since the last answer
        bool rejected = false;
        bool busy = false;
        bool authorised = false;
        bool closing = false; // closed once the answer has gone out
        quint64 age = 0;      // order of arrival
    };

    void watch(QTcpSocket *socket);
    void onReadyRead(QTcpSocket *socket);
    void onAnswered(QTcpSocket *socket);
    void onTimeout(QTcpSocket *socket);
    void reject(QTcpSocket *socket, int status, const QByteArray &reason, const QString &message);
    void forget(QTcpSocket *socket);
    void makeRoom();
    [[nodiscard]] int idleTimeoutMs(const Connection &c) const;
    void closeWhenSent(QTcpSocket *socket, Connection &c);

    ConnectionLimits m_limits;
    QHash<QTcpSocket *, Connection> m_connections;
    quint64 m_arrivals = 0;
};

} // namespace vyt
