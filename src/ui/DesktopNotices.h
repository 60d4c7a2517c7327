#pragma once
// Tells the desktop when a run or a method ends while the operator looks elsewhere: a
// freedesktop notification over D-Bus, sent without waiting for an answer. Nothing is
// shown while the program's window is active; the status line says it there.
#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace vyt {

class Session;

class DesktopNotices : public QObject {
    Q_OBJECT
public:
    // Sends one notification: a summary and its text. Tests put in their own.
    using Sender = std::function<void(const QString &summary, const QString &body)>;

    DesktopNotices(Session &session, QWidget &window, Sender send = dbusSender());

    // org.freedesktop.Notifications on the session bus; nothing without one.
    [[nodiscard]] static Sender dbusSender();

private:
    void tell(const QString &body);

    Session &m_session;
    QWidget &m_window;
    Sender m_send;
};

} // namespace vyt
