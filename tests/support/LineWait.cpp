#include "support/LineWait.h"

#include <QEventLoop>
#include <QTimer>

namespace vyt::test {

QString readReply(ControllerLink &link, const QString &command, ControllerLink::OnSilence silence,
                  int timeoutMs)
{
    // A loop that wakes on the reply itself, so that the reply is taken without delay.
    QEventLoop loop;
    bool done = false;
    QString reply;
    link.ParameterLesen(
        command, &loop,
        [&](const QString &text) {
            reply = text;
            done = true;
            loop.quit();
        },
        silence);
    if (!done) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return reply;
}

bool serveUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer look;
    look.setInterval(1);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    look.start();
    loop.exec();
    return done();
}

bool waitForQuietLine(ControllerLink &link, int timeoutMs)
{
    return serveUntil([&] { return !link.line().busy(); }, timeoutMs);
}

} // namespace vyt::test
