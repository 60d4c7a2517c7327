#include "config/SettingsStore.h"

namespace vyt {

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

} // namespace vyt
