#pragma once
// The calibration helper: doses a test quantity one dose at a time through the main
// window's Start path, takes the weighed masses and proposes a calibration factor.
#include "main/Calibration.h"

#include <QDialog>
#include <memory>
#include <optional>

namespace Ui {
class frmCalibration;
}

namespace vyt {

class frmPumpensteuerung;

class CalibrationDialog : public QDialog {
    Q_OBJECT
public:
    explicit CalibrationDialog(frmPumpensteuerung &window);
    ~CalibrationDialog() override;

    // What the arithmetic works on now, and what it gave.
    [[nodiscard]] calibration::Input input() const;
    [[nodiscard]] const calibration::Result &result() const { return m_result; }

private:
    void dose();
    void doseEnded(bool completed);
    void startOver();
    void resizeTable();
    void recompute();
    void apply();
    void updateControls();
    // The mass typed for a dose, in mg; nullopt for none or for no number.
    [[nodiscard]] std::optional<double> massAt(int row) const;

    std::unique_ptr<Ui::frmCalibration> ui;
    frmPumpensteuerung &m_window;
    int m_dosesDone = 0;
    bool m_dosing = false;
    // What the doses ran with, fixed at the first of them.
    calibration::Input m_ranWith;
    calibration::Result m_result;
};

} // namespace vyt
