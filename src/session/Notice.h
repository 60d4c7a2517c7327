#pragma once
// What the pump's core has to say to the operator, without widgets. The window shows a
// notice as its message box; without a window it is logged and reported to the client
// that asked. The core never shows anything itself.
#include <QString>
#include <QtGlobal>

namespace vyt {

// RetryExitCancel: Retry, "Exit without saving" (answers Discard) and Cancel.
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, RetryExitCancel };
enum class MsgIcon { Exclamation, Critical, Question, Information };
enum class MsgResult { Ok, Cancel, Yes, No, Retry, Discard };

struct Notice {
    QString text;
    QString title;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::Exclamation;
};

// The answer nobody gave: what Esc would answer (Cancel, or No, or Ok where there is none).
[[nodiscard]] MsgResult unansweredResult(MsgButtons buttons);

// Whoever attends a session: the window, or nobody (a headless run logs and answers as
// Esc would). The core asks through this and nothing else.
class Attendant {
public:
    virtual ~Attendant() = default;
    // Shows the notice and answers the button pressed.
    virtual MsgResult tell(const Notice &notice) = 0;
    // Lets the operator choose the port before it is opened (the port dialog); false
    // when none was chosen and the action that needed the port must not go on.
    virtual bool choosePort(qint16 &port) = 0;
};

// Nobody there: each notice goes to the log as a warning and is answered as Esc would
// answer it; the port is the one configured.
class UnattendedAttendant : public Attendant {
public:
    MsgResult tell(const Notice &notice) override;
    bool choosePort(qint16 &) override { return true; }
};

} // namespace vyt
