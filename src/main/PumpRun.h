#pragma once
// The runs: the checks before a flow, the dosing run and the flow run. They execute
// inside Start's handler and wait through the one event-driven wait, so the window
// stays live and Stop takes effect at once.
#include "config/PumpState.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace vyt {

class ControllerLink;

class PumpRun : public QObject {
    Q_OBJECT
public:
    static constexpr double kPositionLimit = 600000000.0;

    PumpRun(PumpState &state, ControllerLink &link, QWidget *messageParent);

    // The checks before a flow run; dosing skips them. Shows the message and answers
    // false when the run must not start.
    [[nodiscard]] bool StartPruefen();
    void Dosieren();
    // stopProcedure is the Stop button's procedure, run at the end of the flow.
    void Foerdern(const std::function<void()> &stopProcedure);
    // Waits seconds; answers false when the wait ended early (Stop, lost link, exit).
    bool Warten(float seconds);

    // Motor speed in rpm for the flow rate in the settings (single precision).
    [[nodiscard]] float drehzahl() const;

signals:
    // What the operator sees under the buttons; an empty text means idle.
    // maximum 0 hides the bar.
    void fortschritt(const QString &text, int value, int maximum);

private:
    [[nodiscard]] bool abgebrochen() const;
    bool warteAufAnkunft();
    bool wartePause(float seconds, qint64 dosis, qint64 anzahl);

    PumpState &m_state;
    ControllerLink &m_link;
    QPointer<QWidget> m_messageParent;
};

} // namespace vyt
