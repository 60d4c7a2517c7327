// The direct control console against the in-process controller: what goes out on
// the line, what the window shows, and that its chains of replies end at Stop, Close
// and the program ending.
#include "config/LastFolders.h"
#include "config/PumpState.h"
#include "console/LiveTools.h"
#include "console/LiveValueLog.h"
#include "console/ParameterBackup.h"
#include "console/SquareBar.h"
#include "console/TranscriptLines.h"
#include "console/ParameterCompareDialog.h"
#include "console/frmDirekt.h"
#include "history/frmHistory.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "main/WindowAttendant.h"
#include "session/PumpRun.h"
#include "support/AppFixture.h"
#include "support/ConsoleRig.h"
#include "support/LineWait.h"
#include "support/SimFixture.h"
#include "support/TestEnv.h"
#include "session/ProgramEnd.h"
#include "session/Clock.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <functional>
#include <memory>

using namespace vyt;

namespace {

const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);
const QColor kDarkBlue(0, 0, 192);
const QString kNoResponse = QStringLiteral("Pump controller on serial port Com1: doesn't respond.");

// A console on Com1, wired to the simulated controller.
struct Rig : test::ConsoleRig {
    [[nodiscard]] int count(const QString &line) const
    {
        return fixture.sim().receivedLines().count(line);
    }
};

// Acts from the event loop as soon as a condition holds: the way a test steps in while a
// console handler runs its own nested wait. After the deadline onTimeout runs instead.
class Trigger {
public:
    Trigger(std::function<bool()> condition, std::function<void()> action, int timeoutMs = 30000,
            std::function<void()> onTimeout = {})
    {
        m_clock.start();
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [=] {
            if (condition()) {
                m_timer.stop();
                m_fired = true;
                action();
            } else if (m_clock.elapsed() > timeoutMs) {
                m_timer.stop();
                m_timedOut = true;
                if (onTimeout)
                    onTimeout();
            }
        });
        m_timer.start();
    }
    Trigger(const Trigger &) = delete;
    Trigger &operator=(const Trigger &) = delete;
    [[nodiscard]] bool fired() const { return m_fired; }
    [[nodiscard]] bool timedOut() const { return m_timedOut; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_fired = false;
    bool m_timedOut = false;
};

// The transcript's texts without their time stamps and marks ("12:00:01.250 > GN" is "GN").
QStringList transcript(const Rig &rig)
{
    QStringList lines =
        rig.child<QPlainTextEdit>("txtTerminal")->toPlainText().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    for (QString &line : lines)
        line.remove(0, int(std::strlen("hh:mm:ss.zzz > ")));
    return lines;
}

// The transcript's lines with their marks, without the time ("12:00:01.250 > GN" is "> GN").
QStringList marked(const QPlainTextEdit &view)
{
    QStringList lines = view.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(0, int(std::strlen("hh:mm:ss.zzz ")));
    return lines;
}

// The kinds of file a chooser asks for; a backup is saved and opened (Restore).
enum class Chosen { Export, ValueLog, BackupSave, BackupOpen, Transcript };

// One window that asks for a file of one kind, each time made anew as after a restart:
// answers where its chooser started and what it confirmed.
struct ChooserTrial {
    test::ConsoleRig &rig;
    Chosen kind;
    QString answer;    // what the chooser answers
    QString startedAt; // the suggestion it was given
    QString confirmed; // the window's text about the file afterwards
    QString journal;   // the history window's journal

    void run()
    {
        startedAt.clear();
        confirmed.clear();
        const FileChooser chooser = [this](QWidget *, const QString &, const QString &suggestion,
                                           const QString &) {
            startedAt = suggestion;
            return answer;
        };
        if (kind == Chosen::Export) {
            RunJournal runs(journal);
            frmHistory window(runs);
            window.saveFileName = chooser;
            // The rows load in a worker; an export before asks whether the loaded ones do.
            auto *count = window.findChild<QLabel *>(QStringLiteral("lblCount"));
            QTRY_COMPARE(count->text(), QStringLiteral("0 of 0 runs"));
            window.findChild<QPushButton *>(QStringLiteral("cmdExport"))->click();
            confirmed = window.findChild<QLabel *>(QStringLiteral("lblExportStatus"))->text();
            return;
        }
        frmDirekt &console = rig.show();
        console.saveFileName = chooser;
        console.openFileName = chooser;
        switch (kind) {
        case Chosen::ValueLog: {
            LiveTools &tools = rig.tools();
            tools.chooseLogFile = [this](QWidget *, const QString &suggestion,
                                         std::function<void(const QString &)> chosen) {
                startedAt = suggestion;
                chosen(answer);
            };
            rig.button("cmdLog")->click();
            if (tools.log().isActive())
                rig.button("cmdLog")->click(); // the log is whole once stopped
            else if (!answer.isEmpty())
                QTRY_COMPARE(rig.messages.count(), 1); // told from the event loop
            // The tool tip as the operator reads it.
            QTextDocument tip;
            tip.setHtml(rig.button("cmdLog")->toolTip());
            confirmed = tip.toPlainText();
            break;
        }
        case Chosen::BackupSave:
        case Chosen::BackupOpen:
            rig.button(kind == Chosen::BackupSave ? "cmdParameterBackup" : "cmdParameterRestore")
                ->click();
            (void)rig.settle();
            confirmed = rig.child<QLabel>("lblParameterStatus")->text();
            break;
        case Chosen::Transcript:
            rig.button("cmdTranscriptSave")->click();
            confirmed = rig.child<QLabel>("lblTranscriptStatus")->text();
            break;
        case Chosen::Export: break;
        }
        rig.console.reset();
    }
};

FileKind fileKind(Chosen kind)
{
    switch (kind) {
    case Chosen::Export: return FileKind::Export;
    case Chosen::ValueLog: return FileKind::ValueLog;
    case Chosen::BackupSave:
    case Chosen::BackupOpen: return FileKind::Parameters;
    case Chosen::Transcript: return FileKind::Transcript;
    }
    return FileKind::Export;
}

const char *storeKey(Chosen kind)
{
    switch (kind) {
    case Chosen::Export: return "export";
    case Chosen::ValueLog: return "valueLog";
    case Chosen::BackupSave:
    case Chosen::BackupOpen: return "parameters";
    case Chosen::Transcript: return "transcript";
    }
    return "";
}

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

private slots:
    void opening_data();
    void opening();
    void terminal_data();
    void terminal();
    void enterSendsOnce_data();
    void enterSendsOnce();
    void heldKeySendsOnce_data();
    void heldKeySendsOnce();
    void keyDownUntilReleased_data();
    void keyDownUntilReleased();
    void commandHistory();
    void portGateBeforeSending_data();
    void portGateBeforeSending();
    void functionKeys_data();
    void functionKeys();
    void functionKeyDefaults_data();
    void functionKeyDefaults();
    void commandLineRefused_data();
    void commandLineRefused();
    void stopDropsQueuedOutput_data();
    void stopDropsQueuedOutput();
    void showProgress_data();
    void showProgress();
    void barRepaintsOnlyOnChange();
    void pollColours_data();
    void pollColours();
    void pollCycleAndStop();
    void stopWithSilentController();
    void startAgainBeforeCycleEnds();
    void linkLostEndsPoll();
    void closeWhileWaiting_data();
    void closeWhileWaiting();
    void programEndingStopsPoll();
    void readStatus();
    void parametersSetAndLoad_data();
    void parametersSetAndLoad();
    void loadClickedTwice();
    void eepromSave_data();
    void eepromSave();
    void dosesWhilePolling_data();
    void dosesWhilePolling();
    void chooserStartsWhereLastSaved_data();
    void chooserStartsWhereLastSaved();
    void consoleSendsInTranscript_data();
    void consoleSendsInTranscript();
    void transcriptKeptWhileProgramRuns();
    void transcriptKeepsNewestLines_data();
    void transcriptKeepsNewestLines();
};

void TestConsole::opening_data()
{
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("limits changed")
        << true << QStringList{"SP 6000", "AC 500", "LCC 230", "LPC 400"};
    QTest::newRow("limits sent already") << false << QStringList{};
}

void TestConsole::opening()
{
    QFETCH(bool, changed);
    QFETCH(QStringList, expected);
    Rig rig;
    QVERIFY(rig.open());
    rig.state.ParameterGeaendert = changed;

    bool sentBeforeShown = false;
    QStringList linesWhileOpen;
    QString focusName;
    QPointer<QWidget> console;
    test::onNextModal([&](QWidget *w) {
        console = w;
        // The limits were handed to the port before the window appeared.
        sentBeforeShown = !rig.state.ParameterGeaendert;
        (void)test::waitForLines(rig.sim(), int(expected.size()), 10000);
        linesWhileOpen = rig.sim().receivedLines();
        if (w->focusWidget())
            focusName = w->focusWidget()->objectName();
        w->findChild<QPushButton *>(QStringLiteral("cmdSchliessen"))->click();
    });
    frmDirekt::oeffnen(rig.state, rig.link, rig.transcript, nullptr);

    QVERIFY(console.isNull()); // nothing of the console survives closing
    QCOMPARE(sentBeforeShown, true);
    QCOMPARE(linesWhileOpen, expected);
    QCOMPARE(focusName, QStringLiteral("txtCommand"));
    QCOMPARE(rig.sentLines(), expected); // and nothing more at closing
    QCOMPARE(rig.messages.count(), 0);
}

void TestConsole::terminal_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply"); // null: the controller keeps silent
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<bool>("position");

    QTest::newRow("answer") << "GN"
                            << "1500" << QStringList{"GN", "1500"} << false;
    QTest::newRow("silent") << "GN" << QString() << QStringList{"GN"} << false;
    QTest::newRow("notification") << "GN"
                                  << "p\r\n1500" << QStringList{"GN", "1500"} << true;
    QTest::newRow("as typed") << " v 100 " << QString() << QStringList{" v 100 "} << false;
    QTest::newRow("empty line") << "" << QString() << QStringList{""} << false;
}

void TestConsole::terminal()
{
    QFETCH(QString, command);
    QFETCH(QString, reply);
    QFETCH(QStringList, shown);
    QFETCH(bool, position);
    Rig rig;
    QVERIFY(rig.open());
    if (reply.isNull())
        rig.sim().setFault(sim::Fault::Silent);
    else
        rig.sim().setReply(command, reply);
    rig.show();
    rig.child<QLineEdit>("txtCommand")->setText(command);

    QElapsedTimer clock;
    clock.start();
    rig.button("cmdSend")->click();
    QVERIFY(rig.settle());
    const qint64 took = clock.elapsed();

    QCOMPARE(transcript(rig), shown);
    QCOMPARE(rig.state.PositionErreicht, position);
    QCOMPARE(rig.child<QLineEdit>("txtCommand")->text(), QString());
    QCOMPARE(rig.messages.count(), 0); // a silent controller is no error here
    QCOMPARE(rig.state.KeineAntwort, true);
    if (reply.isNull())
        QVERIFY2(took >= 290, qPrintable(QString::number(took)));
    QVERIFY2(took < 5000, qPrintable(QString::number(took)));
    QCOMPARE(rig.sentLines(), QStringList{command});
}

void TestConsole::enterSendsOnce_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("f1"); // F1's box afterwards, "V 1" before
    const QStringList once{"GN"};
    QTest::newRow("command line") << "txtCommand" << once << "V 1";
    QTest::newRow("function key box") << "txtF2" << once << "V 1";
    QTest::newRow("parameter box") << "txtSP" << once << "V 1";
    QTest::newRow("terminal") << "txtTerminal" << once << "V 1";
    QTest::newRow("Send") << "cmdSend" << once << "V 1";
    QTest::newRow("another button") << "cmdF3" << QStringList{"V3000"} << "V 1";
    // Enter on a button is that button, also on those added beside the designed ones.
    QTest::newRow("an added button") << "cmdTranscriptClear" << QStringList{} << "V 1";
    QTest::newRow("Reset keys") << "cmdResetKeys" << QStringList{} << "V1000";
}

void TestConsole::enterSendsOnce()
{
    QFETCH(QString, focus);
    QFETCH(QStringList, expected);
    QFETCH(QString, f1);
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1500"));
    frmDirekt &console = rig.show();
    console.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&console));
    rig.child<QLineEdit>("txtCommand")->setText(QStringLiteral("GN"));
    rig.child<QLineEdit>("txtF1")->setText(QStringLiteral("V 1"));
    auto *target = console.findChild<QWidget *>(focus);
    QVERIFY(target);
    target->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), target);

    QTest::keyClick(target, Qt::Key_Return);

    QCOMPARE(rig.sentLines(), expected);
    QCOMPARE(rig.child<QLineEdit>("txtF1")->text(), f1);
    QVERIFY(console.isVisible());
}

void TestConsole::heldKeySendsOnce_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("Enter") << int(Qt::Key_Return) << QStringList{"GN"};
    QTest::newRow("F9") << int(Qt::Key_F9) << QStringList{"LR64", "M"};
}

void TestConsole::heldKeySendsOnce()
{
    // A key held down repeats; the operator pressed it once.
    QFETCH(int, key);
    QFETCH(QStringList, expected);
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1500"));
    rig.show();
    auto *line = rig.child<QLineEdit>("txtCommand");
    line->setText(QStringLiteral("GN"));
    for (const bool repeat : {false, true, true, true}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(), repeat);
        QApplication::sendEvent(line, &press);
    }
    QCOMPARE(rig.sentLines(), expected);
}

void TestConsole::keyDownUntilReleased_data()
{
    // What reaches the program, one letter an event: P a press, p one flagged as a repeat,
    // R a release, r a flagged release, O a press in another window, W the release going
    // to another window, D another program taking the keyboard; "@n" gives it X's time.
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("otherPresses"); // presses the other window's box saw
    const QStringList f12{"LR6400", "M"};
    const int f12Key = Qt::Key_F12, enter = Qt::Key_Return;
    QTest::newRow("F12 pressed twice, no release") << f12Key << "txtCommand"
                                                   << "PP" << f12 << 0;
    QTest::newRow("F12 repeat flagged") << f12Key << "txtCommand"
                                        << "Pp" << f12 << 0;
    QTest::newRow("F12 repeats in flagged pairs") << f12Key << "txtCommand"
                                                  << "PrprpR" << f12 << 0;
    QTest::newRow("F12 released, pressed again") << f12Key << "txtCommand"
                                                 << "PRP" << f12 + f12 << 0;
    QTest::newRow("F12 repeats in unflagged pairs")
        << f12Key << "txtCommand"
        << "P@1000 R@1500 P@1500 R@1540 P@1540 R@1700" << f12 << 0;
    QTest::newRow("F12 released, pressed again later")
        << f12Key << "txtCommand"
        << "P@1000 R@1500 P@1620 R@1700" << f12 + f12 << 0;
    QTest::newRow("F7 held in a box") << int(Qt::Key_F7) << "txtF3"
                                      << "PPPPR" << QStringList{"LR11", "M"} << 0;
    QTest::newRow("released in another window") << f12Key << "txtCommand"
                                                << "PWP" << f12 + f12 << 0;
    QTest::newRow("keyboard taken meanwhile") << f12Key << "txtCommand"
                                              << "PDP" << f12 + f12 << 0;
    QTest::newRow("held F12 reaches no other window") << f12Key << "txtCommand"
                                                      << "POOWO" << f12 << 1;
    QTest::newRow("Enter held in the command line") << enter << "txtCommand"
                                                    << "PPPP" << QStringList{"GN"} << 0;
    QTest::newRow("Enter flagged held") << enter << "txtCommand"
                                        << "Ppp" << QStringList{"GN"} << 0;
    QTest::newRow("Enter released, pressed again") << enter << "txtCommand"
                                                   << "PRP" << QStringList{"GN", ""} << 0;
    QTest::newRow("Enter held on a button") << enter << "cmdF3"
                                            << "PPP" << QStringList{"V3000"} << 0;
    QTest::newRow("held Enter answers no box") << enter << "txtCommand"
                                               << "POOR" << QStringList{"GN"} << 0;
}

void TestConsole::keyDownUntilReleased()
{
    QFETCH(int, key);
    QFETCH(QString, focus);
    QFETCH(QString, events);
    QFETCH(QStringList, expected);
    QFETCH(int, otherPresses);
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1500"));
    frmDirekt &console = rig.show();
    rig.child<QLineEdit>("txtCommand")->setText(QStringLiteral("GN"));
    auto *target = console.findChild<QWidget *>(focus);
    QVERIFY(target);
    // A window the press might have opened, such as a message box.
    QLineEdit other;
    other.setObjectName(QStringLiteral("otherWindow"));
    struct PressCounter : QObject {
        int presses = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            presses += e->type() == QEvent::KeyPress;
            return false;
        }
    } counter;
    other.installEventFilter(&counter);

    const QStringList tokens = events.contains(QLatin1Char(' '))
                                   ? events.split(QLatin1Char(' '))
                                   : events.split(QString(), Qt::SkipEmptyParts);
    for (const QString &token : tokens) {
        const char c = token.at(0).toLatin1();
        if (c == 'D') {
            QEvent deactivate(QEvent::ApplicationDeactivate);
            QApplication::sendEvent(qApp, &deactivate);
            continue;
        }
        const bool press = c == 'P' || c == 'p' || c == 'O';
        const bool flagged = c == 'p' || c == 'r';
        QKeyEvent e(press ? QEvent::KeyPress : QEvent::KeyRelease, key, Qt::NoModifier, QString(),
                    flagged);
        e.setTimestamp(token.mid(2).toULongLong());
        QApplication::sendEvent(c == 'O' || c == 'W' ? static_cast<QWidget *>(&other) : target, &e);
    }

    QCOMPARE(rig.sentLines(), expected);
    QCOMPARE(counter.presses, otherPresses);
}

void TestConsole::commandHistory()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("A1"), QStringLiteral("1"));
    rig.sim().setReply(QStringLiteral("B2"), QStringLiteral("2"));
    rig.show();
    auto *line = rig.child<QLineEdit>("txtCommand");
    for (const char *c : {"A1", "B2"}) {
        line->setText(QString::fromLatin1(c));
        QTest::keyClick(line, Qt::Key_Return);
    }
    line->setText(QStringLiteral("dra"));

    const std::pair<Qt::Key, const char *> steps[] = {{Qt::Key_Up, "B2"},    {Qt::Key_Up, "A1"},
                                                      {Qt::Key_Up, "A1"},    {Qt::Key_Down, "B2"},
                                                      {Qt::Key_Down, "dra"}, {Qt::Key_Down, "dra"}};
    for (const auto &[key, text] : steps) {
        QTest::keyClick(line, key);
        QCOMPARE(line->text(), QString::fromLatin1(text));
    }
    QCOMPARE(rig.sentLines(), (QStringList{"A1", "B2"}));
}

void TestConsole::portGateBeforeSending_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("chosen"); // the port dialog answered with OK
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("Send, port chosen")
        << "cmdSend" << true << QStringList{"GN"} << QStringList{"GN", "1500"};
    QTest::newRow("Send, dialog cancelled") << "cmdSend" << false << QStringList{} << QStringList{};
    QTest::newRow("F3, port chosen")
        << "cmdF3" << true << QStringList{"V3000"} << QStringList{"V3000"};
    QTest::newRow("F3, dialog cancelled") << "cmdF3" << false << QStringList{} << QStringList{};
}

void TestConsole::portGateBeforeSending()
{
    QFETCH(QString, button);
    QFETCH(bool, chosen);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, shown);
    Rig rig; // port not opened yet
    QVERIFY(rig.fixture.started());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1500"));
    test::EndRecorder ending;
    rig.show();
    rig.child<QLineEdit>("txtCommand")->setText(QStringLiteral("GN"));

    QString dialogName;
    test::onNextModal([&](QWidget *w) {
        dialogName = w->objectName();
        w->findChild<QPushButton *>(chosen ? QStringLiteral("cmdOK") : QStringLiteral("cmdCancel"))
            ->click();
    });
    rig.button(button.toLatin1().constData())->click();
    QVERIFY(rig.settle());

    QCOMPARE(dialogName, QStringLiteral("frmSchnittstelle"));
    QCOMPARE(ending.ended(), !chosen);
    QCOMPARE(rig.port.PortOpen(), chosen);
    QCOMPARE(transcript(rig), shown);
    if (!chosen)
        QVERIFY(rig.port.setPortOpen(true)); // only to read what reached the line
    QCOMPARE(rig.sentLines(), sent);
}

void TestConsole::functionKeys_data()
{
    QTest::addColumn<float>("lines");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key"); // 0: click `button` instead
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("box"); // function-key box to edit, 0 none
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("F3") << 16.f << "txtCommand" << int(Qt::Key_F3) << "" << 0 << ""
                        << QStringList{"V3000"};
    QTest::newRow("F9, 500 lines")
        << 500.f << "txtCommand" << int(Qt::Key_F9) << "" << 0 << "" << QStringList{"LR2000", "M"};
    QTest::newRow("F2 edited") << 16.f << "txtF2" << int(Qt::Key_F2) << "" << 2 << "V 1500"
                               << QStringList{"V 1500"};
    QTest::newRow("F10") << 500.f << "txtF4" << int(Qt::Key_F10) << "" << 0 << ""
                         << QStringList{"LR20000", "M"};
    QTest::newRow("F12 emptied") << 16.f << "txtCommand" << int(Qt::Key_F12) << "" << 12 << ""
                                 << QStringList{"", "M"};
    QTest::newRow("Esc") << 16.f << "txtCommand" << int(Qt::Key_Escape) << "" << 0 << ""
                         << QStringList{"V 0", "DELAY 100"};
    QTest::newRow("Esc in a box") << 16.f << "txtSP" << int(Qt::Key_Escape) << "" << 0 << ""
                                  << QStringList{"V 0", "DELAY 100"};
    QTest::newRow("button F7") << 250.f << "txtCommand" << 0 << "cmdF7" << 0 << ""
                               << QStringList{"LR167", "M"};
    QTest::newRow("button Esc") << 16.f << "txtCommand" << 0 << "cmdEsc" << 0 << ""
                                << QStringList{"V 0", "DELAY 100"};
    QTest::newRow("SOR 0") << 16.f << "txtCommand" << 0 << "cmdSor0" << 0 << ""
                           << QStringList{"SOR 0"};
    QTest::newRow("SOR 1") << 16.f << "txtCommand" << 0 << "cmdSor1" << 0 << ""
                           << QStringList{"SOR 1"};
}

void TestConsole::functionKeys()
{
    QFETCH(float, lines);
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(QString, button);
    QFETCH(int, box);
    QFETCH(QString, boxText);
    QFETCH(QStringList, expected);
    Rig rig;
    QVERIFY(rig.open());
    rig.state.Encoderaufloesung = lines;
    frmDirekt &console = rig.show();
    if (box > 0)
        console.findChild<QLineEdit *>(QStringLiteral("txtF%1").arg(box))->setText(boxText);

    if (key != 0)
        QTest::keyClick(console.findChild<QWidget *>(focus), Qt::Key(key));
    else
        console.findChild<QPushButton *>(button)->click();

    QCOMPARE(rig.sentLines(), expected);
    QVERIFY(console.isVisible()); // Esc stops the motor, it does not close the console
    // The transcript shows each line as it went to the controller.
    QCOMPARE(transcript(rig), expected);
}

void TestConsole::functionKeyDefaults_data()
{
    QTest::addColumn<float>("lines");
    QTest::addColumn<QStringList>("moves");
    QTest::newRow("250") << 250.f << QStringList{"LR167",   "LR500",   "LR1000",
                                                 "LR10000", "LR50000", "LR100000"};
    QTest::newRow("16") << 16.f << QStringList{"LR11", "LR32", "LR64", "LR640", "LR3200", "LR6400"};
    QTest::newRow("1024") << 1024.f << QStringList{"LR683",   "LR2048",   "LR4096",
                                                   "LR40960", "LR204800", "LR409600"};
}

void TestConsole::functionKeyDefaults()
{
    QFETCH(float, lines);
    QFETCH(QStringList, moves);
    test::useEmptyStore();
    PumpState state;
    state.Encoderaufloesung = lines;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    TranscriptLines transcript;
    frmDirekt console(state, link, transcript);
    QStringList boxes;
    for (int n = 1; n <= 12; ++n)
        boxes << console.findChild<QLineEdit *>(QStringLiteral("txtF%1").arg(n))->text();
    QCOMPARE(boxes, QStringList({"V1000", "V2000", "V3000", "V4000", "V5000", "V6000"}) + moves);
}

void TestConsole::commandLineRefused_data()
{
    QTest::addColumn<QString>("box"); // txtCommand, or a function key's box
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // empty: sent
    const QString control = QStringLiteral(
        "A command may not contain control characters: %1 at position %2. Give each command a "
        "line of its own.");
    const QString tooLong =
        QStringLiteral("A command may have at most 255 characters; this one has 256.");
    const QString longest = QStringLiteral("V1000") + QString(250, QLatin1Char(' '));
    const struct {
        const char *name;
        QString text, refusal;
    } rows[] = {
        {"CR", QStringLiteral("V1000\rEEPSAV"), control.arg("CR (0x0D)").arg(6)},
        {"LF", QStringLiteral("V1000\n"), control.arg("LF (0x0A)").arg(6)},
        {"XOFF", QStringLiteral("V\x13 1000"), control.arg("XOFF (0x13)").arg(2)},
        {"NUL", QString(QChar(0)) + "V1000", control.arg("NUL (0x00)").arg(1)},
        {"DEL", QStringLiteral("V1000\x7f"), control.arg("DEL (0x7F)").arg(6)},
        {"0x01", QStringLiteral("V\x01"), control.arg("0x01").arg(2)},
        {"beyond Latin-1", QStringLiteral("V1000 \u20ac"),
         QStringLiteral(
             "The character \"\u20ac\" at position 7 cannot be sent to the controller.")},
        {"256 characters", longest + 'x', tooLong},
        {"255 characters", longest, QString()},
    };
    for (const auto &row : rows) {
        QTest::addRow("command line, %s", row.name)
            << "txtCommand" << row.text
            << (row.refusal.isEmpty() ? QString()
                                      : "The command line was not sent. " + row.refusal);
        QTest::addRow("F5, %s", row.name)
            << "txtF5" << row.text
            << (row.refusal.isEmpty() ? QString() : "Function key F5 was not sent. " + row.refusal);
    }
}

void TestConsole::commandLineRefused()
{
    QFETCH(QString, box);
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    Rig rig;
    QVERIFY(rig.open());
    rig.show();
    auto *edit = rig.child<QLineEdit>(box.toLatin1().constData());
    edit->setText(text);
    rig.button(box == QLatin1String("txtCommand") ? "cmdSend" : "cmdF5")->click();

    QCOMPARE(rig.messages.texts(), refusal.isEmpty() ? QStringList() : QStringList{refusal});
    QCOMPARE(rig.sentLines(), refusal.isEmpty() ? QStringList{text} : QStringList());
    // A refused line stays for mending; a sent one has gone into the transcript.
    QCOMPARE(edit->text(), refusal.isEmpty() && box == QLatin1String("txtCommand") ? "" : text);
    QCOMPARE(transcript(rig), refusal.isEmpty() ? QStringList{text} : QStringList());
}

void TestConsole::stopDropsQueuedOutput_data()
{
    QTest::addColumn<bool>("held");        // XOFF holds the line; else it drains at 9600 baud
    QTest::addColumn<int>("presses");      // of F1, 251 bytes each
    QTest::addColumn<QStringList>("note"); // in the transcript
    QTest::addColumn<QStringList>("stop"); // the last lines at the controller
    QTest::newRow("draining at 9600 baud")
        << false << 128 << QStringList() << QStringList{"V 0", "DELAY 100"};
    QTest::newRow("held by XOFF") << true << 4
                                  << QStringList{"(not sent: 1004 bytes dropped for the stop)"}
                                  << QStringList{"", "V 0", "DELAY 100"};
}

void TestConsole::stopDropsQueuedOutput()
{
    QFETCH(bool, held);
    QFETCH(int, presses);
    QFETCH(QStringList, note);
    QFETCH(QStringList, stop);
    Rig rig;
    rig.sim().setLineRate(9600);
    QVERIFY(rig.open());
    rig.show();
    if (held) {
        rig.port.setHandshaking(1); // as the port gate sets it
        rig.sim().sendRaw("\x13m");
        QTRY_COMPARE(transcript(rig), QStringList{"m (unsolicited)"});
    }
    const QStringList before = transcript(rig);
    const QString key = QStringLiteral("V1000") + QString(245, QLatin1Char(' '));
    rig.child<QLineEdit>("txtF1")->setText(key);
    for (int i = 0; i < presses; ++i)
        rig.button("cmdF1")->click();
    if (held)
        QTRY_COMPARE(rig.port.BytesPending(), qint64(presses * (key.size() + 1)));
    else
        QVERIFY(test::waitForLines(rig.sim(), 2)); // half a second on the line

    QElapsedTimer clock;
    clock.start();
    qint64 stopAt = -1;
    QObject::connect(&rig.sim(), &sim::ControllerSim::lineReceived, rig.console.get(),
                     [&](const QString &l) {
                         if (l == QLatin1String("V 0"))
                             stopAt = clock.elapsed();
                     });
    QTest::keyClick(rig.child<QLineEdit>("txtCommand"), Qt::Key_Escape);
    // Each press as it went to the port, what the stop dropped of them, then the stop.
    const QStringList shown =
        before + QStringList(QList<QString>(presses, key)) + note + QStringList{"V 0", "DELAY 100"};
    QCOMPARE(transcript(rig), shown);
    if (held)
        rig.sim().sendRaw("\x11");
    QVERIFY(test::waitForLine(rig.sim(), QStringLiteral("DELAY 100")));
    const QStringList lines = rig.sim().receivedLines();
    QCOMPARE(lines.mid(lines.size() - stop.size()), stop);
    QCOMPARE(lines.count(key), lines.size() - stop.size());
    if (!held) {
        qInfo("Esc to \"V 0\" at the controller: %lld ms", qlonglong(stopAt));
        QVERIFY2(stopAt >= 0 && stopAt < 100, qPrintable(QString::number(stopAt)));
    }
}

void TestConsole::showProgress_data()
{
    QTest::addColumn<QString>("bar");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("scale");
    QTest::addColumn<int>("squares");
    QTest::addColumn<int>("labelTwips"); // value label's left edge from the bar's
    QTest::addColumn<QString>("text");

    QTest::newRow("3000 of 6000") << "GN" << 3000 << 6000 << 10 << 780 << "3000";
    QTest::newRow("0") << "GN" << 0 << 6000 << 0 << -220 << "0";
    QTest::newRow("6000") << "GN" << 6000 << 6000 << 20 << 1780 << "6000";
    QTest::newRow("7000 limited") << "GN" << 7000 << 6000 << 23 << 2080 << "7000";
    QTest::newRow("-1500 backwards") << "GN" << -1500 << 6000 << 5 << 280 << "-1500";
    QTest::newRow("huge") << "GN" << 2147483647 << 6000 << 23 << 2080 << "2147483647";
    QTest::newRow("no scale") << "GN" << 500 << 0 << 0 << -220 << "500";
    QTest::newRow("current 1400") << "GRC" << 1400 << 2800 << 10 << 780 << "1400";
    QTest::newRow("current 2800") << "GRC" << 2800 << 2800 << 20 << 1780 << "2800";
}

void TestConsole::showProgress()
{
    QFETCH(QString, bar);
    QFETCH(int, value);
    QFETCH(int, scale);
    QFETCH(int, squares);
    QFETCH(int, labelTwips);
    QFETCH(QString, text);
    test::useEmptyStore();
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    TranscriptLines transcript;
    frmDirekt console(state, link, transcript);
    console.show();
    auto *balken = console.findChild<SquareBar *>(QStringLiteral("lblBar") + bar);
    auto *wert = console.findChild<QLabel *>(QStringLiteral("lblValue") + bar);
    QVERIFY(balken && wert);
    QCOMPARE(wert->text(), QStringLiteral("?"));
    const int leftAtZero = wert->x();

    console.ShowProgress(balken, wert, value, scale);

    QCOMPARE(balken->squareCount(), squares);
    QCOMPARE(wert->text(), text);
    QCOMPARE(wert->x() - balken->x(), twipsToPixels(labelTwips, balken));
    // Both positions are rounded to whole pixels.
    QVERIFY(qAbs(wert->x() - leftAtZero - twipsToPixels(labelTwips + 220, balken)) <= 1);
    // The label's centre stands over the bar's end.
    QVERIFY(qAbs(wert->geometry().center().x() -
                 (balken->x() + twipsToPixels(100 * squares, balken))) <=
            2 + twipsToPixels(100, balken));
}

void TestConsole::barRepaintsOnlyOnChange()
{
    test::useEmptyStore();
    PumpState state;
    MSComm port;
    WindowAttendant attendant(nullptr);
    ControllerLink link(state, port, attendant);
    TranscriptLines transcript;
    frmDirekt console(state, link, transcript);
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
    auto *balken = console.findChild<SquareBar *>(QStringLiteral("lblBarGN"));
    auto *wert = console.findChild<QLabel *>(QStringLiteral("lblValueGN"));

    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    balken->installEventFilter(&counter);

    // Painted at once on a new count, not at all for the same count.
    const std::pair<qint32, int> steps[] = {{3000, 1}, {3000, 0}, {3050, 0}, {3300, 1}, {-3300, 0}};
    for (const auto &[value, paints] : steps) {
        const int before = counter.paints;
        console.ShowProgress(balken, wert, value, 6000);
        QCOMPARE(counter.paints - before, paints);
    }
    QCOMPARE(balken->squareCount(), 11);
}

void TestConsole::pollColours_data()
{
    QTest::addColumn<QString>("grc");
    QTest::addColumn<QString>("gfs");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("squares");
    QTest::addColumn<QString>("label");

    // Dauerstrom is 230 mA.
    QTest::newRow("300 mA over 230") << "300"
                                     << "0000" << kYellow << 2 << "300";
    QTest::newRow("current limiting") << "200"
                                      << "0100" << kYellow << 1 << "200";
    QTest::newRow("four zeros") << "200"
                                << "0000" << kRed << 1 << "200";
    QTest::newRow("at the limit") << "230"
                                  << "0000" << kRed << 2 << "230";
    QTest::newRow("other flags") << "200"
                                 << "1011" << kRed << 1 << "200";
    QTest::newRow("short fault reply") << "200"
                                       << "0" << kRed << 1 << "200";
    QTest::newRow("not a number") << "2x0"
                                  << "0100" << kRed << 0 << "?";
    QTest::newRow("fraction") << "200.5"
                              << "0100" << kRed << 0 << "?";
}

void TestConsole::pollColours()
{
    QFETCH(QString, grc);
    QFETCH(QString, gfs);
    QFETCH(QColor, colour);
    QFETCH(int, squares);
    QFETCH(QString, label);
    Rig rig;
    QVERIFY(rig.open());
    rig.state.settings.Dauerstrom = 230;
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("3000"));
    rig.sim().setReply(QStringLiteral("GRC"), grc);
    rig.sim().setReply(QStringLiteral("GFS"), gfs);
    rig.show();
    auto *current = rig.child<SquareBar>("lblBarGRC");
    auto *speed = rig.child<SquareBar>("lblBarGN");

    QColor seenColour;
    int seenSquares = -1, seenSpeed = -1;
    QString seenLabel, seenSpeedLabel;
    Trigger afterOneCycle([&] { return rig.count(QStringLiteral("GN")) >= 2; },
                          [&] {
                              seenColour = current->color();
                              seenSquares = current->squareCount();
                              seenLabel = rig.child<QLabel>("lblValueGRC")->text();
                              seenSpeed = speed->squareCount();
                              seenSpeedLabel = rig.child<QLabel>("lblValueGN")->text();
                              rig.button("cmdWerteabfrageStop")->click();
                          },
                          30000, [&] { rig.button("cmdWerteabfrageStop")->click(); });
    rig.button("cmdWerteabfrageStart")->click();
    QVERIFY(rig.settle(35000));

    QVERIFY(afterOneCycle.fired());
    QCOMPARE(seenColour, colour);
    QCOMPARE(seenSquares, squares);
    QCOMPARE(seenLabel, label);
    QCOMPARE(seenSpeed, 10);
    QCOMPARE(seenSpeedLabel, QStringLiteral("3000"));
    QCOMPARE(speed->color(), kDarkBlue);
    QCOMPARE(rig.messages.count(), 0);
}

void TestConsole::pollCycleAndStop()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setReply(QStringLiteral("GN"), QStringLiteral("1200"));
    rig.sim().setReply(QStringLiteral("GRC"), QStringLiteral("300"));
    rig.show();
    const char *const readButtons[] = {"cmdZustand", "cmdParameterLaden", "cmdParameterSetzen",
                                       "cmdEEPSAV"};
    // Stop with no poll running only resets the bars; the next Start polls normally.
    rig.button("cmdWerteabfrageStop")->click();
    QCOMPARE(rig.child<QLabel>("lblValueGN")->text(), QStringLiteral("?"));
    QCOMPARE(rig.sentLines(), QStringList{});

    QElapsedTimer clock;
    clock.start();
    QList<qint64> gnTimes, grcTimes;
    QObject::connect(&rig.sim(), &sim::ControllerSim::lineReceived, &rig.sim(),
                     [&](const QString &line) {
                         if (line == QLatin1String("GN"))
                             gnTimes << clock.elapsed();
                         else if (line == QLatin1String("GRC"))
                             grcTimes << clock.elapsed();
                     });

    bool disabledWhilePolling = false, startDisabled = false, othersEnabled = false;
    bool afterStop = false;
    QStringList barsAfterStop;
    Trigger fourCycles(
        [&] { return gnTimes.size() >= 4; },
        [&] {
            startDisabled = !rig.button("cmdWerteabfrageStart")->isEnabled();
            disabledWhilePolling = true;
            for (const char *b : readButtons)
                disabledWhilePolling = disabledWhilePolling && !rig.button(b)->isEnabled();
            othersEnabled = rig.button("cmdSend")->isEnabled() &&
                            rig.button("cmdF1")->isEnabled() && rig.button("cmdEsc")->isEnabled() &&
                            rig.button("cmdSor0")->isEnabled() &&
                            rig.button("cmdSchliessen")->isEnabled();
            rig.button("cmdWerteabfrageStop")->click();
            // Stop resets the bars and frees Start; the others wait for the cycle.
            afterStop = rig.button("cmdWerteabfrageStart")->isEnabled() &&
                        !rig.button("cmdZustand")->isEnabled() && rig.console->AbfrageStopp();
            barsAfterStop << rig.child<QLabel>("lblValueGN")->text()
                          << rig.child<QLabel>("lblValueGRC")->text()
                          << QString::number(rig.child<SquareBar>("lblBarGN")->squareCount())
                          << QString::number(rig.child<SquareBar>("lblBarGRC")->squareCount())
                          << rig.child<SquareBar>("lblBarGRC")->color().name();
        },
        30000, [&] { rig.button("cmdWerteabfrageStop")->click(); });
    rig.button("cmdWerteabfrageStart")->click();
    QVERIFY(rig.settle(35000));

    QVERIFY(fourCycles.fired());
    QVERIFY(startDisabled);
    QVERIFY(disabledWhilePolling);
    QVERIFY(othersEnabled);
    QVERIFY(afterStop);
    QCOMPARE(barsAfterStop, (QStringList{"?", "?", "0", "0", kRed.name()}));
    // The running cycle has ended: everything is back.
    for (const char *b : readButtons)
        QVERIFY2(rig.button(b)->isEnabled(), b);
    QVERIFY(rig.button("cmdWerteabfrageStart")->isEnabled());
    QCOMPARE(rig.console->AbfrageStopp(), false);
    QCOMPARE(rig.child<QLabel>("lblValueGN")->text(), QStringLiteral("?"));

    // Three reads a cycle, always in this order, then the pause.
    // Stop came after the fourth "GN" had gone out; the read in progress was the last.
    const QStringList lines = rig.sentLines();
    QVERIFY2(lines.size() >= 10 && lines.size() <= 12, qPrintable(lines.join(',')));
    for (int i = 0; i < lines.size(); ++i)
        QCOMPARE(lines.at(i), (QStringList{"GN", "GFS", "GRC"}).at(i % 3));
    // The pause between a cycle's last read and the next cycle is the 0.3 s, not more:
    // the replies come at once, so the gap from "GRC" to the next "GN" is the pause.
    for (int i = 1; i < 4; ++i) {
        const qint64 pause = gnTimes.at(i) - grcTimes.at(i - 1);
        QVERIFY2(pause >= 295 && pause < 400, qPrintable(QString::number(pause)));
    }
    QCOMPARE(rig.messages.count(), 0);
}

void TestConsole::stopWithSilentController()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(sim::Fault::Silent);
    rig.show();
    Trigger onFirstMessage([&] { return rig.messages.count() >= 1; },
                           [&] { rig.button("cmdWerteabfrageStop")->click(); }, 30000,
                           [&] { rig.button("cmdWerteabfrageStop")->click(); });
    QElapsedTimer clock;
    clock.start();
    rig.button("cmdWerteabfrageStart")->click();
    QVERIFY(rig.settle(35000));

    QVERIFY(onFirstMessage.fired());
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    // At most the read in progress when Stop came reports as well.
    QVERIFY2(rig.messages.count() <= 2, qPrintable(rig.messages.texts().join('|')));
    for (const QString &text : rig.messages.texts())
        QCOMPARE(text, kNoResponse);
    QVERIFY(rig.button("cmdWerteabfrageStart")->isEnabled());
    QVERIFY(rig.button("cmdZustand")->isEnabled());
    rig.sim().clearReceived();
    QCOMPARE(rig.sentLines(), QStringList{});
}

void TestConsole::startAgainBeforeCycleEnds()
{
    // Start pressed again while the stopped cycle is still waiting must not leave a
    // second poll behind that runs on after the next Stop.
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(sim::Fault::LateJustUnder, 200); // every reply takes 0.2 s
    rig.show();
    auto stop = [&] { rig.button("cmdWerteabfrageStop")->click(); };
    int restartedAt = 0;
    Trigger restart([&] { return rig.count(QStringLiteral("GFS")) >= 1; },
                    [&] {
                        stop();
                        rig.button("cmdWerteabfrageStart")->click();
                        restartedAt = rig.count(QStringLiteral("GN"));
                    });
    Trigger finalStop(
        [&] { return restart.fired() && rig.count(QStringLiteral("GN")) >= restartedAt + 2; }, stop,
        30000, stop);
    rig.button("cmdWerteabfrageStart")->click();
    QVERIFY(rig.settle(35000));

    QVERIFY(restart.fired());
    QVERIFY(finalStop.fired());
    QVERIFY(!rig.console->AbfrageLaeuft());
    QVERIFY(rig.button("cmdZustand")->isEnabled());
    rig.sim().clearReceived();
    QCOMPARE(rig.sentLines(), QStringList{});
    QCOMPARE(rig.messages.count(), 0);
}

void TestConsole::linkLostEndsPoll()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.show();
    Trigger hangUp([&] { return rig.count(QStringLiteral("GN")) >= 2; },
                   [&] { rig.sim().hangUp(); });
    Trigger safety([] { return false; }, [] {}, 20000,
                   [&] { rig.button("cmdWerteabfrageStop")->click(); });
    rig.button("cmdWerteabfrageStart")->click();
    QVERIFY(rig.settle(35000));

    QVERIFY(hangUp.fired());
    QVERIFY(!safety.timedOut());
    QCOMPARE(rig.state.SchnittstelleOffen, false);
    QVERIFY(rig.button("cmdWerteabfrageStart")->isEnabled());
    QVERIFY(rig.button("cmdZustand")->isEnabled());
    QCOMPARE(rig.child<QLabel>("lblValueGN")->text(), QStringLiteral("?"));
    // One report of the loss, not one message per read.
    QTRY_VERIFY(rig.messages.count() >= 1);
    QVERIFY2(rig.messages.texts().count(kNoResponse) <= 1,
             qPrintable(rig.messages.texts().join('|')));
}

void TestConsole::closeWhileWaiting_data()
{
    QTest::addColumn<QString>("activity");
    QTest::addColumn<bool>("closeBox");
    QTest::addColumn<bool>("silent");
    QTest::newRow("poll, Close") << "cmdWerteabfrageStart" << false << false;
    QTest::newRow("poll, close box") << "cmdWerteabfrageStart" << true << false;
    QTest::newRow("silent poll, close box") << "cmdWerteabfrageStart" << true << true;
    QTest::newRow("terminal, Close") << "cmdSend" << false << true;
    QTest::newRow("status, close box") << "cmdZustand" << true << true;
    QTest::newRow("load, Close") << "cmdParameterLaden" << false << true;
}

void TestConsole::closeWhileWaiting()
{
    QFETCH(QString, activity);
    QFETCH(bool, closeBox);
    QFETCH(bool, silent);
    Rig rig;
    QVERIFY(rig.open());
    if (silent)
        rig.sim().setFault(sim::Fault::Silent);

    QPointer<QDialog> console;
    std::unique_ptr<Trigger> closer;
    bool closedWhileBusy = false;
    int linesAtClose = -1;
    test::onNextModal([&](QWidget *w) {
        console = qobject_cast<QDialog *>(w);
        closer = std::make_unique<Trigger>(
            [&] {
                return rig.sim().receivedLines().size() >= 2 ||
                       (silent && !rig.sim().receivedLines().isEmpty());
            },
            [&] {
                closedWhileBusy = true;
                linesAtClose = int(rig.sim().receivedLines().size());
                if (closeBox)
                    console->close();
                else
                    console->findChild<QPushButton *>(QStringLiteral("cmdSchliessen"))->click();
            },
            30000, [&] { console->close(); });
        w->findChild<QPushButton *>(activity)->click();
    });
    QElapsedTimer clock;
    clock.start();
    frmDirekt::oeffnen(rig.state, rig.link, rig.transcript, nullptr);

    QVERIFY2(closedWhileBusy, qPrintable(QStringLiteral("%1 ms, lines %2, messages %3")
                                             .arg(clock.elapsed())
                                             .arg(rig.sim().receivedLines().join(QLatin1Char(',')))
                                             .arg(rig.messages.texts().join(QLatin1Char('|')))));
    QVERIFY(console.isNull());
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    // The read in progress (perhaps still on its way) was the last: nothing goes out after closing.
    const int sentAfter = int(rig.sentLines().size());
    QVERIFY2(
        sentAfter >= linesAtClose && sentAfter <= linesAtClose + 1,
        qPrintable(QStringLiteral("%1 lines, %2 at closing").arg(sentAfter).arg(linesAtClose)));
    QVERIFY2(rig.messages.count() <= 1, qPrintable(rig.messages.texts().join('|')));
    QCOMPARE(rig.state.SchnittstelleOffen, true); // the port stays open for the main window
    QVERIFY(rig.port.PortOpen());
}

void TestConsole::programEndingStopsPoll()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(sim::Fault::Silent);
    rig.show();
    test::EndRecorder ending;
    int linesAtEnd = -1;
    int messagesAtEnd = -1;
    Trigger end([&] { return rig.count(QStringLiteral("GFS")) >= 1; },
                [&] {
                    linesAtEnd = int(rig.sim().receivedLines().size());
                    messagesAtEnd = rig.messages.count(); // the silent "GN" before
                    endProgram(0);
                },
                30000, [&] { rig.button("cmdWerteabfrageStop")->click(); });
    QElapsedTimer clock;
    clock.start();
    rig.button("cmdWerteabfrageStart")->click();
    // The ending leaves the poll as it is: nothing of it acts any more.
    QVERIFY(test::serveUntil([&] { return end.fired() || end.timedOut(); }, 35000));
    QVERIFY(test::waitForQuietLine(rig.link));

    QVERIFY(end.fired());
    QVERIFY(ending.ended());
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.messages.count(), messagesAtEnd); // no "doesn't respond" while leaving
    // Nothing after the ending: the marker follows the lines seen then.
    const QStringList lines = rig.sentLines();
    QCOMPARE(lines.size(), linesAtEnd);
    // Keys pressed now send nothing either.
    QTest::keyClick(rig.child<QLineEdit>("txtCommand"), Qt::Key_Escape);
    rig.button("cmdParameterSetzen")->click();
    QCOMPARE(rig.sentLines(), QStringList{});
}

void TestConsole::readStatus()
{
    Rig rig;
    QVERIFY(rig.open());
    const std::pair<const char *, const char *> replies[] = {
        {"GN", "-1500"}, {"GRC", "0210"}, {"TEM", "31.5"}, {"GFS", "0100"}};
    for (const auto &[query, reply] : replies)
        rig.sim().setReply(QString::fromLatin1(query), QString::fromLatin1(reply));
    rig.show();

    rig.button("cmdZustand")->click();
    QVERIFY(rig.settle());

    QStringList boxes;
    for (const char *box : {"txtGN", "txtGRC", "txtTEM", "txtGFS"})
        boxes << rig.child<QLineEdit>(box)->text();
    QCOMPARE(boxes, (QStringList{"-1500", "0210", "31.5", "0100"}));
    QCOMPARE(rig.sentLines(), (QStringList{"GN", "GRC", "TEM", "GFS"}));
    // Read Status leaves the bars alone.
    QCOMPARE(rig.child<QLabel>("lblValueGN")->text(), QStringLiteral("?"));
    QCOMPARE(rig.messages.count(), 0);
}

void TestConsole::parametersSetAndLoad_data()
{
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("loaded");
    QTest::addColumn<QStringList>("shown"); // messages
    const QStringList readBack{"GSP", "GAC", "GCC", "GPC"};
    QTest::newRow("four values") << QStringList{"4000", "1000", "200", "350"}
                                 << QStringList{"SP 4000", "AC 1000", "LCC 200", "LPC 350"} +
                                        readBack
                                 << QStringList{"4000", "1000", "200", "350"} << QStringList{};
    // An empty box is no value inside the bounds: nothing goes out, the controller keeps its
    // values.
    QTest::newRow("one empty") << QStringList{"", "800", "210", "390"} << QStringList{}
                               << QStringList{"6000", "500", "230", "400"}
                               << QStringList{"Please enter an integer number between 1 and 6000."};
}

void TestConsole::parametersSetAndLoad()
{
    QFETCH(QStringList, typed);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, loaded);
    QFETCH(QStringList, shown);
    Rig rig;
    QVERIFY(rig.open());
    rig.show();
    const char *const boxes[] = {"txtSP", "txtAC", "txtLCC", "txtLPC"};
    for (int i = 0; i < 4; ++i)
        rig.child<QLineEdit>(boxes[i])->setText(typed.at(i));
    const bool changedBefore = rig.state.ParameterGeaendert;

    rig.button("cmdParameterSetzen")->click();
    QVERIFY(rig.settle());
    QCOMPARE(rig.sentLines(), sent);
    QCOMPARE(rig.state.ParameterGeaendert, changedBefore);
    QCOMPARE(rig.messages.texts(), shown);

    for (const char *box : boxes)
        rig.child<QLineEdit>(box)->setText(QStringLiteral("stale"));
    rig.button("cmdParameterLaden")->click();
    QVERIFY(rig.settle());
    QStringList values;
    for (const char *box : boxes)
        values << rig.child<QLineEdit>(box)->text();
    QCOMPARE(values, loaded);
    QCOMPARE(rig.sentLines(), (QStringList{"GSP", "GAC", "GCC", "GPC"}));
    QCOMPARE(rig.state.settings.Maximaldrehzahl, 6000.f); // the settings stay as they are
    QCOMPARE(rig.messages.texts(), shown);
}

void TestConsole::loadClickedTwice()
{
    // A double click must not start a second read sequence inside the first, whose
    // reply would then be taken away and reported as missing.
    Rig rig;
    QVERIFY(rig.open());
    rig.sim().setFault(sim::Fault::LateJustUnder, 150);
    rig.show();
    Trigger second([&] { return rig.count(QStringLiteral("GSP")) >= 1; },
                   [&] { rig.button("cmdParameterLaden")->click(); });
    rig.button("cmdParameterLaden")->click();
    QVERIFY(rig.settle());

    QVERIFY(second.fired());
    QCOMPARE(rig.messages.count(), 0);
    QCOMPARE(rig.child<QLineEdit>("txtSP")->text(), QStringLiteral("6000"));
    QCOMPARE(rig.child<QLineEdit>("txtLPC")->text(), QStringLiteral("400"));
    QCOMPARE(rig.sentLines(), (QStringList{"GSP", "GAC", "GCC", "GPC"}));
}

void TestConsole::eepromSave_data()
{
    QTest::addColumn<int>("answer");    // MsgResult
    QTest::addColumn<QString>("reply"); // null: silent controller
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("shown");

    const QString question = QStringLiteral("Save new values in EEPROM?");
    const QString failed = QStringLiteral("Data could not be written into EEPROM.");
    // The values to be stored are read and shown before the question.
    const QStringList read{"GSP", "GAC", "GCC", "GPC"};
    const QStringList saved = read + QStringList{"EEPSAV"};
    QTest::newRow("No") << int(MsgResult::No) << "EEPROM writing done" << read
                        << QStringList{question};
    QTest::newRow("Yes, done") << int(MsgResult::Yes) << "EEPROM writing done" << saved
                               << QStringList{question};
    QTest::newRow("Yes, done inside a longer reply")
        << int(MsgResult::Yes) << "ok: EEPROM writing done." << saved << QStringList{question};
    QTest::newRow("Yes, other reply")
        << int(MsgResult::Yes) << "EEPROM writing failed" << saved << QStringList{question, failed};
    QTest::newRow("Yes, other case")
        << int(MsgResult::Yes) << "eeprom writing done" << saved << QStringList{question, failed};
    // A controller that does not answer the first read is not asked to save anything.
    QTest::newRow("silent") << int(MsgResult::Yes) << QString() << QStringList{"GSP"}
                            << QStringList{kNoResponse};
}

void TestConsole::eepromSave()
{
    QFETCH(int, answer);
    QFETCH(QString, reply);
    QFETCH(QStringList, sent);
    QFETCH(QStringList, shown);
    Rig rig;
    QVERIFY(rig.open());
    if (reply.isNull())
        rig.sim().setFault(sim::Fault::Silent);
    else
        rig.sim().setReply(QStringLiteral("EEPSAV"), reply);
    frmDirekt &console = rig.show();
    int comparisons = 0;
    console.showComparisonDialog = [&](ParameterCompareDialog &) {
        // Shown before the question, never after it.
        if (rig.messages.count() == 0)
            ++comparisons;
    };
    rig.messages.script({MsgResult(answer)});

    rig.button("cmdEEPSAV")->click();
    QVERIFY(rig.settle());

    QCOMPARE(rig.messages.texts(), shown);
    QCOMPARE(comparisons, reply.isNull() ? 0 : 1);
    const Message &ask = rig.messages.messages().first();
    if (!reply.isNull()) {
        QCOMPARE(ask.title, QStringLiteral("Warnung"));
        QCOMPARE(ask.buttons, MsgButtons::YesNo);
        QCOMPARE(ask.icon, MsgIcon::Exclamation);
    }
    if (shown.size() > 1) {
        const Message &fail = rig.messages.messages().last();
        QCOMPARE(fail.title, QStringLiteral("Fehler"));
        QCOMPARE(fail.buttons, MsgButtons::Ok);
        QCOMPARE(fail.icon, MsgIcon::Critical);
    }
    QCOMPARE(rig.sentLines(), sent);
}

void TestConsole::dosesWhilePolling_data()
{
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<int>("splitGapMs"); // 0: the notification comes in one piece
    QTest::addColumn<int>("doses");
    QTest::newRow("answers at once") << 0 << 0 << 5;
    QTest::newRow("answers after 0.25 s, notification split by 20 ms") << 250 << 20 << 40;
}

void TestConsole::dosesWhilePolling()
{
    // The console polls while a dosing run goes on: a dose waits behind at most the one
    // query on the line, never behind a nested wait, and no reply or notification is lost.
    QFETCH(int, replyDelayMs);
    QFETCH(int, splitGapMs);
    QFETCH(int, doses);
    constexpr qint64 kLatestNs = 260 * 1000000LL;
    // The run tells its pause's time left in whole milliseconds.
    constexpr qint64 kEarliestNs = -1000000LL;
    test::AppFixture app;
    QVERIFY(app.state().SchnittstelleOffen);
    sim::ControllerSim &sim = app.sim();
    sim.setReplyDelay(replyDelayMs);
    if (splitGapMs > 0)
        sim.setFault(sim::Fault::SplitNotification, splitGapMs);
    // 3 µl a revolution, 16 lines: a quarter revolution is 16 increments, a short move.
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(2);
    app.enter("txtMenge", QStringLiteral("0.25"));
    app.enter("txtWiederholung", QString::number(doses));
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(1); // s
    app.enter("txtPause", QStringLiteral("1"));
    app.messages().clear();
    (void)test::readReply(app.window().link(), QStringLiteral("VER"));
    app.window().link().ParameterSetzen();

    frmDirekt console(app.state(), app.window().link(), app.window().consoleTranscript(),
                      &app.window());
    console.show();
    int cycles = 0;
    QObject::connect(&console, &frmDirekt::liveValues, &console, [&] { ++cycles; });
    // When each pause ends, on the program's clock (the simulator stamps on the same);
    // from the time left, as other receivers of the progress may have taken a while.
    PumpRun &run = app.window().run();
    QList<qint64> pauseEndNs;
    bool pausing = false;
    QObject::connect(&run, &PumpRun::fortschritt, &console, [&] {
        const PumpRun::Progress progress = run.progress();
        if (progress.pausing && !pausing)
            pauseEndNs << clockNs() + qint64(progress.secondsLeft * 1e9);
        pausing = progress.pausing;
    });
    console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStart"))->click();
    QVERIFY(test::serveUntil([&] { return cycles >= 1; }, 10000));
    sim.clearReceived();

    QElapsedTimer clock;
    clock.start();
    app.find<QPushButton>("cmdStart")->click();
    QVERIFY2(app.waitForRunEnd(doses * 3000 + 10000), "the run hung");
    const qint64 took = clock.elapsed();
    const int cyclesDuringRun = cycles;
    console.findChild<QPushButton *>(QStringLiteral("cmdWerteabfrageStop"))->click();
    QVERIFY(test::serveUntil([&] { return !console.AbfrageLaeuft(); }, 5000));

    QCOMPARE(run.outcome().end, RunOutcome::End::Completed);
    QCOMPARE(run.outcome().dosesDone, qint64(doses));
    QCOMPARE(app.messages().texts(), QStringList{});
    QCOMPARE(sim.notificationsSent(), doses);
    // Each dose's "LA" at the controller, the first after the run's own "LA 0".
    const QStringList lines = sim.receivedLines();
    const QList<qint64> at = sim.receivedAtNs();
    QList<qint64> doseAtNs;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(QLatin1String("LA ")) && lines.at(i) != QLatin1String("LA 0"))
            doseAtNs << at.at(i);
    }
    QCOMPARE(doseAtNs.size(), doses);
    QCOMPARE(pauseEndNs.size(), doses - 1);
    qint64 worstNs = 0;
    for (int i = 0; i < doses - 1; ++i) {
        const qint64 lateNs = doseAtNs.at(i + 1) - pauseEndNs.at(i);
        QVERIFY2(lateNs >= kEarliestNs && lateNs <= kLatestNs,
                 qPrintable(QStringLiteral("dose %1: %2 ms after its pause ended")
                                .arg(i + 2)
                                .arg(double(lateNs) / 1e6, 0, 'f', 1)));
        worstNs = std::max(worstNs, lateNs);
    }
    qInfo("%d doses in %lld ms while polling (%d cycles): the latest \"LA\" %.1f ms after its "
          "pause",
          doses, took, cyclesDuringRun, double(worstNs) / 1e6);
    // The poll went on beside the run: a cycle is three replies and the 0.3 s pause.
    const qint64 cycleMs = 3 * (replyDelayMs + 5) + frmDirekt::kAbfragePauseMs;
    QVERIFY2(cyclesDuringRun >= took / cycleMs / 2, qPrintable(QString::number(cyclesDuringRun)));
}

void TestConsole::chooserStartsWhereLastSaved_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("suggested"); // the file name offered; empty: a folder only
    QTest::addColumn<bool>("fails");        // the save or open goes wrong
    const struct {
        const char *name;
        Chosen kind;
        const char *suggested;
    } kinds[] = {
        {"history export", Chosen::Export, "^runs-export\\.csv$"},
        {"value log", Chosen::ValueLog, "^live-\\d{8}-\\d{6}\\.csv$"},
        {"parameter backup", Chosen::BackupSave,
         "^drive-parameters-COM1-\\d{4}-\\d\\d-\\d\\d\\.json$"},
        {"parameter restore", Chosen::BackupOpen, ""},
        {"transcript", Chosen::Transcript, "^console-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.txt$"},
    };
    for (const auto &k : kinds) {
        QTest::addRow("%s", k.name) << int(k.kind) << QString::fromLatin1(k.suggested) << false;
        QTest::addRow("%s, failing", k.name)
            << int(k.kind) << QString::fromLatin1(k.suggested) << true;
    }
}

void TestConsole::chooserStartsWhereLastSaved()
{
    QFETCH(int, kind);
    QFETCH(QString, suggested);
    QFETCH(bool, fails);
    Rig rig;
    QVERIFY(rig.openPort());
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const auto chosen = Chosen(kind);
    const QString folder = QDir(elsewhere.path()).filePath(QStringLiteral("kept here"));
    QVERIFY(QDir().mkpath(folder));
    const QString name = chosen == Chosen::Transcript ? QStringLiteral("session.txt")
                         : chosen == Chosen::BackupSave || chosen == Chosen::BackupOpen
                             ? QStringLiteral("drive.json")
                             : QStringLiteral("values.csv");
    QString file = QDir(folder).filePath(name);
    if (chosen == Chosen::BackupOpen) {
        ParameterBackup backup;
        backup.values = {QStringLiteral("3000"), QStringLiteral("500"), QStringLiteral("230"),
                         QStringLiteral("400")};
        backup.pumpType = QStringLiteral("vyt-P01");
        backup.port = QStringLiteral("COM1");
        backup.saved = QDateTime::currentDateTime();
        QString error;
        QVERIFY2(writeBackup(file, backup, &error), qPrintable(error));
        if (fails) {
            QFile broken(file);
            QVERIFY(broken.open(QIODevice::WriteOnly));
            broken.write("not a backup");
        }
    } else if (fails) {
        // A file where the folder should be: nothing can be written below it.
        QFile blocker(QDir(folder).filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        file = QDir(blocker.fileName()).filePath(name);
    }

    ChooserTrial trial{rig, chosen, file,
                       {},  {},     QDir(elsewhere.path()).filePath(QStringLiteral("runs.csv"))};
    trial.run();
    // Before any save: the data folder, with the file name the window suggests.
    const QString start =
        suggested.isEmpty() ? trial.startedAt : QFileInfo(trial.startedAt).absolutePath();
    QCOMPARE(start, dataFolder());
    if (!suggested.isEmpty())
        QVERIFY2(
            QRegularExpression(suggested).match(QFileInfo(trial.startedAt).fileName()).hasMatch(),
            qPrintable(trial.startedAt));
    if (fails) {
        QCOMPARE(rig.messages.count(), 1);
        QVERIFY2(rig.messages.texts().constFirst().contains(file),
                 qPrintable(rig.messages.texts().join('|')));
    } else {
        QCOMPARE(rig.messages.count(), 0);
        // The confirmation names the whole path.
        if (chosen != Chosen::BackupOpen)
            QCOMPARE(trial.confirmed, QStringLiteral("Saved in %1.").arg(file));
        QVERIFY(QFileInfo::exists(file));
    }
    QCOMPARE(test::storedValue(QStringLiteral("Folders"), QLatin1String(storeKey(chosen))),
             fails ? QString() : folder);

    // A new window, as after a restart: the store tells where the last one went.
    trial.answer.clear(); // cancelled: the folder stays
    trial.run();
    const QString again =
        suggested.isEmpty() ? trial.startedAt : QFileInfo(trial.startedAt).absolutePath();
    QCOMPARE(again, fails ? dataFolder() : folder);
    if (!suggested.isEmpty())
        QVERIFY(
            QRegularExpression(suggested).match(QFileInfo(trial.startedAt).fileName()).hasMatch());
    trial.run();
    QCOMPARE(suggested.isEmpty() ? trial.startedAt : QFileInfo(trial.startedAt).absolutePath(),
             fails ? dataFolder() : folder);

    // Each kind has its own folder: the others still start in the data folder.
    for (const FileKind other :
         {FileKind::Export, FileKind::ValueLog, FileKind::Parameters, FileKind::Transcript}) {
        if (other != fileKind(chosen))
            QCOMPARE(lastFolder(other), dataFolder());
    }
}

void TestConsole::consoleSendsInTranscript_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("shown"); // in the transcript, with marks
    QTest::addColumn<QStringList>("sent");  // what reached the controller
    QTest::newRow("F1") << "F1" << QStringList{"> V1000"} << QStringList{"V1000"};
    QTest::newRow("F8 button") << "cmdF8" << QStringList{"> LR32", "> M"}
                               << QStringList{"LR32", "M"};
    QTest::newRow("SOR 1") << "cmdSor1" << QStringList{"> SOR 1"} << QStringList{"SOR 1"};
    QTest::newRow("Esc") << "Esc" << QStringList{"> V 0", "> DELAY 100"}
                         << QStringList{"V 0", "DELAY 100"};
    QTest::newRow("Read Status") << "cmdZustand"
                                 << QStringList{"> GN",  "< -1500", "> GRC", "< 0210",
                                                "> TEM", "< 31.5",  "> GFS", "< 0100"}
                                 << QStringList{"GN", "GRC", "TEM", "GFS"};
    QTest::newRow("Set Parameters")
        << "cmdParameterSetzen"
        << QStringList{"> SP 4000", "> AC 1000", "> LCC 200", "> LPC 350", "> GSP", "< 4000",
                       "> GAC",     "< 1000",    "> GCC",     "< 200",     "> GPC", "< 350"}
        << QStringList{"SP 4000", "AC 1000", "LCC 200", "LPC 350", "GSP", "GAC", "GCC", "GPC"};
    // The poll's values are on the bars; a run's commands are not the console's.
    QTest::newRow("live-value poll") << "poll" << QStringList{} << QStringList{"GN", "GFS", "GRC"};
    QTest::newRow("another sender") << "other" << QStringList{} << QStringList{"V 5"};
}

void TestConsole::consoleSendsInTranscript()
{
    QFETCH(QString, action);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, sent);
    Rig rig;
    QVERIFY(rig.open());
    rig.state.Encoderaufloesung = 16.f; // F8: half a revolution, 2 increments per line
    rig.console.reset();
    const std::pair<const char *, const char *> replies[] = {
        {"GN", "-1500"}, {"GRC", "0210"}, {"TEM", "31.5"}, {"GFS", "0100"}};
    for (const auto &[query, reply] : replies)
        rig.sim().setReply(QString::fromLatin1(query), QString::fromLatin1(reply));
    frmDirekt &console = rig.show();
    const char *const boxes[] = {"txtSP", "txtAC", "txtLCC", "txtLPC"};
    const char *const values[] = {"4000", "1000", "200", "350"};
    for (int i = 0; i < 4; ++i)
        rig.child<QLineEdit>(boxes[i])->setText(QLatin1String(values[i]));
    auto *line = rig.child<QLineEdit>("txtCommand");

    if (action == QLatin1String("F1"))
        QTest::keyClick(line, Qt::Key_F1);
    else if (action == QLatin1String("Esc"))
        QTest::keyClick(line, Qt::Key_Escape);
    else if (action == QLatin1String("poll"))
        (void)rig.pollCycles(1);
    else if (action == QLatin1String("other"))
        rig.link.BefehlSenden(QStringLiteral("V 5"));
    else
        rig.button(action.toLatin1().constData())->click();
    QVERIFY(rig.settle());

    QCOMPARE(rig.sentLines(), sent);
    QCOMPARE(marked(*rig.child<QPlainTextEdit>("txtTerminal")), shown);
    QCOMPARE(rig.messages.count(), 0);
    QVERIFY(console.isVisible());
}

void TestConsole::transcriptKeptWhileProgramRuns()
{
    test::AppFixture app;
    QStringList seen[3];
    QStringList sentAt[3];
    const auto openConsole = [&](int opening, const std::function<void(QWidget *)> &act) {
        test::onNextModal([&, opening, act](QWidget *console) {
            auto *view = console->findChild<QPlainTextEdit *>(QStringLiteral("txtTerminal"));
            seen[opening] = marked(*view);
            act(console);
            sentAt[opening] = marked(*view);
            console->findChild<QPushButton *>(QStringLiteral("cmdSchliessen"))->click();
        });
        app.window().activateWindow();
        QWidget *focus = QApplication::focusWidget() ? QApplication::focusWidget() : &app.window();
        QTest::keyClick(focus, Qt::Key_H, Qt::ShiftModifier | Qt::ControlModifier);
    };
    // F1, then the console closes; opened again it shows F1's line and adds F2's.
    openConsole(0, [](QWidget *console) {
        QTest::keyClick(console->findChild<QLineEdit *>(QStringLiteral("txtCommand")), Qt::Key_F1);
    });
    openConsole(1, [](QWidget *console) {
        QTest::keyClick(console->findChild<QLineEdit *>(QStringLiteral("txtCommand")), Qt::Key_F2);
    });
    // Clear empties it for good.
    openConsole(2, [](QWidget *console) {
        console->findChild<QPushButton *>(QStringLiteral("cmdTranscriptClear"))->click();
    });

    QCOMPARE(seen[0], QStringList{});
    QCOMPARE(sentAt[0], QStringList{"> V1000"});
    QCOMPARE(seen[1], QStringList{"> V1000"});
    QCOMPARE(sentAt[1], (QStringList{"> V1000", "> V2000"}));
    QCOMPARE(seen[2], (QStringList{"> V1000", "> V2000"}));
    QCOMPARE(app.window().consoleTranscript().lines(), QStringList{});
    QVERIFY(test::waitForLine(app.sim(), QStringLiteral("V2000")));
    QVERIFY(app.sim().receivedLines().contains(QStringLiteral("V1000")));
}

void TestConsole::transcriptKeepsNewestLines_data()
{
    QTest::addColumn<int>("added");
    QTest::addColumn<int>("kept");
    const int most = int(TranscriptLines::kMaxLines);
    QTest::newRow("a few") << 3 << 3;
    QTest::newRow("just the most") << most << most;
    QTest::newRow("one too many") << most + 1 << most;
    QTest::newRow("far too many") << 3 * most + 7 << most;
}

void TestConsole::transcriptKeepsNewestLines()
{
    QFETCH(int, added);
    QFETCH(int, kept);
    Rig rig;
    QVERIFY(rig.openPort());
    for (int i = 0; i < added; ++i)
        rig.transcript.append(QStringLiteral("line %1").arg(i));
    QCOMPARE(rig.transcript.lines().size(), kept);
    QCOMPARE(rig.transcript.lines().constFirst(), QStringLiteral("line %1").arg(added - kept));

    // The console opened again shows the same; F1 pushes the oldest out when full.
    rig.show();
    QTest::keyClick(rig.child<QLineEdit>("txtCommand"), Qt::Key_F1);
    QVERIFY(rig.settle());
    auto *view = rig.child<QPlainTextEdit>("txtTerminal");
    const QStringList shown = view->toPlainText().split(QLatin1Char('\n'));
    const int now = std::min(kept + 1, int(TranscriptLines::kMaxLines));
    QCOMPARE(shown.size(), now);
    QCOMPARE(rig.transcript.lines(), shown);
    QVERIFY(shown.constLast().endsWith(QLatin1String(" > V1000")));
    QCOMPARE(shown.constFirst(), QStringLiteral("line %1").arg(added + 1 - now));
}

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
