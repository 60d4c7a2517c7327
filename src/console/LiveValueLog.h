#pragma once
// The value log: one CSV row per polling cycle of the console (time, speed, current,
// fault flags), so that a commissioning run can be looked at afterwards.
#include <QDateTime>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <memory>

namespace vyt {

class LiveValueLog : public QObject {
    Q_OBJECT
public:
    explicit LiveValueLog(QObject *parent = nullptr);
    ~LiveValueLog() override;

    // live-YYYYMMDD-HHMMSS.csv for that time; the chooser offers it in the log's last folder.
    [[nodiscard]] static QString defaultName(const QDateTime &now = QDateTime::currentDateTime());
    [[nodiscard]] static QStringList header();
    // The row's fields: local time with milliseconds and UTC offset, rpm, mA, flags as received.
    [[nodiscard]] static QStringList row(const QDateTime &time, qint32 rpm, qint32 mA,
                                         const QString &faultFlags);

    // Starts a new log in that file (replaced if it exists) with the header row.
    // False and error() when it cannot be written.
    [[nodiscard]] bool start(const QString &path);
    // The same on a device of the caller's; the log takes it over.
    [[nodiscard]] bool start(std::unique_ptr<QIODevice> device, const QString &name);
    void stop();

    [[nodiscard]] bool isActive() const { return m_device != nullptr; }
    [[nodiscard]] QString path() const { return m_name; }
    [[nodiscard]] qint64 rows() const { return m_rows; }
    [[nodiscard]] QString error() const { return m_error; }

public slots:
    // One row; a write that fails ends the log and emits failed() once.
    void append(const QDateTime &time, qint32 rpm, qint32 mA, const QString &faultFlags);

signals:
    void failed(const QString &error);
    void stopped();

private:
    bool write(const QByteArray &bytes);

    std::unique_ptr<QIODevice> m_device;
    QString m_name;
    QString m_error;
    qint64 m_rows = 0;
    qint64 m_written = 0;
};

} // namespace vyt
