#pragma once
#include "support/core/StoreEnv.h"
// Shared test seams: a scripted message responder, a recorder for the program's
// ending, and a settings store of the test's own.
#include "ui/MessageBox.h"

#include <QList>
#include <QString>
#include <deque>
#include <functional>

namespace vyt::test {

// Records every message box and answers from a script (default: the first answer
// of the box, Ok/Yes/Retry... see answerFor). Installed for its lifetime.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    // The next boxes are answered with these, in order; then the default.
    void script(std::initializer_list<MsgResult> answers);
    void setDefault(MsgResult answer) { m_default = answer; m_hasDefault = true; }
    // Runs before each answer, while the message counts as open: a test may wait there,
    // as an operator who leaves a box on the screen does.
    void setWhileOpen(std::function<void(const Message &)> action) { m_whileOpen = std::move(action); }

    [[nodiscard]] const QList<Message> &messages() const { return m_messages; }
    [[nodiscard]] int count() const { return m_messages.size(); }
    [[nodiscard]] QStringList texts() const;
    void clear() { m_messages.clear(); }

private:
    MsgResult answer(const Message &m);
    QList<Message> m_messages;
    std::deque<MsgResult> m_script;
    MsgResult m_default = MsgResult::Ok;
    bool m_hasDefault = false;
    std::function<void(const Message &)> m_whileOpen;
};

// Records endProgram() instead of leaving the event loop.
class EndRecorder {
public:
    EndRecorder();
    ~EndRecorder();
    [[nodiscard]] int count() const { return m_count; }
    [[nodiscard]] bool ended() const { return m_count > 0; }

private:
    int m_count = 0;
};


// Runs action on the next modal dialog (or message box) that appears, from the event
// loop, so a test can answer a real modal dialog. Gives up after timeoutMs.
void onNextModal(std::function<void(QWidget *)> action, int timeoutMs = 10000);

} // namespace vyt::test
