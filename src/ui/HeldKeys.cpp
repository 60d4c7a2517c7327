#include "ui/HeldKeys.h"

#include <QKeyEvent>

namespace vyt {

bool HeldKeys::firstPress(const QKeyEvent *key)
{
    const int k = key->key();
    if (key->isAutoRepeat() || m_down.contains(k))
        return false;
    m_down.insert(k);
    return true;
}

void HeldKeys::track(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyRelease: {
        const auto *key = static_cast<const QKeyEvent *>(event);
        // Repeats flagged as such come in release/press pairs: the key is still down.
        if (!key->isAutoRepeat())
            m_down.remove(key->key());
        break;
    }
    case QEvent::ApplicationDeactivate:
        // Another program has the keyboard: its releases never reach us.
        m_down.clear();
        break;
    default: break;
    }
}

} // namespace vyt
