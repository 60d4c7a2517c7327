#include "remote/RemoteToken.h"

#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

TokenFileFacts factsOf(const struct stat &facts)
{
    TokenFileFacts seen;
    seen.symlink = S_ISLNK(facts.st_mode);
    seen.regular = S_ISREG(facts.st_mode);
    seen.owner = uint(facts.st_uid);
    seen.user = uint(::geteuid());
    seen.mode = uint(facts.st_mode & 07777);
    seen.size = qint64(facts.st_size);
    return seen;
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

QString tokenFileProblem(const TokenFileFacts &facts)
{
    if (facts.symlink)
        return QStringLiteral("is a symbolic link");
    if (!facts.regular)
        return QStringLiteral("is not a regular file");
    if (facts.owner != facts.user)
        return QStringLiteral("belongs to another user");
    if (facts.mode & 077)
        return QStringLiteral("cannot be made readable by its owner only (mode %1)")
            .arg(facts.mode & 0777, 4, 8, QLatin1Char('0'));
    if (facts.size > kMaxTokenFileBytes)
        return QStringLiteral("is too long to hold a token");
    return {};
}

bool RemoteToken::load(const QString &path)
{
    m_path = path;
    m_error.clear();
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    if (::lstat(name.constData(), &before) != 0) {
        if (errno == ENOENT)
            return create();
        return refuse(qt_error_string(errno));
    }
    if (S_ISLNK(before.st_mode) || !S_ISREG(before.st_mode))
        return refuse(tokenFileProblem(factsOf(before)));
    // No blocking on something swapped in after the lstat (a FIFO), no following a link.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return refuse(qt_error_string(errno));
    const QByteArray text = readPrivate(fd);
    ::close(fd);
    if (!m_error.isEmpty())
        return false;
    if (!isToken(text.trimmed()))
        return fail(QStringLiteral("The remote-control token %1 holds no token; delete it and a "
                                   "new one is made at the next start.")
                        .arg(QDir::toNativeSeparators(path)));
    m_value = text.trimmed();
    return true;
}

QByteArray RemoteToken::readPrivate(int fd)
{
    struct stat facts {};
    if (::fstat(fd, &facts) != 0) {
        refuse(qt_error_string(errno));
        return {};
    }
    // A token others could read is no secret: it is made the owner's alone, and refused
    // when that does not take (a file system without modes, a file of someone else's).
    if (S_ISREG(facts.st_mode) && facts.st_uid == ::geteuid() && (facts.st_mode & 077) &&
        ::fchmod(fd, S_IRUSR | S_IWUSR) == 0)
        (void)::fstat(fd, &facts);
    if (const QString problem = tokenFileProblem(factsOf(facts)); !problem.isEmpty()) {
        refuse(problem);
        return {};
    }
    QByteArray text(kMaxTokenFileBytes + 1, '\0');
    qsizetype got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            refuse(qt_error_string(errno));
            return {};
        }
        if (n == 0)
            break;
        got += n;
    }
    // Grown since the fstat: still no token.
    if (got > kMaxTokenFileBytes) {
        refuse(QStringLiteral("is too long to hold a token"));
        return {};
    }
    text.truncate(got);
    return text;
}

bool RemoteToken::refuse(const QString &why)
{
    return fail(QStringLiteral("The remote-control token %1 is not used: it %2.")
                    .arg(QDir::toNativeSeparators(m_path), why));
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
