#include "config/PumpState.h"
#include "config/SettingsStore.h"
#include "dialogs/frmSchnittstelle.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "main/WindowAttendant.h"
#include "support/TestEnv.h"

#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>
#include <pty.h>
#include <unistd.h>

using namespace vyt;

namespace {

// A pseudo-terminal pair: the slave path stands for a serial device, the test holds the master.
class Pty {
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0)
            m_path = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    [[nodiscard]] QString path() const { return m_path; }
    void send(const QByteArray &bytes) const
    {
        QCOMPARE(::write(m_master, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// Answers the next showings of the port dialog, one chosen port each, and counts them.
class PortChoices {
public:
    explicit PortChoices(QList<int> ports) : m_ports(std::move(ports)) { arm(); }
    [[nodiscard]] int shown() const { return m_shown; }

private:
    void arm()
    {
        test::onNextModal([this](QWidget *w) {
            if (!qobject_cast<frmSchnittstelle *>(w)) {
                qWarning("unexpected modal window %s", qPrintable(w->objectName()));
                return;
            }
            const int port = m_ports.value(m_shown, 1);
            ++m_shown;
            if (m_shown < m_ports.size())
                arm();
            w->findChild<QComboBox *>(QStringLiteral("cboCom"))->setCurrentIndex(port - 1);
            QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
        });
    }
    QList<int> m_ports;
    int m_shown = 0;
};

} // namespace

class tst_portgate : public QObject {
    Q_OBJECT
private slots:
    void init();
    void opensChosenPort();
    void laterCallsAnswerAtOnce();
    void openFailure_data();
    void openFailure();
    void retryWithGoodPort();
    void cancelledDialogEndsProgram();
    void parentWindowGoesFirst();
};

void tst_portgate::init() { test::useEmptyStore(); }

void tst_portgate::opensChosenPort()
{
    Pty pty;
    QVERIFY(!pty.path().isEmpty());
    test::mapPort(5, pty.path());
    test::MessageRecorder messages;
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    PortChoices choices({5});
    QVERIFY(link.SchnittstelleOK());
    QCOMPARE(choices.shown(), 1);
    QCOMPARE(messages.count(), 0);
    QVERIFY(state.SchnittstelleOffen);
    QCOMPARE(int(state.Schnittstelle), 5);
    QVERIFY(port.PortOpen());
    QCOMPARE(port.DevicePath(), pty.path());
    QCOMPARE(port.Settings(), QStringLiteral("9600,N,8,1"));
}

void tst_portgate::laterCallsAnswerAtOnce()
{
    Pty pty;
    test::mapPort(2, pty.path());
    test::MessageRecorder messages;
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    PortChoices choices({2});
    QVERIFY(link.SchnittstelleOK());
    QCOMPARE(choices.shown(), 1);

    // A changed port number would be reset by a second opening, and so would the line's
    // reader, which has taken the input.
    QSignalSpy taken(&link.line(), &LineQueue::unsolicited);
    pty.send("stale\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(taken.count(), 1, 10000);
    port.setCommPort(9);
    for (int i = 0; i < 3; ++i)
        QVERIFY(link.SchnittstelleOK());
    QCOMPARE(taken.count(), 1);
    QCOMPARE(int(port.CommPort()), 9);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QCOMPARE(choices.shown(), 1);
    QCOMPARE(messages.count(), 0);
}

void tst_portgate::openFailure_data()
{
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("expected"); // part of the text, besides the device
    QTest::newRow("device missing") << "missing" << "does not exist";
    QTest::newRow("held by another program") << "held" << "in use by another program";
    QTest::newRow("not a serial device") << "file" << "not a serial port";
}

void tst_portgate::openFailure()
{
    QFETCH(QString, cause);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    Pty pty;
    QSerialPort holder;
    QString device;
    if (cause == QLatin1String("missing")) {
        device = dir.filePath(QStringLiteral("ttyUSB9"));
    } else if (cause == QLatin1String("held")) {
        device = pty.path();
        holder.setPortName(device);
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
    } else {
        device = dir.filePath(QStringLiteral("plain"));
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    test::mapPort(3, device);
    test::MessageRecorder messages;
    messages.script({MsgResult::Cancel});
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    PortChoices choices({3});

    QVERIFY(!link.SchnittstelleOK());
    QCOMPARE(choices.shown(), 1);
    QCOMPARE(messages.count(), 1);
    const Message &m = messages.messages().first();
    QCOMPARE(m.title, QStringLiteral("Serial port COM3:"));
    QCOMPARE(m.buttons, MsgButtons::RetryCancel);
    QCOMPARE(m.icon, MsgIcon::Critical);
    QVERIFY2(m.text.contains(device), qPrintable(m.text));
    QVERIFY2(m.text.contains(expected), qPrintable(m.text));
    // Cancel leaves the program running with the port closed.
    QVERIFY(!end.ended());
    QVERIFY(!state.SchnittstelleOffen);
    QVERIFY(!port.PortOpen());
    if (holder.isOpen())
        QVERIFY(holder.isOpen());

    // The next action tries again: the dialog shows once more.
    PortChoices again({3});
    messages.script({MsgResult::Cancel});
    QVERIFY(!link.SchnittstelleOK());
    QCOMPARE(again.shown(), 1);
    QCOMPARE(messages.count(), 2);
}

void tst_portgate::retryWithGoodPort()
{
    Pty good;
    QTemporaryDir dir;
    test::mapPort(3, dir.filePath(QStringLiteral("gone")));
    test::mapPort(4, good.path());
    test::MessageRecorder messages;
    messages.script({MsgResult::Retry});
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    PortChoices choices({3, 4});

    // The action that needed the port is not carried out, though the retry opened it.
    QVERIFY(!link.SchnittstelleOK());
    QCOMPARE(choices.shown(), 2);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.messages().first().title, QStringLiteral("Serial port COM3:"));
    QVERIFY(state.SchnittstelleOffen);
    QCOMPARE(int(state.Schnittstelle), 4);
    QVERIFY(port.PortOpen());
    QCOMPARE(port.DevicePath(), good.path());

    // The next action goes ahead at once.
    QVERIFY(link.SchnittstelleOK());
    QCOMPARE(choices.shown(), 2);
    QCOMPARE(messages.count(), 1);
    QVERIFY(!end.ended());
}

void tst_portgate::cancelledDialogEndsProgram()
{
    test::MessageRecorder messages;
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    test::onNextModal([](QWidget *w) {
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("cmdCancel")), Qt::LeftButton);
    });
    QVERIFY(!link.SchnittstelleOK());
    QVERIFY(end.ended());
    QVERIFY(!port.PortOpen());
    QVERIFY(!state.SchnittstelleOffen);
    QCOMPARE(messages.count(), 0);
}

void tst_portgate::parentWindowGoesFirst()
{
    Pty pty;
    test::mapPort(1, pty.path());
    test::MessageRecorder messages;
    test::EndRecorder end;
    PumpState state;
    MSComm port;
    auto window = std::make_unique<QWidget>();
    WindowAttendant attendant(window.get());
    auto link = std::make_unique<ControllerLink>(state, port, attendant);
    PortChoices choices({1});
    QVERIFY(link->SchnittstelleOK());
    QCOMPARE(choices.shown(), 1);
    // The window deletes the dialog it parents; the link must not delete it again.
    window.reset();
    link.reset();
    QVERIFY(!end.ended());
}

QTEST_MAIN(tst_portgate)
#include "tst_portgate.moc"
