#include "remote/ConnectionGuard.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace vyt {
namespace {

// A closed connection whose client does not go is cut after this.
constexpr int kLingerMs = 2000;

// The few answers given before the HTTP server has a request to answer.
QByteArray cannedAnswer(int status, const QByteArray &reason, const QString &message)
{
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("message"), message}})
                                .toJson(QJsonDocument::Compact);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Sends the answer and closes our direction only: the client reads the answer and
// then its end of the connection. A full close with its bytes still unread would
// reset the connection, and the client could lose the answer with it.
void answerAndClose(QTcpSocket *socket, const QByteArray &answer)
{
    socket->write(answer);
    (void)socket->flush();
    if (socket->bytesToWrite() == 0 && socket->socketDescriptor() >= 0)
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    else
        socket->disconnectFromHost();
}

} // namespace

ConnectionGuard::ConnectionGuard(QObject *parent) : QTcpServer(parent)
{
}

ConnectionGuard::Busy::Busy(ConnectionGuard &guard, QTcpSocket *socket)
    : m_guard(&guard), m_socket(socket)
{
    if (auto it = guard.m_connections.find(socket); it != guard.m_connections.end())
        it->busy = true;
}

ConnectionGuard::Busy::~Busy()
{
    if (!m_guard || !m_socket)
        return;
    if (auto it = m_guard->m_connections.find(m_socket.data()); it != m_guard->m_connections.end())
        it->busy = false;
}

void ConnectionGuard::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    makeRoom();
    if (m_connections.size() >= m_limits.maxTotal) {
        // Never handed on: ours to answer and to delete.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { (void)socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        answerAndClose(socket,
                       cannedAnswer(503, "Service Unavailable",
                                    QStringLiteral("Too many connections; try again later.")));
        QTimer::singleShot(kLingerMs, socket, &QObject::deleteLater);
        return;
    }
    watch(socket);
    addPendingConnection(socket);
}

void ConnectionGuard::makeRoom()
{
    // The newest connection may be the one with the token: the oldest without it goes.
    for (;;) {
        int waiting = 0;
        QTcpSocket *oldest = nullptr;
        quint64 oldestAge = 0;
        for (auto it = m_connections.cbegin(); it != m_connections.cend(); ++it) {
            if (it->authorised || it->rejected || it->busy || !it->socket)
                continue;
            ++waiting;
            if (!oldest || it->age < oldestAge) {
                oldest = it.key();
                oldestAge = it->age;
            }
        }
        if (waiting < m_limits.maxConnections || !oldest)
            return;
        oldest->abort();
        oldest->deleteLater();
        forget(oldest);
    }
}

int ConnectionGuard::idleTimeoutMs(const Connection &c) const
{
    return c.authorised ? m_limits.timeoutMs : m_limits.unauthorisedTimeoutMs;
}

void ConnectionGuard::admit(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->authorised)
        return;
    it->authorised = true;
    if (!it->rejected && !it->closing)
        it->timer->start(m_limits.timeoutMs);
}

void ConnectionGuard::closeAfterAnswer(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->rejected)
        return;
    it->closing = true;
    closeWhenSent(socket, *it);
}

void ConnectionGuard::closeWhenSent(QTcpSocket *socket, Connection &c)
{
    if (socket->bytesToWrite() > 0)
        return; // again when the rest has been written
    c.rejected = true;
    if (socket->socketDescriptor() >= 0)
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    else
        socket->disconnectFromHost();
    c.timer->start(kLingerMs);
}

void ConnectionGuard::watch(QTcpSocket *socket)
{
    Connection &c = m_connections[socket];
    c.socket = socket;
    c.age = ++m_arrivals;
    c.timer = new QTimer(this);
    c.timer->setSingleShot(true);
    connect(c.timer, &QTimer::timeout, this, [this, socket] { onTimeout(socket); });
    // Connected before the HTTP server connects its own: the bytes are counted before
    // it reads them.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { onAnswered(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        // A client gone is no longer in the way of another.
        if (auto it = m_connections.find(socket); it != m_connections.end() && !it->busy) {
            socket->deleteLater();
            forget(socket);
        }
    });
    c.timer->start(idleTimeoutMs(c));
}

void ConnectionGuard::onReadyRead(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->rejected) {
        (void)socket->readAll(); // what a refused client still sends goes nowhere
        return;
    }
    it->received += socket->bytesAvailable();
    if (it->received > m_limits.maxRequestBytes) {
        reject(socket, 413, "Payload Too Large",
               QStringLiteral("The request is too large: a body may hold 64 KiB."));
        return;
    }
}

void ConnectionGuard::onAnswered(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || it->rejected)
        return;
    if (it->closing) {
        closeWhenSent(socket, *it);
        return;
    }
    it->received = 0;
    it->timer->start(idleTimeoutMs(*it));
}

void ConnectionGuard::onTimeout(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (!it->socket) {
        forget(socket);
        return;
    }
    if (it->busy) {
        it->timer->start(idleTimeoutMs(*it));
        return;
    }
    if (it->rejected) {
        // A client that does not go is cut off.
        socket->abort();
        socket->deleteLater();
        forget(socket);
        return;
    }
    if (it->received > 0) {
        reject(socket, 408, "Request Timeout",
               QStringLiteral("The request did not arrive in time."));
        return;
    }
    // An idle connection kept open: closed quietly, the client may simply connect again.
    it->rejected = true;
    socket->disconnectFromHost();
    it->timer->start(kLingerMs);
}

void ConnectionGuard::reject(QTcpSocket *socket, int status, const QByteArray &reason,
                             const QString &message)
{
    Connection &c = m_connections[socket];
    c.rejected = true;
    // The HTTP server gets nothing more of this connection.
    if (parent())
        disconnect(socket, &QTcpSocket::readyRead, parent(), nullptr);
    if (socket->isTransactionStarted())
        socket->rollbackTransaction();
    (void)socket->readAll();
    answerAndClose(socket, cannedAnswer(status, reason, message));
    c.timer->start(kLingerMs);
}

void ConnectionGuard::forget(QTcpSocket *socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->timer->deleteLater();
    m_connections.erase(it);
}

} // namespace vyt
