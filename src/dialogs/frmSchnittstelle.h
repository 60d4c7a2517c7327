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
    static constexpr int kPortCount = 12;
    static constexpr int kAboveCentreTwips = 200;

    explicit frmSchnittstelle(QWidget *parent = nullptr);
    ~frmSchnittstelle() override;

    // Shows the dialog modally. OK: sets Schnittstelle to the chosen port, stores the
    // device mapping of that port and answers true. Cancel, Esc or the close box end
    // the program (endProgram) and answer false.
    [[nodiscard]] bool choosePort(qint16 &Schnittstelle);

    [[nodiscard]] qint16 GewaehlteSchnittstelle() const { return m_gewaehlt; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onComChosen(int index);
    void showDeviceOf(int port);
    void refreshDevices();
    void storeDevice();
    void placeAboveCentre();

    std::unique_ptr<Ui::frmSchnittstelle> m_ui;
    qint16 m_gewaehlt = 1;
};

} // namespace vyt
