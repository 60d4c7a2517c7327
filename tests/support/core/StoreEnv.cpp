#include "support/core/StoreEnv.h"

#include "config/PortMapping.h"
#include "config/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace vyt::test {

void useEmptyStore()
{
    // Test processes of several builds run at once and the test store lives under
    // HOME: give each process a home of its own, or they read each other's [Ports].
    static const QTemporaryDir home(QDir::tempPath() + QStringLiteral("/vyt-test-home-XXXXXX"));
    static const bool homeSet = home.isValid() && qputenv("HOME", QFile::encodeName(home.path()));
    Q_UNUSED(homeSet);
    QStandardPaths::setTestModeEnabled(true);
    auto store = openStore();
    store->clear();
    store->sync();
}

void mapPort(int port, const QString &device)
{
    auto store = openStore();
    storeDeviceFor(port, device, *store);
    store->sync();
}

} // namespace vyt::test
