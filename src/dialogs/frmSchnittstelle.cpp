#include "dialogs/frmSchnittstelle.h"

#include "ui/ProgramEnd.h"

namespace Ui {
class frmSchnittstelle {};
} // namespace Ui

namespace vyt {

// Placeholder until the real dialog lands: answers with the stored port.
frmSchnittstelle::frmSchnittstelle(QWidget *parent) : QDialog(parent) {}
frmSchnittstelle::~frmSchnittstelle() = default;

bool frmSchnittstelle::choosePort(qint16 &Schnittstelle)
{
    if (exec() != QDialog::Accepted) {
        endProgram();
        return false;
    }
    Schnittstelle = m_gewaehlt;
    return true;
}

} // namespace vyt
