#pragma once
// The serial port dialog: chooses "Com" 1 to 12 and the device that entry maps to.
#include <QDialog>
#include <memory>

namespace Ui {
class frmSchnittstelle;
}

namespace vyt {

class frmSchnittstelle : public QDialog {
    Q_OBJECT
public:
    explicit frmSchnittstelle(QWidget *parent = nullptr);
    ~frmSchnittstelle() override;

    // Shows the dialog modally. OK: sets Schnittstelle to the chosen port, stores the
    // device mapping of that port and answers true. Cancel, Esc or the close box end
    // the program (endProgram) and answer false.
    [[nodiscard]] bool choosePort(qint16 &Schnittstelle);

    [[nodiscard]] qint16 GewaehlteSchnittstelle() const { return m_gewaehlt; }

private:
    qint16 m_gewaehlt = 1;
};

} // namespace vyt
