#include "console/LiveValueLog.h"

#include "config/NumberText.h"
#include "journal/RunJournal.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

namespace vyt {

LiveValueLog::LiveValueLog(QObject *parent) : QObject(parent)
{
}

LiveValueLog::~LiveValueLog() = default;

QString LiveValueLog::defaultName(const QDateTime &now)
{
    return now.toString(QStringLiteral("'live-'yyyyMMdd-HHmmss'.csv'"));
}

QStringList LiveValueLog::header()
{
    return {QStringLiteral("time"), QStringLiteral("speed rpm"), QStringLiteral("current mA"),
            QStringLiteral("fault flags")};
}

QStringList LiveValueLog::row(const QDateTime &time, qint32 rpm, qint32 mA,
                              const QString &faultFlags)
{
    return {RunJournal::timeText(time, true), integerForm(rpm), integerForm(mA), faultFlags};
}

bool LiveValueLog::start(const QString &path)
{
    stop();
    m_error.clear();
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        m_error = tr("The value log %1 cannot be written: its folder cannot be created.")
                      .arg(QDir::toNativeSeparators(path));
        return false;
    }
    // Unbuffered: each row goes to the file in one write(2) as it comes, so a crash
    // loses nothing and no buffer flush ever lands in the middle of a polling cycle.
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = tr("The value log %1 cannot be written: %2.")
                      .arg(QDir::toNativeSeparators(path), file->errorString());
        return false;
    }
    return start(std::move(file), path);
}

bool LiveValueLog::start(std::unique_ptr<QIODevice> device, const QString &name)
{
    stop();
    m_error.clear();
    m_device = std::move(device);
    m_name = name;
    m_rows = 0;
    m_written = 0;
    if (!write(RunJournal::spreadsheetLine(header()))) {
        m_device.reset();
        return false;
    }
    return true;
}

void LiveValueLog::stop()
{
    if (!m_device)
        return;
    m_device->close();
    m_device.reset();
    emit stopped();
}

void LiveValueLog::append(const QDateTime &time, qint32 rpm, qint32 mA, const QString &faultFlags)
{
    if (!m_device)
        return;
    if (write(RunJournal::spreadsheetLine(row(time, rpm, mA, faultFlags)))) {
        ++m_rows;
        return;
    }
    // Reported once: the log ends here instead of failing again on every cycle.
    m_device->close();
    m_device.reset();
    emit failed(m_error);
    emit stopped();
}

bool LiveValueLog::write(const QByteArray &bytes)
{
    if (m_device->write(bytes) == bytes.size()) {
        m_written += bytes.size();
        return true;
    }
    const QString why = m_device->errorString();
    // A partial row is taken back, so the rows written before stay a clean CSV file.
    if (auto *file = qobject_cast<QFileDevice *>(m_device.get()); file && !file->isSequential())
        file->resize(m_written);
    m_error =
        tr("The value log %1 cannot be written: %2. Logging has stopped.")
            .arg(QDir::toNativeSeparators(m_name), why.isEmpty() ? tr("the disk is full") : why);
    return false;
}

} // namespace vyt
