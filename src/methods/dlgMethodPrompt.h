#pragma once
// A method's prompt: its text and "Continue" / "Stop method", not modal, so that the main
// window's Stop stays in reach. A key held before it appeared never answers it.
#include "ui/HeldKeys.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace vyt {

class MethodRun;

class dlgMethodPrompt : public QDialog {
    Q_OBJECT
public:
    // Made with the main window, so that it sees every key from the start.
    dlgMethodPrompt(MethodRun &methods, QWidget *parent);
    ~dlgMethodPrompt() override;

    void ask(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    MethodRun &m_methods;
    QLabel *m_text = nullptr;
    QPushButton *m_continue = nullptr;
    QPushButton *m_stop = nullptr;
    HeldKeys m_heldKeys;
};

} // namespace vyt
