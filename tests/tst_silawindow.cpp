// SiLA 2 beside the real window, against the in-process simulator, with a C++ client made
// from the same protocol files: what the operator is doing refuses a client's start as
// busy (never a hang, nothing sent), a client's run shows on the window's line and in the
// fields, and Stop over SiLA stops the drive whatever the window is doing.
#include "sila/SilaCertificate.h"
#include "sila/SilaServer.h"
#include "support/AppFixture.h"

#include "ContinuousFlowService.grpc.pb.h"
#include "PumpDosingService.grpc.pb.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>
#include <grpcpp/grpcpp.h>

using namespace vyt;
using namespace vyt::test;
namespace fw = sila2::org::silastandard;
namespace dose = sila2::org::vyt::pumps::pumpdosingservice::v1;
namespace flow = sila2::org::vyt::pumps::continuousflowservice::v1;

namespace {

struct Called {
    grpc::Status status;
    fw::SiLAError error; // when status is ABORTED
    std::string uuid;
};

Called finish(const grpc::Status &status, const fw::CommandConfirmation &confirmation)
{
    Called called{status, {}, confirmation.commandexecutionuuid().value()};
    if (status.error_code() == grpc::StatusCode::ABORTED)
        called.error.ParseFromString(
            QByteArray::fromBase64(QByteArray::fromStdString(status.error_message())).toStdString());
    return called;
}

// The window against the simulator, SiLA 2 on a free port of this machine.
class Rig {
public:
    Rig()
    {
        QLocale::setDefault(QLocale::c());
        app.sim().setInstantMoves(true);
        QString why;
        const auto credentials =
            loadSilaCredentials({}, {}, SilaServer::serverUuid(0), QHostAddress::LocalHost, &why);
        if (!credentials)
            return;
        server = std::make_unique<SilaServer>(app.window().session());
        QObject::connect(server.get(), &SilaServer::lineChanged, &app.window(),
                         &frmPumpensteuerung::setSilaLine);
        ok = server->listen(RemoteAddress{}, *credentials);
        grpc::SslCredentialsOptions trust;
        trust.pem_root_certs = credentials->certificatePem.toStdString();
        channel = grpc::CreateChannel(server->where().text().toStdString(), grpc::SslCredentials(trust));
        dosing = dose::PumpDosingService::NewStub(channel);
        flows = flow::ContinuousFlowService::NewStub(channel);
        app.messages().clear();
    }

    // The client's calls block: they run beside the window's thread, which answers them.
    Called doseVolume(double quantity, qint64 repetitions)
    {
        return call([=] {
            dose::DoseVolume_Parameters p;
            p.mutable_quantity()->set_value(quantity);
            p.mutable_unit()->set_value("µl");
            p.mutable_repetitions()->set_value(repetitions);
            p.mutable_pause()->set_value(0);
            p.mutable_pauseunit()->set_value("ms");
            grpc::ClientContext context;
            context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
            fw::CommandConfirmation confirmation;
            const grpc::Status status = dosing->DoseVolume(&context, p, &confirmation);
            return finish(status, confirmation);
        });
    }
    Called endlessFlow()
    {
        return call([=] {
            flow::StartFlow_Parameters p;
            p.mutable_rate()->set_value(150);
            p.mutable_unit()->set_value("rpm");
            p.mutable_duration()->set_value(0);
            p.mutable_durationunit()->set_value("s");
            grpc::ClientContext context;
            context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
            fw::CommandConfirmation confirmation;
            return finish(flows->StartFlow(&context, p, &confirmation), confirmation);
        });
    }
    QFuture<grpc::Status> stop()
    {
        return QtConcurrent::run([this] {
            grpc::ClientContext context;
            context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
            dose::Stop_Responses none;
            return dosing->Stop(&context, dose::Stop_Parameters(), &none);
        });
    }
    // Serves the window's events while the call goes on; a hang fails the wait.
    template <class F>
    Called call(F work)
    {
        QFuture<Called> running = QtConcurrent::run(work);
        if (!QTest::qWaitFor([&] { return running.isFinished(); }, 25000))
            return {grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, "the test gave up"), {}, {}};
        return running.result();
    }

    AppFixture app;
    std::unique_ptr<SilaServer> server;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<dose::PumpDosingService::Stub> dosing;
    std::unique_ptr<flow::ContinuousFlowService::Stub> flows;
    bool ok = false;
};

// 150 rpm until Stop, as the client's flow: the same "V 150" on the line.
bool startEndlessFlowAtTheWindow(AppFixture &app)
{
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(2);
    app.enter("txtFoerderstrom", QStringLiteral("150"));
    app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    app.find<QPushButton>("cmdStart")->click();
    return QTest::qWaitFor(
        [&] { return app.sim().receivedLines().contains(QStringLiteral("V 150")); }, 10000);
}

} // namespace

class tst_silawindow : public QObject {
    Q_OBJECT
private slots:
    void busyOperatorRefusesAStart_data();
    void busyOperatorRefusesAStart();
    void clientRunShowsOnTheLine();
    void stopWinsWhateverTheWindowDoes_data();
    void stopWinsWhateverTheWindowDoes();
    void aTakenPortIsNamed();
    void eachPortIsAServerOfItsOwn();
};

void tst_silawindow::busyOperatorRefusesAStart_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message");
    QTest::newRow("a run at the window") << "running" << "A run is going on.";
    QTest::newRow("a modal window is open") << "modal" << "A window is open in front of the operator";
    QTest::newRow("operator typing a valid entry") << "typing" << "The operator is typing in txtMenge.";
    QTest::newRow("operator's entry refused") << "refused" << "The operator is typing in txtDichte.";
    QTest::newRow("calibration helper open") << "calibration" << "The calibration helper is open.";
}

void tst_silawindow::busyOperatorRefusesAStart()
{
    QFETCH(QString, situation);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.ok);
    QDialog dialog(&rig.app.window());
    if (situation == QLatin1String("running")) {
        QVERIFY(startEndlessFlowAtTheWindow(rig.app));
    } else if (situation == QLatin1String("modal")) {
        dialog.setModal(true);
        dialog.show();
    } else if (situation == QLatin1String("typing")) {
        auto *menge = rig.app.find<QLineEdit>("txtMenge");
        menge->setFocus();
        menge->setText(QStringLiteral("2"));
    } else if (situation == QLatin1String("calibration")) {
        rig.app.window().showCalibration();
    } else {
        rig.app.find<QLineEdit>("txtDichte")->setText(QStringLiteral("abc"));
    }
    const QString menge = rig.app.find<QLineEdit>("txtMenge")->text();
    (void)rig.app.sentSoFar();
    rig.app.sim().clearReceived();
    const Called called = rig.doseVolume(3, 2);
    QCOMPARE(int(called.status.error_code()), int(grpc::StatusCode::ABORTED));
    QVERIFY(called.error.has_definedexecutionerror());
    QCOMPARE(QString::fromStdString(called.error.definedexecutionerror().erroridentifier()),
             QStringLiteral("org.vyt/pumps/PumpDosingService/v1/DefinedExecutionError/PumpBusy"));
    const QString said = QString::fromStdString(called.error.definedexecutionerror().message());
    QVERIFY2(said.startsWith(message), qPrintable(said));
    const QStringList sent = rig.app.sentSoFar();
    QVERIFY2(sent.isEmpty(), qPrintable(sent.join(QLatin1Char('|'))));
    QCOMPARE(rig.app.find<QLineEdit>("txtMenge")->text(), menge);
    QCOMPARE(rig.app.messages().count(), 0);
    dialog.close();
    rig.app.find<QPushButton>("cmdStop")->click();
    QVERIFY(rig.app.waitForRunEnd());
}

void tst_silawindow::clientRunShowsOnTheLine()
{
    Rig rig;
    QVERIFY(rig.ok);
    auto *line = rig.app.find<QLabel>("lblSila");
    QVERIFY(line);
    const QString base = QStringLiteral("SiLA 2: 127.0.0.1:%1").arg(rig.server->where().port);
    QCOMPARE(line->text(), base);
    const Called called = rig.endlessFlow();
    QVERIFY2(called.status.ok(), called.status.error_message().c_str());
    QVERIFY(rig.app.window().running());
    QVERIFY2(line->text().startsWith(base + QStringLiteral(" \u00b7 run started by SiLA 2 127.0.0.1:")),
             qPrintable(line->text()));
    // The window shows the client's values, as if the operator had entered them.
    QVERIFY(rig.app.find<QRadioButton>("optBetriebsart2")->isChecked());
    QVERIFY(rig.app.find<QCheckBox>("cbxEndlosFoerderung")->isChecked());
    QFuture<grpc::Status> stopped = rig.stop();
    QTRY_VERIFY(stopped.isFinished());
    QVERIFY(stopped.result().ok());
    QVERIFY(rig.app.waitForRunEnd());
    QTRY_COMPARE(line->text(), base);
    QCOMPARE(rig.app.messages().count(), 0);
}

void tst_silawindow::stopWinsWhateverTheWindowDoes_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("a run at the window") << "window run";
    QTest::newRow("a client's run, a modal box open") << "modal box";
    QTest::newRow("a client's run, the operator typing") << "typing";
}

void tst_silawindow::stopWinsWhateverTheWindowDoes()
{
    QFETCH(QString, situation);
    Rig rig;
    QVERIFY(rig.ok);
    if (situation == QLatin1String("window run"))
        QVERIFY(startEndlessFlowAtTheWindow(rig.app));
    else
        QVERIFY(rig.endlessFlow().status.ok());
    QTRY_VERIFY(rig.app.sim().receivedLines().contains(QStringLiteral("V 150")));
    QFuture<grpc::Status> stopped;
    if (situation == QLatin1String("modal box")) {
        // A nested event loop of the window's thread takes the client's Stop.
        QDialog box(&rig.app.window());
        QTimer::singleShot(0, &box, [&] { stopped = rig.stop(); });
        QTimer closer;
        connect(&closer, &QTimer::timeout, &box, [&] {
            if (stopped.isFinished())
                box.reject();
        });
        closer.start(10);
        QTimer::singleShot(20000, &box, &QDialog::reject); // never blocks the suite
        box.exec();
    } else {
        if (situation == QLatin1String("typing")) {
            auto *menge = rig.app.find<QLineEdit>("txtMenge");
            menge->setFocus();
            menge->setText(QStringLiteral("abc"));
        }
        stopped = rig.stop();
        QTRY_VERIFY(stopped.isFinished());
    }
    QVERIFY(stopped.isFinished() && stopped.result().ok());
    // Nothing goes before the stop.
    const auto afterTheFlow = [&] {
        const QStringList lines = rig.app.sim().receivedLines();
        return lines.mid(lines.lastIndexOf(QStringLiteral("V 150")) + 1).mid(0, 2);
    };
    QTRY_COMPARE(afterTheFlow(), (QStringList{"SOR 0", "V 0"}));
    QVERIFY(rig.app.waitForRunEnd());
}

void tst_silawindow::aTakenPortIsNamed()
{
    Rig rig;
    QVERIFY(rig.ok);
    QString why;
    const auto credentials =
        loadSilaCredentials({}, {}, SilaServer::serverUuid(0), QHostAddress::LocalHost, &why);
    QVERIFY2(credentials, qPrintable(why));
    SilaServer second(rig.app.window().session());
    QVERIFY(!second.listen(rig.server->where(), *credentials));
    QCOMPARE(second.error(), QStringLiteral("it cannot listen on %1 (address already in use).")
                                 .arg(rig.server->where().text()));
}

void tst_silawindow::eachPortIsAServerOfItsOwn()
{
    // Two programs on one settings folder: their UUIDs, and so their announcements and
    // certificates, differ, and each stays the same at the next start.
    const QString first = SilaServer::serverUuid(50052);
    const QString second = SilaServer::serverUuid(50053);
    QVERIFY(first != second);
    QCOMPARE(SilaServer::serverUuid(50052), first);
    QVERIFY(defaultSilaCertificatePath(50052) != defaultSilaCertificatePath(50053));
    QVERIFY(defaultSilaKeyPath(50052).endsWith(QStringLiteral("/sila-server-50052.key")));
}

QTEST_MAIN(tst_silawindow)
#include "tst_silawindow.moc"
