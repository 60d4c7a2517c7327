#pragma once
// The one way the program shows an operator message. Tests install a responder
// that records each message and answers it, so no test blocks on a modal box.
#include "session/Notice.h"

#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QMessageBox;
class QWidget;

namespace vyt {

// A message box shows a session's notice as it is.
using Message = Notice;

using MessageResponder = std::function<MsgResult(const Message &)>;

// Shows the message modally over `parent` and returns the button pressed.
// Esc and the close box answer Cancel (or No, or Ok where there is no Cancel).
MsgResult showMessage(QWidget *parent, const QString &text, const QString &title,
                      MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::Exclamation);

// The box showMessage() opens for that message, not yet shown: its text is plain text.
[[nodiscard]] std::unique_ptr<QMessageBox> messageBox(QWidget *parent, const Message &message);

// Replaces the real message box; an empty responder restores it.
void setMessageResponder(MessageResponder responder);

// While one lives, messages are collected instead of shown, each answered as Esc would
// answer it: for a request from another program, whose answer carries the text, so that
// no box waits for an operator who did not ask. Only around code that runs no event loop:
// a message of the operator's own must never land here.
class MessageCollector {
public:
    MessageCollector();
    ~MessageCollector();
    MessageCollector(const MessageCollector &) = delete;
    MessageCollector &operator=(const MessageCollector &) = delete;

    [[nodiscard]] const QList<Message> &messages() const { return m_messages; }
    void collect(const Message &message) { m_messages << message; }

private:
    QList<Message> m_messages;
    MessageCollector *m_outer = nullptr;
};

} // namespace vyt
