#pragma once
// The serial component: the operations the program uses, under their design
// names, over QSerialPort. Protocol code reads and writes through it only.
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

namespace vyt {

class MSComm : public QObject {
    Q_OBJECT
public:
    // Received, unread bytes kept at most; older ones are dropped. Replies are one short line.
    static constexpr qint64 kInBufferSize = 64 * 1024;
    // Output that makes no progress for this long is held by the controller (XOFF).
    static constexpr int kDrainTimeoutMs = 1000;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    void setCommPort(qint16 port);
    [[nodiscard]] qint16 CommPort() const { return m_commPort; }
    // "9600,N,8,1": baud, parity, data bits, stop bits. Returns false for a text it cannot read.
    bool setSettings(const QString &settings);
    [[nodiscard]] QString Settings() const { return m_settings; }
    void setHandshaking(int mode); // 0 none, 1 XON/XOFF, 2 RTS/CTS
    void setInputLen(int len) { m_inputLen = len; }

    [[nodiscard]] bool PortOpen() const;
    // Opening maps CommPort to a device (see PortMapping). On failure it answers false
    // and ErrorDescription() tells the cause in plain words. Closing does not wait for
    // output the controller holds back: that is dropped, closing answers false, and
    // ErrorDescription() and outputDropped() say so. The port is closed either way.
    [[nodiscard]] bool setPortOpen(bool open);
    [[nodiscard]] QString ErrorDescription() const { return m_error; }
    [[nodiscard]] QString DevicePath() const { return m_device; }
    // A device of its own instead of the one the store maps the port to (a trial against
    // a simulator beside the real pump); empty: the store's.
    void setDeviceOverride(const QString &device) { m_deviceOverride = device; }
    // The open descriptor, -1 when closed: for writing a stop when nothing else may run.
    [[nodiscard]] int handle() const;

    [[nodiscard]] int InBufferCount() const;
    void setInBufferCount(int count); // 0 discards everything received and unread
    void setOutput(const QByteArray &bytes);
    [[nodiscard]] QByteArray Input(); // everything buffered (InputLen 0), buffer emptied
    // Output written but not yet on the line: queued here and in the driver.
    [[nodiscard]] qint64 BytesPending() const;
    // On the way out: waits, serving no events, until all output is on the line (true),
    // the time is up or the port closed (false).
    bool waitForDrain(int timeoutMs);
    // Drops what has not gone out yet, here and in the driver, so that what is written
    // next goes first: for a stop. Answers the bytes dropped, as far as the driver tells.
    qint64 dropPendingOutput();

signals:
    void inputArrived();
    // The device went away (adapter unplugged, far end hung up). The port is closed
    // already when this is emitted, once per loss.
    void linkLost(const QString &reason);
    // Output made no progress for kDrainTimeoutMs: the controller holds the line. Once
    // per episode; outputDrained() follows when the held bytes have gone out.
    void outputHeld();
    void outputDrained();
    // Closing the port dropped this many bytes the controller had not taken.
    void outputDropped(qint64 bytes);

private:
    void onError(QSerialPort::SerialPortError error);
    void applySettings();
    void onlyXonResumes();
    bool lockDevice();
    void watchOutput();
    void stopWatchingOutput();
    qint64 closePort(); // answers the bytes dropped
    [[nodiscard]] QString inUseText() const;
    QString describeOpenFailure(QSerialPort::SerialPortError error) const;

    QSerialPort m_port;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint32 m_baud = 9600;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    QSerialPort::FlowControl m_flow = QSerialPort::NoFlowControl;
    int m_inputLen = 0;
    QString m_device;
    QString m_deviceOverride;
    QString m_error;
    bool m_opening = false;
    bool m_closing = false;
    QTimer m_outputWatch;       // runs while output is pending
    QElapsedTimer m_stallClock; // since output last made progress
    qint64 m_lastPending = 0;   // at the last look
    bool m_outputHeld = false;
};

} // namespace vyt
