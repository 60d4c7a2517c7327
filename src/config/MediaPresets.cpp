#include "config/MediaPresets.h"

#include "config/NumberText.h"
#include "config/SettingsStore.h"

#include <QUrl>
#include <algorithm>
#include <functional>

namespace vyt {
namespace {

const QString kGroup = QStringLiteral("Media");

// "COM1/3/": the store escapes "=", "[" and non-ASCII in keys itself; only the group
// separator "/" (and "%", so that the escape reads back) is escaped here.
QString prefix(int port, int pumpType)
{
    return QStringLiteral("COM%1/%2/").arg(port).arg(pumpType);
}

QString keyFor(int port, int pumpType, const QString &name)
{
    QString escaped = name;
    escaped.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('/'), QLatin1String("%2F"));
    return prefix(port, pumpType) + escaped;
}

bool inRange(float density, float factor)
{
    return density >= 0.1f && density <= 15.0f && factor >= -10.0f && factor <= 10.0f;
}

} // namespace

bool sameStoredValue(float a, float b)
{
    return storeForm(a) == storeForm(b);
}

QString mediumOf(const QList<MediumPreset> &media, float density, float factor)
{
    for (const MediumPreset &medium : media)
        if (sameStoredValue(medium.density, density) && sameStoredValue(medium.factor, factor))
            return medium.name;
    return {};
}

QList<MediumPreset> loadMedia(QSettings &store, int port, int pumpType)
{
    QList<MediumPreset> media;
    store.beginGroup(kGroup);
    store.beginGroup(prefix(port, pumpType).chopped(1));
    for (const QString &key : store.childKeys()) {
        const QStringList parts =
            store.value(key).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() != 2)
            continue;
        const auto density = readSingle(parts[0], QLocale::c());
        const auto factor = readSingle(parts[1], QLocale::c());
        const QString name = QUrl::fromPercentEncoding(key.toUtf8());
        if (!density || !factor || !inRange(*density, *factor) || name.trimmed().isEmpty())
            continue;
        media.append({name, *density, *factor});
    }
    store.endGroup();
    store.endGroup();
    std::sort(media.begin(), media.end(), [](const MediumPreset &a, const MediumPreset &b) {
        return QString::localeAwareCompare(a.name, b.name) < 0;
    });
    return media;
}

// One change of the [Media] section: only into a store that may be written, then synced.
static bool changeMedia(QSettings &store, QString *reason, const std::function<void()> &change)
{
    QString why;
    if (!prepareStoreForWriting(nullptr, &why)) {
        if (reason)
            *reason = why;
        return false;
    }
    store.beginGroup(kGroup);
    change();
    store.endGroup();
    return storeWritten(store, reason);
}

bool saveMedium(QSettings &store, int port, int pumpType, const MediumPreset &medium,
                QString *reason)
{
    return changeMedia(store, reason, [&] {
        store.setValue(keyFor(port, pumpType, medium.name),
                       storeForm(medium.density) + QLatin1Char(' ') + storeForm(medium.factor));
    });
}

bool removeMedium(QSettings &store, int port, int pumpType, const QString &name, QString *reason)
{
    return changeMedia(store, reason, [&] { store.remove(keyFor(port, pumpType, name)); });
}

bool renameMedium(QSettings &store, int port, int pumpType, const QString &from, const QString &to,
                  QString *reason)
{
    const QList<MediumPreset> media = loadMedia(store, port, pumpType);
    const auto it = std::find_if(media.begin(), media.end(),
                                 [&](const MediumPreset &m) { return m.name == from; });
    if (it == media.end())
        return false;
    MediumPreset renamed = *it;
    renamed.name = to;
    return saveMedium(store, port, pumpType, renamed, reason) &&
           (from == to || removeMedium(store, port, pumpType, from, reason));
}

} // namespace vyt
