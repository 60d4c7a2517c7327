#include "remote/RemoteServer.h"

#include "session/ClientStart.h"
#include "session/MethodRun.h"

#include "config/Units.h"
#include "journal/JournalCursor.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "session/PumpRun.h"
#include "session/Session.h"
#include "remote/RemoteStatus.h"
#include "session/ProgramEnd.h"

#include <QDir>
#include <QFile>
#include <QFutureWatcher>
#include <QPromise>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>

// Outside any namespace, as the resource system wants it.
static void initRemoteResources()
{
    Q_INIT_RESOURCE(remote);
}

namespace vyt {

using Status = QHttpServerResponder::StatusCode;

namespace {

// Qt's socket errors are sentences ("The bound address is already in use"); inside one of
// ours they go on in lower case, while a word in capitals ("IPv6") stays as it is.
QString goingOn(QString text)
{
    if (text.size() > 1 && text.at(0).isUpper() && text.at(1).isLower())
        text[0] = text.at(0).toLower();
    return text;
}

} // namespace

QString clientText(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

std::unique_ptr<RemoteServer> startRemoteControl(Session &session, const RemoteAddress &where,
                                                 const RemoteLine &showLine)
{
    auto refuse = [&showLine](const QString &why) {
        const QString line = RemoteServer::tr("Remote control is off: %1").arg(why);
        std::fprintf(stderr, "vyt-pump-controller: %s\n", qPrintable(line));
        if (showLine)
            showLine(line, true);
        return std::unique_ptr<RemoteServer>();
    };
    RemoteToken token;
    if (!token.load())
        return refuse(token.error());
    const QString tokenPath = token.path();
    auto server = std::make_unique<RemoteServer>(session, std::move(token));
    if (showLine)
        QObject::connect(server.get(), &RemoteServer::lineChanged, server.get(), showLine);
    if (!server->listen(where))
        return refuse(server->error());
    std::fprintf(stderr, "vyt-pump-controller: remote control on http://%s/v1/ (token in %s)\n",
                 qPrintable(server->where().text()),
                 qPrintable(QDir::toNativeSeparators(tokenPath)));
    if (!where.loopback())
        std::fprintf(stderr,
                     "vyt-pump-controller: remote control is open to the network at %s; anyone "
                     "who has the token can run the pump\n",
                     qPrintable(server->where().text()));
    return server;
}

RemoteServer::RemoteServer(Session &session, RemoteToken token, QObject *parent)
    : QObject(parent), m_session(session), m_token(std::move(token))
{
    initRemoteResources();
    using Method = QHttpServerRequest::Method;
    addRoute("/v1/status", Method::Get, &RemoteServer::status);
    addRoute("/v1/dose", Method::Post, &RemoteServer::dose);
    addRoute("/v1/flow", Method::Post, &RemoteServer::flow);
    addRoute("/v1/stop", Method::Post, &RemoteServer::stop);
    addRoute("/v1/runs", Method::Get, &RemoteServer::runs);
    addRoute("/v1/methods/run", Method::Post, &RemoteServer::runMethod);
    addRoute("/v1/methods/continue", Method::Post, &RemoteServer::continueMethod);
    addRoute("/v1/openapi.json", Method::Get, &RemoteServer::openApi);
    m_http.setMissingHandler(
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            serve(request, responder, request.method(), nullptr);
        });
    // The line names the client only while its run goes on.
    connect(&m_session, &Session::runEnded, this, &RemoteServer::showLine);
    connect(&m_session, &Session::runStarted, this, &RemoteServer::showLine);
}

RemoteServer::~RemoteServer() = default;

void RemoteServer::addRoute(const char *path, QHttpServerRequest::Method method, Handler handler)
{
    m_http.route(QString::fromLatin1(path), QHttpServerRequest::Method::AnyKnown,
                 [this, method, handler](const QHttpServerRequest &request,
                                         QHttpServerResponder &&responder) {
                     serve(request, responder, method, handler);
                 });
}

bool RemoteServer::listen(const RemoteAddress &where)
{
    auto *guard = new ConnectionGuard(this);
    if (!guard->listen(where.address, where.port)) {
        m_error =
            tr("it cannot listen on %1 (%2).").arg(where.text(), goingOn(guard->errorString()));
        delete guard;
        return false;
    }
    m_guard = guard;
    m_http.bind(guard);
    m_where = where;
    m_where.port = guard->serverPort();
    showLine();
    return true;
}

QString RemoteServer::lineText() const
{
    const QString base = tr("Remote control: %1").arg(m_where.text());
    return m_where.loopback() ? base : base + tr(", open to the network");
}

void RemoteServer::showLine()
{
    const Session::Status status = m_session.status();
    const QString client = status.running ? status.plan.client : QString();
    emit lineChanged(
        client.isEmpty() ? lineText() : lineText() + tr(" \u00b7 run started by %1").arg(client),
        !m_where.loopback());
}

bool RemoteServer::authorised(const QHttpServerRequest &request) const
{
    return m_token.admits(request.value(QByteArrayLiteral("Authorization")));
}

RemoteServer::Reply RemoteServer::failure(Status status, const QString &message,
                                          const QString &field)
{
    QJsonObject body{{QStringLiteral("message"), message}};
    if (!field.isEmpty())
        body.insert(QStringLiteral("field"), field);
    return {status, body};
}

RemoteServer::Reply RemoteServer::replyTo(const QHttpServerRequest &request,
                                          QHttpServerRequest::Method method, Handler handler)
{
    if (!authorised(request))
        return failure(Status::Unauthorized,
                       tr("A token is needed: \"Authorization: Bearer <token>\", the token being "
                          "the text in remote-token beside vyt.conf."));
    if (!handler)
        return failure(Status::NotFound, tr("No such resource; see /v1/openapi.json."));
    if (request.method() != method)
        return failure(Status::MethodNotAllowed,
                       tr("%1 takes %2 only.")
                           .arg(request.url().path(), method == QHttpServerRequest::Method::Get
                                                          ? QStringLiteral("GET")
                                                          : QStringLiteral("POST")));
    if (request.body().size() > kMaxBodyBytes)
        return failure(Status::PayloadTooLarge,
                       tr("The request is too large: a body may hold 64 KiB."));
    return (this->*handler)(request);
}

void RemoteServer::serve(const QHttpServerRequest &request, QHttpServerResponder &responder,
                         QHttpServerRequest::Method method, Handler handler)
{
    QTcpSocket *socket = responder.socket();
    auto answer = std::make_shared<Answer>();
    answer->socket = socket;
    // A handler may wait for the controller a moment, a journal read longer: the guard
    // leaves the socket alone until the answer is out.
    answer->busy = std::make_unique<ConnectionGuard::Busy>(*m_guard, socket);
    if (authorised(request))
        m_guard->admit(socket);
    answer->close = request.value(QByteArrayLiteral("Connection"))
                        .trimmed()
                        .compare("close", Qt::CaseInsensitive) == 0;
    answer->reply = replyTo(request, method, handler);
    answer->responder = std::make_unique<QHttpServerResponder>(std::move(responder));
    queueAnswer(socket, answer);
    if (const auto later = answer->reply.later) {
        auto *watcher = new QFutureWatcher<Reply>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, answer, socket] {
            answer->reply = watcher->result();
            answer->ready = true;
            watcher->deleteLater();
            sendReady(socket);
        });
        watcher->setFuture(*later);
        return;
    }
    answer->ready = true;
    sendReady(socket);
}

void RemoteServer::queueAnswer(QTcpSocket *socket, const std::shared_ptr<Answer> &answer)
{
    auto it = m_answers.find(socket);
    if (it == m_answers.end()) {
        it = m_answers.insert(socket, {});
        // A socket gone takes its answers along; a new one at the same address starts afresh.
        connect(socket, &QObject::destroyed, this, [this, socket] { m_answers.remove(socket); });
    }
    it->push_back(answer);
}

void RemoteServer::sendReady(QTcpSocket *socket)
{
    auto it = m_answers.find(socket);
    while (it != m_answers.end() && !it->empty() && it->front()->ready) {
        const std::shared_ptr<Answer> answer = it->front();
        it->pop_front();
        send(*answer);
        it = m_answers.find(socket); // sending may have closed the socket
    }
}

void RemoteServer::send(Answer &answer)
{
    if (!answer.socket)
        return; // the client went away meanwhile
    const Reply &reply = answer.reply;
    if (!reply.csv.isEmpty()) {
        answer.responder->write(reply.csv,
                                {{"Content-Type", "text/csv; charset=utf-8"},
                                 {"Cache-Control", "no-store"}},
                                reply.status);
        if (answer.close)
            m_guard->closeAfterAnswer(answer.socket);
        return;
    }
    const QByteArray body = QJsonDocument(reply.body).toJson(QJsonDocument::Compact);
    if (reply.status == Status::Unauthorized)
        answer.responder->write(body,
                                {{"Content-Type", "application/json"},
                                 {"Cache-Control", "no-store"},
                                 {"WWW-Authenticate", "Bearer"}},
                                reply.status);
    else
        answer.responder->write(
            body, {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}},
            reply.status);
    if (answer.close)
        m_guard->closeAfterAnswer(answer.socket);
}

QString RemoteServer::startBlocker() const { return m_session.busyReason(); }

RemoteServer::Reply RemoteServer::status(const QHttpServerRequest &)
{
    return {Status::Ok, statusJson(m_session, m_starting ? tr("Another start is being checked.")
                                                        : startBlocker())};
}

RemoteServer::Reply RemoteServer::dose(const QHttpServerRequest &request)
{
    return start(request, OrderKind::Dose);
}

RemoteServer::Reply RemoteServer::flow(const QHttpServerRequest &request)
{
    return start(request, OrderKind::Flow);
}

RemoteServer::Reply RemoteServer::start(const QHttpServerRequest &request, OrderKind kind)
{
    if (m_starting)
        return failure(Status::Conflict, tr("Another start is being checked."));
    if (const QString why = startBlocker(); !why.isEmpty())
        return failure(Status::Conflict, why);
    OrderError error;
    const auto order = parseOrder(request.body(), kind, &error);
    if (!order)
        return failure(Status::BadRequest, error.message, error.field);
    PumpState after;
    if (const auto refused = checkClientOrder(m_session, *order, &after))
        return failure(refused->kind == ClientRefusal::Kind::Busy ? Status::Conflict
                                                                  : Status::BadRequest,
                       refused->message, refused->field);
    // The window shows the values, as if the operator had entered them.
    m_session.setRunSettings(after.settings);
    Session::Origin origin;
    origin.kind = Session::Origin::Kind::Remote;
    origin.client = clientText(request.remoteAddress());
    if (const auto refusal = m_session.start(m_session.planFromSettings(), origin))
        return notStartedReply(refusal->message.isEmpty() ? std::nullopt : refusal);
    return startAnswer();
}

RemoteServer::Reply RemoteServer::runMethod(const QHttpServerRequest &request)
{
    if (m_starting)
        return failure(Status::Conflict, tr("Another start is being checked."));
    if (const QString why = startBlocker(); !why.isEmpty())
        return failure(Status::Conflict, why);
    if (const auto refused =
            startClientMethod(m_session, request.body(), clientText(request.remoteAddress())))
        return failure(refused->kind == ClientRefusal::Kind::Busy ? Status::Conflict
                                                                  : Status::BadRequest,
                       refused->message, refused->field);
    showLine();
    return {Status::Ok,
            QJsonObject{{QStringLiteral("started"), true},
                        {QStringLiteral("status"), statusJson(m_session, startBlocker())}}};
}

RemoteServer::Reply RemoteServer::continueMethod(const QHttpServerRequest &)
{
    if (!m_session.methods().continuePrompt())
        return failure(Status::Conflict, tr("No method waits for the operator."));
    return {Status::Ok,
            QJsonObject{{QStringLiteral("continued"), true},
                        {QStringLiteral("status"), statusJson(m_session, startBlocker())}}};
}

RemoteServer::Reply RemoteServer::startAnswer()
{
    if (!m_session.status().starting)
        return startedReply();
    // The controller is asked for its version first (at most the reply time-out); other
    // requests are served meanwhile, and a Stop meanwhile wins.
    m_starting = true;
    auto promise = std::make_shared<QPromise<Reply>>();
    promise->start();
    auto connections = std::make_shared<QList<QMetaObject::Connection>>();
    const auto answer = [this, promise, connections](const Reply &reply) {
        for (const auto &c : *connections)
            disconnect(c);
        m_starting = false;
        promise->addResult(reply);
        promise->finish();
    };
    *connections << connect(&m_session, &Session::runStarted, this,
                            [this, answer] { answer(startedReply()); });
    *connections << connect(&m_session, &Session::startFailed, this,
                            [this, answer](const std::optional<PumpRun::Refusal> &refusal) {
                                answer(notStartedReply(refusal));
                            });
    Reply later;
    later.later = std::make_shared<QFuture<Reply>>(promise->future());
    return later;
}

RemoteServer::Reply RemoteServer::startedReply()
{
    showLine();
    return {Status::Ok,
            QJsonObject{{QStringLiteral("started"), true},
                        {QStringLiteral("status"), statusJson(m_session, startBlocker())}}};
}

RemoteServer::Reply RemoteServer::notStartedReply(const std::optional<PumpRun::Refusal> &refusal)
{
    const ClientRefusal why = whyNotStarted(m_session, refusal);
    const Status status = why.kind == ClientRefusal::Kind::Invalid    ? Status::BadRequest
                          : why.kind == ClientRefusal::Kind::NoAnswer ? Status::ServiceUnavailable
                                                                      : Status::Conflict;
    return failure(status, why.message, why.field);
}

RemoteServer::Reply RemoteServer::stop(const QHttpServerRequest &)
{
    // No port open: nothing to stop on the line, and the port dialog is the operator's.
    if (m_session.state().SchnittstelleOffen)
        m_session.stop();
    else
        m_session.cancelStart();
    return {Status::Ok,
            QJsonObject{{QStringLiteral("stopped"), true},
                        {QStringLiteral("status"), statusJson(m_session, startBlocker())}}};
}

RemoteServer::Reply RemoteServer::runs(const QHttpServerRequest &request)
{
    const QUrlQuery query(request.url());
    QDateTime since;
    if (query.hasQueryItem(QStringLiteral("since"))) {
        since = readIsoTime(query.queryItemValue(QStringLiteral("since"), QUrl::FullyDecoded));
        if (!since.isValid())
            return failure(
                Status::BadRequest,
                tr("\"since\" must be an ISO 8601 time, such as 2026-12-07T15:30:00+01:00."),
                QStringLiteral("since"));
    }
    int limit = kMaxRunRows;
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        bool ok = false;
        limit = query.queryItemValue(QStringLiteral("limit")).trimmed().toInt(&ok);
        if (!ok || limit < 1 || limit > kMaxRunLimit)
            return failure(Status::BadRequest,
                           tr("\"limit\" must be a whole number from 1 to %1.").arg(kMaxRunLimit),
                           QStringLiteral("limit"));
    }
    const QString format = query.queryItemValue(QStringLiteral("format")).trimmed();
    if (!format.isEmpty() && format != QLatin1String("json") && format != QLatin1String("csv"))
        return failure(Status::BadRequest, tr("\"format\" must be json or csv."),
                       QStringLiteral("format"));
    const bool csv = format == QLatin1String("csv");
    const QString bomText = query.queryItemValue(QStringLiteral("bom")).trimmed();
    if (!bomText.isEmpty() && bomText != QLatin1String("0") && bomText != QLatin1String("1"))
        return failure(Status::BadRequest, tr("\"bom\" must be 0 or 1."), QStringLiteral("bom"));
    const bool bom = bomText == QLatin1String("1");
    const RunJournal &journal = m_session.journal();
    const QStringList paths{journal.path(), journal.rotatedPath()};
    // Read in a worker: the window's thread schedules the motor and must not wait for a disk.
    Reply later;
    later.later = std::make_shared<QFuture<Reply>>(QtConcurrent::run([paths, since, limit, csv, bom] {
        const JournalPage page = readNewest(paths, since, limit);
        if (!page.error.isEmpty())
            return failure(Status::InternalServerError, page.error);
        if (csv) {
            Reply sheet{Status::Ok, {}};
            // Oldest first, as the JSON answer and the journal itself.
            const QList<QStringList> rows(page.rows.crbegin(), page.rows.crend());
            sheet.csv = RunJournal::exportCsv(rows, bom);
            return sheet;
        }
        return Reply{Status::Ok,
                     QJsonObject{{QStringLiteral("runs"), runsJson(page.rows)},
                                 {QStringLiteral("truncated"), page.truncated}}};
    }));
    return later;
}

RemoteServer::Reply RemoteServer::openApi(const QHttpServerRequest &)
{
    QFile file(QStringLiteral(":/remote/openapi.json"));
    if (!file.open(QIODevice::ReadOnly))
        return failure(Status::InternalServerError, tr("The interface description is missing."));
    QJsonObject api = QJsonDocument::fromJson(file.readAll()).object();
    // The units are the window's own, from its tables.
    QJsonObject components = api.value(QStringLiteral("components")).toObject();
    QJsonObject schemas = components.value(QStringLiteral("schemas")).toObject();
    const struct {
        const char *schema;
        const char *property;
        const QStringList &units;
    } kUnits[] = {{"Dose", "unit", mengeEinheiten()},
                  {"Dose", "pause_unit", zeitEinheiten()},
                  {"Flow", "unit", foerderstromEinheiten()},
                  {"Flow", "duration_unit", zeitEinheiten()}};
    for (const auto &u : kUnits) {
        const QString name = QLatin1String(u.schema);
        QJsonObject schema = schemas.value(name).toObject();
        QJsonObject properties = schema.value(QStringLiteral("properties")).toObject();
        QJsonObject property = properties.value(QLatin1String(u.property)).toObject();
        property.insert(QStringLiteral("enum"), QJsonArray::fromStringList(u.units));
        properties.insert(QLatin1String(u.property), property);
        schema.insert(QStringLiteral("properties"), properties);
        schemas.insert(name, schema);
    }
    components.insert(QStringLiteral("schemas"), schemas);
    api.insert(QStringLiteral("components"), components);
    return {Status::Ok, api};
}

} // namespace vyt
