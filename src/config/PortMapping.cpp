#include "config/PortMapping.h"

#include "config/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace vyt {
namespace {
QString portKey(int port) { return QStringLiteral("COM%1").arg(port); }
} // namespace

QString defaultDeviceFor(int port) { return QStringLiteral("/dev/ttyS%1").arg(port - 1); }

QString deviceFor(int port)
{
    auto store = openStore();
    return deviceFor(port, *store);
}

QString deviceFor(int port, QSettings &store)
{
    const QString stored = readStoreText(store, QStringLiteral("Ports"), portKey(port)).trimmed();
    return stored.isEmpty() ? defaultDeviceFor(port) : stored;
}

void storeDeviceFor(int port, const QString &device, QSettings &store)
{
    store.beginGroup(QStringLiteral("Ports"));
    store.setValue(portKey(port), device.trimmed());
    store.endGroup();
}

QStringList availableSerialDevices()
{
    QStringList byId;
    const QDir dir(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &fi : dir.entryInfoList(QDir::System | QDir::Files, QDir::Name))
        byId << fi.absoluteFilePath();
    QStringList plain;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        plain << info.systemLocation();
    plain.sort();
    return byId + plain;
}

} // namespace vyt
