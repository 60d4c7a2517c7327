#include "sila/SilaServer.h"

#include "sila/SilaCertificate.h"
#include "sila/SilaDiscovery.h"
#include "sila/SilaErrors.h"
#include "sila/SilaServices.h"

#include "config/SettingsStore.h"
#include "config/Units.h"
#include "link/ControllerLink.h"
#include "session/ClientStart.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/ProgramEnd.h"
#include "session/RunOrder.h"
#include "session/RunReport.h"
#include "session/Session.h"

#include "SiLAFramework.pb.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QRegularExpression>
#include <QUuid>
#include <cstdio>
#include <grpc/support/log.h>
#include <mutex>

// Outside any namespace, as the resource system wants it.
static void initSilaResources()
{
    Q_INIT_RESOURCE(features);
}

namespace vyt {

namespace {

const char *featureOf(Execution::Command command)
{
    return command == Execution::Command::DoseVolume ? sila::kDosingFeature : sila::kFlowFeature;
}

const char *commandName(Execution::Command command)
{
    return command == Execution::Command::DoseVolume ? "DoseVolume" : "StartFlow";
}

// The command's parameter a field of the window stands for; empty when none does.
QString parameterFor(Execution::Command command, const QString &field)
{
    static const struct {
        Execution::Command command;
        const char *field;
        const char *parameter;
    } kFields[] = {
        {Execution::Command::DoseVolume, "txtMenge", "Quantity"},
        {Execution::Command::DoseVolume, "cboMengeEinheit", "Unit"},
        {Execution::Command::DoseVolume, "txtWiederholung", "Repetitions"},
        {Execution::Command::DoseVolume, "cbxEndlosDosierung", "Repetitions"},
        {Execution::Command::DoseVolume, "txtPause", "Pause"},
        {Execution::Command::DoseVolume, "cboPauseEinheit", "PauseUnit"},
        {Execution::Command::StartFlow, "txtFoerderstrom", "Rate"},
        {Execution::Command::StartFlow, "cboFoerderstromEinheit", "Unit"},
        {Execution::Command::StartFlow, "txtDauer", "Duration"},
        {Execution::Command::StartFlow, "cbxEndlosFoerderung", "Duration"},
        {Execution::Command::StartFlow, "cboDauerEinheit", "DurationUnit"},
    };
    for (const auto &f : kFields) {
        if (f.command == command && field == QLatin1String(f.field))
            return QLatin1String(f.parameter);
    }
    return {};
}

const QString kSilaGroup = QStringLiteral("SiLA");

// gRPC's own log is kept from stderr: a client failing its handshake must not write into
// the operator's messages. Its last error gives the reason a port cannot be had.
std::mutex g_grpcLogMutex;
std::string g_lastGrpcError;

void keepGrpcError(gpr_log_func_args *args)
{
    if (args->severity != GPR_LOG_SEVERITY_ERROR)
        return;
    std::lock_guard<std::mutex> lock(g_grpcLogMutex);
    g_lastGrpcError = args->message;
}

// "address already in use", from gRPC's error text, or empty.
QString lastSystemError()
{
    std::lock_guard<std::mutex> lock(g_grpcLogMutex);
    static const QRegularExpression osError(QStringLiteral("os_error:\\\\?\"([^\"\\\\]+)"));
    const QRegularExpressionMatch found = osError.match(QString::fromStdString(g_lastGrpcError));
    return found.hasMatch() ? found.captured(1).toLower() : QString();
}

QString identityKey(quint16 port, const char *name)
{
    return QStringLiteral("%1/%2/%3").arg(kSilaGroup).arg(port).arg(QLatin1String(name));
}

QString storedText(quint16 port, const char *name)
{
    auto store = openStore();
    return store->value(identityKey(port, name)).toString();
}

void storeText(quint16 port, const char *name, const QString &value)
{
    auto store = openStore();
    store->setValue(identityKey(port, name), value);
    store->sync();
}

} // namespace

SilaServer::SilaServer(Session &session, QObject *parent)
    : QObject(parent), m_session(session), m_bridge(this)
{
    initSilaResources();
    m_refresh.setInterval(1000);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        publish();
        if (!m_session.running() && m_streams.load() == 0)
            m_refresh.stop();
    });
    const auto refresh = [this] { publish(); };
    connect(&m_session, &Session::progress, this, refresh);
    connect(&m_session, &Session::runStarted, this, [this] {
        publish();
        showLine();
        m_refresh.start();
    });
    connect(&m_session, &Session::startFailed, this, refresh);
    connect(&m_session, &Session::linkLost, this, refresh);
    connect(&m_session, &Session::portOpened, this, refresh);
    connect(&m_session, &Session::settingsChanged, this, refresh);
    connect(&m_session, &Session::potentiometerEnded, this, refresh);
    connect(&m_session, &Session::runEnded, this, &SilaServer::onRunEnded);
    MethodRun &methods = m_session.methods();
    connect(&methods, &MethodRun::progressChanged, this, &SilaServer::followMethod);
    connect(&methods, &MethodRun::promptWaiting, this, &SilaServer::followMethod);
    connect(&methods, &MethodRun::promptAnswered, this, &SilaServer::followMethod);
    connect(&methods, &MethodRun::finished, this, &SilaServer::onMethodFinished);
    publish();
}

SilaServer::~SilaServer()
{
    // Waiting handlers end first; then gRPC lets go of its threads and the services.
    m_bridge.close();
    m_state.wakeAll();
    if (m_server) {
        m_server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(500));
        m_server->Wait();
    }
    m_discovery.reset();
}

bool SilaServer::listen(const RemoteAddress &where, const SilaCredentials &credentials)
{
    grpc::SslServerCredentialsOptions tls(GRPC_SSL_DONT_REQUEST_CLIENT_CERTIFICATE);
    tls.pem_key_cert_pairs.push_back(
        {credentials.keyPem.toStdString(), credentials.certificatePem.toStdString()});
    m_identityPort = where.port;
    m_uuid = serverUuid(where.port);
    m_serverName = storedText(where.port, "ServerName");
    if (m_serverName.isEmpty())
        m_serverName = defaultServerName();
    gpr_set_log_function(keepGrpcError);
    m_services = makeSilaServices(*this);
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort(where.text().toStdString(), grpc::SslServerCredentials(tls), &port);
    for (const auto &service : m_services)
        builder.RegisterService(service.get());
    builder.SetMaxReceiveMessageSize(kMaxMessageBytes);
    // Enough threads for every stream allowed and for the calls beside them: a Stop is
    // never left without one.
    grpc::ResourceQuota quota("vyt-sila");
    quota.SetMaxThreads(2 * kMaxStreams + 16);
    builder.SetResourceQuota(quota);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MIN_POLLERS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MAX_POLLERS, 2);
    // gRPC shares a port with another server by default: a second program on it would
    // take half the calls, a Stop among them.
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    builder.AddChannelArgument(GRPC_ARG_MAX_CONCURRENT_STREAMS, 2 * kMaxStreams);
    // A client that opens a connection and says nothing does not keep it for long.
    builder.AddChannelArgument(GRPC_ARG_SERVER_HANDSHAKE_TIMEOUT_MS, 10000);
    builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, 30 * 60 * 1000);
    m_server = builder.BuildAndStart();
    if (!m_server || port == 0) {
        m_server.reset();
        const QString why = lastSystemError();
        m_error = why.isEmpty() ? tr("it cannot listen on %1.").arg(where.text())
                                : tr("it cannot listen on %1 (%2).").arg(where.text(), why);
        return false;
    }
    m_where = where;
    m_where.port = quint16(port);
    showLine();
    return true;
}

QString SilaServer::lineText() const
{
    const QString base = tr("SiLA 2: %1").arg(m_where.text());
    return m_where.loopback() ? base : base + tr(", open to the network");
}

void SilaServer::showLine()
{
    const Session::Status status = m_session.status();
    const QString client = status.running ? status.plan.client : QString();
    emit lineChanged(client.startsWith(QLatin1String("SiLA 2 "))
                         ? lineText() + tr(" \u00b7 run started by %1").arg(client)
                         : lineText(),
                     !m_where.loopback());
}

QString SilaServer::serverUuid(quint16 listenPort)
{
    const QString stored = storedText(listenPort, "ServerUUID");
    if (!QUuid::fromString(stored).isNull() && stored.size() == 36 && stored == stored.toLower())
        return stored;
    const QString made = QUuid::createUuid().toString(QUuid::WithoutBraces);
    storeText(listenPort, "ServerUUID", made);
    return made;
}

QString SilaServer::defaultServerName() { return QStringLiteral("vyt-Pump controller"); }

void SilaServer::setServerName(const QString &name)
{
    m_serverName = name;
    storeText(m_identityPort, "ServerName", name);
    if (m_discovery)
        m_discovery->rename(name);
}

QString SilaServer::serverDescription()
{
    return tr("Runs a micro annular gear pump through its motion controller on one serial port: "
              "doses of a set quantity, a flow at a set rate, Stop, and the run journal's record.");
}

QStringList SilaServer::implementedFeatures()
{
    return {QLatin1String(sila::kServiceFeature), QLatin1String(sila::kCancelFeature),
            QLatin1String(sila::kDosingFeature), QLatin1String(sila::kFlowFeature),
            QLatin1String(sila::kStatusFeature), QLatin1String(sila::kMethodFeature)};
}

QByteArray SilaServer::featureDefinition(const QString &identifier)
{
    if (!implementedFeatures().contains(identifier))
        return {};
    const QString name = identifier.section(QLatin1Char('/'), 2, 2);
    QFile file(QStringLiteral(":/sila/features/%1.sila.xml").arg(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void SilaServer::followValues()
{
    publish();
    m_refresh.start();
}

void SilaServer::publish()
{
    const Session::Status status = m_session.status();
    const PumpSettings &settings = m_session.state().settings;
    ObservedValues values;
    const bool dosing = status.running && status.plan.mode == RunPlan::Mode::Dosing;
    if (status.starting)
        values.runState = QStringLiteral("Starting");
    else if (status.potentiometer)
        values.runState = QStringLiteral("Potentiometer");
    else if (status.running && status.plan.mode == RunPlan::Mode::Flow)
        values.runState = QStringLiteral("Flowing");
    else if (dosing)
        values.runState = status.progress.pausing ? QStringLiteral("Pausing") : QStringLiteral("Dosing");
    values.flowRate = settings.Foerderstrom;
    values.flowUnit = foerderstromEinheiten().value(settings.Foerderstromeinheit);
    const RunOutcome sofar = status.running ? m_session.run().outcomeSoFar() : RunOutcome{};
    if (dosing) {
        values.dosesDone = sofar.dosesDone;
        values.dosesTotal = status.plan.repetitions == kEndlessRepetitions ? 0 : status.plan.repetitions;
    } else if (status.plan.mode == RunPlan::Mode::Dosing && status.plan.started.isValid()) {
        values.dosesDone = m_lastDosesDone;
        values.dosesTotal = status.plan.repetitions == kEndlessRepetitions ? 0 : status.plan.repetitions;
    }
    values.linkState = !status.portOpen              ? QStringLiteral("Closed")
                       : status.controllerAnswered ? QStringLiteral("Answering")
                                                   : QStringLiteral("Open");
    m_state.setObserved(values);
    if (m_current.empty() || !status.running)
        return;
    const double elapsed = m_since.elapsed() / 1000.0;
    m_state.updateExecution(m_current, [&](Execution &e) {
        e.stage = Execution::Stage::Running;
        e.dosesDone = sofar.dosesDone;
        e.delivered = deliveredAmount(status.plan, sofar);
        if (e.command == Execution::Command::DoseVolume && values.dosesTotal > 0)
            e.progress = std::clamp(double(sofar.dosesDone) / double(values.dosesTotal), 0.0, 1.0);
        else if (m_estimate > 0)
            e.progress = std::clamp(elapsed / m_estimate, 0.0, 1.0);
        e.secondsLeft = m_estimate < 0 ? -1 : std::max(0.0, m_estimate - elapsed);
    });
}

void SilaServer::startOrder(Execution::Command command, const QJsonObject &order,
                            const QString &client,
                            const std::shared_ptr<SessionReply<Confirmation>> &reply)
{
    const QString busy = m_starting ? tr("Another start is being checked.") : m_session.busyReason();
    if (!busy.isEmpty())
        return reply->finish(sila::definedError(sila::errorId(featureOf(command), "PumpBusy"), busy));
    const OrderKind kind = command == Execution::Command::DoseVolume ? OrderKind::Dose : OrderKind::Flow;
    OrderError error;
    const auto parsed = parseOrderObject(order, kind, &error);
    if (!parsed)
        return reply->finish(refusalError(command, error.field, error.message));
    PumpState after;
    if (const auto refused = checkClientOrder(m_session, *parsed, &after)) {
        if (refused->kind == ClientRefusal::Kind::Busy)
            return reply->finish(
                sila::definedError(sila::errorId(featureOf(command), "PumpBusy"), refused->message));
        return reply->finish(refusalError(command, refused->field, refused->message));
    }
    // The window shows the values, as if the operator had entered them.
    m_session.setRunSettings(after.settings);
    Session::Origin origin;
    origin.kind = Session::Origin::Kind::Remote;
    origin.client = client;
    if (const auto refusal = m_session.start(m_session.planFromSettings(), origin))
        return reply->finish(notStarted(command, refusal->message.isEmpty() ? std::nullopt : refusal));
    if (!m_session.status().starting)
        return accept(command, reply);
    // The controller is asked for its version first; other calls are served meanwhile.
    m_starting = true;
    auto connections = std::make_shared<QList<QMetaObject::Connection>>();
    const auto done = [this, connections] {
        for (const auto &c : *connections)
            disconnect(c);
        m_starting = false;
    };
    *connections << connect(&m_session, &Session::runStarted, this, [this, done, command, reply] {
        done();
        accept(command, reply);
    });
    *connections << connect(&m_session, &Session::startFailed, this,
                            [this, done, command, reply](const std::optional<PumpRun::Refusal> &refusal) {
                                done();
                                reply->finish(notStarted(command, refusal));
                            });
}

void SilaServer::accept(Execution::Command command,
                        const std::shared_ptr<SessionReply<Confirmation>> &reply)
{
    const Session::Status status = m_session.status();
    if (!status.running) { // ended at once (a stop in the same turn)
        reply->finish(notStarted(command, std::nullopt));
        return;
    }
    m_current = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    m_cancelled = false;
    m_since.start();
    MethodAction action;
    action.kind = command == Execution::Command::DoseVolume ? MethodStep::Kind::Dose : MethodStep::Kind::Flow;
    action.plan = status.plan;
    m_estimate = estimateAction(action, m_session.state()).seconds;
    Execution execution;
    execution.command = command;
    execution.secondsLeft = m_estimate;
    m_state.addExecution(m_current, execution);
    publish();
    reply->response().mutable_commandexecutionuuid()->set_value(m_current);
    reply->finish();
}

void SilaServer::onRunEnded(const RunPlan &plan, const RunOutcome &outcome)
{
    if (plan.mode == RunPlan::Mode::Dosing)
        m_lastDosesDone = outcome.dosesDone;
    publish();
    showLine();
    if (m_current.empty())
        return;
    QString summary = runSummary(plan, outcome);
    if (summary.isEmpty())
        summary = tr("The program ended.");
    const bool untilStop = plan.mode == RunPlan::Mode::Flow && plan.duration == 0;
    const bool succeeded = outcome.end == RunOutcome::End::Completed ||
                           (untilStop && outcome.end == RunOutcome::End::Stopped && !m_cancelled);
    const Execution::Command command = plan.mode == RunPlan::Mode::Dosing
                                           ? Execution::Command::DoseVolume
                                           : Execution::Command::StartFlow;
    const grpc::Status error = sila::definedError(
        sila::errorId(featureOf(command), "RunInterrupted"),
        m_cancelled ? tr("Cancelled by a SiLA 2 client: %1").arg(summary) : summary);
    m_state.updateExecution(m_current, [&](Execution &e) {
        e.stage = succeeded ? Execution::Stage::Succeeded : Execution::Stage::Failed;
        e.dosesDone = outcome.dosesDone;
        e.delivered = deliveredAmount(plan, outcome);
        e.outcome = summary;
        e.secondsLeft = 0;
        if (succeeded)
            e.progress = 1;
        else
            e.error = error;
    });
    m_current.clear();
    m_cancelled = false;
}

grpc::Status SilaServer::notStarted(Execution::Command command,
                                    const std::optional<PumpRun::Refusal> &refusal)
{
    const ClientRefusal why = whyNotStarted(m_session, refusal);
    if (why.kind == ClientRefusal::Kind::Invalid)
        return refusalError(command, why.field, why.message);
    return sila::definedError(sila::errorId(featureOf(command), "RunNotStarted"), why.message);
}

grpc::Status SilaServer::refusalError(Execution::Command command, const QString &field,
                                      const QString &message) const
{
    const QString parameter = parameterFor(command, field);
    if (parameter.isEmpty())
        return sila::definedError(sila::errorId(featureOf(command), "RunNotStarted"), message);
    return sila::validationError(sila::parameterId(featureOf(command), commandName(command), parameter),
                                 message);
}

void SilaServer::stopRun()
{
    // No port open: nothing to stop on the line, and the port dialog is the operator's.
    if (m_session.state().SchnittstelleOffen)
        m_session.stop();
    else
        m_session.cancelStart();
}

void SilaServer::startMethod(const QByteArray &document, const QString &client,
                             const std::shared_ptr<SessionReply<Confirmation>> &reply)
{
    const QString busy = m_starting ? tr("Another start is being checked.") : m_session.busyReason();
    const QString pumpBusy = sila::errorId(sila::kMethodFeature, "PumpBusy");
    if (!busy.isEmpty())
        return reply->finish(sila::definedError(pumpBusy, busy));
    if (const auto refused = startClientMethod(m_session, document, client)) {
        if (refused->kind == ClientRefusal::Kind::Busy)
            return reply->finish(sila::definedError(pumpBusy, refused->message));
        return reply->finish(sila::validationError(
            sila::parameterId(sila::kMethodFeature, "RunMethod", QStringLiteral("Method")),
            refused->message));
    }
    m_currentMethod = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    m_methodName = m_session.methods().progress().name;
    m_cancelled = false;
    Execution execution;
    execution.command = Execution::Command::RunMethod;
    m_state.addExecution(m_currentMethod, execution);
    followMethod();
    reply->response().mutable_commandexecutionuuid()->set_value(m_currentMethod);
    reply->finish();
}

void SilaServer::followMethod()
{
    if (m_currentMethod.empty() || !m_session.methods().running())
        return;
    const MethodRun::Progress now = m_session.methods().progress();
    m_state.updateExecution(m_currentMethod, [&](Execution &e) {
        e.step = now.step;
        e.steps = now.steps;
        e.stepText = now.stepText;
        e.prompt = now.prompt;
        e.progress = now.steps > 0 ? std::clamp(double(now.step - 1) / double(now.steps), 0.0, 1.0) : 0;
    });
}

void SilaServer::onMethodFinished(bool completed, const QString &why)
{
    if (m_currentMethod.empty())
        return;
    const QString outcome = completed ? tr("Method %1 completed.").arg(m_methodName) : why;
    const grpc::Status error = sila::definedError(
        sila::errorId(sila::kMethodFeature, "MethodInterrupted"),
        m_cancelled ? tr("Cancelled by a SiLA 2 client: %1").arg(why) : why);
    m_state.updateExecution(m_currentMethod, [&](Execution &e) {
        e.stage = completed ? Execution::Stage::Succeeded : Execution::Stage::Failed;
        e.outcome = outcome;
        e.prompt.clear();
        e.secondsLeft = 0;
        if (completed)
            e.progress = 1;
        else
            e.error = error;
    });
    m_currentMethod.clear();
    m_cancelled = false;
}

grpc::Status SilaServer::continueMethod()
{
    if (!m_session.methods().continuePrompt())
        return sila::definedError(sila::errorId(sila::kMethodFeature, "NoPrompt"),
                                  tr("No method waits for the operator."));
    return grpc::Status::OK;
}

grpc::Status SilaServer::cancel(const std::string &uuid)
{
    const auto execution = m_state.execution(uuid);
    if (execution && !execution->finished() && uuid == m_currentMethod) {
        m_cancelled = true;
        m_session.methods().stop();
        return grpc::Status::OK;
    }
    if (!execution || execution->finished() || uuid != m_current)
        return sila::definedError(sila::errorId(sila::kCancelFeature, "InvalidCommandExecutionUUID"),
                                  tr("No command of this execution UUID is running."));
    m_cancelled = true;
    stopRun();
    return grpc::Status::OK;
}

void SilaServer::cancelAll()
{
    if (m_current.empty() && m_currentMethod.empty())
        return;
    m_cancelled = true;
    if (!m_currentMethod.empty())
        m_session.methods().stop();
    stopRun();
}

std::unique_ptr<SilaServer> startSila(Session &session, const SilaOptions &options,
                                      const RemoteLine &showLine)
{
    auto refuse = [&showLine](const QString &why) {
        const QString line = SilaServer::tr("SiLA 2 is off: %1").arg(why);
        std::fprintf(stderr, "vyt-pump-controller: %s\n", qPrintable(line));
        if (showLine)
            showLine(line, true);
        return std::unique_ptr<SilaServer>();
    };
    const QString uuid = SilaServer::serverUuid(options.where.port);
    QString why;
    const auto credentials = loadSilaCredentials(options.certificateFile, options.keyFile, uuid,
                                                 options.where.address, &why, options.where.port);
    if (!credentials)
        return refuse(why);
    auto server = std::make_unique<SilaServer>(session);
    if (showLine)
        QObject::connect(server.get(), &SilaServer::lineChanged, server.get(), showLine);
    if (!server->listen(options.where, *credentials))
        return refuse(server->error());
    std::fprintf(stderr, "vyt-pump-controller: SiLA 2 on %s (certificate in %s)\n",
                 qPrintable(server->where().text()), qPrintable(credentials->certificatePath));
    if (!options.where.loopback())
        std::fprintf(stderr,
                     "vyt-pump-controller: SiLA 2 is open to the network at %s; any client that "
                     "trusts the certificate can run the pump\n",
                     qPrintable(server->where().text()));
    server->m_discovery = std::make_unique<SilaDiscovery>();
    SilaAnnouncement announcement;
    announcement.serverUuid = uuid;
    announcement.port = server->where().port;
    announcement.version = QCoreApplication::applicationVersion();
    announcement.serverName = server->serverName();
    announcement.description = SilaServer::serverDescription();
    if (credentials->selfSigned)
        announcement.caPem = credentials->certificatePem;
    QString problem;
    if (!server->m_discovery->announce(announcement, &problem)) {
        std::fprintf(stderr, "vyt-pump-controller: %s\n", qPrintable(problem));
        server->m_discovery.reset();
    }
    return server;
}

} // namespace vyt
