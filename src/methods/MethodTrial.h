#pragma once
// A method tried against the simulated controller, beside the real pump: its own session
// on the simulator's line with the pump's values, no journal, prompts confirmed at once.
// It shows what the controller would receive, and when.
#include "config/PumpState.h"
#include "session/Method.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

namespace vyt {

class Session;
class UnattendedAttendant;
namespace sim {
class ControllerSim;
}

class MethodTrial : public QObject {
    Q_OBJECT
public:
    explicit MethodTrial(QObject *parent = nullptr);
    ~MethodTrial() override;

    // Starts the method with these values (the pump type, its drive limits, density and
    // factor as the window holds them); nullopt when it started.
    std::optional<MethodError> start(const Method &method, const PumpState &values);
    void stop();
    [[nodiscard]] bool running() const { return m_running; }

    struct Line {
        double seconds = 0; // since the start
        QString command;
    };
    [[nodiscard]] const QList<Line> &lines() const { return m_lines; }

signals:
    void lineReceived(double seconds, const QString &command);
    void finished(bool completed, const QString &why, double seconds);

private:
    void collectLines();
    void end(bool completed, const QString &why);

    std::unique_ptr<sim::ControllerSim> m_sim;
    std::unique_ptr<UnattendedAttendant> m_nobody;
    std::unique_ptr<Session> m_session;
    QList<Line> m_lines;
    qint64 m_startNs = 0;
    bool m_running = false;
    QTimer m_collect;
};

} // namespace vyt
