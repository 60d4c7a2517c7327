#pragma once
// A held key is one press. X's auto-repeat does not always arrive flagged by
// isAutoRepeat(), so a key counts as down from its press to its release and further
// presses of a key that is down are repeats, whatever their flag says.
#include <QSet>

class QEvent;
class QKeyEvent;

namespace vyt {

class HeldKeys {
public:
    // True for a press of a key that was not down: the one press that may act.
    bool firstPress(const QKeyEvent *key);
    // Feed every KeyRelease (of any window: a box opened by the press takes the release)
    // and ApplicationDeactivate, where releases may be lost. Not WindowDeactivate: the
    // release of a key whose press opened a box still comes to this application.
    void track(const QEvent *event);
    [[nodiscard]] bool isDown(int key) const { return m_down.contains(key); }

private:
    QSet<int> m_down;
    // Unflagged repeats may come as a release and a press of the same key with the same
    // time stamp, as X sends them; no hand releases and presses within a millisecond.
    int m_releasedKey = 0;
    quint64 m_releasedAt = 0;
};

} // namespace vyt
