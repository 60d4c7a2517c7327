#pragma once
// The SiLA 2 server's TLS identity: a lab's own certificate and key, or a self-signed pair
// the program makes once and keeps beside vyt.conf (sila-server.crt, sila-server.key).
#include <QByteArray>
#include <QString>
#include <optional>

class QHostAddress;

namespace vyt {

struct SilaCredentials {
    QByteArray certificatePem; // the server's certificate chain (PEM)
    QByteArray keyPem;         // its private key (PEM)
    bool selfSigned = false;   // made by the program: clients must be given it to trust
    QString certificatePath, keyPath;
};

// With both files given (a lab's own) they are read as they are: the key must belong to the
// certificate and its file be private to the user; nothing is changed. Without them the
// program's own pair is used, made at the first start and made anew when it names another
// server UUID, is not valid now or does not name the listen address. nullopt with the
// reason in *error, worded to follow "SiLA 2 is off: ". Each listen port is a server of its
// own, with a pair of its own (two programs on one settings folder do not share one).
[[nodiscard]] std::optional<SilaCredentials>
loadSilaCredentials(const QString &certFile, const QString &keyFile, const QString &serverUuid,
                    const QHostAddress &listenAddress, QString *error, quint16 listenPort = 0);

// sila-server-PORT.crt / sila-server-PORT.key in the settings folder; for port 0 (a test's
// free port) sila-server.crt / sila-server.key.
[[nodiscard]] QString defaultSilaCertificatePath(quint16 listenPort = 0);
[[nodiscard]] QString defaultSilaKeyPath(quint16 listenPort = 0);

// The object identifier of the certificate extension that holds the server UUID.
constexpr const char *kSilaUuidExtensionOid = "1.3.6.1.4.1.58583";

} // namespace vyt
