#include "ui/MessageBox.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace vyt {
namespace {

MessageResponder &responder()
{
    static MessageResponder r;
    return r;
}

MessageCollector *&collector()
{
    static MessageCollector *c = nullptr;
    return c;
}

QMessageBox::StandardButtons toStandard(MsgButtons b)
{
    switch (b) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MsgButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    case MsgButtons::RetryExitCancel:
        return QMessageBox::Retry | QMessageBox::Discard | QMessageBox::Cancel;
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
    case QMessageBox::Discard: return MsgResult::Discard;
    default: break;
    }
    // Closed without a button: the escape answer of the set offered.
    switch (offered) {
    case MsgButtons::Ok: return MsgResult::Ok;
    case MsgButtons::YesNo: return MsgResult::No;
    default: return MsgResult::Cancel;
    }
}

// A box with no window on the screen to sit over (at start-up the main window is not
// shown yet) would be centred over nothing, in the screen's corner when no window
// manager places it: it goes to the middle of the screen under the mouse instead.
// Its size is final only once QMessageBox has seen the show event.
class ScreenCentredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent *event) override
    {
        QMessageBox::showEvent(event);
        if (parentWidget() && parentWidget()->window()->isVisible())
            return;
        const QScreen *s = QGuiApplication::screenAt(QCursor::pos());
        if (!s)
            s = QGuiApplication::primaryScreen();
        if (!s)
            return;
        const QRect area = s->availableGeometry();
        const QSize size = frameGeometry().size();
        move(area.x() + (area.width() - size.width()) / 2,
             area.y() + (area.height() - size.height()) / 2);
    }
};

} // namespace

std::unique_ptr<QMessageBox> messageBox(QWidget *parent, const Message &message)
{
    auto box = std::make_unique<ScreenCentredBox>(toIcon(message.icon), message.title, message.text,
                                                  toStandard(message.buttons), parent);
    // Messages carry paths, replies and file contents: shown as they are, never as markup.
    box->setTextFormat(Qt::PlainText);
    if (message.buttons == MsgButtons::OkCancel)
        box->setDefaultButton(QMessageBox::Ok);
    if (message.buttons == MsgButtons::RetryExitCancel)
        box->button(QMessageBox::Discard)->setText(QObject::tr("E&xit without saving"));
    return box;
}

MsgResult showMessage(QWidget *parent, const QString &text, const QString &title,
                      MsgButtons buttons, MsgIcon icon)
{
    const Message message{text, title, buttons, icon};
    if (collector()) {
        collector()->collect(message);
        return fromStandard(QMessageBox::NoButton, buttons);
    }
    if (responder())
        return responder()(message);

    return fromStandard(messageBox(parent, message)->exec(), buttons);
}

void setMessageResponder(MessageResponder r) { responder() = std::move(r); }

MessageCollector::MessageCollector() : m_outer(collector())
{
    collector() = this;
}

MessageCollector::~MessageCollector()
{
    collector() = m_outer;
}

} // namespace vyt
