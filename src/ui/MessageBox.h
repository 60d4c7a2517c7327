#pragma once
// The one way the program shows an operator message. Tests install a responder
// that records each message and answers it, so no test blocks on a modal box.
#include <QString>
#include <functional>

class QWidget;

namespace vyt {

// RetryExitCancel: Retry, "Exit without saving" (answers Discard) and Cancel.
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, RetryExitCancel };
enum class MsgIcon { Exclamation, Critical, Question, Information };
enum class MsgResult { Ok, Cancel, Yes, No, Retry, Discard };

struct Message {
    QString text;
    QString title;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::Exclamation;
};

using MessageResponder = std::function<MsgResult(const Message &)>;

// Shows the message modally over `parent` and returns the button pressed.
// Esc and the close box answer Cancel (or No, or Ok where there is no Cancel).
MsgResult showMessage(QWidget *parent, const QString &text, const QString &title,
                      MsgButtons buttons = MsgButtons::Ok, MsgIcon icon = MsgIcon::Exclamation);

// Replaces the real message box; an empty responder restores it.
void setMessageResponder(MessageResponder responder);

} // namespace vyt
