#pragma once
// What SiLA 2 clients follow: the pump's observable values and the command executions,
// written by the session's thread, read by the gRPC threads that stream them.
#include <grpcpp/grpcpp.h>

#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vyt {

struct ObservedValues {
    QString runState = QStringLiteral("Idle"); // Idle, Starting, Dosing, Pausing, Flowing, Potentiometer
    double flowRate = 0;
    QString flowUnit;
    qint64 dosesDone = 0;
    qint64 dosesTotal = 0; // 0: no dose run, or an endless one
    QString linkState = QStringLiteral("Closed"); // Closed, Open, Answering

    bool operator==(const ObservedValues &o) const
    {
        return runState == o.runState && flowRate == o.flowRate && flowUnit == o.flowUnit &&
               dosesDone == o.dosesDone && dosesTotal == o.dosesTotal && linkState == o.linkState;
    }
    bool operator!=(const ObservedValues &o) const { return !(*this == o); }
};

// One observable command's run, as its _Info, _Intermediate and _Result tell it.
struct Execution {
    enum class Command { DoseVolume, StartFlow, RunMethod };
    enum class Stage { Waiting = 0, Running = 1, Succeeded = 2, Failed = 3 };
    Command command = Command::DoseVolume;
    Stage stage = Stage::Running;
    double progress = 0;        // 0..1
    double secondsLeft = -1;    // estimated; -1: unknown (until Stop)
    qint64 dosesDone = 0;
    double delivered = 0;
    int step = 0;               // a method's step going on, of steps
    int steps = 0;
    QString stepText;
    QString prompt;             // the prompt a method waits at
    QString outcome;            // the run's summary, once it has ended
    grpc::Status error;         // a failed run's SiLA error
    quint64 version = 0;        // counts changes, for the streams
    [[nodiscard]] bool finished() const { return stage == Stage::Succeeded || stage == Stage::Failed; }
    // What an intermediate response tells; a new one goes out when this changes.
    [[nodiscard]] QString intermediate() const
    {
        return QStringLiteral("%1|%2|%3|%4|%5")
            .arg(dosesDone).arg(delivered, 0, 'g', 17).arg(step).arg(stepText, prompt);
    }
};

class SilaState {
public:
    // Finished executions kept for their results; the oldest go first beyond this.
    static constexpr std::size_t kKeptExecutions = 1000;

    void setObserved(const ObservedValues &values);
    void addExecution(const std::string &uuid, const Execution &execution);
    // Changes a known execution; false when there is none of that UUID.
    bool updateExecution(const std::string &uuid, const std::function<void(Execution &)> &change);
    [[nodiscard]] std::optional<Execution> execution(const std::string &uuid) const;

    // gRPC's thread: waits until the values change past `seen` or `goOn` says stop; the new
    // version, or nullopt to end the stream.
    std::optional<quint64> waitObserved(quint64 seen, const std::function<bool()> &goOn,
                                        ObservedValues *values);
    std::optional<quint64> waitExecution(const std::string &uuid, quint64 seen,
                                         const std::function<bool()> &goOn, Execution *now);
    // Ends every wait (the server closes).
    void wakeAll() { m_changed.notify_all(); }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    ObservedValues m_observed;
    quint64 m_observedVersion = 1;
    std::map<std::string, Execution> m_executions;
    std::deque<std::string> m_order; // oldest first
};

} // namespace vyt
