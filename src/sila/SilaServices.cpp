#include "sila/SilaServices.h"

#include "sila/SilaErrors.h"
#include "sila/SilaServer.h"

#include "config/PumpCatalog.h"
#include "config/Units.h"
#include "journal/JournalCursor.h"
#include "journal/RunJournal.h"
#include "session/Session.h"

#include "CancelController.grpc.pb.h"
#include "ContinuousFlowService.grpc.pb.h"
#include "MethodRunner.grpc.pb.h"
#include "PumpDosingService.grpc.pb.h"
#include "PumpStatusProvider.grpc.pb.h"
#include "SiLAService.grpc.pb.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QUrl>

namespace vyt {

namespace fw = sila2::org::silastandard;
namespace svc = sila2::org::silastandard::core::silaservice::v1;
namespace cc = sila2::org::silastandard::core::commands::cancelcontroller::v1;
namespace dose = sila2::org::vyt::pumps::pumpdosingservice::v1;
namespace flow = sila2::org::vyt::pumps::continuousflowservice::v1;
namespace stat = sila2::org::vyt::pumps::pumpstatusprovider::v1;
namespace method = sila2::org::vyt::pumps::methodrunner::v1;
using grpc::ServerContext;
using grpc::Status;

namespace {

constexpr int kLastRuns = 20;

QString text(const std::string &s) { return QString::fromStdString(s); }

void setString(fw::String *to, const QString &value) { to->set_value(value.toStdString()); }

QString listed(const QStringList &names)
{
    QStringList quoted;
    for (const QString &n : names)
        quoted << QStringLiteral("\"%1\"").arg(n);
    return quoted.join(QStringLiteral(", "));
}

// The client as the journal's note and the window name it: "SiLA 2 127.0.0.1:50312".
QString clientOf(const ServerContext *context)
{
    QString peer = text(context->peer());
    for (const char *scheme : {"ipv4:", "ipv6:", "unix:"}) {
        if (peer.startsWith(QLatin1String(scheme)))
            peer = peer.mid(int(qstrlen(scheme)));
    }
    peer = QUrl::fromPercentEncoding(peer.toUtf8());
    return QStringLiteral("SiLA 2 ") + peer.left(80);
}

// An observable command's execution UUID as the client gives it: only our own form.
bool isUuid(const std::string &value)
{
    static const QRegularExpression form(QStringLiteral(
        "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return value.size() == 36 && form.match(text(value)).hasMatch();
}

// The parameters of a command as an order for the session, checked for presence and the
// units' sets first, so that the message names the SiLA parameter.
struct Parameter {
    const char *name; // SiLA's
    const char *key;  // the order's
};

class StreamSlot {
public:
    explicit StreamSlot(SilaServer &server) : m_server(server)
    {
        m_taken = ++m_server.streams() <= SilaServer::kMaxStreams;
    }
    ~StreamSlot() { --m_server.streams(); }
    [[nodiscard]] bool taken() const { return m_taken; }

private:
    SilaServer &m_server;
    bool m_taken = false;
};

Status tooManyStreams()
{
    return Status(grpc::StatusCode::RESOURCE_EXHAUSTED,
                  "Too many subscriptions are open; close one first.");
}

// The base of the program's services: the way to the session.
class Feature {
protected:
    explicit Feature(SilaServer &server) : m_server(server) {}

    template <class Response>
    Status onSession(ServerContext *context, Response *out,
                     std::function<void(SilaServer &, const std::shared_ptr<SessionReply<Response>> &)> work)
    {
        SilaServer *server = &m_server;
        return m_server.bridge().call<Response>(
            context, out, [server, work = std::move(work)](const auto &reply) { work(*server, reply); });
    }
    template <class Response>
    Status answerNow(ServerContext *context, Response *out,
                     std::function<Status(SilaServer &, Response &)> work)
    {
        return onSession<Response>(context, out, [work = std::move(work)](SilaServer &s, const auto &reply) {
            const Status status = work(s, reply->response());
            reply->finish(status);
        });
    }
    [[nodiscard]] bool goOn(ServerContext *context) const
    {
        return !m_server.bridge().closing() && !context->IsCancelled();
    }

    // The command's executions: its info, intermediate answers and result.
    Status followInfo(ServerContext *context, const fw::CommandExecutionUUID *request,
                      grpc::ServerWriter<fw::ExecutionInfo> *writer);
    template <class Intermediate>
    Status followIntermediate(ServerContext *context, const fw::CommandExecutionUUID *request,
                              grpc::ServerWriter<Intermediate> *writer,
                              const std::function<void(const Execution &, Intermediate &)> &fill);
    template <class Responses>
    Status result(ServerContext *context, const fw::CommandExecutionUUID *request, Responses *out,
                  const std::function<void(const Execution &, Responses &)> &fill);
    Status unknownExecution() const
    {
        return sila::frameworkError(sila::FrameworkError::InvalidExecution,
                                    QStringLiteral("No command execution of this UUID is known."));
    }
    Status startCommand(ServerContext *context, Execution::Command command, const QJsonObject &order,
                        fw::CommandConfirmation *out)
    {
        const QString client = clientOf(context);
        return onSession<fw::CommandConfirmation>(
            context, out, [command, order, client](SilaServer &s, const auto &reply) {
                s.startOrder(command, order, client, reply);
            });
    }
    Status stop(ServerContext *context)
    {
        // Answered once it has gone to the line's queue, ahead of anything waiting there.
        struct Nothing {};
        Nothing none;
        return onSession<Nothing>(context, &none, [](SilaServer &s, const auto &reply) {
            s.stopRun();
            reply->finish();
        });
    }

    SilaServer &m_server;
};

Status Feature::followInfo(ServerContext *context, const fw::CommandExecutionUUID *request,
                           grpc::ServerWriter<fw::ExecutionInfo> *writer)
{
    if (!isUuid(request->value()) || !m_server.state().execution(request->value()))
        return unknownExecution();
    StreamSlot slot(m_server);
    if (!slot.taken())
        return tooManyStreams();
    quint64 seen = 0;
    Execution now;
    while (const auto version = m_server.state().waitExecution(
               request->value(), seen, [&] { return goOn(context); }, &now)) {
        seen = *version;
        fw::ExecutionInfo info;
        info.set_commandstatus(fw::ExecutionInfo_CommandStatus(int(now.stage)));
        info.mutable_progressinfo()->set_value(now.progress);
        if (now.secondsLeft >= 0) {
            const double left = std::min(now.secondsLeft, 1e9);
            info.mutable_estimatedremainingtime()->set_seconds(qint64(left));
            info.mutable_estimatedremainingtime()->set_nanos(
                int((left - double(qint64(left))) * 1e9));
        }
        if (!writer->Write(info) || now.finished())
            break;
    }
    return Status::OK;
}

template <class Intermediate>
Status Feature::followIntermediate(ServerContext *context, const fw::CommandExecutionUUID *request,
                                   grpc::ServerWriter<Intermediate> *writer,
                                   const std::function<void(const Execution &, Intermediate &)> &fill)
{
    if (!isUuid(request->value()) || !m_server.state().execution(request->value()))
        return unknownExecution();
    StreamSlot slot(m_server);
    if (!slot.taken())
        return tooManyStreams();
    quint64 seen = 0;
    Execution now;
    std::optional<QString> sent;
    while (const auto version = m_server.state().waitExecution(
               request->value(), seen, [&] { return goOn(context); }, &now)) {
        seen = *version;
        if (now.finished())
            break;
        // An answer for each new amount, not for each tick of the remaining time.
        if (sent == now.intermediate())
            continue;
        sent = now.intermediate();
        Intermediate answer;
        fill(now, answer);
        if (!writer->Write(answer))
            break;
    }
    return Status::OK;
}

template <class Responses>
Status Feature::result(ServerContext *context, const fw::CommandExecutionUUID *request,
                       Responses *out, const std::function<void(const Execution &, Responses &)> &fill)
{
    if (!isUuid(request->value()))
        return unknownExecution();
    const std::string uuid = request->value();
    return answerNow<Responses>(context, out, [this, uuid, fill](SilaServer &s, Responses &answer) {
        const auto execution = s.state().execution(uuid);
        if (!execution)
            return unknownExecution();
        if (!execution->finished())
            return sila::frameworkError(sila::FrameworkError::NotFinished,
                                        QStringLiteral("The command is still running."));
        if (execution->stage == Execution::Stage::Failed)
            return execution->error;
        fill(*execution, answer);
        return Status::OK;
    });
}

// Reads the parameters into an order, or the validation error of the first that is wrong.
class OrderReader {
public:
    OrderReader(const char *feature, const char *command) : m_feature(feature), m_command(command) {}

    void real(const char *name, const char *key, bool has, double value)
    {
        if (!has)
            return missing(name);
        m_order.insert(QLatin1String(key), value);
    }
    void integer(const char *name, const char *key, bool has, qint64 value, qint64 least)
    {
        if (!has)
            return missing(name);
        if (value < least)
            return fail(name, QStringLiteral("%1 must be at least %2.").arg(QLatin1String(name)).arg(least));
        m_order.insert(QLatin1String(key), double(value));
    }
    void unit(const char *name, const char *key, bool has, const std::string &value,
              const QStringList &units)
    {
        if (!has)
            return missing(name);
        const QString given = text(value);
        if (!units.contains(given))
            return fail(name, QStringLiteral("%1 must be one of %2.").arg(QLatin1String(name), listed(units)));
        m_order.insert(QLatin1String(key), given);
    }
    [[nodiscard]] const std::optional<Status> &error() const { return m_error; }
    [[nodiscard]] const QJsonObject &order() const { return m_order; }

private:
    void missing(const char *name)
    {
        fail(name, QStringLiteral("The parameter %1 is missing.").arg(QLatin1String(name)));
    }
    void fail(const char *name, const QString &message)
    {
        if (!m_error)
            m_error = sila::validationError(
                sila::parameterId(m_feature, m_command, QLatin1String(name)), message);
    }

    const char *m_feature;
    const char *m_command;
    QJsonObject m_order;
    std::optional<Status> m_error;
};

class SiLAService final : public svc::SiLAService::Service, Feature {
public:
    explicit SiLAService(SilaServer &server) : Feature(server) {}

    Status GetFeatureDefinition(ServerContext *context, const svc::GetFeatureDefinition_Parameters *request,
                                svc::GetFeatureDefinition_Responses *response) override
    {
        const QString wanted = text(request->featureidentifier().value());
        static const QRegularExpression form(QStringLiteral(
            "^[a-z][a-z.]*/[a-z][a-z.]*/[A-Z][a-zA-Z0-9]*/v\\d+$"));
        if (!request->has_featureidentifier() || wanted.size() > 255 || !form.match(wanted).hasMatch())
            return sila::validationError(
                sila::parameterId(sila::kServiceFeature, "GetFeatureDefinition", QStringLiteral("FeatureIdentifier")),
                QStringLiteral("FeatureIdentifier must be a fully qualified feature identifier, "
                               "such as org.silastandard/core/SiLAService/v1."));
        return answerNow<svc::GetFeatureDefinition_Responses>(
            context, response, [wanted](SilaServer &, auto &answer) {
                const QByteArray definition = SilaServer::featureDefinition(wanted);
                if (definition.isEmpty())
                    return sila::definedError(
                        sila::errorId(sila::kServiceFeature, "UnimplementedFeature"),
                        QStringLiteral("This server does not implement %1.").arg(wanted));
                answer.mutable_featuredefinition()->set_value(definition.toStdString());
                return Status::OK;
            });
    }
    Status SetServerName(ServerContext *context, const svc::SetServerName_Parameters *request,
                         svc::SetServerName_Responses *response) override
    {
        const QString name = text(request->servername().value());
        if (!request->has_servername() || name.size() > 255)
            return sila::validationError(
                sila::parameterId(sila::kServiceFeature, "SetServerName", QStringLiteral("ServerName")),
                QStringLiteral("ServerName must be a text of at most 255 characters."));
        return answerNow<svc::SetServerName_Responses>(context, response, [name](SilaServer &s, auto &) {
            s.setServerName(name);
            return Status::OK;
        });
    }
    Status Get_ServerName(ServerContext *context, const svc::Get_ServerName_Parameters *,
                          svc::Get_ServerName_Responses *response) override
    {
        return answerNow<svc::Get_ServerName_Responses>(context, response, [](SilaServer &s, auto &answer) {
            setString(answer.mutable_servername(), s.serverName());
            return Status::OK;
        });
    }
    Status Get_ServerType(ServerContext *context, const svc::Get_ServerType_Parameters *,
                          svc::Get_ServerType_Responses *response) override
    {
        return constant(context, response, &std::remove_pointer_t<decltype(response)>::mutable_servertype, QStringLiteral("VytPumpController"));
    }
    Status Get_ServerUUID(ServerContext *context, const svc::Get_ServerUUID_Parameters *,
                          svc::Get_ServerUUID_Responses *response) override
    {
        return answerNow<svc::Get_ServerUUID_Responses>(context, response, [](SilaServer &s, auto &answer) {
            setString(answer.mutable_serveruuid(), s.uuid());
            return Status::OK;
        });
    }
    Status Get_ServerDescription(ServerContext *context, const svc::Get_ServerDescription_Parameters *,
                                 svc::Get_ServerDescription_Responses *response) override
    {
        return constant(context, response, &std::remove_pointer_t<decltype(response)>::mutable_serverdescription,
                        SilaServer::serverDescription());
    }
    Status Get_ServerVersion(ServerContext *context, const svc::Get_ServerVersion_Parameters *,
                             svc::Get_ServerVersion_Responses *response) override
    {
        return constant(context, response, &std::remove_pointer_t<decltype(response)>::mutable_serverversion,
                        QCoreApplication::applicationVersion());
    }
    Status Get_ServerVendorURL(ServerContext *context, const svc::Get_ServerVendorURL_Parameters *,
                               svc::Get_ServerVendorURL_Responses *response) override
    {
        return constant(context, response, &std::remove_pointer_t<decltype(response)>::mutable_servervendorurl,
                        QStringLiteral("https://vyt.org/pump-controller"));
    }
    Status Get_ImplementedFeatures(ServerContext *context, const svc::Get_ImplementedFeatures_Parameters *,
                                   svc::Get_ImplementedFeatures_Responses *response) override
    {
        return answerNow<svc::Get_ImplementedFeatures_Responses>(context, response, [](SilaServer &, auto &answer) {
            for (const QString &feature : SilaServer::implementedFeatures())
                setString(answer.add_implementedfeatures(), feature);
            return Status::OK;
        });
    }

private:
    // A value that does not change, still answered from the session's thread like any other.
    template <class Response>
    Status constant(ServerContext *context, Response *response, fw::String *(Response::*field)(),
                    const QString &value)
    {
        return answerNow<Response>(context, response, [field, value](SilaServer &, Response &answer) {
            setString((answer.*field)(), value);
            return Status::OK;
        });
    }
};

class CancelController final : public cc::CancelController::Service, Feature {
public:
    explicit CancelController(SilaServer &server) : Feature(server) {}

    Status CancelCommand(ServerContext *context, const cc::CancelCommand_Parameters *request,
                         cc::CancelCommand_Responses *response) override
    {
        const std::string uuid = request->commandexecutionuuid().uuid().value();
        if (!isUuid(uuid))
            return sila::validationError(
                sila::parameterId(sila::kCancelFeature, "CancelCommand", QStringLiteral("CommandExecutionUUID")),
                QStringLiteral("CommandExecutionUUID must be a UUID in lower case, 36 characters."));
        return answerNow<cc::CancelCommand_Responses>(context, response, [uuid](SilaServer &s, auto &) {
            return s.cancel(uuid);
        });
    }
    Status CancelAll(ServerContext *context, const cc::CancelAll_Parameters *,
                     cc::CancelAll_Responses *response) override
    {
        return answerNow<cc::CancelAll_Responses>(context, response, [](SilaServer &s, auto &) {
            s.cancelAll();
            return Status::OK;
        });
    }
};

class PumpDosingService final : public dose::PumpDosingService::Service, Feature {
public:
    explicit PumpDosingService(SilaServer &server) : Feature(server) {}

    Status DoseVolume(ServerContext *context, const dose::DoseVolume_Parameters *p,
                      fw::CommandConfirmation *response) override
    {
        OrderReader read(sila::kDosingFeature, "DoseVolume");
        read.real("Quantity", "quantity", p->has_quantity(), p->quantity().value());
        read.unit("Unit", "unit", p->has_unit(), p->unit().value(), mengeEinheiten());
        read.integer("Repetitions", "repetitions", p->has_repetitions(), p->repetitions().value(), 1);
        read.real("Pause", "pause", p->has_pause(), p->pause().value());
        read.unit("PauseUnit", "pause_unit", p->has_pauseunit(), p->pauseunit().value(), zeitEinheiten());
        if (read.error())
            return *read.error();
        return startCommand(context, Execution::Command::DoseVolume, read.order(), response);
    }
    Status DoseVolume_Info(ServerContext *context, const fw::CommandExecutionUUID *request,
                           grpc::ServerWriter<fw::ExecutionInfo> *writer) override
    {
        return followInfo(context, request, writer);
    }
    Status DoseVolume_Intermediate(ServerContext *context, const fw::CommandExecutionUUID *request,
                                   grpc::ServerWriter<dose::DoseVolume_IntermediateResponses> *writer) override
    {
        return followIntermediate<dose::DoseVolume_IntermediateResponses>(
            context, request, writer, [](const Execution &e, auto &answer) {
                answer.mutable_dosesdone()->set_value(e.dosesDone);
                answer.mutable_delivered()->set_value(e.delivered);
            });
    }
    Status DoseVolume_Result(ServerContext *context, const fw::CommandExecutionUUID *request,
                             dose::DoseVolume_Responses *response) override
    {
        return result<dose::DoseVolume_Responses>(context, request, response, [](const Execution &e, auto &answer) {
            answer.mutable_dosesdone()->set_value(e.dosesDone);
            answer.mutable_delivered()->set_value(e.delivered);
            setString(answer.mutable_outcome(), e.outcome);
        });
    }
    Status Stop(ServerContext *context, const dose::Stop_Parameters *, dose::Stop_Responses *) override
    {
        return stop(context);
    }
};

class ContinuousFlowService final : public flow::ContinuousFlowService::Service, Feature {
public:
    explicit ContinuousFlowService(SilaServer &server) : Feature(server) {}

    Status StartFlow(ServerContext *context, const flow::StartFlow_Parameters *p,
                     fw::CommandConfirmation *response) override
    {
        OrderReader read(sila::kFlowFeature, "StartFlow");
        read.real("Rate", "rate", p->has_rate(), p->rate().value());
        read.unit("Unit", "unit", p->has_unit(), p->unit().value(), foerderstromEinheiten());
        read.real("Duration", "duration", p->has_duration(), p->duration().value());
        read.unit("DurationUnit", "duration_unit", p->has_durationunit(), p->durationunit().value(),
                  zeitEinheiten());
        if (read.error())
            return *read.error();
        return startCommand(context, Execution::Command::StartFlow, read.order(), response);
    }
    Status StartFlow_Info(ServerContext *context, const fw::CommandExecutionUUID *request,
                          grpc::ServerWriter<fw::ExecutionInfo> *writer) override
    {
        return followInfo(context, request, writer);
    }
    Status StartFlow_Intermediate(ServerContext *context, const fw::CommandExecutionUUID *request,
                                  grpc::ServerWriter<flow::StartFlow_IntermediateResponses> *writer) override
    {
        return followIntermediate<flow::StartFlow_IntermediateResponses>(
            context, request, writer,
            [](const Execution &e, auto &answer) { answer.mutable_delivered()->set_value(e.delivered); });
    }
    Status StartFlow_Result(ServerContext *context, const fw::CommandExecutionUUID *request,
                            flow::StartFlow_Responses *response) override
    {
        return result<flow::StartFlow_Responses>(context, request, response, [](const Execution &e, auto &answer) {
            answer.mutable_delivered()->set_value(e.delivered);
            setString(answer.mutable_outcome(), e.outcome);
        });
    }
    Status Stop(ServerContext *context, const flow::Stop_Parameters *, flow::Stop_Responses *) override
    {
        return stop(context);
    }
};

class PumpStatusProvider final : public stat::PumpStatusProvider::Service, Feature {
public:
    explicit PumpStatusProvider(SilaServer &server) : Feature(server) {}

    Status Subscribe_RunState(ServerContext *context, const stat::Subscribe_RunState_Parameters *,
                              grpc::ServerWriter<stat::Subscribe_RunState_Responses> *writer) override
    {
        return follow<stat::Subscribe_RunState_Responses>(context, writer, [](const ObservedValues &v, auto &m) {
            setString(m.mutable_runstate(), v.runState);
            return v.runState;
        });
    }
    Status Subscribe_FlowRate(ServerContext *context, const stat::Subscribe_FlowRate_Parameters *,
                              grpc::ServerWriter<stat::Subscribe_FlowRate_Responses> *writer) override
    {
        return follow<stat::Subscribe_FlowRate_Responses>(context, writer, [](const ObservedValues &v, auto &m) {
            m.mutable_flowrate()->mutable_value()->set_value(v.flowRate);
            setString(m.mutable_flowrate()->mutable_unit(), v.flowUnit);
            return QString::number(v.flowRate, 'g', 17) + v.flowUnit;
        });
    }
    Status Subscribe_DoseCount(ServerContext *context, const stat::Subscribe_DoseCount_Parameters *,
                               grpc::ServerWriter<stat::Subscribe_DoseCount_Responses> *writer) override
    {
        return follow<stat::Subscribe_DoseCount_Responses>(context, writer, [](const ObservedValues &v, auto &m) {
            m.mutable_dosecount()->mutable_done()->set_value(v.dosesDone);
            m.mutable_dosecount()->mutable_total()->set_value(v.dosesTotal);
            return QStringLiteral("%1/%2").arg(v.dosesDone).arg(v.dosesTotal);
        });
    }
    Status Subscribe_LinkState(ServerContext *context, const stat::Subscribe_LinkState_Parameters *,
                               grpc::ServerWriter<stat::Subscribe_LinkState_Responses> *writer) override
    {
        return follow<stat::Subscribe_LinkState_Responses>(context, writer, [](const ObservedValues &v, auto &m) {
            setString(m.mutable_linkstate(), v.linkState);
            return v.linkState;
        });
    }
    Status Get_PumpType(ServerContext *context, const stat::Get_PumpType_Parameters *,
                        stat::Get_PumpType_Responses *response) override
    {
        return answerNow<stat::Get_PumpType_Responses>(context, response, [](SilaServer &s, auto &answer) {
            const QStringList names = pumpTypeNames();
            const int type = s.session().state().settings.Pumpentyp;
            setString(answer.mutable_pumptype(), type >= 0 && type < names.size() ? names.at(type) : QString());
            return Status::OK;
        });
    }
    Status Get_DriveLimits(ServerContext *context, const stat::Get_DriveLimits_Parameters *,
                           stat::Get_DriveLimits_Responses *response) override
    {
        return answerNow<stat::Get_DriveLimits_Responses>(context, response, [](SilaServer &s, auto &answer) {
            const PumpSettings &in = s.session().state().settings;
            auto *limits = answer.mutable_drivelimits();
            limits->mutable_maximumspeed()->set_value(in.Maximaldrehzahl);
            limits->mutable_acceleration()->set_value(in.Beschleunigung);
            limits->mutable_continuouscurrent()->set_value(in.Dauerstrom);
            limits->mutable_peakcurrent()->set_value(in.Spitzenstrom);
            return Status::OK;
        });
    }
    Status Get_LastRuns(ServerContext *context, const stat::Get_LastRuns_Parameters *,
                        stat::Get_LastRuns_Responses *response) override
    {
        // The paths come from the session's thread; the file is read here, off it.
        auto paths = std::make_shared<QStringList>();
        const Status asked = answerNow<stat::Get_LastRuns_Responses>(
            context, response, [paths](SilaServer &s, auto &) {
                *paths = QStringList{s.session().journal().path(), s.session().journal().rotatedPath()};
                return Status::OK;
            });
        if (!asked.ok())
            return asked;
        const JournalPage page = readNewest(*paths, QDateTime(), kLastRuns);
        if (!page.error.isEmpty())
            return sila::definedError(sila::errorId(sila::kStatusFeature, "JournalUnreadable"),
                                      page.error);
        for (const QStringList &row : page.rows) {
            const QByteArray sheet = RunJournal::exportCsv({row}, false); // the header, then the row
            setString(response->add_lastruns(),
                      QString::fromUtf8(sheet.mid(sheet.indexOf('\n') + 1)).trimmed());
        }
        return Status::OK;
    }

private:
    // Sends the value at once and again whenever it changes, until the client leaves.
    template <class Message>
    Status follow(ServerContext *context, grpc::ServerWriter<Message> *writer,
                  const std::function<QString(const ObservedValues &, Message &)> &fill)
    {
        StreamSlot slot(m_server);
        if (!slot.taken())
            return tooManyStreams();
        struct Nothing {};
        Nothing none;
        const Status asked = onSession<Nothing>(context, &none, [](SilaServer &s, const auto &reply) {
            s.followValues();
            reply->finish();
        });
        if (!asked.ok())
            return asked;
        quint64 seen = 0;
        std::optional<QString> sent;
        ObservedValues values;
        while (const auto version = m_server.state().waitObserved(seen, [&] { return goOn(context); }, &values)) {
            seen = *version;
            Message message;
            const QString shown = fill(values, message);
            if (sent == shown)
                continue; // another value changed
            sent = shown;
            if (!writer->Write(message))
                break;
        }
        return Status::OK;
    }
};

class MethodRunner final : public method::MethodRunner::Service, Feature {
public:
    explicit MethodRunner(SilaServer &server) : Feature(server) {}

    Status RunMethod(ServerContext *context, const method::RunMethod_Parameters *p,
                     fw::CommandConfirmation *response) override
    {
        if (!p->has_method())
            return sila::validationError(sila::parameterId(sila::kMethodFeature, "RunMethod", QStringLiteral("Method")),
                                         QStringLiteral("The parameter Method is missing."));
        const QByteArray document = QByteArray::fromStdString(p->method().value());
        const QString client = clientOf(context);
        return onSession<fw::CommandConfirmation>(context, response, [document, client](SilaServer &s, const auto &reply) {
            s.startMethod(document, client, reply);
        });
    }
    Status RunMethod_Info(ServerContext *context, const fw::CommandExecutionUUID *request,
                          grpc::ServerWriter<fw::ExecutionInfo> *writer) override
    {
        return followInfo(context, request, writer);
    }
    Status RunMethod_Intermediate(ServerContext *context, const fw::CommandExecutionUUID *request,
                                  grpc::ServerWriter<method::RunMethod_IntermediateResponses> *writer) override
    {
        return followIntermediate<method::RunMethod_IntermediateResponses>(
            context, request, writer, [](const Execution &e, auto &answer) {
                answer.mutable_step()->set_value(e.step);
                answer.mutable_steps()->set_value(e.steps);
                setString(answer.mutable_steptext(), e.stepText);
                setString(answer.mutable_prompt(), e.prompt);
            });
    }
    Status RunMethod_Result(ServerContext *context, const fw::CommandExecutionUUID *request,
                            method::RunMethod_Responses *response) override
    {
        return result<method::RunMethod_Responses>(context, request, response, [](const Execution &e, auto &answer) {
            setString(answer.mutable_outcome(), e.outcome);
        });
    }
    Status ContinueMethod(ServerContext *context, const method::ContinueMethod_Parameters *,
                          method::ContinueMethod_Responses *response) override
    {
        return answerNow<method::ContinueMethod_Responses>(context, response, [](SilaServer &s, auto &) {
            return s.continueMethod();
        });
    }
};

} // namespace

std::vector<std::unique_ptr<grpc::Service>> makeSilaServices(SilaServer &server)
{
    std::vector<std::unique_ptr<grpc::Service>> services;
    services.push_back(std::make_unique<SiLAService>(server));
    services.push_back(std::make_unique<CancelController>(server));
    services.push_back(std::make_unique<PumpDosingService>(server));
    services.push_back(std::make_unique<ContinuousFlowService>(server));
    services.push_back(std::make_unique<PumpStatusProvider>(server));
    services.push_back(std::make_unique<MethodRunner>(server));
    return services;
}

} // namespace vyt
