#pragma once
// The window of a method's trial on the simulated controller: each line the controller
// received with its time, and how long the method took against its estimate.
#include "methods/MethodTrial.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vyt {

class dlgMethodTrial : public QDialog {
    Q_OBJECT
public:
    explicit dlgMethodTrial(QWidget *parent = nullptr);

    // Starts a trial of the method with these values; a refusal is shown in the window.
    void tryMethod(const Method &method, const PumpState &values);
    [[nodiscard]] MethodTrial &trial() { return m_trial; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    MethodTrial m_trial;
    QPlainTextEdit *m_lines;
    QLabel *m_status;
    QPushButton *m_stop;
    double m_estimate = 0;
};

} // namespace vyt
