#include "link/MSComm.h"

#include "config/PortMapping.h"
#include "link/ProcessGuard.h"
#include "session/Clock.h"

#include <QFileInfo>
#include <QtGlobal>
#include <cerrno>
#include <ctime>
#include <algorithm>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

namespace vyt {

namespace {
// How often pending output is looked at; the driver's queue sends no signal when it drains.
constexpr int kOutputPollMs = 50;
} // namespace

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
    });
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onError);
    connect(&m_port, &QSerialPort::bytesWritten, this, [this] {
        m_stallClock.restart();
        watchOutput();
    });
    m_outputWatch.setInterval(kOutputPollMs);
    connect(&m_outputWatch, &QTimer::timeout, this, &MSComm::watchOutput);
}

MSComm::~MSComm()
{
    if (m_port.isOpen()) {
        if (const qint64 dropped = closePort(); dropped > 0)
            qWarning("vyt: %lld bytes for %s were not sent", qlonglong(dropped),
                     qPrintable(m_device));
    }
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
    onlyXonResumes();
}

void MSComm::onlyXonResumes()
{
    // QSerialPort's software flow control sets IXANY too: any byte of a reply would then
    // resume output the controller stopped. Only its XON may. QSerialPort keeps its own
    // copy of the modes and writes it back in every setter, so this follows each of them.
    const int fd = handle();
    termios tio{};
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0 || !(tio.c_iflag & IXANY))
        return;
    tio.c_iflag &= ~tcflag_t(IXANY);
    ::tcsetattr(fd, TCSANOW, &tio);
}

bool MSComm::lockDevice()
{
    // QSerialPort's lock file and TIOCEXCL do not stop root, nor a program that ignores
    // lock files; a lock on the device itself holds for everyone who asks for one.
    int rc = 0;
    do {
        rc = ::flock(handle(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || errno != EWOULDBLOCK;
}

int MSComm::handle() const
{
    return m_port.isOpen() ? int(m_port.handle()) : -1;
}

qint64 MSComm::BytesPending() const
{
    if (!m_port.isOpen())
        return 0;
    // A real serial driver takes a few KB even while the controller holds the line;
    // those are not on the line yet either.
    int queued = 0;
    if (::ioctl(handle(), TIOCOUTQ, &queued) != 0 || queued < 0)
        queued = 0;
    return m_port.bytesToWrite() + queued;
}

bool MSComm::waitForDrain(int timeoutMs)
{
    if (!m_port.isOpen())
        return true;
    // Only on the way out, when nothing else may run: no event loop is served here, the
    // stop goes out or the time is up.
    const qint64 endNs = clockNs() + qint64(timeoutMs) * 1000000;
    while (m_port.isOpen() && BytesPending() > 0) {
        const qint64 leftMs = (endNs - clockNs()) / 1000000;
        if (leftMs <= 0)
            break;
        if (m_port.bytesToWrite() > 0) {
            (void)m_port.waitForBytesWritten(int(std::min<qint64>(leftMs, 20)));
        } else {
            // In the driver: it drains at the line's rate, a few ms per command.
            const timespec step{0, 2000000};
            ::nanosleep(&step, nullptr);
        }
    }
    return m_port.isOpen() && BytesPending() == 0;
}

qint64 MSComm::dropPendingOutput()
{
    if (!m_port.isOpen())
        return 0;
    const qint64 dropped = BytesPending();
    (void)m_port.clear(QSerialPort::Output);
    // clear() flushes the driver too on this Qt; said here so that a stop never relies on it.
    ::tcflush(handle(), TCOFLUSH);
    // A hold goes on (the stop waits for XON and is reported), but its count starts anew.
    m_lastPending = 0;
    return dropped;
}

void MSComm::watchOutput()
{
    const qint64 pending = BytesPending();
    if (pending == 0) {
        m_outputWatch.stop();
        m_lastPending = 0;
        if (m_outputHeld) {
            m_outputHeld = false;
            emit outputDrained();
        }
        return;
    }
    if (!m_outputWatch.isActive()) {
        m_stallClock.start();
        m_outputWatch.start();
    } else if (pending < m_lastPending) {
        m_stallClock.restart();
    }
    m_lastPending = pending;
    if (!m_outputHeld && m_stallClock.elapsed() >= kDrainTimeoutMs) {
        m_outputHeld = true;
        emit outputHeld();
    }
}

void MSComm::stopWatchingOutput()
{
    m_outputWatch.stop();
    m_outputHeld = false;
    m_lastPending = 0;
}

qint64 MSComm::closePort()
{
    // flush() hands the line what it takes now and never waits; QSerialPort's close()
    // then drops the rest of its queue.
    m_closing = true;
    m_port.flush();
    qint64 dropped = m_port.bytesToWrite();
    if (m_outputHeld) {
        // The driver would make close() wait up to half a minute for a held queue.
        int queued = 0;
        if (::ioctl(handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
            dropped += queued;
        ::tcflush(handle(), TCOFLUSH);
    }
    stopWatchingOutput();
    ProcessGuard::clearStopTarget(handle());
    m_port.close();
    m_port.clearError();
    m_closing = false;
    return dropped;
}

QString MSComm::inUseText() const
{
    return tr("The device %1 is in use by another program. Close that program "
              "or choose another port.")
        .arg(m_device);
}

bool MSComm::PortOpen() const { return m_port.isOpen(); }

bool MSComm::setPortOpen(bool open)
{
    m_error.clear();
    if (!open) {
        if (!m_port.isOpen())
            return true;
        const qint64 dropped = closePort();
        if (dropped == 0)
            return true;
        m_error = tr("%1 bytes for the device %2 were not sent: the controller held them "
                     "back (XOFF) until the port was closed.")
                      .arg(dropped)
                      .arg(m_device);
        qWarning("vyt: %s", qPrintable(m_error));
        emit outputDropped(dropped);
        return false;
    }
    if (m_port.isOpen())
        return true;
    m_device = m_deviceOverride.isEmpty() ? deviceFor(m_commPort) : m_deviceOverride;
    // QSerialPort's lock file is named after the path given: the device must have one
    // name however the operator reaches it (a udev link, a link of our own).
    const QString canonical = QFileInfo(m_device).canonicalFilePath();
    m_port.setPortName(canonical.isEmpty() ? m_device : canonical);
    m_opening = true;
    const bool ok = m_port.open(QIODevice::ReadWrite);
    const bool locked = ok && lockDevice();
    if (ok && !locked)
        m_port.close();
    m_opening = false;
    if (!ok) {
        m_error = describeOpenFailure(m_port.error());
        m_port.clearError();
        return false;
    }
    if (!locked) {
        m_error = inUseText();
        return false;
    }
    applySettings();
    // From here on every way out of the process stops the drive on this line.
    ProcessGuard::setStopTarget(handle());
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
            return inUseText();
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
    // Handed to the line now, not at the event loop's next turn: a stop goes out at once,
    // and a flow's time counts from its speed command actually leaving.
    (void)m_port.flush();
    watchOutput();
}

QByteArray MSComm::Input()
{
    if (!m_port.isOpen())
        return {};
    if (m_inputLen > 0)
        return m_port.read(m_inputLen);
    return m_port.readAll();
}

namespace {
bool hungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return fd < 0 || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)));
}
} // namespace

void MSComm::onError(QSerialPort::SerialPortError error)
{
    if (m_opening || m_closing || error == QSerialPort::NoError ||
        error == QSerialPort::TimeoutError || error == QSerialPort::UnsupportedOperationError)
        return;
    // A write that meets a line the controller has just stopped fails with EAGAIN, which
    // QSerialPort calls a resource error. The line is fine; the bytes stay queued. A hang-up
    // may carry the same text (a stale errno), so the descriptor itself is asked.
    if ((error == QSerialPort::ResourceError || error == QSerialPort::WriteError) &&
        m_port.errorString() == qt_error_string(EAGAIN) && !hungUp(m_port.handle())) {
        m_port.clearError();
        return;
    }
    // The far end went away: QSerialPort would repeat the error in a tight loop and
    // stay open. Close once and report once. A hang-up's error text is a stale errno
    // ("File exists"), so it is named for what it is.
    const QString reason = hungUp(m_port.handle()) ? tr("the line hung up") : m_port.errorString();
    m_port.clearError();
    if (!m_port.isOpen())
        return;
    stopWatchingOutput();
    ProcessGuard::clearStopTarget(handle());
    m_port.close();
    emit linkLost(tr("The connection to the device %1 was lost (%2).").arg(m_device, reason));
}

} // namespace vyt
