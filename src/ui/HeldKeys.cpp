#include "ui/HeldKeys.h"

#include <QApplication>
#include <QWidget>

#include "session/Clock.h"

#include <QGuiApplication>
#include <QKeyEvent>

namespace vyt {

bool HeldKeys::releaseLost(const Press &press, qint64 nowMs) const
{
    // A window that closed on the press (Enter in a dialog) or went away takes the
    // release with it: nothing else receives it.
    const bool windowGone = press.hadWindow && (!press.window || !press.window->isVisible());
    return windowGone || nowMs - press.lastMs > kSilentMs;
}

bool HeldKeys::firstPress(const QKeyEvent *key)
{
    const int k = key->key();
    const qint64 now = clockMs();
    auto it = m_down.find(k);
    if (it != m_down.end() && !releaseLost(*it, now)) {
        // A person cannot let go and press again within the same millisecond.
        const bool repeat = !it->released || (key->timestamp() != 0 && key->timestamp() - it->releaseStamp <= 1);
        if (repeat) {
            it->lastMs = now;
            it->released = false;
            return false;
        }
    }
    QWindow *window = QGuiApplication::focusWindow();
    m_down.insert(k, Press{window, window != nullptr, now});
    // A press flagged as a repeat whose first press we never saw acts neither.
    return !key->isAutoRepeat();
}

void HeldKeys::track(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyRelease: {
        const auto *key = static_cast<const QKeyEvent *>(event);
        auto it = m_down.find(key->key());
        // Repeats flagged as such come in release/press pairs: the key is still down.
        if (it == m_down.end() || key->isAutoRepeat())
            break;
        if (key->timestamp() == 0) {
            m_down.erase(it);
        } else {
            it->released = true;
            it->releaseStamp = key->timestamp();
        }
        break;
    }
    case QEvent::ApplicationDeactivate: m_down.clear(); break;
    default: break;
    }
}

QWidget *HeldKeys::firstDelivery(QObject *watched)
{
    auto *w = qobject_cast<QWidget *>(watched);
    QWidget *focus = QApplication::focusWidget();
    if (!w || (focus ? w != focus : !w->isWindow()))
        return nullptr;
    return w;
}

std::optional<HeldKeys::Delivery> HeldKeys::keyPress(QObject *watched, QEvent *event)
{
    track(event);
    if (event->type() != QEvent::KeyPress)
        return std::nullopt;
    QWidget *w = firstDelivery(watched);
    if (!w)
        return std::nullopt;
    auto *key = static_cast<QKeyEvent *>(event);
    return Delivery{w, key, firstPress(key)};
}

} // namespace vyt
