#include "sila/SilaCertificate.h"

#include "config/SettingsStore.h"
#include "remote/RemoteToken.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>
#include <QSysInfo>
#include <QUrl>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyt {
namespace {

constexpr const char *kCommonName = "vyt-Pump controller";
constexpr long kValidDays = 3652; // ten years with their leap days
// Clocks of clients a little behind the server's still accept a certificate made just now.
constexpr long kBackdateSeconds = 3600;
constexpr qint64 kMaxPemBytes = 1 << 20;

struct OpenSslFree {
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(BIO *p) const { BIO_free_all(p); }
    void operator()(BIGNUM *p) const { BN_free(p); }
    void operator()(ASN1_STRING *p) const { ASN1_STRING_free(p); }
    void operator()(ASN1_OBJECT *p) const { ASN1_OBJECT_free(p); }
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
    void operator()(GENERAL_NAME *p) const { GENERAL_NAME_free(p); }
    void operator()(GENERAL_NAMES *p) const { GENERAL_NAMES_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, OpenSslFree>;

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

std::optional<SilaCredentials> refuse(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

// ---- Reading -------------------------------------------------------------------------------

TokenFileFacts factsOf(const struct stat &facts)
{
    TokenFileFacts seen;
    seen.symlink = S_ISLNK(facts.st_mode);
    seen.regular = S_ISREG(facts.st_mode);
    seen.owner = uint(facts.st_uid);
    seen.user = uint(::geteuid());
    seen.mode = uint(facts.st_mode & 07777);
    // A key is longer than any token: its length is checked by the reader.
    seen.size = 0;
    return seen;
}

// Why a key file is not to be used, or empty. A lab's key is never changed, so a mode
// open to others is refused as it is; the program's own was made private before this.
QString keyFileProblem(const struct stat &facts, bool isOwnKey)
{
    const TokenFileFacts seen = factsOf(facts);
    const bool plainFileOfUser = !seen.symlink && seen.regular && seen.owner == seen.user;
    if (!isOwnKey && plainFileOfUser && (seen.mode & 077))
        return QStringLiteral("is %1 (mode %2)")
            .arg(seen.mode & 044 ? QStringLiteral("readable by others")
                                 : QStringLiteral("open to others"))
            .arg(seen.mode & 0777, 4, 8, QLatin1Char('0'));
    return tokenFileProblem(seen);
}

struct KeyFile {
    QByteArray pem;
    QString problem; // follows "the key file <path> "
    bool missing = false;
};

KeyFile refusedKeyFile(const QString &problem, bool missing = false)
{
    KeyFile file;
    file.problem = problem;
    file.missing = missing;
    return file;
}

QByteArray readAll(int fd, qint64 size, QString *problem)
{
    QByteArray bytes(size, '\0');
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *problem = QStringLiteral("cannot be read: %1").arg(qt_error_string(errno));
            return {};
        }
        if (n == 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

// The key file's bytes once it is known to be a private regular file of the user's. Opened
// without following a link and without blocking on a FIFO swapped in after the lstat.
KeyFile readKeyFile(const QString &path, bool isOwnKey)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat facts {};
    if (::lstat(name.constData(), &facts) != 0) {
        if (errno == ENOENT)
            return refusedKeyFile(QStringLiteral("does not exist"), true);
        return refusedKeyFile(QStringLiteral("cannot be read: %1").arg(qt_error_string(errno)));
    }
    if (S_ISLNK(facts.st_mode) || !S_ISREG(facts.st_mode))
        return refusedKeyFile(keyFileProblem(facts, isOwnKey));
    FileDescriptor file{::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0 || ::fstat(file.fd, &facts) != 0)
        return refusedKeyFile(
            errno == ELOOP ? QStringLiteral("is a symbolic link")
                           : QStringLiteral("cannot be read: %1").arg(qt_error_string(errno)));
    // The program's own key is made the owner's alone, as the remote-control token is.
    if (isOwnKey && S_ISREG(facts.st_mode) && facts.st_uid == ::geteuid() &&
        (facts.st_mode & 077) && ::fchmod(file.fd, S_IRUSR | S_IWUSR) == 0)
        (void)::fstat(file.fd, &facts);
    if (const QString problem = keyFileProblem(facts, isOwnKey); !problem.isEmpty())
        return refusedKeyFile(problem);
    if (facts.st_size > kMaxPemBytes)
        return refusedKeyFile(QStringLiteral("is too long to hold a key"));
    KeyFile key;
    key.pem = readAll(file.fd, qint64(facts.st_size), &key.problem);
    return key;
}

// Certificates are public: read as any file is. Empty problem when read.
QByteArray readCertificateFile(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.exists()) {
        *problem = QStringLiteral("the certificate file %1 does not exist.").arg(shown(path));
        return {};
    }
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxPemBytes) {
        *problem =
            QStringLiteral("the certificate file %1 cannot be read: %2.")
                .arg(shown(path), file.size() > kMaxPemBytes ? QStringLiteral("it is too long")
                                                             : file.errorString());
        return {};
    }
    return file.readAll();
}

Owned<BIO> memoryOf(const QByteArray &bytes)
{
    return Owned<BIO>(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}

// An encrypted key would make OpenSSL ask on the terminal; the server has no one to ask.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

Owned<EVP_PKEY> parseKey(const QByteArray &pem)
{
    const Owned<BIO> bio = memoryOf(pem);
    return Owned<EVP_PKEY>(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr)
                               : nullptr);
}

// The first certificate of a chain: the server's own.
Owned<X509> parseLeafCertificate(const QByteArray &pem)
{
    const Owned<BIO> bio = memoryOf(pem);
    return Owned<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool keyBelongsTo(X509 *certificate, EVP_PKEY *key)
{
    const EVP_PKEY *inCertificate = X509_get0_pubkey(certificate);
    return inCertificate && EVP_PKEY_eq(inCertificate, key) == 1;
}

bool expired(X509 *certificate)
{
    return X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0;
}

bool notYetValid(X509 *certificate)
{
    return X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0;
}

QString uuidIn(X509 *certificate)
{
    const Owned<ASN1_OBJECT> oid(OBJ_txt2obj(kSilaUuidExtensionOid, 1));
    const int at = oid ? X509_get_ext_by_OBJ(certificate, oid.get(), -1) : -1;
    if (at < 0)
        return {};
    const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(X509_get_ext(certificate, at));
    const unsigned char *der = ASN1_STRING_get0_data(data);
    const Owned<ASN1_STRING> text(d2i_ASN1_UTF8STRING(nullptr, &der, ASN1_STRING_length(data)));
    if (!text)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(text.get())),
                             ASN1_STRING_length(text.get()));
}

// ---- Names ---------------------------------------------------------------------------------

// The listen address as subjectAltName bytes when it is one a client may dial beyond the
// loopback ones always named; empty for a wildcard.
QByteArray extraAddressBytes(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        if (v4 == 0 || v4 == 0x7f000001U)
            return {};
        const char bytes[4] = {char(v4 >> 24), char(v4 >> 16), char(v4 >> 8), char(v4)};
        return QByteArray(bytes, 4);
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    const QByteArray bytes(reinterpret_cast<const char *>(v6.c), 16);
    static const QByteArray anyV6(16, '\0');
    static const QByteArray loopbackV6 = QByteArray(15, '\0') + '\1';
    return bytes == anyV6 || bytes == loopbackV6 ? QByteArray() : bytes;
}

bool namesAddress(X509 *certificate, const QByteArray &address)
{
    const Owned<GENERAL_NAMES> names(static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        int type = 0;
        const auto *value = static_cast<ASN1_STRING *>(
            GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names.get(), i), &type));
        if (type == GEN_IPADD &&
            QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)),
                       ASN1_STRING_length(value)) == address)
            return true;
    }
    return false;
}

// The host names a client on the network may dial: the machine's own and, for a bare name,
// the one mDNS answers to.
QList<QByteArray> hostNames()
{
    const QByteArray host = QUrl::toAce(QSysInfo::machineHostName());
    if (host.isEmpty() || host == "localhost")
        return {};
    if (host.contains('.'))
        return {host};
    return {host, host + ".local"};
}

bool addName(GENERAL_NAMES *names, int type, const QByteArray &value)
{
    Owned<GENERAL_NAME> name(GENERAL_NAME_new());
    Owned<ASN1_STRING> text(
        ASN1_STRING_type_new(type == GEN_DNS ? V_ASN1_IA5STRING : V_ASN1_OCTET_STRING));
    if (!name || !text || !ASN1_STRING_set(text.get(), value.constData(), int(value.size())))
        return false;
    GENERAL_NAME_set0_value(name.get(), type, text.release());
    if (!sk_GENERAL_NAME_push(names, name.get()))
        return false;
    (void)name.release();
    return true;
}

bool addSubjectAltNames(X509 *certificate, const QHostAddress &listenAddress)
{
    const Owned<GENERAL_NAMES> names(GENERAL_NAMES_new());
    bool ok = names && addName(names.get(), GEN_IPADD, QByteArray("\x7f\0\0\1", 4)) &&
              addName(names.get(), GEN_IPADD, QByteArray(15, '\0') + '\1') &&
              addName(names.get(), GEN_DNS, "localhost");
    for (const QByteArray &host : hostNames())
        ok = ok && addName(names.get(), GEN_DNS, host);
    if (const QByteArray extra = extraAddressBytes(listenAddress); !extra.isEmpty())
        ok = ok && addName(names.get(), GEN_IPADD, extra);
    return ok && X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0,
                                   X509V3_ADD_DEFAULT) == 1;
}

QString lastOpenSslReason()
{
    const char *reason = ERR_reason_error_string(ERR_peek_last_error());
    return reason ? QString::fromLatin1(reason) : QStringLiteral("no reason given");
}

// ---- Making --------------------------------------------------------------------------------

bool addConfiguredExtension(X509 *certificate, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    const Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// The server UUID as an ASN.1 UTF8String, for clients to tell which server they reached.
bool addUuidExtension(X509 *certificate, const QString &uuid)
{
    const QByteArray text = uuid.toUtf8();
    const Owned<ASN1_STRING> utf8(ASN1_UTF8STRING_new());
    if (!utf8 || !ASN1_STRING_set(utf8.get(), text.constData(), int(text.size())))
        return false;
    unsigned char *der = nullptr;
    const int length = i2d_ASN1_UTF8STRING(utf8.get(), &der);
    const Owned<ASN1_STRING> data(ASN1_OCTET_STRING_new());
    const bool encoded = length > 0 && data && ASN1_OCTET_STRING_set(data.get(), der, length);
    OPENSSL_free(der);
    const Owned<ASN1_OBJECT> oid(OBJ_txt2obj(kSilaUuidExtensionOid, 1));
    if (!encoded || !oid)
        return false;
    const Owned<X509_EXTENSION> extension(
        X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, data.get()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setRandomSerial(X509 *certificate)
{
    const Owned<BIGNUM> serial(BN_new());
    return serial && BN_rand(serial.get(), 159, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
           BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

bool setNameAndValidity(X509 *certificate)
{
    X509_NAME *name = X509_get_subject_name(certificate);
    return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(kCommonName), -1, -1,
                                      0) == 1 &&
           X509_set_issuer_name(certificate, name) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(certificate), -kBackdateSeconds) &&
           X509_time_adj_ex(X509_getm_notAfter(certificate), int(kValidDays), 0, nullptr);
}

// Its own root too (CA:TRUE), so that a client given this file can verify the server by it.
bool addExtensions(X509 *certificate, const QString &uuid, const QHostAddress &listenAddress)
{
    return addConfiguredExtension(certificate, NID_basic_constraints, "critical,CA:TRUE") &&
           addConfiguredExtension(certificate, NID_key_usage,
                                  "critical,digitalSignature,keyCertSign") &&
           addConfiguredExtension(certificate, NID_subject_key_identifier, "hash") &&
           addConfiguredExtension(certificate, NID_authority_key_identifier, "keyid:always") &&
           addSubjectAltNames(certificate, listenAddress) && addUuidExtension(certificate, uuid);
}

Owned<X509> makeCertificate(EVP_PKEY *key, const QString &uuid, const QHostAddress &listenAddress)
{
    Owned<X509> certificate(X509_new());
    const bool made = certificate && X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
                      setRandomSerial(certificate.get()) && setNameAndValidity(certificate.get()) &&
                      X509_set_pubkey(certificate.get(), key) == 1 &&
                      addExtensions(certificate.get(), uuid, listenAddress) &&
                      X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    return made ? std::move(certificate) : Owned<X509>();
}

QByteArray bytesOf(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, qsizetype(size)) : QByteArray();
}

QByteArray pemOf(X509 *certificate)
{
    const Owned<BIO> bio(BIO_new(BIO_s_mem()));
    return bio && PEM_write_bio_X509(bio.get(), certificate) == 1 ? bytesOf(bio.get())
                                                                  : QByteArray();
}

QByteArray pemOf(EVP_PKEY *key)
{
    // Memory that is wiped when freed: the key is not left behind in the heap.
    const Owned<BIO> bio(BIO_new(BIO_s_secmem()));
    return bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) ==
                       1
               ? bytesOf(bio.get())
               : QByteArray();
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype put = 0;
    while (put < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + put, size_t(bytes.size() - put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        put += n;
    }
    return ::fsync(fd) == 0;
}

// The key under a temporary name, private from its first byte on; the reason when it cannot
// be. A leftover of a start that died half way is removed first (unlink never follows a link).
QString writePrivateFile(const QString &path, const QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(path);
    (void)::unlink(name.constData());
    FileDescriptor file{::open(
        name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR)};
    if (file.fd < 0)
        return QStringLiteral("cannot be written: %1").arg(qt_error_string(errno));
    // The umask may have taken the owner's bits too; a file system without modes shows others'.
    struct stat facts {};
    if (::fchmod(file.fd, S_IRUSR | S_IWUSR) != 0 || ::fstat(file.fd, &facts) != 0 ||
        (facts.st_mode & 077)) {
        (void)::unlink(name.constData());
        return QStringLiteral("cannot be made readable by its owner only (mode %1)")
            .arg(uint(facts.st_mode & 0777), 4, 8, QLatin1Char('0'));
    }
    if (!writeAll(file.fd, bytes)) {
        const QString why = qt_error_string(errno);
        (void)::unlink(name.constData());
        return QStringLiteral("cannot be written: %1").arg(why);
    }
    return {};
}

// The key is renamed into place before the certificate: a start that dies between the two
// leaves a key with an old certificate, which does not match and is made anew.
QString storePair(const QString &certPath, const QString &keyPath, const QByteArray &certPem,
                  const QByteArray &keyPem)
{
    (void)QDir().mkpath(QFileInfo(keyPath).absolutePath());
    const QString tempKey = keyPath + QStringLiteral(".new");
    if (const QString problem = writePrivateFile(tempKey, keyPem); !problem.isEmpty())
        return QStringLiteral("the key file %1 %2.").arg(shown(keyPath), problem);
    QSaveFile certificate(certPath);
    const bool written =
        certificate.open(QIODevice::WriteOnly) && certificate.write(certPem) == certPem.size();
    if (!written || ::rename(QFile::encodeName(tempKey).constData(),
                             QFile::encodeName(keyPath).constData()) != 0) {
        const QString why = written ? qt_error_string(errno) : certificate.errorString();
        (void)::unlink(QFile::encodeName(tempKey).constData());
        return QStringLiteral("the certificate %1 cannot be written: %2.")
            .arg(shown(certPath), why);
    }
    if (!certificate.commit())
        return QStringLiteral("the certificate %1 cannot be written: %2.")
            .arg(shown(certPath), certificate.errorString());
    return {};
}

std::optional<SilaCredentials> makeOwnCredentials(const QString &certPath, const QString &keyPath,
                                                  const QString &uuid,
                                                  const QHostAddress &listenAddress, QString *error)
{
    const Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const Owned<X509> certificate =
        key ? makeCertificate(key.get(), uuid, listenAddress) : Owned<X509>();
    SilaCredentials made{certificate ? pemOf(certificate.get()) : QByteArray(),
                         key ? pemOf(key.get()) : QByteArray(), true, certPath, keyPath};
    if (made.certificatePem.isEmpty() || made.keyPem.isEmpty())
        return refuse(
            error,
            QStringLiteral("no certificate could be made (OpenSSL: %1).").arg(lastOpenSslReason()));
    if (const QString problem = storePair(certPath, keyPath, made.certificatePem, made.keyPem);
        !problem.isEmpty())
        return refuse(error, problem);
    return made;
}

// The stored pair when it still serves: readable, matching, of this server, valid now and
// naming the address clients dial. nullopt means a new pair is made.
std::optional<SilaCredentials> storedOwnCredentials(const QString &certPath, const QString &keyPath,
                                                    const QByteArray &keyPem, const QString &uuid,
                                                    const QHostAddress &listenAddress)
{
    QString problem;
    const QByteArray certPem = readCertificateFile(certPath, &problem);
    const Owned<X509> certificate = parseLeafCertificate(certPem);
    const Owned<EVP_PKEY> key = parseKey(keyPem);
    if (!certificate || !key || !keyBelongsTo(certificate.get(), key.get()) ||
        uuidIn(certificate.get()).compare(uuid, Qt::CaseInsensitive) != 0 ||
        expired(certificate.get()) || notYetValid(certificate.get()))
        return std::nullopt;
    const QByteArray extra = extraAddressBytes(listenAddress);
    if (!extra.isEmpty() && !namesAddress(certificate.get(), extra))
        return std::nullopt;
    return SilaCredentials{certPem, keyPem, true, certPath, keyPath};
}

std::optional<SilaCredentials> ownCredentials(const QString &uuid,
                                              const QHostAddress &listenAddress, quint16 port,
                                              QString *error)
{
    const QString certPath = defaultSilaCertificatePath(port);
    const QString keyPath = defaultSilaKeyPath(port);
    const KeyFile key = readKeyFile(keyPath, true);
    if (!key.problem.isEmpty() && !key.missing)
        return refuse(error,
                      QStringLiteral("the key file %1 %2.").arg(shown(keyPath), key.problem));
    if (!key.missing) {
        if (auto stored = storedOwnCredentials(certPath, keyPath, key.pem, uuid, listenAddress))
            return stored;
    }
    return makeOwnCredentials(certPath, keyPath, uuid, listenAddress, error);
}

QString givenAlone(const QString &certPath, const QString &keyPath)
{
    if (certPath.isEmpty())
        return QStringLiteral("the key file %1 was given without its certificate.")
            .arg(shown(keyPath));
    return QStringLiteral("the certificate %1 was given without its key file.")
        .arg(shown(certPath));
}

// The lab's certificate file and the server's certificate in it; the reason when it will not do.
QString readLabCertificate(const QString &path, QByteArray *pem, Owned<X509> *certificate)
{
    QString problem;
    *pem = readCertificateFile(path, &problem);
    if (!problem.isEmpty())
        return problem;
    *certificate = parseLeafCertificate(*pem);
    if (!*certificate)
        return QStringLiteral("the certificate file %1 holds no PEM certificate.").arg(shown(path));
    // Clients refuse it anyway; said here, not as a failed handshake on their side.
    if (expired(certificate->get()))
        return QStringLiteral("the certificate %1 has expired.").arg(shown(path));
    if (notYetValid(certificate->get()))
        return QStringLiteral("the certificate %1 is not valid yet.").arg(shown(path));
    return {};
}

// The lab's key file, read as it is, and that it belongs to the certificate.
QString readLabKey(const QString &path, X509 *certificate, const QString &certPath, QByteArray *pem)
{
    const KeyFile file = readKeyFile(path, false);
    if (!file.problem.isEmpty())
        return QStringLiteral("the key file %1 %2.").arg(shown(path), file.problem);
    const Owned<EVP_PKEY> key = parseKey(file.pem);
    if (!key)
        return QStringLiteral("the key file %1 holds no private key that can be read without a "
                              "passphrase.")
            .arg(shown(path));
    if (!keyBelongsTo(certificate, key.get()))
        return QStringLiteral("the key file %1 does not belong to the certificate %2.")
            .arg(shown(path), shown(certPath));
    *pem = file.pem;
    return {};
}

std::optional<SilaCredentials> labCredentials(const QString &certPath, const QString &keyPath,
                                              QString *error)
{
    if (certPath.isEmpty() || keyPath.isEmpty())
        return refuse(error, givenAlone(certPath, keyPath));
    SilaCredentials lab{{}, {}, false, certPath, keyPath};
    Owned<X509> certificate;
    if (const QString problem = readLabCertificate(certPath, &lab.certificatePem, &certificate);
        !problem.isEmpty())
        return refuse(error, problem);
    if (const QString problem = readLabKey(keyPath, certificate.get(), certPath, &lab.keyPem);
        !problem.isEmpty())
        return refuse(error, problem);
    return lab;
}

} // namespace

namespace {
QString ownFile(quint16 port, const char *suffix)
{
    const QString name = port == 0 ? QStringLiteral("sila-server")
                                   : QStringLiteral("sila-server-%1").arg(port);
    return QFileInfo(openStore()->fileName()).absolutePath() + QLatin1Char('/') + name +
           QLatin1String(suffix);
}
} // namespace

QString defaultSilaCertificatePath(quint16 listenPort) { return ownFile(listenPort, ".crt"); }

QString defaultSilaKeyPath(quint16 listenPort) { return ownFile(listenPort, ".key"); }

std::optional<SilaCredentials> loadSilaCredentials(const QString &certFile, const QString &keyFile,
                                                   const QString &serverUuid,
                                                   const QHostAddress &listenAddress,
                                                   QString *error, quint16 listenPort)
{
    auto credentials = certFile.isEmpty() && keyFile.isEmpty()
                           ? ownCredentials(serverUuid, listenAddress, listenPort, error)
                           : labCredentials(certFile, keyFile, error);
    // What failed to parse stays in OpenSSL's error queue; gRPC is not to read it as its own.
    ERR_clear_error();
    return credentials;
}

} // namespace vyt
