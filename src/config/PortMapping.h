#pragma once
// "Com" n names a device: the one stored under [Ports] COMn, else /dev/ttyS(n-1).
#include <QString>
#include <QStringList>

class QSettings;

namespace vyt {

[[nodiscard]] QString defaultDeviceFor(int port);
[[nodiscard]] QString deviceFor(int port);                   // reads the store
[[nodiscard]] QString deviceFor(int port, QSettings &store);
void storeDeviceFor(int port, const QString &device, QSettings &store);

// Serial devices found on this machine, the stable /dev/serial/by-id names first.
[[nodiscard]] QStringList availableSerialDevices();

} // namespace vyt
