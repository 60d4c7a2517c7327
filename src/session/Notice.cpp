#include "session/Notice.h"

#include <QDebug>

namespace vyt {

MsgResult unansweredResult(MsgButtons buttons)
{
    switch (buttons) {
    case MsgButtons::Ok: return MsgResult::Ok;
    case MsgButtons::YesNo: return MsgResult::No;
    case MsgButtons::OkCancel:
    case MsgButtons::YesNoCancel:
    case MsgButtons::RetryCancel:
    case MsgButtons::RetryExitCancel: return MsgResult::Cancel;
    }
    return MsgResult::Cancel;
}

MsgResult UnattendedAttendant::tell(const Notice &notice)
{
    qWarning().noquote() << notice.title + QStringLiteral(": ") + notice.text;
    return unansweredResult(notice.buttons);
}

} // namespace vyt
