#pragma once
// The tests' and the bench's wait: a nested event loop that returns when done() holds,
// woken by a poke or by the time running out. The program itself never waits this way.
#include "session/Wait.h"

#include <QObject>
#include <functional>

namespace vyt {

// Whatever can end a test's wait pokes.
class Wakeup : public QObject {
    Q_OBJECT
public:
    static Wakeup &instance();
    static void poke() { emit instance().poked(); }
signals:
    void poked();
};

enum class WaitEnd { Done, TimedOut };

// Returns Done as soon as done() answers true (checked first, and after every wake),
// TimedOut when timeoutMs of monotonic time have passed. timeoutMs may exceed the
// range of a QTimer; long waits are cut into pieces.
WaitEnd waitUntil(const std::function<bool()> &done, qint64 timeoutMs);

} // namespace vyt
