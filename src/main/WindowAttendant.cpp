#include "main/WindowAttendant.h"

#include "dialogs/frmSchnittstelle.h"
#include "ui/MessageBox.h"

#include <QWidget>

namespace vyt {

WindowAttendant::WindowAttendant(QWidget *window) : m_window(window) {}

WindowAttendant::~WindowAttendant()
{
    delete m_dialog.data();
}

MsgResult WindowAttendant::tell(const Notice &notice)
{
    return showMessage(m_window, notice.text, notice.title, notice.buttons, notice.icon);
}

bool WindowAttendant::choosePort(qint16 &port)
{
    if (!m_dialog)
        m_dialog = new frmSchnittstelle(m_window);
    return m_dialog->choosePort(port);
}

} // namespace vyt
