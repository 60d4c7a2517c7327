#include "console/FunctionKeyStore.h"

#include "config/SettingsStore.h"

#include <QStringList>
#include <QWidget>

namespace vyt {
namespace {

const QString kSection = QStringLiteral("FunctionKeys");

QString keyFor(int port, int n)
{
    return QStringLiteral("COM%1/F%2").arg(port).arg(n);
}

// A hand-edited "V 1,5" comes back from QSettings as a list: put it together again.
QString textOf(const QVariant &v)
{
    if (v.userType() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

} // namespace

std::array<std::optional<QString>, kFunctionKeyCount> loadFunctionKeys(QSettings &store, int port)
{
    std::array<std::optional<QString>, kFunctionKeyCount> texts;
    store.beginGroup(kSection);
    for (int n = 1; n <= kFunctionKeyCount; ++n) {
        if (store.contains(keyFor(port, n)))
            texts[n - 1] = textOf(store.value(keyFor(port, n)));
    }
    store.endGroup();
    return texts;
}

bool saveFunctionKeys(QSettings &store, int port, const FunctionKeyTexts &texts,
                      const FunctionKeyTexts &defaults, QWidget *messageParent, QString *reason)
{
    const auto stored = loadFunctionKeys(store, port);
    bool changed = false;
    for (int i = 0; i < kFunctionKeyCount; ++i) {
        const std::optional<QString> wanted =
            texts[i] == defaults[i] ? std::nullopt : std::optional<QString>(texts[i]);
        changed = changed || wanted != stored[i];
    }
    if (!changed)
        return true;
    if (!prepareStoreForWriting(messageParent, reason))
        return false;
    store.beginGroup(kSection);
    for (int i = 0; i < kFunctionKeyCount; ++i) {
        if (texts[i] == defaults[i])
            store.remove(keyFor(port, i + 1));
        else
            store.setValue(keyFor(port, i + 1), texts[i]);
    }
    store.endGroup();
    return storeWritten(store, reason);
}

} // namespace vyt
