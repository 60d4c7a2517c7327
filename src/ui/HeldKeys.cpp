#include "ui/HeldKeys.h"

#include <QKeyEvent>

namespace vyt {

bool HeldKeys::firstPress(const QKeyEvent *key)
{
    const int k = key->key();
    if (key->isAutoRepeat() || m_down.contains(k))
        return false;
    m_down.insert(k);
    // Events made without a time (timestamp 0) never pair.
    const bool repeatPair =
        k == m_releasedKey && key->timestamp() != 0 && key->timestamp() == m_releasedAt;
    return !repeatPair;
}

void HeldKeys::track(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyRelease: {
        const auto *key = static_cast<const QKeyEvent *>(event);
        // Repeats flagged as such come in release/press pairs: the key is still down.
        if (!key->isAutoRepeat()) {
            m_down.remove(key->key());
            m_releasedKey = key->key();
            m_releasedAt = key->timestamp();
        }
        break;
    }
    case QEvent::ApplicationDeactivate:
        // Another program has the keyboard: its releases never reach us.
        m_down.clear();
        m_releasedKey = 0;
        break;
    default: break;
    }
}

} // namespace vyt
