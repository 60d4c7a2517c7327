#pragma once
// A held key is one press. X's auto-repeat does not always arrive flagged by
// isAutoRepeat(): a key counts as down from its press to its release, further presses of
// a key that is down are repeats whatever their flag says, and so is a press stamped
// with the very time of the release before it (an unflagged repeat's release/press pair).
#include <QHash>
#include <QPointer>
#include <QWindow>
#include <optional>

class QEvent;
class QKeyEvent;
class QObject;
class QWidget;

namespace vyt {

class HeldKeys {
public:
    // True for a press of a key that was not down: the one press that may act.
    bool firstPress(const QKeyEvent *key);
    // Feed every KeyRelease (of any window: a box opened by the press takes the release)
    // and ApplicationDeactivate, after which releases go to another program.
    void track(const QEvent *event);
    [[nodiscard]] bool isDown(int key) const
    {
        const auto it = m_down.constFind(key);
        return it != m_down.constEnd() && !it->released;
    }

    // The widget a key event is delivered to on its first delivery: the focus widget (or,
    // without one, a window). A key nobody takes travels up the parents, and is counted
    // and acted on once only. Null for a later delivery.
    [[nodiscard]] static QWidget *firstDelivery(QObject *watched);

    // For a window's event filter: tracks every event, and for a key press on its first
    // delivery answers where it went and whether it is the key's first press.
    struct Delivery {
        QWidget *widget = nullptr;
        QKeyEvent *key = nullptr;
        bool first = false;
    };
    [[nodiscard]] std::optional<Delivery> keyPress(QObject *watched, QEvent *event);

    // A held key repeats many times a second; a key silent this long has been let go
    // although its release never came.
    static constexpr qint64 kSilentMs = 2000;

private:
    struct Press {
        QPointer<QWindow> window; // where the press went
        bool hadWindow = false;   // some window had the keyboard at the press
        qint64 lastMs = 0;        // the press or its latest repeat
        bool released = false;
        quint64 releaseStamp = 0; // the window system's time of the release
    };
    [[nodiscard]] bool releaseLost(const Press &press, qint64 nowMs) const;
    QHash<int, Press> m_down;
};

} // namespace vyt
