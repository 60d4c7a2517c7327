// The SiLA 2 server's TLS identity and its mDNS records: the program's own certificate made
// once and read again, what it names and how clients verify it, a lab's own pair and the
// files refused, when a new one is made; the TXT records and an announcement without avahi.
#include "sila/SilaCertificate.h"
#include "sila/SilaDiscovery.h"
#include "support/core/StoreEnv.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <QtEndian>
#include <QtTest>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

using namespace vyt;

namespace {

const QString kUuid = QStringLiteral("5a1f0c2e-3b7d-4e8a-9c61-0d2f4b8e7a13");
const QString kOtherUuid = QStringLiteral("c0ffee00-1234-4abc-8def-00000000beef");

struct OpenSslFree {
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(BIO *p) const { BIO_free_all(p); }
    void operator()(ASN1_OBJECT *p) const { ASN1_OBJECT_free(p); }
    void operator()(GENERAL_NAMES *p) const { GENERAL_NAMES_free(p); }
    void operator()(BASIC_CONSTRAINTS *p) const { BASIC_CONSTRAINTS_free(p); }
    void operator()(X509_STORE *p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX *p) const { X509_STORE_CTX_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, OpenSslFree>;

Owned<X509> certificateOf(const QByteArray &pem)
{
    const Owned<BIO> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return Owned<X509>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

Owned<EVP_PKEY> keyOf(const QByteArray &pem)
{
    const Owned<BIO> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return Owned<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

QByteArray pemOf(X509 *certificate)
{
    const Owned<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

// "IP:127.0.0.1", "IP:::1", "DNS:localhost", ... as the certificate names them.
QStringList alternativeNames(X509 *certificate)
{
    const Owned<GENERAL_NAMES> names(static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    QStringList seen;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        int type = 0;
        const auto *value = static_cast<const ASN1_STRING *>(
            GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names.get(), i), &type));
        const QByteArray bytes(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)),
                               ASN1_STRING_length(value));
        if (type == GEN_DNS) {
            seen << QStringLiteral("DNS:") + QString::fromLatin1(bytes);
        } else if (type == GEN_IPADD && bytes.size() == 4) {
            seen << QStringLiteral("IP:") +
                        QHostAddress(qFromBigEndian<quint32>(bytes.constData())).toString();
        } else if (type == GEN_IPADD && bytes.size() == 16) {
            seen
                << QStringLiteral("IP:") +
                       QHostAddress(reinterpret_cast<const quint8 *>(bytes.constData())).toString();
        }
    }
    return seen;
}

// The UUID extension's value, or "<not a UTF8String>" when it is encoded otherwise.
QString uuidExtension(X509 *certificate)
{
    const Owned<ASN1_OBJECT> oid(OBJ_txt2obj(kSilaUuidExtensionOid, 1));
    const int at = X509_get_ext_by_OBJ(certificate, oid.get(), -1);
    if (at < 0)
        return {};
    const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(X509_get_ext(certificate, at));
    const QByteArray der(reinterpret_cast<const char *>(ASN1_STRING_get0_data(data)),
                         ASN1_STRING_length(data));
    // Tag 12, a short length, the text.
    if (der.size() < 2 || der.at(0) != char(V_ASN1_UTF8STRING) || der.at(1) != der.size() - 2)
        return QStringLiteral("<not a UTF8String>");
    return QString::fromUtf8(der.mid(2));
}

bool isCriticalCa(X509 *certificate)
{
    int critical = 0;
    const Owned<BASIC_CONSTRAINTS> constraints(static_cast<BASIC_CONSTRAINTS *>(
        X509_get_ext_d2i(certificate, NID_basic_constraints, &critical, nullptr)));
    return constraints && constraints->ca && critical == 1;
}

// Verified with itself as the only root and OpenSSL's strict checks, as a client given the
// file would; the error's text otherwise.
QString verifiedAsOwnRoot(X509 *certificate)
{
    const Owned<X509_STORE> store(X509_STORE_new());
    const Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
    X509_STORE_add_cert(store.get(), certificate);
    X509_STORE_CTX_init(context.get(), store.get(), certificate, nullptr);
    X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_X509_STRICT);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM_set1_host(param, "localhost", 0);
    if (X509_verify_cert(context.get()) == 1)
        return {};
    return QString::fromLatin1(
        X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
}

uint modeOf(const QString &path)
{
    struct stat facts {};
    return ::lstat(QFile::encodeName(path).constData(), &facts) == 0 ? uint(facts.st_mode & 0777)
                                                                     : 0U;
}

bool setMode(const QString &path, uint mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

std::optional<SilaCredentials>
ownCredentials(const QString &uuid = kUuid,
               const QHostAddress &listen = QHostAddress(QHostAddress::Any),
               QString *error = nullptr)
{
    QString why;
    auto made = loadSilaCredentials({}, {}, uuid, listen, &why);
    if (error)
        *error = why;
    else if (!made)
        qWarning("%s", qPrintable(why));
    return made;
}

// The stored certificate, expired a minute ago and signed again with its own key.
bool expireStoredCertificate()
{
    const Owned<X509> certificate = certificateOf(contentsOf(defaultSilaCertificatePath()));
    const Owned<EVP_PKEY> key = keyOf(contentsOf(defaultSilaKeyPath()));
    if (!certificate || !key)
        return false;
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -7200);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), -60);
    return X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0 &&
           writeFile(defaultSilaCertificatePath(), pemOf(certificate.get()));
}

QByteArray encryptedCopyOf(const QByteArray &keyPem)
{
    const Owned<EVP_PKEY> key = keyOf(keyPem);
    const Owned<BIO> bio(BIO_new(BIO_s_mem()));
    static const char passphrase[] = "lab secret";
    PEM_write_bio_PrivateKey(bio.get(), key.get(), EVP_aes_256_cbc(),
                             reinterpret_cast<const unsigned char *>(passphrase),
                             int(sizeof passphrase - 1), nullptr, nullptr);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

} // namespace

class tst_silacertificate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void madeOnceThenRead();
    void madeCertificate_data();
    void madeCertificate();
    void madeAnew_data();
    void madeAnew();
    void ownKeyMadePrivate();
    void ownKeyLinkRefused();
    void labPair_data();
    void labPair();
    void txtRecordsInOrder_data();
    void txtRecordsInOrder();
    void txtRecordsCut_data();
    void txtRecordsCut();
    void announceWithoutDaemon();

private:
    QTemporaryDir m_lab;
};

void tst_silacertificate::initTestCase()
{
    test::useEmptyStore();
    QVERIFY(m_lab.isValid());
    // A lab's own pair, and the key of another pair.
    const auto lab = ownCredentials(kOtherUuid);
    QVERIFY(lab);
    QVERIFY(writeFile(m_lab.filePath("lab.crt"), lab->certificatePem));
    QVERIFY(writeFile(m_lab.filePath("lab.key"), lab->keyPem));
    QVERIFY(setMode(m_lab.filePath("lab.key"), 0600));
    QVERIFY(writeFile(m_lab.filePath("chain.crt"), lab->certificatePem + lab->certificatePem));
    QVERIFY(writeFile(m_lab.filePath("encrypted.key"), encryptedCopyOf(lab->keyPem)));
    QVERIFY(setMode(m_lab.filePath("encrypted.key"), 0600));
    const auto other = ownCredentials(kUuid);
    QVERIFY(other);
    QVERIFY(writeFile(m_lab.filePath("other.key"), other->keyPem));
    QVERIFY(setMode(m_lab.filePath("other.key"), 0600));
    QVERIFY(QFile::link(m_lab.filePath("lab.key"), m_lab.filePath("link.key")));
}

void tst_silacertificate::init()
{
    QFile::remove(defaultSilaCertificatePath());
    QFile::remove(defaultSilaKeyPath());
}

void tst_silacertificate::madeOnceThenRead()
{
    const auto first = ownCredentials();
    QVERIFY(first);
    QVERIFY(first->selfSigned);
    QCOMPARE(first->certificatePath, defaultSilaCertificatePath());
    QCOMPARE(first->keyPath, defaultSilaKeyPath());
    QVERIFY(first->certificatePath.endsWith(QStringLiteral("/sila-server.crt")));
    QCOMPARE(QFileInfo(first->certificatePath).absolutePath(),
             QFileInfo(defaultSilaKeyPath()).absolutePath());
    QCOMPARE(modeOf(first->keyPath), 0600U);
    QCOMPARE(contentsOf(first->certificatePath), first->certificatePem);
    QCOMPARE(contentsOf(first->keyPath), first->keyPem);
    // Nothing half made is left beside them.
    const QStringList beside = QDir(QFileInfo(first->keyPath).absolutePath())
                                   .entryList({QStringLiteral("sila-server*")}, QDir::Files);
    QCOMPARE(beside, QStringList({"sila-server.crt", "sila-server.key"}));

    const auto second = ownCredentials();
    QVERIFY(second);
    QCOMPARE(second->certificatePem, first->certificatePem);
    QCOMPARE(second->keyPem, first->keyPem);
}

void tst_silacertificate::madeCertificate_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("extra"); // the listen address named beside the usual ones
    QTest::newRow("any address") << "0.0.0.0"
                                 << "";
    QTest::newRow("any IPv6 address") << "::"
                                      << "";
    QTest::newRow("dual-stack any") << ""
                                    << "";
    QTest::newRow("loopback: named once") << "127.0.0.1"
                                          << "";
    QTest::newRow("a LAN address") << "192.0.2.10"
                                   << "IP:192.0.2.10";
    QTest::newRow("an IPv6 address") << "2001:db8::5"
                                     << "IP:2001:db8::5";
}

void tst_silacertificate::madeCertificate()
{
    QFETCH(QString, listen);
    QFETCH(QString, extra);
    const QHostAddress address =
        listen.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(listen);
    const auto made = ownCredentials(kUuid, address);
    QVERIFY(made);
    const Owned<X509> certificate = certificateOf(made->certificatePem);
    QVERIFY(certificate);

    QStringList expected{"IP:127.0.0.1", "IP:::1", "DNS:localhost"};
    const QString host = QString::fromLatin1(QUrl::toAce(QSysInfo::machineHostName()));
    if (!host.isEmpty() && host != QLatin1String("localhost"))
        expected << QStringLiteral("DNS:") + host;
    if (!extra.isEmpty())
        expected << extra;
    const QStringList names = alternativeNames(certificate.get());
    for (const QString &name : expected)
        QVERIFY2(names.contains(name), qPrintable(names.join(", ")));
    QCOMPARE(names.count(QStringLiteral("IP:127.0.0.1")), 1);
    QCOMPARE(names.filter(QStringLiteral("IP:")).size(), extra.isEmpty() ? 2 : 3);

    QCOMPARE(uuidExtension(certificate.get()), kUuid);
    QVERIFY(isCriticalCa(certificate.get()));
    const QString verified = verifiedAsOwnRoot(certificate.get());
    QVERIFY2(verified.isEmpty(), qPrintable(verified));
    char commonName[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, commonName,
                              sizeof commonName);
    QCOMPARE(QString::fromUtf8(commonName), QStringLiteral("vyt-Pump controller"));
    QCOMPARE(X509_get_signature_nid(certificate.get()) == NID_ecdsa_with_SHA256 ||
                 X509_get_signature_nid(certificate.get()) == NID_sha256WithRSAEncryption,
             true);
    int days = 0;
    int seconds = 0;
    QVERIFY(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate.get())));
    QVERIFY2(days >= 3650 && days <= 3653, qPrintable(QString::number(days)));
    const Owned<EVP_PKEY> key = keyOf(made->keyPem);
    QVERIFY(key);
    QCOMPARE(X509_check_private_key(certificate.get(), key.get()), 1);
}

void tst_silacertificate::madeAnew_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("anew");
    QTest::newRow("nothing changed") << "" << false;
    QTest::newRow("another server UUID") << "uuid" << true;
    QTest::newRow("expired") << "expired" << true;
    QTest::newRow("listen address not named") << "address" << true;
    QTest::newRow("certificate missing") << "no certificate" << true;
    QTest::newRow("key missing") << "no key" << true;
    QTest::newRow("key damaged") << "damaged key" << true;
    QTest::newRow("key of another pair") << "other key" << true;
}

void tst_silacertificate::madeAnew()
{
    QFETCH(QString, change);
    QFETCH(bool, anew);
    const auto first = ownCredentials();
    QVERIFY(first);
    QString uuid = kUuid;
    QHostAddress listen(QHostAddress::Any);
    if (change == QLatin1String("uuid"))
        uuid = kOtherUuid;
    else if (change == QLatin1String("expired"))
        QVERIFY(expireStoredCertificate());
    else if (change == QLatin1String("address"))
        listen = QHostAddress(QStringLiteral("198.51.100.4"));
    else if (change == QLatin1String("no certificate"))
        QVERIFY(QFile::remove(defaultSilaCertificatePath()));
    else if (change == QLatin1String("no key"))
        QVERIFY(QFile::remove(defaultSilaKeyPath()));
    else if (change == QLatin1String("damaged key"))
        QVERIFY(writeFile(defaultSilaKeyPath(), first->keyPem.left(40)));
    else if (change == QLatin1String("other key"))
        QVERIFY(writeFile(defaultSilaKeyPath(), contentsOf(m_lab.filePath("other.key"))));

    const auto second = ownCredentials(uuid, listen);
    QVERIFY(second);
    QCOMPARE(second->certificatePem != first->certificatePem, anew);
    QCOMPARE(contentsOf(defaultSilaCertificatePath()), second->certificatePem);
    QCOMPARE(contentsOf(defaultSilaKeyPath()), second->keyPem);
    QCOMPARE(modeOf(defaultSilaKeyPath()), 0600U);
    const Owned<X509> certificate = certificateOf(second->certificatePem);
    const Owned<EVP_PKEY> key = keyOf(second->keyPem);
    QVERIFY(certificate && key);
    QCOMPARE(X509_check_private_key(certificate.get(), key.get()), 1);
    QCOMPARE(uuidExtension(certificate.get()), uuid);
    QCOMPARE(X509_cmp_current_time(X509_get0_notAfter(certificate.get())), 1);
    if (change == QLatin1String("address"))
        QVERIFY(alternativeNames(certificate.get()).contains(QStringLiteral("IP:198.51.100.4")));
}

void tst_silacertificate::ownKeyMadePrivate()
{
    const auto first = ownCredentials();
    QVERIFY(first);
    QVERIFY(setMode(first->keyPath, 0644));
    const auto second = ownCredentials();
    QVERIFY(second);
    QCOMPARE(second->certificatePem, first->certificatePem);
    QCOMPARE(modeOf(first->keyPath), 0600U);
}

void tst_silacertificate::ownKeyLinkRefused()
{
    const auto first = ownCredentials();
    QVERIFY(first);
    const QString target = m_lab.filePath("own-target.key");
    QVERIFY(QFile::rename(first->keyPath, target));
    QVERIFY(QFile::link(target, first->keyPath));
    QString error;
    QVERIFY(!ownCredentials(kUuid, QHostAddress(QHostAddress::Any), &error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(first->keyPath)) &&
                 error.contains(QStringLiteral("is a symbolic link")),
             qPrintable(error));
    QVERIFY(QFileInfo(first->keyPath).isSymLink());
    QCOMPARE(contentsOf(target), first->keyPem);
}

void tst_silacertificate::labPair_data()
{
    QTest::addColumn<QString>("cert"); // in the lab folder; "" for none given
    QTest::addColumn<QString>("key");
    QTest::addColumn<uint>("keyMode");
    QTest::addColumn<QString>("refusal"); // part of the message; "" when accepted
    QTest::newRow("the lab's own pair") << "lab.crt"
                                        << "lab.key" << 0600U << "";
    QTest::newRow("a chain") << "chain.crt"
                             << "lab.key" << 0600U << "";
    QTest::newRow("key readable by the owner only") << "lab.crt"
                                                    << "lab.key" << 0400U << "";
    QTest::newRow("key of another pair")
        << "lab.crt"
        << "other.key" << 0600U << "does not belong to the certificate";
    QTest::newRow("group-readable key")
        << "lab.crt"
        << "lab.key" << 0640U << "is readable by others (mode 0640)";
    QTest::newRow("world-readable key")
        << "lab.crt"
        << "lab.key" << 0604U << "is readable by others (mode 0604)";
    QTest::newRow("group-writable key") << "lab.crt"
                                        << "lab.key" << 0620U << "is open to others (mode 0620)";
    QTest::newRow("key is a symbolic link") << "lab.crt"
                                            << "link.key" << 0600U << "is a symbolic link";
    QTest::newRow("key is a folder") << "lab.crt"
                                     << "." << 0700U << "is not a regular file";
    QTest::newRow("key with a passphrase") << "lab.crt"
                                           << "encrypted.key" << 0600U << "without a passphrase";
    QTest::newRow("missing certificate")
        << "missing.crt"
        << "lab.key" << 0600U << "the certificate file <missing.crt> does not exist";
    QTest::newRow("missing key") << "lab.crt"
                                 << "missing.key" << 0600U
                                 << "the key file <missing.key> does not exist";
    QTest::newRow("a key as certificate") << "lab.key"
                                          << "lab.key" << 0600U << "holds no PEM certificate";
    QTest::newRow("certificate without its key") << "lab.crt"
                                                 << "" << 0600U << "was given without its key file";
    QTest::newRow("key without its certificate")
        << ""
        << "lab.key" << 0600U << "was given without its certificate";
}

void tst_silacertificate::labPair()
{
    QFETCH(QString, cert);
    QFETCH(QString, key);
    QFETCH(uint, keyMode);
    QFETCH(QString, refusal);
    const QString certPath = cert.isEmpty() ? QString() : m_lab.filePath(cert);
    const QString keyPath = key.isEmpty() ? QString() : m_lab.filePath(key);
    const QString realKey = m_lab.filePath(key == QLatin1String("link.key") ? "lab.key" : key);
    const bool keyFile = !key.isEmpty() && QFileInfo(realKey).isFile();
    if (keyFile)
        QVERIFY(setMode(realKey, keyMode));
    const QByteArray keyBefore = keyFile ? contentsOf(realKey) : QByteArray();
    refusal.replace(QStringLiteral("<missing.crt>"), QDir::toNativeSeparators(certPath));
    refusal.replace(QStringLiteral("<missing.key>"), QDir::toNativeSeparators(keyPath));

    QString error;
    const auto loaded =
        loadSilaCredentials(certPath, keyPath, kUuid, QHostAddress(QHostAddress::Any), &error);
    const uint modeAfter = keyFile ? modeOf(realKey) : 0U;
    if (keyFile)
        QVERIFY(setMode(realKey, 0600));

    // A lab's files are never changed, and the program's own pair is not made for them.
    if (keyFile) {
        QCOMPARE(modeAfter, keyMode);
        QCOMPARE(contentsOf(realKey), keyBefore);
    }
    QVERIFY(!QFile::exists(defaultSilaCertificatePath()));
    if (refusal.isEmpty()) {
        QVERIFY2(loaded, qPrintable(error));
        QVERIFY(!loaded->selfSigned);
        QCOMPARE(loaded->certificatePem, contentsOf(certPath));
        QCOMPARE(loaded->keyPem, contentsOf(keyPath));
        QCOMPARE(loaded->certificatePath, certPath);
        QCOMPARE(loaded->keyPath, keyPath);
        return;
    }
    QVERIFY(!loaded);
    QVERIFY2(error.contains(refusal), qPrintable(error));
    QVERIFY2(error.endsWith(QLatin1Char('.')) && error.at(0).isLower(), qPrintable(error));
}

void tst_silacertificate::txtRecordsInOrder_data()
{
    QTest::addColumn<QByteArray>("ca");
    QTest::addColumn<QStringList>("caRecords");
    QTest::newRow("no CA: a CA's certificate") << QByteArray() << QStringList();
    QTest::newRow("three lines")
        << QByteArray(
               "-----BEGIN CERTIFICATE-----\nMIIBszCCAVmgAwIBAgIU\n-----END CERTIFICATE-----\n")
        << QStringList{"ca0=-----BEGIN CERTIFICATE-----", "ca1=MIIBszCCAVmgAwIBAgIU",
                       "ca2=-----END CERTIFICATE-----"};
    QTest::newRow("CRLF and a blank line")
        << QByteArray("-----BEGIN CERTIFICATE-----\r\n\r\nAAAA\r\n-----END CERTIFICATE-----")
        << QStringList{"ca0=-----BEGIN CERTIFICATE-----", "ca1=AAAA",
                       "ca2=-----END CERTIFICATE-----"};
}

void tst_silacertificate::txtRecordsInOrder()
{
    QFETCH(QByteArray, ca);
    QFETCH(QStringList, caRecords);
    SilaAnnouncement what;
    what.serverUuid = kUuid;
    what.port = 50052;
    what.version = QStringLiteral("2.5.3");
    what.serverName = QStringLiteral("Pump A");
    what.description = QStringLiteral("Micro annular gear pump");
    what.caPem = ca;
    QCOMPARE(silaTxtRecords(what), QStringList({"version=2.5.3", "server_name=Pump A",
                                                "description=Micro annular gear pump"}) +
                                       caRecords);
}

void tst_silacertificate::txtRecordsCut_data()
{
    QTest::addColumn<QString>("character");
    QTest::addColumn<int>("bytes"); // the record's length after the cut
    QTest::newRow("ASCII") << "a" << 255;
    QTest::newRow("two bytes each") << QStringLiteral("\u00e4") << 254;      // 12 + 242
    QTest::newRow("three bytes each") << QStringLiteral("\u20ac") << 255;    // 12 + 243
    QTest::newRow("four bytes each") << QStringLiteral("\U0001F9EA") << 252; // 12 + 240
}

void tst_silacertificate::txtRecordsCut()
{
    QFETCH(QString, character);
    QFETCH(int, bytes);
    SilaAnnouncement what;
    what.description = character.repeated(1000 / character.size());
    what.serverName = character.repeated(1000 / character.size());
    const QStringList records = silaTxtRecords(what);
    QCOMPARE(records.size(), 3);
    for (const QString &record : records.mid(1)) {
        const QByteArray utf8 = record.toUtf8();
        QCOMPARE(int(utf8.size()), bytes); // "server_name=" and "description=" are 12 bytes each
        // Whole characters only: the bytes read back as the same text, a prefix of the value.
        QCOMPARE(QString::fromUtf8(utf8).toUtf8(), utf8);
        QVERIFY(!record.contains(QChar::ReplacementCharacter));
        const QString value = record.section(QLatin1Char('='), 1);
        QVERIFY(what.description.startsWith(value));
        QCOMPARE(value.size() % character.size(), 0);
    }
    QVERIFY(records.at(1).startsWith(QStringLiteral("server_name=")));
    QVERIFY(records.at(2).startsWith(QStringLiteral("description=")));
}

void tst_silacertificate::announceWithoutDaemon()
{
    if (QFileInfo::exists(QStringLiteral("/run/avahi-daemon/socket")))
        QSKIP("An avahi daemon runs here");
    SilaDiscovery discovery;
    SilaAnnouncement what;
    what.serverUuid = kUuid;
    what.port = 50052;
    what.serverName = QStringLiteral("Pump A");
    QString problem;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!discovery.announce(what, &problem));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(problem.contains(QStringLiteral("avahi daemon")) &&
                 problem.contains(QStringLiteral("not announced")) && problem.endsWith('.'),
             qPrintable(problem));
    // Nothing runs to be told, and nothing breaks.
    discovery.rename(QStringLiteral("Pump B"));
}

QTEST_GUILESS_MAIN(tst_silacertificate)
#include "tst_silacertificate.moc"
