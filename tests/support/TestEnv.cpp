#include "support/TestEnv.h"
#include "support/core/StoreEnv.h"

#include "config/SettingsStore.h"
#include "config/PortMapping.h"
#include "link/ProcessGuard.h"
#include "session/ProgramEnd.h"
#include "ui/WindowSeams.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace vyt::test {

MessageRecorder::MessageRecorder()
{
    // What the program installs at start: the store's notices come here as message boxes.
    installWindowSeams();
    setMessageResponder([this](const Message &m) { return answer(m); });
}

MessageRecorder::~MessageRecorder() { setMessageResponder({}); }

void MessageRecorder::script(std::initializer_list<MsgResult> answers)
{
    m_script.insert(m_script.end(), answers.begin(), answers.end());
}

QStringList MessageRecorder::texts() const
{
    QStringList out;
    for (const Message &m : m_messages)
        out << m.text;
    return out;
}

MsgResult MessageRecorder::answer(const Message &m)
{
    m_messages << m;
    if (m_whileOpen)
        m_whileOpen(m);
    if (!m_script.empty()) {
        const MsgResult r = m_script.front();
        m_script.pop_front();
        return r;
    }
    if (m_hasDefault)
        return m_default;
    switch (m.buttons) {
    case MsgButtons::Ok:
    case MsgButtons::OkCancel: return MsgResult::Ok;
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgResult::Yes;
    case MsgButtons::RetryCancel:
    case MsgButtons::RetryExitCancel: return MsgResult::Cancel;
    }
    return MsgResult::Ok;
}

EndRecorder::EndRecorder()
{
    setEndHandler([this](int) { ++m_count; });
}

EndRecorder::~EndRecorder()
{
    setEndHandler({});
    ProcessGuard::forgetRequest();
}

void onNextModal(std::function<void(QWidget *)> action, int timeoutMs)
{
    auto timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, action, timeoutMs] {
        QWidget *w = QApplication::activeModalWidget();
        if (w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(w);
        } else if (clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

} // namespace vyt::test
