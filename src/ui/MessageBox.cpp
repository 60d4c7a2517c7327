#include "ui/MessageBox.h"

#include <QMessageBox>

namespace vyt {
namespace {

MessageResponder &responder()
{
    static MessageResponder r;
    return r;
}

QMessageBox::StandardButtons toStandard(MsgButtons b)
{
    switch (b) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MsgButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon toIcon(MsgIcon i)
{
    switch (i) {
    case MsgIcon::Exclamation: return QMessageBox::Warning;
    case MsgIcon::Critical: return QMessageBox::Critical;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::Information: return QMessageBox::Information;
    }
    return QMessageBox::Warning;
}

MsgResult fromStandard(int button, MsgButtons offered)
{
    switch (button) {
    case QMessageBox::Ok: return MsgResult::Ok;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    case QMessageBox::Retry: return MsgResult::Retry;
    case QMessageBox::Cancel: return MsgResult::Cancel;
    default: break;
    }
    // Closed without a button: the escape answer of the set offered.
    switch (offered) {
    case MsgButtons::Ok: return MsgResult::Ok;
    case MsgButtons::YesNo: return MsgResult::No;
    default: return MsgResult::Cancel;
    }
}

} // namespace

MsgResult showMessage(QWidget *parent, const QString &text, const QString &title,
                      MsgButtons buttons, MsgIcon icon)
{
    const Message message{text, title, buttons, icon};
    if (responder())
        return responder()(message);

    QMessageBox box(toIcon(icon), title, text, toStandard(buttons), parent);
    if (buttons == MsgButtons::OkCancel)
        box.setDefaultButton(QMessageBox::Ok);
    return fromStandard(box.exec(), buttons);
}

void setMessageResponder(MessageResponder r) { responder() = std::move(r); }

} // namespace vyt
