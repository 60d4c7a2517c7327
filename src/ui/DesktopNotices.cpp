#include "ui/DesktopNotices.h"

#include "session/MethodRun.h"
#include "session/RunReport.h"
#include "session/Session.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <QWidget>

namespace vyt {

DesktopNotices::DesktopNotices(Session &session, QWidget &window, Sender send)
    : m_session(session), m_window(window), m_send(std::move(send))
{
    connect(&session, &Session::runEnded, this, [this](const RunPlan &plan, const RunOutcome &outcome) {
        // A method's step: the method's own end is the news.
        if (m_session.methods().running() || plan.note.startsWith(QLatin1String("method ")))
            return;
        tell(runSummary(plan, outcome));
    });
    connect(&session.methods(), &MethodRun::finished, this,
            [this](bool, const QString &why) { tell(why); });
}

void DesktopNotices::tell(const QString &body)
{
    // Empty: the program is ending and nobody is there to read it.
    if (body.isEmpty() || QApplication::activeWindow() != nullptr || !m_send)
        return;
    m_send(m_window.windowTitle(), body);
}

DesktopNotices::Sender DesktopNotices::dbusSender()
{
    return [](const QString &summary, const QString &body) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        call << QCoreApplication::applicationName() << uint(0) << QStringLiteral("vyt-pump-controller")
             << summary << body << QStringList() << QVariantMap() << int(-1);
        // Sent, not called: a desktop without a notification service holds nothing up.
        (void)bus.send(call);
    };
}

} // namespace vyt
