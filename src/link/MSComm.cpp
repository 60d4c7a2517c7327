#include "link/MSComm.h"

#include "config/PortMapping.h"
#include "ui/Wait.h"

#include <QFileInfo>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyt {

MSComm::MSComm(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, [this] {
        // Between waits nobody reads (a pause, a flow, potentiometer mode): a line that keeps
        // sending would fill the memory. Keep the newest bytes; every reader empties the
        // buffer before it waits anyway.
        const qint64 excess = m_port.bytesAvailable() - kInBufferSize;
        if (excess > 0)
            (void)m_port.skip(excess);
        emit inputArrived();
        Wakeup::poke();
    });
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onError);
}

MSComm::~MSComm()
{
    if (m_port.isOpen())
        m_port.close();
}

void MSComm::setCommPort(qint16 port) { m_commPort = port; }

bool MSComm::setSettings(const QString &settings)
{
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return false;
    const QString p = parts[1].trimmed().toUpper();
    QSerialPort::Parity parity;
    if (p == QLatin1String("N"))
        parity = QSerialPort::NoParity;
    else if (p == QLatin1String("E"))
        parity = QSerialPort::EvenParity;
    else if (p == QLatin1String("O"))
        parity = QSerialPort::OddParity;
    else
        return false;
    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return false;
    const QString s = parts[3].trimmed();
    if (s != QLatin1String("1") && s != QLatin1String("2"))
        return false;
    m_settings = settings;
    m_baud = baud;
    m_parity = parity;
    m_dataBits = QSerialPort::DataBits(bits);
    m_stopBits = s == QLatin1String("1") ? QSerialPort::OneStop : QSerialPort::TwoStop;
    applySettings();
    return true;
}

void MSComm::setHandshaking(int mode)
{
    m_flow = mode == 1 ? QSerialPort::SoftwareControl
             : mode == 2 ? QSerialPort::HardwareControl
                         : QSerialPort::NoFlowControl;
    applySettings();
}

void MSComm::applySettings()
{
    if (!m_port.isOpen())
        return;
    m_port.setBaudRate(m_baud);
    m_port.setParity(m_parity);
    m_port.setDataBits(m_dataBits);
    m_port.setStopBits(m_stopBits);
    m_port.setFlowControl(m_flow);
}

bool MSComm::PortOpen() const { return m_port.isOpen(); }

bool MSComm::setPortOpen(bool open)
{
    m_error.clear();
    if (!open) {
        if (m_port.isOpen()) {
            m_port.flush();
            m_port.close();
        }
        return true;
    }
    if (m_port.isOpen())
        return true;
    m_device = deviceFor(m_commPort);
    m_port.setPortName(m_device);
    m_opening = true;
    const bool ok = m_port.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!ok) {
        m_error = describeOpenFailure(m_port.error());
        m_port.clearError();
        return false;
    }
    applySettings();
    return true;
}

QString MSComm::describeOpenFailure(QSerialPort::SerialPortError error) const
{
    const QString dev = m_device;
    const QByteArray path = QFile::encodeName(dev);
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return tr("The device %1 does not exist. Check that the adapter is plugged in, "
                  "or choose the device that COM%2 stands for in the port dialog.")
            .arg(dev)
            .arg(m_commPort);
    case QSerialPort::PermissionError: {
        struct stat st {};
        if (::stat(path.constData(), &st) != 0)
            return tr("The device %1 does not exist. Check that the adapter is plugged in, "
                      "or choose the device that COM%2 stands for in the port dialog.")
                .arg(dev)
                .arg(m_commPort);
        // QSerialPort reports a port locked by another program (its lock file, or the
        // exclusive mode another program set) as a permission error too: when we may
        // read and write the device, someone else holds it.
        if (::access(path.constData(), R_OK | W_OK) == 0)
            return tr("The device %1 is in use by another program. Close that program "
                      "or choose another port.")
                .arg(dev);
        const struct group *g = ::getgrgid(st.st_gid);
        const QString owner = g ? QString::fromLocal8Bit(g->gr_name) : QString();
        // Membership only helps where the device's group may read and write it.
        if (!owner.isEmpty() && owner != QLatin1String("root") &&
            (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
            return tr("Access to the device %1 was denied. To get access, become a member "
                      "of the group \"%2\" that owns the device (sudo usermod -aG %2 $USER), "
                      "then log out and in again.")
                .arg(dev, owner);
        return tr("Access to the device %1 was denied. To get access, ask the administrator "
                  "to give the device to a group you belong to, usually \"dialout\" "
                  "(for example with a udev rule), then log out and in again.")
            .arg(dev);
    }
    case QSerialPort::OpenError:
        return tr("The device %1 is already open.").arg(dev);
    case QSerialPort::UnsupportedOperationError:
        return tr("The device %1 is not a serial port. Choose another device in the port "
                  "dialog.")
            .arg(dev);
    default:
        return tr("The device %1 could not be opened: %2").arg(dev, m_port.errorString());
    }
}

int MSComm::InBufferCount() const { return int(m_port.bytesAvailable()); }

void MSComm::setInBufferCount(int count)
{
    if (count == 0 && m_port.isOpen())
        m_port.readAll();
}

void MSComm::setOutput(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return;
    m_port.write(bytes);
}

QByteArray MSComm::Input()
{
    if (!m_port.isOpen())
        return {};
    if (m_inputLen > 0)
        return m_port.read(m_inputLen);
    return m_port.readAll();
}

void MSComm::onError(QSerialPort::SerialPortError error)
{
    if (m_opening || error == QSerialPort::NoError || error == QSerialPort::TimeoutError ||
        error == QSerialPort::UnsupportedOperationError)
        return;
    // The far end went away: QSerialPort would repeat the error in a tight loop and
    // stay open. Close once and report once.
    const QString reason = m_port.errorString();
    m_port.clearError();
    if (!m_port.isOpen())
        return;
    m_port.close();
    emit linkLost(tr("The connection to the device %1 was lost (%2).").arg(m_device, reason));
    Wakeup::poke();
}

} // namespace vyt
