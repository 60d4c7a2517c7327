#include "remote/RemoteToken.h"

#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <array>

namespace vyt {
namespace {

constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

bool isToken(const QByteArray &text)
{
    if (text.size() != 2 * RemoteToken::kBytes)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

bool equalInConstantTime(const QByteArray &given, const QByteArray &expected)
{
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given.at(i) : '\0';
        difference |= unsigned(quint8(g) ^ quint8(expected.at(i)));
    }
    return difference == 0;
}

QString RemoteToken::defaultPath()
{
    return QFileInfo(openStore()->fileName()).absolutePath() + QStringLiteral("/remote-token");
}

bool RemoteToken::fail(const QString &why)
{
    m_error = why;
    m_value.clear();
    return false;
}

bool RemoteToken::load(const QString &path)
{
    m_path = path;
    m_error.clear();
    QFile file(path);
    if (!file.exists())
        return create();
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("The remote-control token %1 cannot be read: %2.")
                        .arg(QDir::toNativeSeparators(path), file.errorString()));
    const QByteArray text = file.read(4 * kBytes).trimmed();
    if (!isToken(text))
        return fail(QStringLiteral("The remote-control token %1 holds no token; delete it and a "
                                   "new one is made at the next start.")
                        .arg(QDir::toNativeSeparators(path)));
    // A token others could read is no secret: it stays the owner's alone.
    if (file.permissions() & ~(kOwnerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser))
        (void)file.setPermissions(kOwnerOnly);
    m_value = text;
    return true;
}

bool RemoteToken::create()
{
    std::array<quint32, kBytes / 4> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray token =
        QByteArray(reinterpret_cast<const char *>(random.data()), kBytes).toHex();
    (void)QDir().mkpath(QFileInfo(m_path).absolutePath());
    // Made with its mode at once, and only if nobody made it meanwhile: never readable
    // by others, not even for a moment.
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly) ||
        file.write(token + '\n') != token.size() + 1 || !file.flush())
        return fail(QStringLiteral("The remote-control token %1 cannot be written: %2.")
                        .arg(QDir::toNativeSeparators(m_path), file.errorString()));
    m_value = token;
    return true;
}

bool RemoteToken::admits(const QByteArray &authorization) const
{
    static const QByteArray kScheme("Bearer ");
    if (m_value.isEmpty())
        return false;
    const QByteArray given = authorization.trimmed();
    const bool bearer = given.left(kScheme.size()).compare(kScheme, Qt::CaseInsensitive) == 0;
    return equalInConstantTime(bearer ? given.mid(kScheme.size()).trimmed() : QByteArray(),
                               m_value) &&
           bearer;
}

} // namespace vyt
