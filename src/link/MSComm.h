#pragma once
// The serial component: the operations the program uses, under their design
// names, over QSerialPort. Protocol code reads and writes through it only.
#include <QObject>
#include <QSerialPort>
#include <QString>

namespace vyt {

class MSComm : public QObject {
    Q_OBJECT
public:
    // Received, unread bytes kept at most; older ones are dropped. Replies are one short line.
    static constexpr qint64 kInBufferSize = 64 * 1024;

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
    // and ErrorDescription() tells the cause in plain words.
    [[nodiscard]] bool setPortOpen(bool open);
    [[nodiscard]] QString ErrorDescription() const { return m_error; }
    [[nodiscard]] QString DevicePath() const { return m_device; }

    [[nodiscard]] int InBufferCount() const;
    void setInBufferCount(int count); // 0 discards everything received and unread
    void setOutput(const QByteArray &bytes);
    [[nodiscard]] QByteArray Input(); // everything buffered (InputLen 0), buffer emptied

signals:
    void inputArrived();
    // The device went away (adapter unplugged, far end hung up). The port is closed
    // already when this is emitted, once per loss.
    void linkLost(const QString &reason);

private:
    void onError(QSerialPort::SerialPortError error);
    void applySettings();
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
    QString m_error;
    bool m_opening = false;
};

} // namespace vyt
