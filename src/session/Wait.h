#pragma once
// The program's waits: deadlines that fire from their own timer, never a nested event
// loop. A nested loop under a modal window's own loop could not return in time.
#include <QObject>
#include <QTimer>
#include <functional>

namespace vyt {

// No deadline: the wait lasts until done() answers true.
constexpr qint64 kForever = -1;

// 2^31 s: the flow's "endless"; a wait this long or longer never ends by itself.
constexpr double kEndlessSeconds = 2147483648.0;

// The milliseconds a wait of that many seconds lasts; kForever for 2^31 s and more
// (the flow's "endless"), 0 for nothing to wait, never an undefined conversion.
[[nodiscard]] qint64 secondsToWaitMs(double seconds);

// A deadline for the runs' schedule: it fires from its own timer, in whatever event
// loop is running (a modal window's included), so nothing open on the screen can hold
// a pause or a flow past its end. Measured on the program's clock, suspend included.
class Deadline : public QObject {
    Q_OBJECT
public:
    explicit Deadline(QObject *parent = nullptr);

    void start(qint64 ms); // kForever: only stop() ends it
    void stop();
    [[nodiscard]] bool isActive() const { return m_active; }
    [[nodiscard]] qint64 elapsedMs() const;
    // Fires expired() now if the deadline has passed (after a resume from suspend).
    void check();

signals:
    void expired();

private:
    void arm();

    QTimer m_timer;
    qint64 m_startNs = 0;
    qint64 m_endNs = 0; // kForever: none
    bool m_active = false;
};

} // namespace vyt
