#pragma once
// The main window attends its session: notices become message boxes over the window,
// and the port is chosen in the serial port dialog before the line is opened.
#include "session/Notice.h"

#include <QPointer>

class QWidget;

namespace vyt {

class frmSchnittstelle;

class WindowAttendant : public Attendant {
public:
    // window: what the boxes and the port dialog sit over; may be null.
    explicit WindowAttendant(QWidget *window);
    ~WindowAttendant() override;
    WindowAttendant(const WindowAttendant &) = delete;
    WindowAttendant &operator=(const WindowAttendant &) = delete;

    MsgResult tell(const Notice &notice) override;
    // Shows the port dialog (made once, kept for the next time); false when the operator
    // cancelled it and the program is ending.
    bool choosePort(qint16 &port) override;

private:
    QPointer<QWidget> m_window;
    // Made on first use and held here, but a window that goes first deletes it with its
    // children: the guarded pointer forgets it then.
    QPointer<frmSchnittstelle> m_dialog;
};

} // namespace vyt
