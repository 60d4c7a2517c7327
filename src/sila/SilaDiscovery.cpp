#include "sila/SilaDiscovery.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <QtDebug>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vyt {
namespace {

constexpr const char *kServiceType = "_sila._tcp";
// A daemon that went away is waited for by a new client; made a little later, not at once.
constexpr unsigned kReconnectMs = 5000;
// No D-Bus to wait on at all: asked again now and then.
constexpr unsigned kRetryMs = 30000;
constexpr int kMaxNameAttempts = 12;

QString fittedRecord(const QString &key, const QString &value)
{
    QByteArray record = (key + QLatin1Char('=') + value).toUtf8();
    if (record.size() > kMaxTxtRecordBytes) {
        qsizetype end = kMaxTxtRecordBytes;
        // Never inside a character: back off to the first byte of the one that does not fit.
        while (end > 0 && (quint8(record.at(end)) & 0xC0) == 0x80)
            --end;
        record.truncate(end);
    }
    return QString::fromUtf8(record);
}

AvahiStringList *txtListOf(const SilaAnnouncement &what)
{
    // The list is kept in reverse: adding in order gives the records in order.
    AvahiStringList *list = nullptr;
    for (const QString &record : silaTxtRecords(what)) {
        const QByteArray bytes = record.toUtf8();
        list = avahi_string_list_add_arbitrary(
            list, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }
    return list;
}

QString unreachableDaemon(int error)
{
    if (error == AVAHI_ERR_NO_DAEMON)
        return QStringLiteral(
            "No avahi daemon runs; the SiLA 2 server is not announced on the network.");
    if (error == AVAHI_ERR_DBUS_ERROR)
        return QStringLiteral("No avahi daemon can be reached (the system's D-Bus does not "
                              "answer); the SiLA 2 server is not announced on the network.");
    return QStringLiteral("The avahi daemon cannot be reached (%1); the SiLA 2 server is not "
                          "announced on the network.")
        .arg(QString::fromUtf8(avahi_strerror(error)));
}

} // namespace

QStringList silaTxtRecords(const SilaAnnouncement &what)
{
    QStringList records{fittedRecord(QStringLiteral("version"), what.version),
                        fittedRecord(QStringLiteral("server_name"), what.serverName),
                        fittedRecord(QStringLiteral("description"), what.description)};
    int line = 0;
    for (const QByteArray &text : what.caPem.split('\n')) {
        const QByteArray trimmed = text.trimmed();
        if (!trimmed.isEmpty())
            records << fittedRecord(QStringLiteral("ca%1").arg(line++),
                                    QString::fromLatin1(trimmed));
    }
    return records;
}

// The avahi client and its entry group, owned by the poll thread once it runs: every call
// into avahi after start() is made there. The caller's thread only hands over a new name,
// through an eventfd, and never waits for the poll lock.
class AvahiAnnouncer {
public:
    ~AvahiAnnouncer() { stop(); }
    bool start(const SilaAnnouncement &what, QString *problem);
    void stop();
    void rename(const QString &serverName);

private:
    static void onClient(AvahiClient *, AvahiClientState state, void *self)
    {
        static_cast<AvahiAnnouncer *>(self)->clientChanged(state);
    }
    static void onGroup(AvahiEntryGroup *, AvahiEntryGroupState state, void *self)
    {
        static_cast<AvahiAnnouncer *>(self)->groupChanged(state);
    }
    static void onWork(AvahiTimeout *, void *self) { static_cast<AvahiAnnouncer *>(self)->work(); }
    static void onRenamed(AvahiWatch *, int, AvahiWatchEvent, void *self)
    {
        static_cast<AvahiAnnouncer *>(self)->takeNewName();
    }

    void clientChanged(AvahiClientState state);
    void groupChanged(AvahiEntryGroupState state);
    void schedule(unsigned delayMs);
    void work();
    void reconnect();
    void publish();
    void updateTxt();
    void takeAlternativeName();
    void takeNewName();

    AvahiThreadedPoll *m_poll = nullptr;
    AvahiClient *m_client = nullptr;
    AvahiEntryGroup *m_group = nullptr;
    AvahiTimeout *m_work = nullptr;
    int m_wake = -1;
    SilaAnnouncement m_what;
    QByteArray m_instanceName;
    bool m_reconnect = false;
    bool m_publish = false;

    std::mutex m_renameLock;
    QString m_newName;
    bool m_renamed = false;
};

bool AvahiAnnouncer::start(const SilaAnnouncement &what, QString *problem)
{
    stop();
    {
        // A name given before this announcement is not to overwrite the one it brings.
        const std::lock_guard<std::mutex> hold(m_renameLock);
        m_renamed = false;
    }
    m_what = what;
    m_instanceName = what.serverUuid.toUtf8();
    m_poll = avahi_threaded_poll_new();
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const AvahiPoll *api = m_poll ? avahi_threaded_poll_get(m_poll) : nullptr;
    m_work = api ? api->timeout_new(api, nullptr, &AvahiAnnouncer::onWork, this) : nullptr;
    const bool ready =
        m_work && m_wake >= 0 &&
        api->watch_new(api, m_wake, AVAHI_WATCH_IN, &AvahiAnnouncer::onRenamed, this);
    int error = AVAHI_ERR_NO_MEMORY;
    // Without AVAHI_CLIENT_NO_FAIL: no daemon is known at once, not waited for.
    if (ready)
        m_client =
            avahi_client_new(api, AvahiClientFlags(0), &AvahiAnnouncer::onClient, this, &error);
    if (!m_client || avahi_threaded_poll_start(m_poll) < 0) {
        if (problem)
            *problem = unreachableDaemon(m_client ? AVAHI_ERR_FAILURE : error);
        stop();
        return false;
    }
    return true;
}

void AvahiAnnouncer::stop()
{
    if (m_poll) {
        (void)avahi_threaded_poll_stop(m_poll);
        // Its entry group goes with it, and with that the service from the network.
        if (m_client)
            avahi_client_free(m_client);
        avahi_threaded_poll_free(m_poll);
    }
    if (m_wake >= 0)
        ::close(m_wake);
    m_poll = nullptr;
    m_client = nullptr;
    m_group = nullptr;
    m_work = nullptr;
    m_wake = -1;
}

void AvahiAnnouncer::rename(const QString &serverName)
{
    {
        const std::lock_guard<std::mutex> hold(m_renameLock);
        m_newName = serverName;
        m_renamed = true;
    }
    if (m_wake >= 0) {
        const quint64 one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }
}

void AvahiAnnouncer::takeNewName()
{
    quint64 count = 0;
    (void)!::read(m_wake, &count, sizeof count);
    {
        const std::lock_guard<std::mutex> hold(m_renameLock);
        if (!m_renamed)
            return;
        m_what.serverName = m_newName;
        m_renamed = false;
    }
    updateTxt();
}

void AvahiAnnouncer::schedule(unsigned delayMs)
{
    struct timeval when {};
    avahi_elapse_time(&when, delayMs, 0);
    avahi_threaded_poll_get(m_poll)->timeout_update(m_work, &when);
}

void AvahiAnnouncer::clientChanged(AvahiClientState state)
{
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        m_publish = true;
        schedule(0);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's name changes: the service is added again once the daemon runs.
        if (m_group)
            avahi_entry_group_reset(m_group);
        break;
    case AVAHI_CLIENT_FAILURE:
        // The daemon stopped or restarted. A client is not to be freed in its own callback:
        // a new one is made from the poll loop.
        m_reconnect = true;
        schedule(kReconnectMs);
        break;
    case AVAHI_CLIENT_CONNECTING: break;
    }
}

void AvahiAnnouncer::groupChanged(AvahiEntryGroupState state)
{
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another service on the network has this name: the next free one ("<uuid> #2").
        takeAlternativeName();
        m_publish = true;
        schedule(0);
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE && m_client) {
        qWarning("SiLA 2: the server could not be announced on the network: %s",
                 avahi_strerror(avahi_client_errno(m_client)));
    }
}

void AvahiAnnouncer::work()
{
    if (m_reconnect)
        reconnect();
    if (m_publish) {
        m_publish = false;
        publish();
    }
}

void AvahiAnnouncer::reconnect()
{
    m_reconnect = false;
    if (m_client)
        avahi_client_free(m_client);
    m_client = nullptr;
    m_group = nullptr;
    int error = 0;
    // This one waits for the daemon to come back, however long that takes.
    m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AVAHI_CLIENT_NO_FAIL,
                                &AvahiAnnouncer::onClient, this, &error);
    if (!m_client) {
        m_reconnect = true;
        schedule(kRetryMs);
    }
}

void AvahiAnnouncer::takeAlternativeName()
{
    char *next = avahi_alternative_service_name(m_instanceName.constData());
    if (next)
        m_instanceName = QByteArray(next);
    avahi_free(next);
}

void AvahiAnnouncer::publish()
{
    if (!m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
        return;
    if (!m_group)
        m_group = avahi_entry_group_new(m_client, &AvahiAnnouncer::onGroup, this);
    if (!m_group)
        return;
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        avahi_entry_group_reset(m_group);
        AvahiStringList *txt = txtListOf(m_what);
        const int added = avahi_entry_group_add_service_strlst(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            m_instanceName.constData(), kServiceType, nullptr, nullptr, m_what.port, txt);
        avahi_string_list_free(txt);
        if (added == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            continue;
        }
        const int result = added < 0 ? added : avahi_entry_group_commit(m_group);
        if (result < 0)
            qWarning("SiLA 2: the server could not be announced on the network: %s",
                     avahi_strerror(result));
        return;
    }
}

void AvahiAnnouncer::updateTxt()
{
    if (!m_group)
        return;
    const int state = avahi_entry_group_get_state(m_group);
    if (state != AVAHI_ENTRY_GROUP_ESTABLISHED && state != AVAHI_ENTRY_GROUP_REGISTERING)
        return; // not on the network now: the next publish() carries the new records
    AvahiStringList *txt = txtListOf(m_what);
    const int updated = avahi_entry_group_update_service_txt_strlst(
        m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
        m_instanceName.constData(), kServiceType, nullptr, txt);
    avahi_string_list_free(txt);
    if (updated < 0)
        publish();
}

SilaDiscovery::SilaDiscovery() : m_announcer(std::make_unique<AvahiAnnouncer>())
{
}

SilaDiscovery::~SilaDiscovery() = default;

bool SilaDiscovery::announce(const SilaAnnouncement &what, QString *problem)
{
    return m_announcer->start(what, problem);
}

void SilaDiscovery::rename(const QString &serverName)
{
    m_announcer->rename(serverName);
}

} // namespace vyt
