#include "remote/RemoteAddress.h"

namespace vyt {
namespace {

std::optional<quint16> portNumber(const QString &text)
{
    bool ok = false;
    const uint n = text.toUInt(&ok);
    // Digits only: toUInt() would take blanks and a sign too.
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!ok || n < 1 || n > 65535)
        return std::nullopt;
    return quint16(n);
}

} // namespace

QString RemoteAddress::text() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

std::optional<RemoteAddress> parseRemoteAddress(const QString &text, QString *error)
{
    auto fail = [error](const QString &why) -> std::optional<RemoteAddress> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    RemoteAddress where;
    QString host;
    QString port = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        if (close < 0)
            return fail(
                QStringLiteral("write an IPv6 address as [ADDRESS]:PORT, not '%1'").arg(text));
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return fail(
                QStringLiteral("write an IPv6 address as [ADDRESS]:PORT, not '%1'").arg(text));
    }
    const auto number = portNumber(port);
    if (!number)
        return fail(QStringLiteral("'%1' is no port number from 1 to 65535").arg(port));
    where.port = *number;
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    if (!host.isEmpty() && !where.address.setAddress(host))
        return fail(QStringLiteral("'%1' is no IP address").arg(host));
    return where;
}

} // namespace vyt
