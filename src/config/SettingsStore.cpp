#include "config/SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTemporaryFile>

namespace vyt {
namespace {

bool present(const QString &path)
{
    const QFileInfo fi(path);
    return fi.exists() || fi.isSymLink();
}

// Whether QSettings reads these bytes as they are, so that writing them back loses nothing.
bool parses(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    (void)QString(utf8(bytes));
    if (utf8.hasError())
        return false;
    // QSettings caches a parsed file and reports a parse error only to its first
    // reader in the process: parse a private copy.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return true;
    QSettings probe(copy.fileName(), QSettings::IniFormat);
    (void)probe.allKeys(); // sections are parsed on demand
    return probe.status() != QSettings::FormatError;
}

// vyt.conf.bak, or a dated name beside it: an older backup is never replaced.
QString backupNameFor(const QString &file)
{
    QString name = file + QStringLiteral(".bak");
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HHmmss"));
    for (int n = 1; present(name); ++n)
        name = n == 1 ? QStringLiteral("%1.%2.bak").arg(file, stamp)
                      : QStringLiteral("%1.%2-%3.bak").arg(file, stamp).arg(n);
    return name;
}

// QSaveFile's temporary beside the store: QTemporaryFile fills the six places with
// letters and ends them with the process id's digits.
bool isStoreTemporary(const QFileInfo &entry, const QString &storeName)
{
    static const QRegularExpression kRandomPart(QStringLiteral("^[A-Za-z0-9]{5}[0-9]$"));
    const QString name = entry.fileName();
    const QString prefix = storeName + QLatin1Char('.');
    return name.startsWith(prefix) && kRandomPart.match(name.mid(prefix.size())).hasMatch() &&
           entry.isFile() && !entry.isSymLink();
}

StoreReporter &reporter()
{
    static StoreReporter r;
    return r;
}

void tell(const QString &text, QObject *asker)
{
    const Notice notice{text, QStringLiteral("Error"), MsgButtons::Ok, MsgIcon::Exclamation};
    if (reporter())
        reporter()(notice, asker);
    else
        (void)UnattendedAttendant().tell(notice);
}

} // namespace

void setStoreReporter(StoreReporter r) { reporter() = std::move(r); }

int removeLeftoverStoreTemporaries()
{
    const QFileInfo store(openStore()->fileName());
    const QDateTime settled = QDateTime::currentDateTimeUtc().addSecs(-60);
    int removed = 0;
    const QFileInfoList entries = store.absoluteDir().entryInfoList(
        {store.fileName() + QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (isStoreTemporary(entry, store.fileName()) && entry.lastModified().toUTC() < settled &&
            QFile::remove(entry.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

std::unique_ptr<QSettings> openStore()
{
    return std::make_unique<QSettings>(QString::fromLatin1(kStoreName),
                                       QString::fromLatin1(kStoreName));
}

QString readStoreText(QSettings &store, const QString &section, const QString &key)
{
    store.beginGroup(section);
    const QVariant v = store.value(key);
    store.endGroup();
    if (!v.isValid())
        return {};
    // A hand-edited "1,5" comes back from QSettings as a list: it is no number.
    if (v.userType() == QMetaType::QStringList)
        return QStringLiteral("?");
    return v.toString();
}

bool prepareStoreForWriting(QObject *asker, QString *reason)
{
    const QString file = openStore()->fileName();
    if (!QFileInfo(file).isFile())
        return true;
    QFile current(file);
    const bool readable = current.open(QIODevice::ReadOnly);
    QByteArray bytes = current.readAll();
    current.close();
    // Qt reads a UTF-8 file with a BOM completely, yet reports FormatError for it, and
    // then for every write: drop the mark, as Qt's own next write would.
    const QByteArray mark("\xEF\xBB\xBF");
    const bool marked = bytes.startsWith(mark);
    if (marked)
        bytes.remove(0, mark.size());
    if (readable && parses(bytes)) {
        if (marked) {
            QSaveFile plain(file);
            if (plain.open(QIODevice::WriteOnly) && plain.write(bytes) == bytes.size())
                plain.commit();
        }
        return true;
    }
    const QString backup = backupNameFor(file);
    QFile original(file);
    // rename() refuses an existing target, so a backup made meanwhile stays too.
    if (!original.rename(backup)) {
        const QString text =
            QStringLiteral("The settings file %1 could not be read, and it could not be kept "
                           "as %2 (%3). It was left as it is; the settings are not saved.")
                .arg(file, backup, original.errorString());
        if (reason)
            *reason = text;
        else
            tell(text, asker);
        return false;
    }
    tell(QStringLiteral("The settings file %1 could not be read; it was kept as %2 and "
                        "new settings are written.")
             .arg(file, backup),
         asker);
    return true;
}

bool storeWritten(QSettings &store, QString *reason)
{
    store.sync();
    if (store.status() == QSettings::NoError)
        return true;
    if (reason)
        *reason = QStringLiteral("The settings file %1 could not be written.")
                      .arg(QDir::toNativeSeparators(store.fileName()));
    return false;
}

} // namespace vyt
