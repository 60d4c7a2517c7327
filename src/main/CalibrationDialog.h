#pragma once
// The calibration helper: doses a test quantity one dose at a time through the main
// window's Start path, takes the weighed masses and proposes a calibration factor.
#include "main/Calibration.h"
#include "ui/HeldKeys.h"

#include <QDialog>
#include <memory>
#include <optional>

class QKeyEvent;

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

protected:
    // Enter and Space: each button takes them as its own click, a held key once; the
    // table doses on Enter once the last dose is weighed; nothing else doses.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool enterPressed(QKeyEvent *key);
    void dose();
    void doseEnded(bool completed);
    void runEnded();
    void startOver();
    void resizeTable();
    void recompute();
    void apply();
    void updateControls();
    void showStatus();
    // The line beside Dose: what runs, or what the operator can do next.
    [[nodiscard]] QString statusText() const;
    // The first delivered dose without a mass, or -1.
    [[nodiscard]] int firstUnweighed() const;
    // A longer report wraps: the window grows down to show it, never wider.
    void fitHeight();
    // The mass typed for a dose, in mg; nullopt for none or for no number.
    [[nodiscard]] std::optional<double> massAt(int row) const;

    std::unique_ptr<Ui::frmCalibration> ui;
    frmPumpensteuerung &m_window;
    int m_dosesDone = 0;
    bool m_dosing = false;
    bool m_doseFailed = false; // the last dose did not complete
    bool m_ownRunEnded = false; // the run that just ended was our dose
    bool m_foreignRun = false;  // another run came before the last dose was weighed
    HeldKeys m_keys;
    // What the doses ran with, fixed at the first of them.
    calibration::Input m_ranWith;
    calibration::Result m_result;
};

} // namespace vyt
