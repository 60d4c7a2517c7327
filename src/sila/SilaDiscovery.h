#pragma once
// Announces the SiLA 2 server on the local network as "_sila._tcp" (mDNS/DNS-SD through the
// avahi daemon), so that clients find it without being told its address. The avahi client
// runs on a thread of its own: the caller's thread, which schedules a motor, never waits on it.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <memory>

namespace vyt {

struct SilaAnnouncement {
    QString serverUuid;
    quint16 port = 0;
    QString version;
    QString serverName;
    QString description;
    QByteArray caPem; // empty when the certificate is a CA's
};

class AvahiAnnouncer;

class SilaDiscovery {
public:
    SilaDiscovery();
    // Withdraws the service and stops the avahi thread.
    ~SilaDiscovery();
    SilaDiscovery(const SilaDiscovery &) = delete;
    SilaDiscovery &operator=(const SilaDiscovery &) = delete;

    // Starts announcing, instance name the server UUID, with the TXT records of
    // silaTxtRecords(). False with *problem as a full sentence when no avahi daemon can be
    // reached; a daemon that restarts later is followed without a word.
    bool announce(const SilaAnnouncement &what, QString *problem);
    // The server name changed: the TXT records follow.
    void rename(const QString &serverName);

private:
    std::unique_ptr<AvahiAnnouncer> m_announcer;
};

// A DNS TXT record holds at most 255 bytes.
constexpr int kMaxTxtRecordBytes = 255;

// version=, server_name=, description= and the CA certificate one PEM line a record (ca0=,
// ca1=, ...), each cut to kMaxTxtRecordBytes at a UTF-8 character boundary.
[[nodiscard]] QStringList silaTxtRecords(const SilaAnnouncement &what);

} // namespace vyt
