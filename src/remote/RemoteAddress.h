#pragma once
// Where remote control listens: "[ADDRESS:]PORT" from the command line.
#include <QHostAddress>
#include <QString>
#include <optional>

namespace vyt {

struct RemoteAddress {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 0;

    // Only this machine can reach it.
    [[nodiscard]] bool loopback() const { return address.isLoopback(); }
    // "127.0.0.1:8650", "[::1]:8650"
    [[nodiscard]] QString text() const;
};

constexpr quint16 kDefaultRemotePort = 8650;

// "8650", "127.0.0.1:8650", "localhost:8650", "0.0.0.0:8650", "[::1]:8650". Without an
// address only this machine can reach it. Nullopt with the reason in *error.
[[nodiscard]] std::optional<RemoteAddress> parseRemoteAddress(const QString &text, QString *error);

} // namespace vyt
