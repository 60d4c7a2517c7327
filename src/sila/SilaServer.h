#pragma once
// SiLA 2: the pump as a standard lab instrument. gRPC over TLS on threads of its own; every
// call is handed to the session's thread and answered from there, through the same checks,
// refusals and stop as remote control and the window.
#include "remote/RemoteAddress.h"
#include "remote/RemoteServer.h"
#include "sila/SilaBridge.h"
#include "sila/SilaState.h"
#include "session/PumpRun.h"

#include <QJsonObject>
#include <QObject>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

namespace sila2::org::silastandard {
class CommandConfirmation;
}

namespace vyt {

class Session;
class SilaDiscovery;
struct RunOutcome;
struct RunPlan;
struct SilaCredentials;

// What the command line asks of SiLA 2.
struct SilaOptions {
    RemoteAddress where;
    QString certificateFile; // a lab's own, with keyFile; empty: the program's own
    QString keyFile;
};

constexpr quint16 kDefaultSilaPort = 50052;

class SilaServer : public QObject {
    Q_OBJECT
public:
    using Confirmation = sila2::org::silastandard::CommandConfirmation;
    // Streams open at once at most; more are refused, so that a Stop always finds a thread.
    static constexpr int kMaxStreams = 32;
    // A method document may hold 1 MiB; a call carries it and a little more.
    static constexpr int kMaxMessageBytes = 1024 * 1024 + 64 * 1024;

    explicit SilaServer(Session &session, QObject *parent = nullptr);
    ~SilaServer() override;

    // Listens there with those credentials; false with the reason in error(), worded to
    // follow "SiLA 2 is off: ". Port 0 takes a free one (tests).
    bool listen(const RemoteAddress &where, const SilaCredentials &credentials);
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] const RemoteAddress &where() const { return m_where; }
    // The status line's text: "SiLA 2: 127.0.0.1:50052".
    [[nodiscard]] QString lineText() const;

    // The server's identity, kept in the settings ([SiLA], per listen port: two programs on
    // one settings folder are two servers).
    [[nodiscard]] static QString serverUuid(quint16 listenPort);
    [[nodiscard]] QString uuid() const { return m_uuid; }
    [[nodiscard]] static QString defaultServerName();
    [[nodiscard]] QString serverName() const { return m_serverName; }
    void setServerName(const QString &name);
    [[nodiscard]] static QString serverDescription();
    [[nodiscard]] static QStringList implementedFeatures();
    // A feature's definition (FDL); empty when it is not one of ours.
    [[nodiscard]] static QByteArray featureDefinition(const QString &identifier);

    // For the services, on the session's thread only.
    [[nodiscard]] Session &session() { return m_session; }
    [[nodiscard]] SilaBridge &bridge() { return m_bridge; }
    [[nodiscard]] SilaState &state() { return m_state; }
    std::atomic<int> &streams() { return m_streams; }
    // Checks and starts a dose or a flow from a client; the reply gets the execution's UUID
    // or the SiLA error, now or once the controller has answered.
    void startOrder(Execution::Command command, const QJsonObject &order, const QString &client,
                    const std::shared_ptr<SessionReply<Confirmation>> &reply);
    // Checks and starts a method from a client, as remote control does.
    void startMethod(const QByteArray &document, const QString &client,
                     const std::shared_ptr<SessionReply<Confirmation>> &reply);
    [[nodiscard]] grpc::Status continueMethod();
    // The Stop button's stop: always taken, nothing checked first.
    void stopRun();
    // CancelCommand: stops the run of that execution.
    [[nodiscard]] grpc::Status cancel(const std::string &uuid);
    void cancelAll();
    // A stream has opened: the values are kept fresh while any is open.
    void followValues();

signals:
    void lineChanged(const QString &text, bool warning);

private:
    void publish();
    void showLine();
    void onRunEnded(const RunPlan &plan, const RunOutcome &outcome);
    void followMethod();
    void onMethodFinished(bool completed, const QString &why);
    void accept(Execution::Command command, const std::shared_ptr<SessionReply<Confirmation>> &reply);
    [[nodiscard]] grpc::Status notStarted(Execution::Command command,
                                          const std::optional<PumpRun::Refusal> &refusal);
    [[nodiscard]] grpc::Status refusalError(Execution::Command command, const QString &field,
                                            const QString &message) const;

    Session &m_session;
    SilaBridge m_bridge;
    SilaState m_state;
    std::atomic<int> m_streams{0};
    std::vector<std::unique_ptr<grpc::Service>> m_services;
    std::unique_ptr<grpc::Server> m_server;
    std::unique_ptr<SilaDiscovery> m_discovery;
    QTimer m_refresh; // while a run goes on or a stream is open
    RemoteAddress m_where;
    QString m_error;
    QString m_serverName;
    QString m_uuid;
    quint16 m_identityPort = 0; // the port asked for: the identity's key
    std::string m_current; // the execution whose run goes on
    std::string m_currentMethod; // the execution whose method goes on
    QString m_methodName;
    QElapsedTimer m_since;   // since the current execution began
    double m_estimate = -1;  // its estimated seconds; -1: until Stop
    qint64 m_lastDosesDone = 0;
    bool m_starting = false;
    bool m_cancelled = false;

    friend std::unique_ptr<SilaServer> startSila(Session &, const SilaOptions &, const RemoteLine &);
};

// Turns SiLA 2 on for the session: the identity, the certificate, the socket, the
// announcement. Null when it cannot be on; the reason is then on stderr and on the line.
[[nodiscard]] std::unique_ptr<SilaServer> startSila(Session &session, const SilaOptions &options,
                                                    const RemoteLine &showLine = {});

} // namespace vyt
