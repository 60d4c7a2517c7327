#include "support/TestWait.h"

#include "session/Clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>

namespace vyt {

Wakeup &Wakeup::instance()
{
    static Wakeup w;
    return w;
}

WaitEnd waitUntil(const std::function<bool()> &done, qint64 timeoutMs)
{
    // One hour at most per timer: QTimer intervals are int milliseconds.
    constexpr qint64 kMaxSlice = 3600 * 1000;
    const qint64 startMs = clockMs();
    for (;;) {
        if (done())
            return WaitEnd::Done;
        qint64 slice = kMaxSlice;
        if (timeoutMs >= 0) {
            const qint64 left = timeoutMs - (clockMs() - startMs);
            if (left <= 0)
                return WaitEnd::TimedOut;
            slice = std::min(left, kMaxSlice);
        }
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&Wakeup::instance(), &Wakeup::poked, &loop, &QEventLoop::quit);
        timer.start(int(slice));
        // Returns at once when the application is quitting, so no run goes on after exit().
        if (loop.exec() != 0 || QCoreApplication::closingDown())
            return done() ? WaitEnd::Done : WaitEnd::TimedOut;
    }
}

} // namespace vyt
