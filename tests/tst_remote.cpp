// Remote control against the real server on a free port, the real window and the
// in-process simulator: the token, a table of hostile requests, a dose and a flow
// through Start, the refusals while a start is not possible, and the limits a client
// cannot get past. The client is a plain QTcpSocket, so every byte is the test's own.
#include "config/NumberText.h"
#include "config/Units.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "remote/RemoteServer.h"
#include "session/MethodRun.h"
#include "support/AppFixture.h"
#include "support/LineWait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace vyt;
using namespace vyt::test;

namespace {

// The window's line for remote control, as the program wires it.
RemoteLine windowLine(AppFixture &app)
{
    frmPumpensteuerung *window = &app.window();
    return [window](const QString &text, bool warning) { window->setRemoteLine(text, warning); };
}

struct Answer {
    int status = 0; // 0: no answer
    QJsonObject json;
    QByteArray body;
    QByteArray contentType;
};

// With VYT_RECORD_ANSWERS set, each answer goes into that folder with its request's
// method and path, so that tests/openapi can check it against the interface description.
void recordAnswer(const QByteArray &sent, int status, const QByteArray &body,
                  const QByteArray &contentType)
{
    const QString folder = qEnvironmentVariable("VYT_RECORD_ANSWERS");
    if (folder.isEmpty() || status == 0)
        return;
    static int count = 0;
    const QList<QByteArray> requestLine = sent.left(sent.indexOf("\r\n")).split(' ');
    QString test = QString::fromLatin1(QTest::currentTestFunction());
    if (const char *tag = QTest::currentDataTag())
        test += QLatin1Char('/') + QString::fromUtf8(tag);
    const QJsonObject record{{QStringLiteral("test"), test},
                             {QStringLiteral("method"), QString::fromLatin1(requestLine.value(0))},
                             {QStringLiteral("path"), QString::fromLatin1(requestLine.value(1))},
                             {QStringLiteral("status"), status},
                             {QStringLiteral("content_type"), QString::fromLatin1(contentType)},
                             {QStringLiteral("body"), QString::fromUtf8(body)}};
    QFile file(QStringLiteral("%1/%2.json").arg(folder).arg(++count, 5, 10, QLatin1Char('0')));
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(record).toJson()) > 0,
             qPrintable(file.fileName()));
}

// Reads the status line and the body of one answer; the server closes or says how long.
Answer readAnswer(QTcpSocket &socket, int timeoutMs, const QByteArray &sent)
{
    QByteArray in;
    auto complete = [&] {
        in += socket.readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() == QAbstractSocket::UnconnectedState;
        const QByteArray head = in.left(end).toLower();
        const qsizetype at = head.indexOf("content-length:");
        const qsizetype length =
            at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        return in.size() >= end + 4 + length || socket.state() == QAbstractSocket::UnconnectedState;
    };
    if (!QTest::qWaitFor(complete, timeoutMs) || !in.startsWith("HTTP/1.1 "))
        return {};
    const qsizetype end = in.indexOf("\r\n\r\n");
    const int status = in.mid(9, 3).toInt();
    const QByteArray head = in.left(end).toLower();
    const qsizetype type = head.indexOf("content-type:");
    const QByteArray contentType =
        type < 0 ? QByteArray() : head.mid(type + 13, head.indexOf('\r', type) - type - 13).trimmed();
    const QByteArray body = in.mid(end + 4);
    recordAnswer(sent, status, body, contentType);
    return {status, QJsonDocument::fromJson(body).object(), body, contentType};
}

QByteArray request(const QByteArray &method, const QByteArray &path, const QByteArray &body,
                   const QByteArray &authorization)
{
    QByteArray r = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!authorization.isNull())
        r += "Authorization: " + authorization + "\r\n";
    if (method == "POST")
        r +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    return r + "\r\n" + body;
}

// The window against the simulator, its remote control on a free port of this machine.
class Rig {
public:
    Rig()
    {
        QLocale::setDefault(QLocale::c());
        app.sim().setInstantMoves(true);
        ok = dir.isValid() && token.load(dir.filePath(QStringLiteral("remote-token")));
        server = std::make_unique<RemoteServer>(app.window().session(), token);
        QObject::connect(server.get(), &RemoteServer::lineChanged, &app.window(),
                         &frmPumpensteuerung::setRemoteLine);
        ok = ok && server->listen(RemoteAddress{});
        app.messages().clear();
    }

    Answer send(const QByteArray &raw, int timeoutMs = 10000)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server->port());
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; },
                             timeoutMs))
            return {};
        socket.write(raw);
        return readAnswer(socket, timeoutMs, raw);
    }
    Answer get(const QByteArray &path) { return send(request("GET", path, {}, bearer())); }
    Answer post(const QByteArray &path, const QByteArray &body)
    {
        return send(request("POST", path, body, bearer()));
    }
    [[nodiscard]] QByteArray bearer() const { return "Bearer " + token.value(); }

    // Everything sent so far: a marker goes out behind it and the line keeps the order.
    QStringList sent()
    {
        app.window().link().BefehlSenden(QStringLiteral("ZZ"));
        if (!waitForLine(app.sim(), QStringLiteral("ZZ")))
            return {QStringLiteral("<marker never arrived>")};
        QStringList lines = app.sim().receivedLines();
        lines.removeAll(QStringLiteral("ZZ"));
        app.sim().clearReceived();
        return lines;
    }

    AppFixture app;
    QTemporaryDir dir;
    RemoteToken token;
    std::unique_ptr<RemoteServer> server;
    bool ok = false;
};

const QByteArray kDose =
    R"({"quantity": 30, "unit": "µl", "repetitions": 3, "pause": 0, "pause_unit": "ms"})";

QByteArray doseWith(const QByteArray &key, const QByteArray &value)
{
    QJsonObject o = QJsonDocument::fromJson(kDose).object();
    o.insert(QString::fromUtf8(key), QJsonDocument::fromJson("[" + value + "]").array().at(0));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The start of journal row i: a minute apart from 2026-01-01 08:00 local time.
QDateTime rowStart(int i)
{
    return QDateTime(QDate(2026, 1, 1), QTime(8, 0), Qt::LocalTime).addSecs(60LL * i);
}

// Rows from..to-1, note "n<i>", into a journal file of their own, header first.
bool writeJournal(const QString &path, int from, int to)
{
    QByteArray text = RunJournal::csvLine(RunJournal::header());
    for (int i = from; i < to; ++i) {
        RunRecord r;
        r.started = rowStart(i);
        r.ended = r.started.addSecs(30);
        r.port = QStringLiteral("COM1");
        r.mode = QStringLiteral("dosing");
        r.endedBy = QStringLiteral("completed");
        r.note = QStringLiteral("n%1").arg(i);
        text += RunJournal::csvLine(r.fields());
    }
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly) &&
           f.write(text) == text.size();
}

// The journal's files of the window, emptied: each test writes its own.
bool clearJournal(const RunJournal &journal)
{
    QFile::remove(journal.rotatedPath());
    QFile::remove(journal.path());
    return !QFile::exists(journal.path()) && !QFile::exists(journal.rotatedPath());
}

// The answers in bytes received, in order, each body as JSON.
QList<QJsonObject> answersIn(const QByteArray &in)
{
    QList<QJsonObject> answers;
    qsizetype pos = 0;
    for (;;) {
        const qsizetype end = in.indexOf("\r\n\r\n", pos);
        if (end < 0)
            return answers;
        const QByteArray head = in.mid(pos, end - pos).toLower();
        const qsizetype at = head.indexOf("content-length:");
        const qsizetype length =
            at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        if (in.size() < end + 4 + length)
            return answers;
        answers << QJsonDocument::fromJson(in.mid(end + 4, length)).object();
        pos = end + 4 + length;
    }
}

QByteArray sinceRow(int i)
{
    return "since=" + QUrl::toPercentEncoding(RunJournal::timeText(rowStart(i)));
}

QByteArray flow(const QByteArray &rate, const QByteArray &duration, const QByteArray &unit = "s")
{
    return R"({"rate": )" + rate + R"(, "unit": "ml/min", "duration": )" + duration +
           R"(, "duration_unit": ")" + unit + R"("})";
}

} // namespace

class tst_remote : public QObject {
    Q_OBJECT
private slots:
    void address_data();
    void address();
    void tokenFile();
    void listenRefused_data();
    void listenRefused();
    void tokenFileKinds_data();
    void tokenFileKinds();
    void tokenFileProblems_data();
    void tokenFileProblems();
    void refusedTokenTurnsRemoteControlOff();
    void token_data();
    void token();
    void hostile_data();
    void hostile();
    void doseRunsThroughStart();
    void flowStopsAtOnce();
    void startRefused_data();
    void startRefused();
    void operatorStopWins();
    void silentController();
    void slowClientTimesOut();
    void connectionsAreBounded();
    void stopGetsThroughHeldConnections_data();
    void stopGetsThroughHeldConnections();
    void connectionCloseIsHonoured_data();
    void connectionCloseIsHonoured();
    void pipelinedRequestsAreAllAnswered();
    void runsReadBothFiles_data();
    void runsReadBothFiles();
    void methodRunsAndWaitsForContinue_data();
    void methodRunsAndWaitsForContinue();
    void runsAsCsv_data();
    void runsAsCsv();
    void runsAnswerInRequestOrder_data();
    void runsAnswerInRequestOrder();
    void largeReadLeavesWindowFree();
    void openApiNamesTheUnits();
};

void tst_remote::address_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // empty: refused
    QTest::newRow("port only") << "8650"
                               << "127.0.0.1:8650";
    QTest::newRow("loopback") << "127.0.0.1:8650"
                              << "127.0.0.1:8650";
    QTest::newRow("localhost") << "localhost:9000"
                               << "127.0.0.1:9000";
    QTest::newRow("every address") << "0.0.0.0:8650"
                                   << "0.0.0.0:8650";
    QTest::newRow("IPv6") << "[::1]:8650"
                          << "[::1]:8650";
    QTest::newRow("IPv6 bare") << "::1:8650"
                               << "";
    QTest::newRow("port 0") << "0"
                            << "";
    QTest::newRow("port too big") << "65536"
                                  << "";
    QTest::newRow("signed port") << "+8650"
                                 << "";
    QTest::newRow("no port") << "127.0.0.1:"
                             << "";
    QTest::newRow("host name") << "pumps.lab:8650"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_remote::address()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QString why;
    const auto where = parseRemoteAddress(text, &why);
    QCOMPARE(where ? where->text() : QString(), expected);
    QCOMPARE(why.isEmpty(), where.has_value());
}

void tst_remote::tokenFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sub/remote-token"));
    RemoteToken first;
    QVERIFY2(first.load(path), qPrintable(first.error()));
    QCOMPARE(first.value().size(), 2 * RemoteToken::kBytes);
    const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                        QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(path) & others, QFileDevice::Permissions());
    RemoteToken again;
    QVERIFY(again.load(path));
    QCOMPARE(again.value(), first.value());
    // Readable by others: tightened, still the same token.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QVERIFY(again.load(path));
    QCOMPARE(QFile::permissions(path) & others, QFileDevice::Permissions());
    // A file that holds no token is not taken, and not written over.
    QFile damaged(path);
    QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write("secret\n");
    damaged.close();
    RemoteToken third;
    QVERIFY(!third.load(path));
    QVERIFY(third.error().contains(QStringLiteral("holds no token")));
    QVERIFY(!third.admits("Bearer "));
}

void tst_remote::listenRefused_data()
{
    QTest::addColumn<QString>("address"); // "<taken>": a port another socket holds
    QTest::addColumn<QString>("line");    // "<port>" stands for the port
    QTest::newRow("address in use")
        << "<taken>"
        << "Remote control is off: it cannot listen on 127.0.0.1:<port> (the bound address is "
           "already in use).";
    QTest::newRow("address of no interface")
        << "192.0.2.1"
        << "Remote control is off: it cannot listen on 192.0.2.1:<port> (the address is not "
           "available).";
}

void tst_remote::listenRefused()
{
    QFETCH(QString, address);
    QFETCH(QString, line);
    AppFixture app;
    QTcpServer other;
    RemoteAddress where{QHostAddress(QHostAddress::LocalHost), kDefaultRemotePort};
    if (address == QLatin1String("<taken>")) {
        QVERIFY(other.listen(QHostAddress::LocalHost));
        where.port = other.serverPort();
    } else {
        where.address = QHostAddress(address);
    }
    app.messages().clear();
    QVERIFY(!startRemoteControl(app.window().session(), where, windowLine(app)));
    QCOMPARE(app.find<QLabel>("lblRemote")->text(),
             line.replace(QStringLiteral("<port>"), QString::number(where.port)));
    QCOMPARE(app.messages().count(), 0);
}

namespace {

const QByteArray kTokenText = QByteArray(64, 'a') + '\n';

// Puts a file of that kind at path; false when the machine cannot make one.
bool makeTokenFile(const QString &kind, const QString &path)
{
    auto write = [](const QString &file, const QByteArray &bytes, QFileDevice::Permissions mode) {
        QFile f(file);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() &&
               f.setPermissions(mode);
    };
    const auto own = QFile::ReadOwner | QFile::WriteOwner;
    const auto shared = own | QFile::ReadGroup | QFile::ReadOther;
    if (kind == QLatin1String("private"))
        return write(path, kTokenText, own);
    if (kind == QLatin1String("shared"))
        return write(path, kTokenText, shared);
    if (kind == QLatin1String("link"))
        return write(path + QStringLiteral(".target"), kTokenText, shared) &&
               QFile::link(path + QStringLiteral(".target"), path);
    if (kind == QLatin1String("folder"))
        return QDir().mkpath(path);
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (kind == QLatin1String("empty"))
        return write(path, {}, own);
    if (kind == QLatin1String("long"))
        return write(path, kTokenText + QByteArray(4096, ' '), own);
    if (kind == QLatin1String("other user"))
        return write(path, kTokenText, own) &&
               ::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0;
    return false;
}

} // namespace

void tst_remote::tokenFileKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal"); // empty: the token is used
    QTest::newRow("regular private file") << "private"
                                          << "";
    QTest::newRow("0644, made private") << "shared"
                                        << "";
    QTest::newRow("symlink to a 0644 file") << "link"
                                            << "it is a symbolic link";
    QTest::newRow("directory") << "folder"
                               << "it is not a regular file";
    QTest::newRow("FIFO") << "fifo"
                          << "it is not a regular file";
    QTest::newRow("empty file") << "empty"
                                << "holds no token";
    QTest::newRow("over-long file") << "long"
                                    << "it is too long to hold a token";
    QTest::newRow("another user's file") << "other user"
                                         << "it belongs to another user";
}

void tst_remote::tokenFileKinds()
{
    QFETCH(QString, kind);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("remote-token"));
    if (!makeTokenFile(kind, path))
        QSKIP("this machine cannot make such a file");
    RemoteToken token;
    const bool used = token.load(path);
    QCOMPARE(used, refusal.isEmpty());
    if (used) {
        QCOMPARE(token.value(), kTokenText.trimmed());
        struct stat facts {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &facts), 0);
        QCOMPARE(facts.st_mode & 0777, mode_t(0600));
        return;
    }
    QVERIFY2(token.error().contains(refusal), qPrintable(token.error()));
    QVERIFY(token.error().contains(QDir::toNativeSeparators(path)));
    QVERIFY(token.value().isEmpty());
    QVERIFY(!token.admits("Bearer " + kTokenText.trimmed()));
    // A link's target is not touched: it is not ours to change.
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::permissions(path + QStringLiteral(".target")) & QFile::ReadOther);
}

void tst_remote::tokenFileProblems_data()
{
    QTest::addColumn<bool>("symlink");
    QTest::addColumn<bool>("regular");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("problem");
    QTest::newRow("private") << false << true << 1000U << 0600U << qint64(65) << "";
    QTest::newRow("read-only for the owner") << false << true << 1000U << 0400U << qint64(65) << "";
    // What fstat shows after a chmod a file system did not carry out.
    QTest::newRow("still 0644 after the chmod")
        << false << true << 1000U << 0644U << qint64(65)
        << "cannot be made readable by its owner only (mode 0644)";
    QTest::newRow("group may write") << false << true << 1000U << 0620U << qint64(65)
                                     << "cannot be made readable by its owner only (mode 0620)";
    QTest::newRow("someone else's")
        << false << true << 1001U << 0600U << qint64(65) << "belongs to another user";
    QTest::newRow("symbolic link")
        << true << false << 1000U << 0777U << qint64(10) << "is a symbolic link";
    QTest::newRow("not a file") << false << false << 1000U << 0600U << qint64(0)
                                << "is not a regular file";
    QTest::newRow("too long") << false << true << 1000U << 0600U << qint64(257)
                              << "is too long to hold a token";
}

void tst_remote::tokenFileProblems()
{
    QFETCH(bool, symlink);
    QFETCH(bool, regular);
    QFETCH(uint, owner);
    QFETCH(uint, mode);
    QFETCH(qint64, size);
    QFETCH(QString, problem);
    QCOMPARE(tokenFileProblem({symlink, regular, owner, 1000U, mode, size}), problem);
}

void tst_remote::refusedTokenTurnsRemoteControlOff()
{
    AppFixture app;
    const QString path = RemoteToken::defaultPath();
    QFile::remove(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    const auto server = startRemoteControl(app.window().session(), RemoteAddress{}, windowLine(app));
    QFile::remove(path);
    QVERIFY(!server);
    const auto *line = app.find<QLabel>("lblRemote");
    QVERIFY(line);
    QVERIFY2(line->text().startsWith(QStringLiteral("Remote control is off: ")) &&
                 line->text().contains(QStringLiteral("it is not a regular file")),
             qPrintable(line->text()));
}

void tst_remote::token_data()
{
    QTest::addColumn<QByteArray>("authorization"); // "<token>" stands for the token
    QTest::addColumn<int>("status");
    QTest::newRow("none") << QByteArray() << 401;
    QTest::newRow("empty") << QByteArray("") << 401;
    QTest::newRow("wrong") << QByteArray("Bearer 0123") << 401;
    QTest::newRow("other scheme") << QByteArray("Basic <token>") << 401;
    QTest::newRow("token alone") << QByteArray("<token>") << 401;
    QTest::newRow("one character short") << QByteArray("Bearer <token-1>") << 401;
    QTest::newRow("one character more") << QByteArray("Bearer <token>0") << 401;
    QTest::newRow("right") << QByteArray("Bearer <token>") << 200;
    QTest::newRow("scheme in lower case") << QByteArray("bearer <token>") << 200;
}

void tst_remote::token()
{
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);
    Rig rig;
    QVERIFY(rig.ok);
    (void)rig.sent();
    const QByteArray value = rig.token.value();
    authorization.replace("<token-1>", value.chopped(1)).replace("<token>", value);
    // A stop is the one request that acts whatever the state: refused, it sends nothing.
    const Answer answer = rig.send(request("POST", "/v1/stop", {}, authorization));
    QCOMPARE(answer.status, status);
    const QStringList expected = status == 200 ? QStringList{"SOR 0", "V 0"} : QStringList{};
    QCOMPARE(rig.sent(), expected);
    QCOMPARE(rig.app.messages().count(), 0);
}

void tst_remote::hostile_data()
{
    QTest::addColumn<QByteArray>("raw"); // a whole request; "<auth>" stands for the header
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("field");   // "*": any or none
    QTest::addColumn<QString>("message"); // a part of it; empty: any

    auto post = [](const QByteArray &path, const QByteArray &body) {
        return request("POST", path, body, "<auth>");
    };
    QTest::newRow("malformed JSON") << post("/v1/dose", R"({"quantity": 30,)") << 400 << "*"
                                    << "no valid JSON";
    QTest::newRow("array") << post("/v1/dose", "[30]") << 400 << "*"
                           << "JSON object";
    QTest::newRow("empty body") << post("/v1/dose", "") << 400 << "*"
                                << "";
    QTest::newRow("NUL bytes") << post("/v1/dose", QByteArray(8, '\0')) << 400 << "*"
                               << "";
    QTest::newRow("not UTF-8") << post("/v1/dose", "{\"unit\": \"\xff\xfe\"}") << 400 << "*"
                               << "";
    QTest::newRow("quantity as text")
        << post("/v1/dose", doseWith("quantity", R"("30")")) << 400 << "txtMenge"
        << "must be a number";
    QTest::newRow("quantity as object")
        << post("/v1/dose", doseWith("quantity", R"({"v": 1})")) << 400 << "txtMenge"
        << "";
    QTest::newRow("quantity 1E39")
        << post("/v1/dose", doseWith("quantity", "-1E39")) << 400 << "txtMenge"
        << "Please enter a real number.";
    QTest::newRow("quantity 1e400") << post("/v1/dose", doseWith("quantity", "1e400")) << 400 << "*"
                                    << "";
    QTest::newRow("dose too large")
        << post("/v1/dose", doseWith("quantity", "1E30")) << 400 << "txtMenge"
        << "Please enter a value from -";
    QTest::newRow("unknown field") << post("/v1/dose", doseWith("volume", "30")) << 400 << "volume"
                                   << "Unknown field";
    QTest::newRow("missing field")
        << post("/v1/dose",
                R"({"quantity": 30, "unit": "µl", "repetitions": 1, "pause_unit": "s"})")
        << 400 << "txtPause"
        << "missing";
    QTest::newRow("unit not in the table")
        << post("/v1/dose", doseWith("unit", R"("ul")")) << 400 << "cboMengeEinheit"
        << "\"µl\", \"mg\", \"rev.\"";
    QTest::newRow("unit with a blank")
        << post("/v1/dose", doseWith("unit", R"("µ l")")) << 400 << "cboMengeEinheit"
        << "";
    QTest::newRow("unit as number")
        << post("/v1/dose", doseWith("unit", "0")) << 400 << "cboMengeEinheit"
        << "";
    QTest::newRow("pause negative")
        << post("/v1/dose", doseWith("pause", "-1")) << 400 << "txtPause"
        << "Please enter a positve real number.";
    QTest::newRow("repetitions 0")
        << post("/v1/dose", doseWith("repetitions", "0")) << 400 << "txtWiederholung"
        << "Please enter a positive integer number.";
    QTest::newRow("repetitions 40000")
        << post("/v1/dose", doseWith("repetitions", "40000")) << 400 << "txtWiederholung"
        << "Please enter a positive integer number.";
    QTest::newRow("repetitions forever")
        << post("/v1/dose", doseWith("repetitions", R"("forever")")) << 400 << "txtWiederholung"
        << "\"endless\"";
    QTest::newRow("duration negative") << post("/v1/flow", flow("5", "-1")) << 400 << "txtDauer"
                                       << "Please enter a positive real number.";
    QTest::newRow("flow too fast") << post("/v1/flow", flow("1E6", "1")) << 400 << "txtFoerderstrom"
                                   << "The continuous flow needs a velocity of ";
    QTest::newRow("flow over 24 h")
        << post("/v1/flow", flow("5", "1441", "min")) << 400 << "txtDauer"
        << "86400 sec";
    QTest::newRow("body over 64 KiB")
        << post("/v1/dose", doseWith("quantity", "\"" + QByteArray(70000, 'x') + "\"")) << 413
        << "*"
        << "64 KiB";
    QTest::newRow("body of 1 MiB") << post("/v1/dose", QByteArray(1 << 20, ' ')) << 413 << "*"
                                   << "64 KiB";
    QTest::newRow("wrong method") << request("GET", "/v1/dose", {}, "<auth>") << 405 << "*"
                                  << "POST";
    QTest::newRow("unknown path") << request("GET", "/v1/pump", {}, "<auth>") << 404 << "*"
                                  << "";
    QTest::newRow("limit of 0") << request("GET", "/v1/runs?limit=0", {}, "<auth>") << 400
                                << "limit"
                                << "limit";
    QTest::newRow("limit too large")
        << request("GET", "/v1/runs?limit=10001", {}, "<auth>") << 400 << "limit"
        << "limit";
    QTest::newRow("limit no number") << request("GET", "/v1/runs?limit=all", {}, "<auth>") << 400
                                     << "limit"
                                     << "limit";
    QTest::newRow("since not a time")
        << request("GET", "/v1/runs?since=yesterday", {}, "<auth>") << 400 << "since"
        << "ISO 8601";
    QTest::newRow("format unknown") << request("GET", "/v1/runs?format=xlsx", {}, "<auth>") << 400
                                    << "format"
                                    << "json or csv";
    QTest::newRow("bom neither 0 nor 1")
        << request("GET", "/v1/runs?format=csv&bom=yes", {}, "<auth>") << 400 << "bom"
        << "0 or 1";
    QTest::newRow("a key given twice")
        << post("/v1/dose", R"({"quantity": 1, "quantity": 5, "unit": "µl", "repetitions": 1, )"
                            R"("pause": 0, "pause_unit": "ms"})")
        << 400 << "quantity" << "given twice";
    QTest::newRow("a key given twice, once escaped")
        << post("/v1/dose", R"({"quantity": 1, "quan\u0074ity": 5, "unit": "µl", "repetitions": 1, )"
                            R"("pause": 0, "pause_unit": "ms"})")
        << 400 << "quantity" << "given twice";
    QTest::newRow("fullwidth unit") << post("/v1/dose", doseWith("unit", "\"\uFF4D\uFF47\""))
                                    << 400 << "cboMengeEinheit" << "must be one of";
    QTest::newRow("squared microlitre sign") << post("/v1/dose", doseWith("unit", "\"\u3395\""))
                                             << 400 << "cboMengeEinheit" << "must be one of";
    // The HTTP server closes a connection that speaks no HTTP, without a word.
    QTest::newRow("no HTTP at all") << QByteArray("\x16\x03\x01 hello\r\n\r\n") << 0 << "*"
                                    << "";
}

void tst_remote::hostile()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, status);
    QFETCH(QString, field);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.ok);
    (void)rig.sent();
    const QStringList before{rig.app.find<QLineEdit>("txtMenge")->text(),
                             rig.app.find<QLineEdit>("txtWiederholung")->text(),
                             rig.app.find<QComboBox>("cboMengeEinheit")->currentText()};
    const Answer answer = rig.send(raw.replace("<auth>", rig.bearer()));
    QCOMPARE(answer.status, status);
    if (field != QLatin1String("*"))
        QCOMPARE(answer.json.value(QStringLiteral("field")).toString(), field);
    QVERIFY2(answer.json.value(QStringLiteral("message")).toString().contains(message),
             qPrintable(answer.json.value(QStringLiteral("message")).toString()));
    // Nothing happened: no box, nothing on the line, the window as it was.
    QCOMPARE(rig.app.messages().count(), 0);
    QCOMPARE(rig.sent(), QStringList{});
    QCOMPARE((QStringList{rig.app.find<QLineEdit>("txtMenge")->text(),
                          rig.app.find<QLineEdit>("txtWiederholung")->text(),
                          rig.app.find<QComboBox>("cboMengeEinheit")->currentText()}),
             before);
    // And the server still answers.
    QCOMPARE(rig.get("/v1/status").status, 200);
}

void tst_remote::doseRunsThroughStart()
{
    Rig rig;
    QVERIFY(rig.ok);
    rig.app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1); // 3 µl a revolution, 16 lines
    rig.app.messages().clear();
    (void)rig.sent();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    // The Greek mu is the same unit as the micro sign the window writes.
    const Answer answer = rig.post("/v1/dose", doseWith("unit", "\"\u03bcl\""));
    QCOMPARE(answer.status, 200);
    QVERIFY(rig.app.waitForRunEnd());
    // The controller's version first (it had not answered yet), then the window's own run.
    QCOMPARE(rig.sent(),
             (QStringList{"VER",     "SP 6000", "AC 500", "LCC 230", "LPC 400", "DIPROG", "SOR 0",
                          "CONTMOD", "HO",      "LA 0",   "M",       "LA 640",  "NP 640", "M",
                          "LA 1280", "NP 1280", "M",      "LA 1920", "NP 1920", "M"}));
    // The values stand in the window as if typed.
    QCOMPARE(rig.app.find<QLineEdit>("txtMenge")->text(), QStringLiteral("30"));
    QCOMPARE(rig.app.find<QLineEdit>("txtWiederholung")->text(), QStringLiteral("3"));
    QCOMPARE(rig.app.find<QComboBox>("cboMengeEinheit")->currentText(), mengeEinheiten().at(0));
    QCOMPARE(rig.app.state().settings.Menge, 30.0f);
    QCOMPARE(rig.app.messages().count(), 0);
    const Answer runs = rig.get("/v1/runs?since=" + before.toString(Qt::ISODate).toUtf8());
    QCOMPARE(runs.status, 200);
    const QJsonArray rows = runs.json.value(QStringLiteral("runs")).toArray();
    QCOMPARE(rows.size(), 1);
    const QJsonObject row = rows.at(0).toObject();
    QCOMPARE(row.value(QStringLiteral("set_value")).toDouble(), 30.0);
    QCOMPARE(row.value(QStringLiteral("unit")).toString(), mengeEinheiten().at(0));
    QCOMPARE(row.value(QStringLiteral("doses_done")).toDouble(), 3.0);
    QCOMPARE(row.value(QStringLiteral("ended_by")).toString(), QStringLiteral("completed"));
    QCOMPARE(row.value(QStringLiteral("note")).toString(), QStringLiteral("remote 127.0.0.1"));
}

void tst_remote::methodRunsAndWaitsForContinue_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("field");   // of a refusal
    QTest::addColumn<QString>("message"); // a refusal's message begins so
    const QByteArray prompt = R"({"prompt": {"text": "Place the vial."}})";
    const QByteArray dose =
        R"({"dose": {"quantity": 30, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}})";
    QTest::newRow("prompt, then a dose")
        << R"({"format": "vyt-method/1", "name": "Vial", "steps": [)" + prompt + ", " + dose + "]}"
        << 200 << "" << "";
    QTest::newRow("a step refused for the pump")
        << QByteArray(R"({"format": "vyt-method/1", "name": "Big", "steps": [{"repeat": {"count": 2, "steps": [{"dose": {"quantity": 1e12, "unit": "µl", "repetitions": 1, "pause": 0, "pause_unit": "ms"}}]}}]})")
        << 400 << "step 1.1" << "step 1.1 (dose): Please enter a value";
    QTest::newRow("no method") << QByteArray(R"({"name": "x"})") << 400 << ""
                               << "\"format\" must be \"vyt-method/1\".";
}

void tst_remote::methodRunsAndWaitsForContinue()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, field);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.ok);
    rig.app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1); // 3 µl a revolution, 16 lines
    rig.app.messages().clear();
    QVERIFY(clearJournal(rig.app.window().runJournal()));
    (void)rig.sent();
    Answer answer = rig.post("/v1/methods/run", body);
    QCOMPARE(answer.status, status);
    if (status != 200) {
        QCOMPARE(answer.json.value(QStringLiteral("field")).toString(), field);
        QVERIFY2(answer.json.value(QStringLiteral("message")).toString().startsWith(message),
                 qPrintable(answer.json.value(QStringLiteral("message")).toString()));
        QCOMPARE(rig.sent(), QStringList());
        return;
    }
    // It waits at the prompt: the status says so, nothing moves, no other start is taken.
    answer = rig.get("/v1/status");
    const QJsonObject method = answer.json.value(QStringLiteral("method")).toObject();
    QCOMPARE(method.value(QStringLiteral("name")).toString(), QStringLiteral("Vial"));
    QCOMPARE(method.value(QStringLiteral("step")).toInt(), 1);
    QCOMPARE(method.value(QStringLiteral("steps")).toInt(), 2);
    QCOMPARE(method.value(QStringLiteral("prompt")).toString(), QStringLiteral("Place the vial."));
    QCOMPARE(rig.post("/v1/dose", doseWith("unit", "\"µl\"")).status, 409);
    QCOMPARE(rig.post("/v1/methods/run", body).status, 409);
    answer = rig.post("/v1/methods/continue", {});
    QCOMPARE(answer.status, 200);
    QVERIFY(rig.app.waitForRunEnd());
    QTRY_VERIFY(!rig.app.window().session().methods().running());
    QCOMPARE(rig.post("/v1/methods/continue", {}).status, 409); // nothing waits now
    QVERIFY(rig.sent().contains(QStringLiteral("NP 640")));
    QCOMPARE(rig.get("/v1/status").json.value(QStringLiteral("method")), QJsonValue(QJsonValue::Null));
    const QJsonArray rows = rig.get("/v1/runs").json.value(QStringLiteral("runs")).toArray();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).toObject().value(QStringLiteral("note")).toString(),
             QStringLiteral("remote 127.0.0.1: method Vial step 2/2"));
}

void tst_remote::flowStopsAtOnce()
{
    Rig rig;
    QVERIFY(rig.ok);
    rig.app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    rig.app.messages().clear();
    Answer answer = rig.post("/v1/flow", flow("5", "0"));
    QCOMPARE(answer.status, 200);
    QVERIFY(waitForLine(rig.app.sim(), QStringLiteral("V 1667")));
    QVERIFY(rig.app.find<QCheckBox>("cbxEndlosFoerderung")->isChecked());
    const QJsonObject run = rig.get("/v1/status").json.value(QStringLiteral("run")).toObject();
    QCOMPARE(run.value(QStringLiteral("mode")).toString(), QStringLiteral("flow"));
    QCOMPARE(run.value(QStringLiteral("started_by")).toString(), QStringLiteral("127.0.0.1"));
    QVERIFY(run.value(QStringLiteral("time_left_s")).isNull());
    QVERIFY(rig.app.find<QLabel>("lblRemote")
                ->text()
                .endsWith(QStringLiteral("run started by 127.0.0.1")));
    rig.app.sim().clearReceived();
    answer = rig.post("/v1/stop", {});
    QCOMPARE(answer.status, 200);
    // Stop's own commands went out before the answer; the run's end repeats them.
    QCOMPARE(rig.app.sim().receivedLines().mid(0, 2), QStringList{} << "SOR 0"
                                                                    << "V 0");
    QVERIFY(rig.app.waitForRunEnd());
    QCOMPARE(rig.get("/v1/status").json.value(QStringLiteral("running")).toBool(), false);
    QCOMPARE(rig.app.find<QLabel>("lblRemote")->text(), rig.server->lineText());
    // A flow has no repetitions: the journal answers null there.
    const QJsonArray rows = rig.get("/v1/runs").json.value(QStringLiteral("runs")).toArray();
    QVERIFY(!rows.isEmpty());
    const QJsonObject row = rows.last().toObject();
    QCOMPARE(row.value(QStringLiteral("mode")).toString(), QStringLiteral("flow"));
    QVERIFY(row.value(QStringLiteral("repetitions")).isNull());
}

void tst_remote::startRefused_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message");
    QTest::newRow("a run is going on") << "running"
                                       << "A run is going on.";
    QTest::newRow("a modal window is open") << "modal"
                                            << "A window is open in front of the operator";
    QTest::newRow("no port open") << "no port"
                                  << "The port is not open";
    QTest::newRow("potentiometer mode") << "potentiometer"
                                        << "Potentiometer mode is on.";
    QTest::newRow("operator's entry refused") << "typing"
                                              << "The operator is typing in txtDichte.";
    QTest::newRow("operator typing a valid entry") << "typing valid"
                                                   << "The operator is typing in txtMenge.";
    QTest::newRow("calibration helper open") << "calibration"
                                             << "The calibration helper is open.";
}

void tst_remote::startRefused()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.ok);
    rig.app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    rig.app.messages().clear();
    QDialog dialog(&rig.app.window());
    if (situation == QLatin1String("running")) {
        rig.app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
        rig.app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
        rig.app.find<QPushButton>("cmdStart")->click();
        QVERIFY(rig.app.window().running());
    } else if (situation == QLatin1String("modal")) {
        dialog.setModal(true);
        dialog.show();
    } else if (situation == QLatin1String("no port")) {
        rig.app.state().SchnittstelleOffen = false;
    } else if (situation == QLatin1String("potentiometer")) {
        (void)test::readReply(rig.app.window().link(), QStringLiteral("VER"));
        rig.app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
        rig.app.find<QCheckBox>("cbxPotentiometer")->setChecked(true);
    } else if (situation == QLatin1String("typing valid")) {
        auto *menge = rig.app.find<QLineEdit>("txtMenge");
        menge->setFocus();
        menge->setText(QStringLiteral("2"));
    } else if (situation == QLatin1String("calibration")) {
        rig.app.window().showCalibration();
    } else {
        rig.app.find<QLineEdit>("txtDichte")->setText(QStringLiteral("abc"));
    }
    (void)rig.sent();
    const QString menge = rig.app.find<QLineEdit>("txtMenge")->text();
    const Answer answer = rig.post("/v1/dose", kDose);
    QCOMPARE(answer.status, 409);
    QVERIFY2(answer.json.value(QStringLiteral("message")).toString().startsWith(message),
             qPrintable(answer.json.value(QStringLiteral("message")).toString()));
    QCOMPARE(rig.sent(), QStringList{});
    QCOMPARE(rig.app.find<QLineEdit>("txtMenge")->text(), menge);
    QCOMPARE(rig.app.messages().count(), 0);
    rig.app.state().SchnittstelleOffen = true;
    rig.app.find<QPushButton>("cmdStop")->click();
    QVERIFY(rig.app.waitForRunEnd());
}

void tst_remote::operatorStopWins()
{
    Rig rig;
    QVERIFY(rig.ok);
    // The controller answers the version late: Stop is pressed while the start waits.
    rig.app.sim().setFault(sim::Fault::LateJustUnder, 400);
    QTimer operatorHand;
    operatorHand.setInterval(1);
    connect(&operatorHand, &QTimer::timeout, this, [&] {
        if (!rig.app.window().link().line().queryInFlight())
            return;
        operatorHand.stop();
        rig.app.find<QPushButton>("cmdStop")->click();
    });
    operatorHand.start();
    const Answer answer = rig.post("/v1/dose", kDose);
    QCOMPARE(answer.status, 409);
    QVERIFY(answer.json.value(QStringLiteral("message"))
                .toString()
                .startsWith(QStringLiteral("Stop was pressed")));
    QVERIFY(!rig.app.window().running());
    const QStringList sent = rig.sent();
    QVERIFY2(!sent.contains(QStringLiteral("DIPROG")), qPrintable(sent.join(QLatin1Char('|'))));
    QCOMPARE(rig.app.messages().count(), 0);
}

void tst_remote::silentController()
{
    Rig rig;
    QVERIFY(rig.ok);
    rig.app.sim().setFault(sim::Fault::Silent);
    // Another request is answered while the start waits for the controller.
    int statusDuringWait = 0;
    QTimer other;
    other.setInterval(1);
    connect(&other, &QTimer::timeout, this, [&] {
        if (!rig.app.window().link().line().queryInFlight())
            return;
        other.stop();
        statusDuringWait = rig.get("/v1/status").status;
    });
    other.start();
    const Answer answer = rig.post("/v1/dose", kDose);
    QCOMPARE(answer.status, 503);
    QCOMPARE(answer.json.value(QStringLiteral("message")).toString(),
             QStringLiteral("Pump controller on serial port Com1: doesn't respond."));
    QCOMPARE(statusDuringWait, 200);
    QCOMPARE(rig.app.messages().count(), 0); // the operator did not ask: no box
    QCOMPARE(rig.sent(), QStringList{"VER"});
}

void tst_remote::slowClientTimesOut()
{
    Rig rig;
    QVERIFY(rig.ok);
    ConnectionLimits limits = rig.server->guard().limits();
    limits.timeoutMs = 300;
    rig.server->guard().setLimits(limits);
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, rig.server->port());
    QVERIFY(QTest::qWaitFor([&] { return slow.state() == QAbstractSocket::ConnectedState; }));
    const QByteArray partial("GET /v1/status HTTP/1.1\r\nAuthor");
    slow.write(partial);
    const Answer answer = readAnswer(slow, 5000, partial);
    QCOMPARE(answer.status, 408);
    QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->guard().connectionCount(), 0, 5000);
}

void tst_remote::connectionsAreBounded()
{
    // Held connections without the token make way for a new one, oldest first; beyond
    // the ceiling of all connections even a client with the token is refused.
    Rig rig;
    QVERIFY(rig.ok);
    ConnectionLimits limits = rig.server->guard().limits();
    limits.maxConnections = 3;
    limits.maxTotal = 5;
    rig.server->guard().setLimits(limits);
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < limits.maxConnections; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->connectToHost(QHostAddress::LocalHost, rig.server->port());
        QTRY_COMPARE_WITH_TIMEOUT(rig.server->guard().connectionCount(), i + 1, 5000);
    }
    QCOMPARE(rig.get("/v1/status").status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(held.front()->state(), QAbstractSocket::UnconnectedState, 5000);
    for (std::size_t i = 1; i < held.size(); ++i)
        QCOMPARE(held[i]->state(), QAbstractSocket::ConnectedState);
    // Kept-alive connections that brought the token fill the rest up to the ceiling.
    std::vector<std::unique_ptr<QTcpSocket>> admitted;
    while (rig.server->guard().connectionCount() < limits.maxTotal) {
        admitted.push_back(std::make_unique<QTcpSocket>());
        admitted.back()->connectToHost(QHostAddress::LocalHost, rig.server->port());
        QVERIFY(admitted.back()->waitForConnected(5000));
        const QByteArray raw = request("GET", "/v1/status", {}, rig.bearer());
        admitted.back()->write(raw);
        QCOMPARE(readAnswer(*admitted.back(), 5000, raw).status, 200);
    }
    QCOMPARE(rig.get("/v1/status").status, 503);
}

void tst_remote::stopGetsThroughHeldConnections_data()
{
    QTest::addColumn<QByteArray>("held"); // what each held connection has sent
    QTest::newRow("idle") << QByteArray();
    QTest::newRow("half a request") << QByteArray("GET /v1/status HTTP/1.1\r\nAuthor");
    QTest::newRow("a request without the token, kept alive")
        << request("GET", "/v1/status", {}, QByteArray());
}

void tst_remote::stopGetsThroughHeldConnections()
{
    // Another process without the token holds every connection and reconnects whenever
    // one is cut: a stop with the token still stops the flow at once.
    QFETCH(QByteArray, held);
    Rig rig;
    QVERIFY(rig.ok);
    const int cap = rig.server->guard().limits().maxConnections;
    std::vector<std::unique_ptr<QTcpSocket>> hogs;
    auto refill = [&] {
        hogs.erase(std::remove_if(hogs.begin(), hogs.end(),
                                  [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; }),
                   hogs.end());
        while (int(hogs.size()) < cap + 4) {
            hogs.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket *s = hogs.back().get();
            s->connectToHost(QHostAddress::LocalHost, rig.server->port());
            if (!held.isEmpty())
                QObject::connect(s, &QTcpSocket::connected, s, [s, held] { s->write(held); });
        }
    };
    QTimer hog;
    QObject::connect(&hog, &QTimer::timeout, refill);
    refill();
    hog.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(rig.server->guard().connectionCount() >= cap, 5000);
    const QByteArray endless = flow("5", "0");
    QCOMPARE(rig.post("/v1/flow", endless).status, 200);
    QVERIFY(rig.app.window().running());
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer took;
        took.start();
        const Answer answer = rig.post("/v1/stop", "{}");
        QCOMPARE(answer.status, 200);
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString::number(took.elapsed())));
        QVERIFY(rig.app.waitForRunEnd(2000));
        if (i + 1 < 5)
            QCOMPARE(rig.post("/v1/flow", endless).status, 200);
    }
    hog.stop();
    // The held connections were the ones closed, never the ones with the token.
    QVERIFY(rig.server->guard().connectionCount() <= cap + 1);
}

void tst_remote::connectionCloseIsHonoured_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("token");
    QTest::addColumn<int>("status");
    QTest::newRow("200") << QByteArray("/v1/status") << true << 200;
    QTest::newRow("401") << QByteArray("/v1/status") << false << 401;
    QTest::newRow("404") << QByteArray("/v1/nothing") << true << 404;
}

void tst_remote::connectionCloseIsHonoured()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, token);
    QFETCH(int, status);
    Rig rig;
    QVERIFY(rig.ok);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, rig.server->port());
    QVERIFY(socket.waitForConnected(5000));
    QByteArray raw = request("GET", path, {}, token ? rig.bearer() : QByteArray());
    raw.insert(raw.indexOf("\r\n\r\n"), "\r\nConnection: close");
    socket.write(raw);
    QElapsedTimer took;
    took.start();
    QCOMPARE(readAnswer(socket, 5000, raw).status, status);
    // Closed after the answer, not at the idle cut 10 s later.
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 2000);
    QVERIFY(took.elapsed() < 2000);
}

void tst_remote::pipelinedRequestsAreAllAnswered()
{
    Rig rig;
    QVERIFY(rig.ok);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, rig.server->port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request("GET", "/v1/status", {}, rig.bearer()) + request("GET", "/v1/nothing", {}, rig.bearer()) +
                 request("POST", "/v1/stop", "{}", rig.bearer()));
    QByteArray in;
    QTRY_VERIFY_WITH_TIMEOUT((in += socket.readAll()).count("HTTP/1.1 ") >= 3, 5000);
    QCOMPARE(in.count("HTTP/1.1 200"), 2);
    QCOMPARE(in.count("HTTP/1.1 404"), 1);
}

void tst_remote::runsReadBothFiles_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("truncated");
    QTest::addColumn<QString>("oldest");
    // Rows 0..1499 in runs.csv.1, 1500..1999 in runs.csv.
    QTest::newRow("default limit") << QByteArray() << 1000 << true << "n1000";
    QTest::newRow("limit") << QByteArray("?limit=10") << 10 << true << "n1990";
    QTest::newRow("since in the current") << "?" + sinceRow(1700) << 300 << false << "n1700";
    QTest::newRow("since in the rotated")
        << "?" + sinceRow(100) + "&limit=5000" << 1900 << false << "n100";
    QTest::newRow("since a month before")
        << QByteArray("?since=2025-12-01&limit=2000") << 2000 << false << "n0";
    QTest::newRow("since a month before, limit")
        << QByteArray("?since=2025-12-01&limit=1999") << 1999 << true << "n1";
}

void tst_remote::runsReadBothFiles()
{
    QFETCH(QByteArray, query);
    QFETCH(int, count);
    QFETCH(bool, truncated);
    QFETCH(QString, oldest);
    Rig rig;
    QVERIFY(rig.ok);
    const RunJournal &journal = rig.app.window().runJournal();
    QVERIFY(clearJournal(journal));
    QVERIFY(writeJournal(journal.rotatedPath(), 0, 1500));
    QVERIFY(writeJournal(journal.path(), 1500, 2000));
    const Answer answer = rig.get("/v1/runs" + query);
    QCOMPARE(answer.status, 200);
    const QJsonArray rows = answer.json.value(QStringLiteral("runs")).toArray();
    QCOMPARE(rows.size(), count);
    QCOMPARE(answer.json.value(QStringLiteral("truncated")).toBool(), truncated);
    // Oldest first, the newest last.
    QCOMPARE(rows.first().toObject().value(QStringLiteral("note")).toString(), oldest);
    QCOMPARE(rows.last().toObject().value(QStringLiteral("note")).toString(),
             QStringLiteral("n1999"));
}

void tst_remote::runsAsCsv_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<bool>("bom");
    QTest::newRow("csv") << QByteArray("?format=csv") << false;
    QTest::newRow("csv with bom") << QByteArray("?format=csv&bom=1") << true;
    QTest::newRow("csv, bom 0, limit") << QByteArray("?format=csv&bom=0&limit=2") << false;
}

void tst_remote::runsAsCsv()
{
    // The export a spreadsheet opens: oldest first, every column, formula-like text defused
    // (a client name or a note is anyone's text), the journal itself left exact.
    QFETCH(QByteArray, query);
    QFETCH(bool, bom);
    Rig rig;
    QVERIFY(rig.ok);
    const RunJournal &journal = rig.app.window().runJournal();
    QVERIFY(clearJournal(journal));
    QVERIFY(writeJournal(journal.path(), 0, 2));
    RunRecord hostile;
    hostile.started = rowStart(2);
    hostile.mode = QStringLiteral("dosing");
    hostile.note = QStringLiteral("=HYPERLINK(\"http://x\",\"y\")");
    hostile.medium = QStringLiteral("+cmd|' /C calc'!A0");
    hostile.delivered = QStringLiteral("-2.5");
    {
        QFile f(journal.path());
        QVERIFY(f.open(QIODevice::Append));
        f.write(RunJournal::csvLine(hostile.fields()));
    }
    const Answer answer = rig.get("/v1/runs" + query);
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("text/csv; charset=utf-8"));
    QCOMPARE(answer.body.startsWith("\xEF\xBB\xBF"), bom);
    const QList<QStringList> records = RunJournal::parseCsv(answer.body);
    QCOMPARE(records.first(), RunJournal::header());
    QCOMPARE(records.size(), query.contains("limit=2") ? 3 : 4);
    const RunRecord last = RunRecord::fromFields(records.last());
    QCOMPARE(last.note, QStringLiteral("'=HYPERLINK(\"http://x\",\"y\")"));
    QCOMPARE(last.medium, QStringLiteral("'+cmd|' /C calc'!A0"));
    QCOMPARE(last.delivered, QStringLiteral("-2.5")); // a number stays a number
    if (!query.contains("limit=2"))
        QCOMPARE(RunRecord::fromFields(records.at(1)).note, QStringLiteral("n0"));
    QVERIFY(RunJournal::readRows(journal.path()).last().contains(hostile.note));
}

void tst_remote::runsAnswerInRequestOrder_data()
{
    QTest::addColumn<QList<QByteArray>>("paths"); // GET, or POST when it is /v1/stop
    QTest::addColumn<QList<QByteArray>>("keys");  // a key each answer has, in order
    QTest::newRow("runs, then stop") << QList<QByteArray>{"/v1/runs", "/v1/stop"}
                                     << QList<QByteArray>{"runs", "stopped"};
    QTest::newRow("status, runs, status")
        << QList<QByteArray>{"/v1/status", "/v1/runs?limit=5", "/v1/status"}
        << QList<QByteArray>{"running", "runs", "running"};
}

void tst_remote::runsAnswerInRequestOrder()
{
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QList<QByteArray>, keys);
    Rig rig;
    QVERIFY(rig.ok);
    QVERIFY(clearJournal(rig.app.window().runJournal()));
    QVERIFY(writeJournal(rig.app.window().runJournal().path(), 0, 3000));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, rig.server->port());
    QVERIFY(socket.waitForConnected(5000));
    QByteArray sent;
    for (const QByteArray &path : paths)
        sent += path == "/v1/stop" ? request("POST", path, "{}", rig.bearer())
                                   : request("GET", path, {}, rig.bearer());
    socket.write(sent);
    QByteArray in;
    QTRY_VERIFY_WITH_TIMEOUT((in += socket.readAll(), answersIn(in).size() >= keys.size()), 10000);
    const QList<QJsonObject> answers = answersIn(in);
    for (qsizetype i = 0; i < keys.size(); ++i)
        QVERIFY2(answers.at(i).contains(QString::fromLatin1(keys.at(i))), keys.at(i).constData());
}

void tst_remote::largeReadLeavesWindowFree()
{
    // 50 MB of rows whose times cannot be read: nothing tells the read to stop early,
    // so it goes through the whole file while the window's timers go on.
    Rig rig;
    QVERIFY(rig.ok);
    const QString path = rig.app.window().runJournal().path();
    QVERIFY(clearJournal(rig.app.window().runJournal()));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QByteArray block;
    while (block.size() < 1024 * 1024)
        block += "x,x,COM1,/dev/ttyUSB0,vyt-P02,dosing,12.5,ul,3,3,37.5,completed,n\r\n";
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // A journal grown under an older version: its header has the first 13 columns.
    f.write(RunJournal::csvLine(RunJournal::header().mid(0, RunJournal::kFirstColumns)));
    for (int i = 0; i < 50; ++i)
        QCOMPARE(f.write(block), block.size());
    f.close();

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
        ++ticks;
    });
    QElapsedTimer took;
    took.start();
    sinceTick.start();
    timer.start();
    const Answer answer = rig.send(request("GET", "/v1/runs?since=2020-01-01", {}, rig.bearer()),
                                   60000);
    timer.stop();
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json.value(QStringLiteral("runs")).toArray().size(), 0);
    QCOMPARE(answer.json.value(QStringLiteral("truncated")).toBool(), false);
    qInfo("50 MB read: %lld ms, %d ticks, longest gap %lld ms", took.elapsed(), ticks,
          longestGap);
    QVERIFY2(longestGap < 250, qPrintable(QString::number(longestGap)));
    QVERIFY(clearJournal(rig.app.window().runJournal()));
}

void tst_remote::openApiNamesTheUnits()
{
    Rig rig;
    QVERIFY(rig.ok);
    const Answer answer = rig.get("/v1/openapi.json");
    QCOMPARE(answer.status, 200);
    QVERIFY(
        answer.json.value(QStringLiteral("openapi")).toString().startsWith(QStringLiteral("3.")));
    const QJsonObject paths = answer.json.value(QStringLiteral("paths")).toObject();
    for (const char *path :
         {"/v1/status", "/v1/dose", "/v1/flow", "/v1/stop", "/v1/runs", "/v1/openapi.json"})
        QVERIFY2(paths.contains(QLatin1String(path)), path);
    const QJsonObject schemas = answer.json.value(QStringLiteral("components"))
                                    .toObject()
                                    .value(QStringLiteral("schemas"))
                                    .toObject();
    auto units = [&](const char *schema, const char *property) {
        QStringList out;
        const QJsonArray values = schemas.value(QLatin1String(schema))
                                      .toObject()
                                      .value(QStringLiteral("properties"))
                                      .toObject()
                                      .value(QLatin1String(property))
                                      .toObject()
                                      .value(QStringLiteral("enum"))
                                      .toArray();
        for (const QJsonValue &v : values)
            out << v.toString();
        return out;
    };
    QCOMPARE(units("Dose", "unit"), mengeEinheiten());
    QCOMPARE(units("Flow", "unit"), foerderstromEinheiten());
    QCOMPARE(units("Flow", "duration_unit"), zeitEinheiten());
}

QTEST_MAIN(tst_remote)
#include "tst_remote.moc"
