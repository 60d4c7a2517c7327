#include "session/Wait.h"

#include "session/Clock.h"

#include <QTimer>
#include <algorithm>
#include <cmath>

namespace vyt {

qint64 secondsToWaitMs(double seconds)
{
    if (!(seconds < kEndlessSeconds))
        return kForever;
    return seconds > 0 ? qint64(std::ceil(seconds * 1000.0)) : 0;
}

namespace {
// The timer wakes at least this often while a deadline runs, so that time the computer
// slept (which the timer's own clock does not count) is noticed soon after a resume.
constexpr qint64 kDeadlineSliceMs = 100;
} // namespace

Deadline::Deadline(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Deadline::check);
}

void Deadline::start(qint64 ms)
{
    m_startNs = clockNs();
    m_endNs = ms < 0 ? kForever : m_startNs + ms * 1000000;
    m_active = true;
    arm();
}

void Deadline::stop()
{
    m_active = false;
    m_timer.stop();
}

qint64 Deadline::elapsedMs() const { return (clockNs() - m_startNs) / 1000000; }

void Deadline::check()
{
    if (!m_active)
        return;
    if (m_endNs != kForever && clockNs() >= m_endNs) {
        stop();
        emit expired();
        return;
    }
    arm();
}

void Deadline::arm()
{
    qint64 slice = kDeadlineSliceMs;
    // Rounded up: a timer never ends the wait before its time.
    if (m_endNs != kForever)
        slice = std::clamp<qint64>((m_endNs - clockNs() + 999999) / 1000000, 0, kDeadlineSliceMs);
    m_timer.start(int(slice));
}

} // namespace vyt
