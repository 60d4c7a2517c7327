#include "methods/dlgMethodPrompt.h"

#include "session/MethodRun.h"
#include "ui/PlainText.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vyt {

dlgMethodPrompt::dlgMethodPrompt(MethodRun &methods, QWidget *parent)
    : QDialog(parent), m_methods(methods)
{
    setObjectName(QStringLiteral("dlgMethodPrompt"));
    setWindowTitle(tr("Method"));
    setModal(false);
    auto *layout = new QVBoxLayout(this);
    m_text = showsPlainText(new QLabel(this));
    m_text->setObjectName(QStringLiteral("lblPromptText"));
    m_text->setWordWrap(true);
    m_text->setMinimumWidth(320);
    layout->addWidget(m_text);
    auto *buttons = new QDialogButtonBox(this);
    m_continue = buttons->addButton(tr("Continue"), QDialogButtonBox::AcceptRole);
    m_continue->setObjectName(QStringLiteral("cmdContinue"));
    m_stop = buttons->addButton(tr("Stop method"), QDialogButtonBox::RejectRole);
    m_stop->setObjectName(QStringLiteral("cmdStopMethod"));
    layout->addWidget(buttons);
    // The box's own accept/reject would only hide it: each button answers the method.
    disconnect(buttons, nullptr, this, nullptr);
    connect(m_continue, &QPushButton::clicked, this, [this] {
        hide();
        (void)m_methods.continuePrompt();
    });
    connect(m_stop, &QPushButton::clicked, this, [this] {
        hide();
        m_methods.stop();
    });
    // Answered elsewhere (remote control, the terminal) or ended: nothing left to ask.
    connect(&methods, &MethodRun::promptAnswered, this, &QWidget::hide);
    connect(&methods, &MethodRun::finished, this, &QWidget::hide);
    qApp->installEventFilter(this);
}

dlgMethodPrompt::~dlgMethodPrompt()
{
    qApp->removeEventFilter(this);
}

void dlgMethodPrompt::ask(const QString &text)
{
    m_text->setText(text);
    m_continue->setDefault(true);
    m_continue->setFocus();
    adjustSize();
    show();
    raise();
    activateWindow();
}

bool dlgMethodPrompt::eventFilter(QObject *watched, QEvent *event)
{
    const auto press = m_heldKeys.keyPress(watched, event);
    // Every press is counted, wherever it goes: a key held down before the prompt
    // appeared is not a first press here, and its repeats answer nothing.
    return press && press->widget->window() == this && !press->first;
}

void dlgMethodPrompt::closeEvent(QCloseEvent *event)
{
    // The method waits for an answer: the close box gives none.
    if (m_methods.running() && !m_methods.progress().prompt.isEmpty())
        event->ignore();
    else
        QDialog::closeEvent(event);
}

void dlgMethodPrompt::reject()
{
    // Esc is no answer either; only the two buttons are.
    if (!m_methods.running() || m_methods.progress().prompt.isEmpty())
        QDialog::reject();
}

} // namespace vyt
