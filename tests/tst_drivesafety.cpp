// Drive safety: every way a run can end puts the stop on the wire, on time, whatever
// window is open and whatever the line does; nothing outside the bounds reaches the
// controller; a notification only counts for the move it belongs to.
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "support/AppFixture.h"
#include "session/Clock.h"
#include "session/Wait.h"
#include "support/TestWait.h"
#include "support/LineWait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>

using namespace vyt;
using namespace vyt::test;
using vyt::sim::Fault;

namespace {

const QStringList kStop{"SOR 0", "V 0"};
// The stop's lateness against its deadline that a test accepts; the bench measures the
// real figure (a few milliseconds). The slack is for a loaded machine and the sanitizers.
constexpr qint64 kLateMs = 300;

enum class Way {
    Duration,     // the flow's time is up
    Stop,         // a click on Stop
    StopRefused,  // a click on Stop while a field holds an entry that will be refused
    EscNo,        // Esc, then No to the save question
    ExitNo,       // Exit, then No
    CloseBox,     // the window's close box, then No
    SigTerm,
    SigHup,
    LinkLost,
    Suspend,      // the computer sleeps past the flow's end
    About,        // a modal window stays open across the deadline
    Console,
    ExitQuestion, // the save question left open, then Cancel
    Refusal,      // a field's refusal message left open
};

} // namespace
Q_DECLARE_METATYPE(Way)
namespace {

bool endsProgram(Way w)
{
    return w == Way::EscNo || w == Way::ExitNo || w == Way::CloseBox || w == Way::SigTerm ||
           w == Way::SigHup;
}
bool opensModal(Way w)
{
    return w == Way::About || w == Way::Console || w == Way::ExitQuestion || w == Way::Refusal;
}

// Times at which the simulator received lines, on the test's clock.
class LineTimes {
public:
    explicit LineTimes(sim::ControllerSim &sim)
    {
        m_clock.start();
        QObject::connect(&sim, &sim::ControllerSim::lineReceived, &m_context,
                         [this](const QString &line) {
                             m_lines << qMakePair(line, m_clock.elapsed());
                             Wakeup::poke(); // a test waiting in a modal loop looks again
                         });
    }
    // When the n-th (0-based) occurrence of line arrived at or after fromMs; -1 if never.
    [[nodiscard]] qint64 at(const QString &line, int n = 0, qint64 fromMs = 0) const
    {
        for (const auto &l : m_lines) {
            if (l.first == line && l.second >= fromMs && n-- == 0)
                return l.second;
        }
        return -1;
    }
    [[nodiscard]] qint64 now() const { return m_clock.elapsed(); }

private:
    QObject m_context;
    QElapsedTimer m_clock;
    QList<QPair<QString, qint64>> m_lines;
};

// Waits as a modal window's own loop does, until the line has arrived (at most 5 s).
bool holdUntilLine(const sim::ControllerSim &sim, const QString &line)
{
    return QTest::qWaitFor([&] { return sim.receivedLines().contains(line); }, 5000);
}

void prime(AppFixture &app)
{
    (void)test::readReply(app.window().link(), QStringLiteral("VER"));
    app.window().link().ParameterSetzen();
    app.window().link().BefehlSenden(QStringLiteral("ZZ"));
    (void)waitForLine(app.sim(), QStringLiteral("ZZ"));
    app.sim().clearReceived();
}

// A flow of durationS seconds (0: endless) at 5 ml/min on 3 µl per revolution: "V 1667".
void setUpFlow(AppFixture &app, const QString &duration)
{
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(0);
    app.enter("txtFoerderstrom", QStringLiteral("5"));
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(1);
    if (duration == QLatin1String("0"))
        app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    else
        app.enter("txtDauer", duration);
    app.messages().clear();
    app.find<QPushButton>("cmdStart")->setFocus();
}

// Doses of 30 µl (640 increments) with a pause in ms between them.
void setUpDosing(AppFixture &app, const QString &times, const QString &pauseMs)
{
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(0);
    app.enter("txtMenge", QStringLiteral("30"));
    if (times.isEmpty())
        app.find<QCheckBox>("cbxEndlosDosierung")->setChecked(true);
    else
        app.enter("txtWiederholung", times);
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(0);
    app.enter("txtPause", pauseMs);
    app.messages().clear();
    app.find<QPushButton>("cmdStart")->setFocus();
}

void typeInto(AppFixture &app, const char *field, const QString &text)
{
    auto *edit = app.find<QLineEdit>(field);
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

// Opens the modal window of the way and keeps it open until line has reached the
// controller. Answers whether it did while the window was open.
bool withModalOpen(AppFixture &app, Way way, const QString &line)
{
    bool arrived = false;
    QWidget *focus = QApplication::focusWidget() ? QApplication::focusWidget() : &app.window();
    switch (way) {
    case Way::About:
    case Way::Console:
        onNextModal([&](QWidget *w) {
            arrived = holdUntilLine(app.sim(), line);
            w->close();
        });
        if (way == Way::About)
            QTest::keyClick(focus, Qt::Key_F1);
        else
            QTest::keyClick(focus, Qt::Key_H, Qt::ShiftModifier | Qt::ControlModifier);
        break;
    case Way::ExitQuestion:
    case Way::Refusal:
        app.messages().setWhileOpen([&](const Message &) { arrived = holdUntilLine(app.sim(), line); });
        if (way == Way::ExitQuestion) {
            app.messages().script({MsgResult::Cancel});
            QTest::keyClick(focus, Qt::Key_Escape);
        } else {
            typeInto(app, "txtDichte", QStringLiteral("99"));
            QTest::keyClick(app.find<QLineEdit>("txtDichte"), Qt::Key_Tab);
        }
        // The box was answered inside the key press.
        app.messages().setWhileOpen({});
        break;
    default: break;
    }
    return arrived;
}

} // namespace

class tst_drivesafety : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void waysToEnd_data();
    void waysToEnd();
    void dosingScheduleUnderModal_data();
    void dosingScheduleUnderModal();
    void xoffHoldsTheStop_data();
    void xoffHoldsTheStop();
    void stopDropsQueuedOutput_data();
    void stopDropsQueuedOutput();
    void damagedStoreSendsNothingOutOfBounds_data();
    void damagedStoreSendsNothingOutOfBounds();
    void staleNotificationDoesNotCount();
    void everyRunLeavesAJournalRow_data();
    void everyRunLeavesAJournalRow();
    void longRunWritesProgressRows_data();
    void longRunWritesProgressRows();
    void journalFailuresToldOncePerKind_data();
    void journalFailuresToldOncePerKind();
};

void tst_drivesafety::waysToEnd_data()
{
    QTest::addColumn<bool>("flow");
    QTest::addColumn<Way>("way");
    const QList<QPair<const char *, Way>> both{
        {"Stop", Way::Stop},     {"Stop, refused entry", Way::StopRefused},
        {"Esc, No", Way::EscNo}, {"Exit, No", Way::ExitNo},
        {"close box, No", Way::CloseBox}, {"SIGTERM", Way::SigTerm},
        {"SIGHUP", Way::SigHup}, {"lost link", Way::LinkLost}};
    for (const auto &[name, way] : both) {
        QTest::addRow("flow: %s", name) << true << way;
        QTest::addRow("dosing: %s", name) << false << way;
    }
    QTest::newRow("flow: duration") << true << Way::Duration;
    QTest::newRow("flow: suspend past the end") << true << Way::Suspend;
    QTest::newRow("flow: About open") << true << Way::About;
    QTest::newRow("flow: console open") << true << Way::Console;
    QTest::newRow("flow: save question open") << true << Way::ExitQuestion;
    QTest::newRow("flow: refusal message open") << true << Way::Refusal;
}

void tst_drivesafety::waysToEnd()
{
    QFETCH(bool, flow);
    QFETCH(Way, way);
    AppFixture app;
    app.sim().setInstantMoves(true);
    const bool timed = way == Way::Duration || way == Way::Suspend || opensModal(way);
    // A timed flow of 1 s (3 s when the clock jumps), or a run that waits until told: an
    // endless flow, a dose whose arrival never comes.
    if (flow)
        setUpFlow(app, timed ? (way == Way::Suspend ? "3" : "1") : "0");
    else
        setUpDosing(app, QStringLiteral("1"), QStringLiteral("0"));
    prime(app);
    if (!flow)
        app.sim().setFault(Fault::Silent);
    const QString runLine = flow ? QStringLiteral("V 1667") : QStringLiteral("NP 640");
    LineTimes times(app.sim());

    app.find<QPushButton>("cmdStart")->click();
    QVERIFY(waitForLine(app.sim(), runLine));
    const qint64 runAt = times.at(runLine);
    const int linesAtRun = int(app.sim().receivedLines().size());
    qint64 deadline = timed ? runAt + (way == Way::Suspend ? 3000 : 1000) : -1;
    bool modalSawStop = false;
    int linesAtLoss = -1;
    QString refusal;

    switch (way) {
    case Way::Duration: break;
    case Way::Stop: QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton); break;
    case Way::StopRefused: {
        // The stop goes out before the field's message: it is on the line while the box is open.
        bool stopBeforeMessage = false;
        app.messages().setWhileOpen([&](const Message &m) {
            refusal = m.text;
            stopBeforeMessage = holdUntilLine(app.sim(), QStringLiteral("V 0"));
        });
        typeInto(app, flow ? "txtFoerderstrom" : "txtPause", flow ? QStringLiteral("abc") : QString());
        QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton);
        app.messages().setWhileOpen({});
        QVERIFY(stopBeforeMessage);
        QCOMPARE(refusal, flow ? QStringLiteral("Please enter a real number.")
                               : QStringLiteral("Please enter a positve real number."));
        break;
    }
    case Way::EscNo:
        app.messages().script({MsgResult::No});
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        break;
    case Way::ExitNo:
        app.messages().script({MsgResult::No});
        QTest::mouseClick(app.find<QPushButton>("cmdBeenden"), Qt::LeftButton);
        break;
    case Way::CloseBox:
        app.messages().script({MsgResult::No});
        app.window().close();
        break;
    case Way::SigTerm: ::raise(SIGTERM); break;
    case Way::SigHup: ::raise(SIGHUP); break;
    case Way::LinkLost:
        linesAtLoss = linesAtRun;
        app.sim().hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!app.window().MSComm1().PortOpen(), 5000);
        break;
    case Way::Suspend:
        // Asleep for 10 s, a second into the flow: the stop goes out at once on waking.
        QTRY_VERIFY_WITH_TIMEOUT(times.now() >= runAt + 1000, 5000);
        advanceClockForTest(10000);
        deadline = times.now();
        break;
    case Way::About:
    case Way::Console:
    case Way::ExitQuestion:
    case Way::Refusal: modalSawStop = withModalOpen(app, way, QStringLiteral("V 0")); break;
    }

    if (endsProgram(way)) {
        QTRY_VERIFY_WITH_TIMEOUT(app.ends().ended(), 5000);
        QVERIFY(!app.window().MSComm1().PortOpen());
    }
    QVERIFY(app.waitForRunEnd(10000));
    if (way == Way::LinkLost) {
        // Nothing more goes out on a line that is gone, and the window is idle.
        QCOMPARE(int(app.sim().receivedLines().size()), linesAtLoss);
        QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
        return;
    }
    QVERIFY(waitForLine(app.sim(), QStringLiteral("V 0")));
    const QStringList lines = app.sim().receivedLines();
    QCOMPARE(lines.mid(linesAtRun, 2), kStop);
    if (endsProgram(way))
        QCOMPARE(lines.mid(linesAtRun), kStop); // the port closed behind the stop
    if (opensModal(way))
        QVERIFY2(modalSawStop, "the stop waited for the modal window to close");
    if (deadline >= 0) {
        const qint64 late = times.at(QStringLiteral("V 0"), 0, runAt) - deadline;
        // The simulator shares the test's event loop: it may stamp the speed command some
        // milliseconds after it left, which makes the stop look early by as much.
        QVERIFY2(late >= -60 && late < kLateMs, qPrintable(QStringLiteral("%1 ms late").arg(late)));
    }
    if (!endsProgram(way))
        QVERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
}

void tst_drivesafety::dosingScheduleUnderModal_data()
{
    QTest::addColumn<Way>("way");
    QTest::newRow("About") << Way::About;
    QTest::newRow("console") << Way::Console;
    QTest::newRow("save question") << Way::ExitQuestion;
    QTest::newRow("refusal message") << Way::Refusal;
}

void tst_drivesafety::dosingScheduleUnderModal()
{
    // A window opened during the pause after the first dose stays open: the second dose
    // still goes out when the pause is over.
    QFETCH(Way, way);
    AppFixture app;
    app.sim().setInstantMoves(true);
    setUpDosing(app, QStringLiteral("2"), QStringLiteral("1000"));
    prime(app);
    LineTimes times(app.sim());
    app.find<QPushButton>("cmdStart")->click();
    QTRY_VERIFY_WITH_TIMEOUT(app.sim().notificationsSent() == 1, 5000);
    const qint64 arrivedAt = times.now();
    const bool duringModal = withModalOpen(app, way, QStringLiteral("LA 1280"));
    QVERIFY(app.waitForRunEnd(10000));
    QVERIFY2(duringModal, "the second dose waited for the modal window to close");
    const qint64 gap = times.at(QStringLiteral("LA 1280")) - arrivedAt;
    QVERIFY2(gap >= 950 && gap < 1000 + kLateMs, qPrintable(QStringLiteral("%1 ms").arg(gap)));
}

void tst_drivesafety::xoffHoldsTheStop_data()
{
    QTest::addColumn<Way>("way");
    QTest::newRow("Stop") << Way::Stop;
    QTest::newRow("end of the flow") << Way::Duration;
    QTest::newRow("Exit, No") << Way::ExitNo;
}

void tst_drivesafety::xoffHoldsTheStop()
{
    // The controller says XOFF and nothing else: the stop waits in the queue, the
    // operator is told, and it goes out on XON (not on any other byte).
    QFETCH(Way, way);
    AppFixture app;
    setUpFlow(app, way == Way::Duration ? "1" : "0");
    prime(app);
    app.find<QPushButton>("cmdStart")->click();
    QVERIFY(waitForLine(app.sim(), QStringLiteral("V 1667")));
    const int linesAtRun = int(app.sim().receivedLines().size());
    // The line discipline takes input in order: once the line's reader has the byte
    // behind XOFF, XOFF has stopped the output.
    QSignalSpy taken(&app.window().link().line(), &LineQueue::unsolicited);
    app.sim().sendRaw(QByteArray("\x13x"));
    QTRY_VERIFY_WITH_TIMEOUT(taken.count() > 0, 5000);
    if (way == Way::Stop)
        QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton);
    if (way == Way::ExitNo) {
        app.messages().script({MsgResult::No});
        QTest::mouseClick(app.find<QPushButton>("cmdBeenden"), Qt::LeftButton);
        // The exit waited for the queue and says that the stop did not go.
        QVERIFY(app.ends().ended());
        QCOMPARE(app.messages().count(), 2);
        QCOMPARE(app.messages().messages().at(1).title, QStringLiteral("Error"));
        QVERIFY(app.messages().texts().at(1).startsWith("The stop command could not be sent"));
        QCOMPARE(int(app.sim().receivedLines().size()), linesAtRun);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(app.messages().count(), 1, 5000);
    const Message held = app.messages().messages().first();
    QCOMPARE(held.title, QStringLiteral("Error"));
    QVERIFY2(held.text.contains("does not accept data"), qPrintable(held.text));
    QVERIFY(app.window().MSComm1().BytesPending() > 0);
    app.sim().sendRaw("x");
    QCOMPARE(int(app.sim().receivedLines().size()), linesAtRun);
    app.sim().sendRaw(QByteArray("\x11"));
    QVERIFY(waitForLine(app.sim(), QStringLiteral("V 0")));
    QCOMPARE(app.sim().receivedLines().mid(linesAtRun, 2), kStop);
    QVERIFY(app.waitForRunEnd(5000));
}

void tst_drivesafety::stopDropsQueuedOutput_data()
{
    QTest::addColumn<QString>("way");
    for (const char *way : {"Stop", "remote stop", "SIGTERM", "Exit, No"})
        QTest::newRow(way) << QString::fromLatin1(way);
}

void tst_drivesafety::stopDropsQueuedOutput()
{
    // Half a minute of output queued at 9600 baud: the stop goes first, whatever asks for it.
    QFETCH(QString, way);
    AppFixture app;
    app.sim().setLineRate(9600);
    setUpFlow(app, "0");
    prime(app);
    app.find<QPushButton>("cmdStart")->click();
    QVERIFY(waitForLine(app.sim(), QStringLiteral("V 1667")));
    const int linesAtRun = int(app.sim().receivedLines().size());
    app.window().MSComm1().setOutput(QByteArray("ZZ\r").repeated(10000));
    QVERIFY(waitForLines(app.sim(), linesAtRun + 100));
    LineTimes times(app.sim());

    if (way == QLatin1String("Stop")) {
        QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton);
    } else if (way == QLatin1String("remote stop")) {
        app.window().session().stop();
    } else if (way == QLatin1String("SIGTERM")) {
        ::raise(SIGTERM);
    } else {
        app.messages().script({MsgResult::No});
        QTest::mouseClick(app.find<QPushButton>("cmdBeenden"), Qt::LeftButton);
    }
    QVERIFY(waitForLine(app.sim(), QStringLiteral("V 0")));
    const qint64 stopAt = times.at(QStringLiteral("V 0"));
    qInfo("\"V 0\" at the controller %lld ms after the %s", qlonglong(stopAt), qPrintable(way));
    QVERIFY2(stopAt < 150, qPrintable(QString::number(stopAt)));
    const QStringList lines = app.sim().receivedLines();
    QCOMPARE(lines.mid(lines.size() - 2), kStop);
    const QStringList queued = lines.mid(linesAtRun, lines.size() - 2 - linesAtRun);
    QCOMPARE(queued.count(QStringLiteral("ZZ")), queued.size());
    QVERIFY(queued.size() < 1000);
    QCOMPARE(app.ends().ended(),
             way == QLatin1String("SIGTERM") || way == QLatin1String("Exit, No"));
}

void tst_drivesafety::damagedStoreSendsNothingOutOfBounds_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("offered"); // the type's own value, shown instead
    QTest::addColumn<int>("place");       // 0 Start, 1 console, 2 potentiometer
    const QString between = QStringLiteral("Please enter an integer number between %1 and %2.");
    const struct {
        const char *key, *stored, *field, *offered;
        QString message;
    } rows[] = {
        {"Maximaldrehzahl", "3E+38", "txtMaximaldrehzahl", "6000", between.arg(1).arg(6000)},
        {"Beschleunigung", "1E+30", "txtBeschleunigung", "500", "Please enter a value from 1 to 2000."},
        {"Dauerstrom", "-5", "txtDauerstrom", "230", between.arg(100).arg(300)},
        {"Spitzenstrom", "1E+09", "txtSpitzenstrom", "400", between.arg(100).arg(400)},
    };
    const char *places[] = {"Start", "console", "potentiometer"};
    for (int place = 0; place < 3; ++place) {
        for (const auto &r : rows)
            QTest::addRow("%s=%s, %s", r.key, r.stored, places[place])
                << r.key << r.stored << r.message << r.field << r.offered << place;
    }
}

void tst_drivesafety::damagedStoreSendsNothingOutOfBounds()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(QString, message);
    QFETCH(QString, field);
    QFETCH(QString, offered);
    QFETCH(int, place);
    AppFixture app(1, false);
    storeValue("COM1", "Betriebsart", "2");
    storeValue("COM1", key, stored);
    QVERIFY(app.start());
    app.sim().setInstantMoves(true);
    // Kept as stored on the screen: nothing is compared at start-up.
    QCOMPARE(app.find<QLineEdit>(qPrintable(field))->text(), stored);
    app.sim().clearReceived();
    QWidget *focus = QApplication::focusWidget() ? QApplication::focusWidget() : &app.window();
    switch (place) {
    case 0: app.find<QPushButton>("cmdStart")->click(); break;
    case 1: QTest::keyClick(focus, Qt::Key_H, Qt::ShiftModifier | Qt::ControlModifier); break;
    case 2: app.find<QCheckBox>("cbxPotentiometer")->click(); break;
    }
    QVERIFY(app.waitForRunEnd(5000));
    QCOMPARE(app.messages().texts(), QStringList{message});
    auto *edit = app.find<QLineEdit>(qPrintable(field));
    QVERIFY(edit->hasFocus());
    QCOMPARE(edit->text(), offered);
    QVERIFY(!app.find<QCheckBox>("cbxPotentiometer")->isChecked());
    app.window().link().BefehlSenden(QStringLiteral("ZZ"));
    QVERIFY(waitForLine(app.sim(), QStringLiteral("ZZ")));
    QCOMPARE(app.sim().receivedLines(), QStringList{"ZZ"});

    // The offered value is taken as typed: the next Start sends it and runs.
    app.sim().clearReceived();
    app.messages().clear();
    app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(false);
    app.find<QPushButton>("cmdStart")->click();
    QVERIFY(app.waitForRunEnd(10000));
    QCOMPARE(app.messages().texts(), QStringList());
    const QStringList lines = app.sim().receivedLines();
    const QString prefix = QStringList{"SP ", "AC ", "LCC ", "LPC "}.at(
        QStringList{"Maximaldrehzahl", "Beschleunigung", "Dauerstrom", "Spitzenstrom"}.indexOf(key));
    QVERIFY2(lines.contains(prefix + offered), qPrintable(lines.join('|')));
}

void tst_drivesafety::staleNotificationDoesNotCount()
{
    // A late or doubled "p" that comes in during the pause does not count for the next
    // dose: that dose waits for its own notification.
    AppFixture app;
    app.sim().setInstantMoves(true);
    setUpDosing(app, QStringLiteral("2"), QStringLiteral("300"));
    prime(app);
    app.find<QPushButton>("cmdStart")->click();
    QTRY_VERIFY_WITH_TIMEOUT(app.sim().notificationsSent() == 1, 5000);
    app.sim().setFault(Fault::Silent);
    app.sim().sendRaw("p\r\n");
    QVERIFY(waitForLine(app.sim(), QStringLiteral("NP 1280")));
    // Still waiting a good while later: the stale notification was dropped.
    QVERIFY(!QTest::qWaitFor([&] { return !app.window().running(); }, 500));
    app.find<QPushButton>("cmdStop")->click();
    QVERIFY(app.waitForRunEnd(5000));
}

void tst_drivesafety::everyRunLeavesAJournalRow_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<Way>("way");
    QTest::addColumn<QStringList>("expected"); // mode .. interrupted dose, as the journal holds them
    // Own values (no medium), density 1, factor 1; the unit of what was delivered.
    QTest::newRow("two doses") << "dosing" << Way::Duration
                               << QStringList{"dosing", "30", "µl", "2", "2", "60", "completed", "",
                                              "", "1", "1", "µl", ""};
    QTest::newRow("dosing, Stop") << "dosing" << Way::Stop
                                  << QStringList{"dosing", "30", "µl", "endless", "", "", "stopped", "",
                                                 "", "1", "1", "µl", ""};
    QTest::newRow("flow of 1 s") << "flow" << Way::Duration
                                 << QStringList{"flow", "5", "ml/min", "", "", "0.08333333", "completed", "",
                                                "", "1", "1", "ml", ""};
    QTest::newRow("flow, lost link") << "flow" << Way::LinkLost
                                     << QStringList{"flow", "5", "ml/min", "", "", "", "link lost", "",
                                                    "", "1", "1", "ml", ""};
    QTest::newRow("flow, SIGTERM") << "flow" << Way::SigTerm
                                   << QStringList{"flow", "5", "ml/min", "", "", "", "program ended", "",
                                                  "", "1", "1", "ml", ""};
    QTest::newRow("flow, Esc, No") << "flow" << Way::EscNo
                                   << QStringList{"flow", "5", "ml/min", "", "", "", "program ended", "",
                                                  "", "1", "1", "ml", ""};
    QTest::newRow("potentiometer") << "potentiometer" << Way::Stop
                                   << QStringList{"potentiometer", "", "", "", "", "", "stopped", "",
                                                  "", "1", "1", "", ""};
    QTest::newRow("potentiometer, lost link")
        << "potentiometer" << Way::LinkLost
        << QStringList{"potentiometer", "", "", "", "", "", "link lost", "", "", "1", "1", "", ""};
}

void tst_drivesafety::everyRunLeavesAJournalRow()
{
    // One row when the run ends, however it ends; the counts the run saw, the amounts
    // nominal. An empty expected field that varies with time (doses, amount) is not compared.
    QFETCH(QString, mode);
    QFETCH(Way, way);
    QFETCH(QStringList, expected);
    AppFixture app;
    app.sim().setInstantMoves(true);
    QFile::remove(app.window().runJournal().path());
    if (mode == QLatin1String("dosing"))
        setUpDosing(app, way == Way::Stop ? QString() : QStringLiteral("2"), QStringLiteral("0"));
    else
        setUpFlow(app, way == Way::Duration ? "1" : "0");
    prime(app);
    if (mode == QLatin1String("potentiometer"))
        app.find<QCheckBox>("cbxPotentiometer")->click();
    else
        app.find<QPushButton>("cmdStart")->click();
    QVERIFY(waitForLines(app.sim(), 3));
    switch (way) {
    case Way::Stop: QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton); break;
    case Way::LinkLost: app.sim().hangUp(); break;
    case Way::SigTerm: ::raise(SIGTERM); break;
    case Way::EscNo:
        app.messages().script({MsgResult::No});
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        break;
    default: break;
    }
    QVERIFY(app.waitForRunEnd(10000));
    QTRY_COMPARE_WITH_TIMEOUT(RunJournal::readRows(app.window().runJournal().path()).size(), 1, 5000);
    const QStringList row = RunJournal::readRows(app.window().runJournal().path()).first();
    QCOMPARE(row.size(), RunJournal::header().size());
    QCOMPARE(row.at(2), QStringLiteral("COM1"));
    QCOMPARE(row.at(3), app.sim().devicePath());
    QCOMPARE(row.at(4), QStringLiteral("vyt-P02"));
    const QStringList got = row.mid(5);
    for (int i = 0; i < expected.size(); ++i) {
        if (!expected.at(i).isEmpty() || i == 2 || i == 7 || i == 8 || i == 11)
            QCOMPARE(got.at(i), expected.at(i));
    }
    QVERIFY(QDateTime::fromString(row.at(0), Qt::ISODate) <= QDateTime::fromString(row.at(1), Qt::ISODate));
    // The motor was turning when the line went: the stop never reached it, and the
    // operator is told to stop it at the controller.
    if (way == Way::LinkLost)
        QTRY_VERIFY(!app.messages().messages().isEmpty() &&
                    app.messages().messages().last().text.endsWith(
                        QStringLiteral("The stop could not be sent. The pump may still be running. "
                                       "Stop it at the controller.")));
}

void tst_drivesafety::longRunWritesProgressRows_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("counted"); // the running row carries the doses done so far
    QTest::newRow("endless dosing") << "dosing" << true;
    QTest::newRow("endless flow") << "flow" << false;
    QTest::newRow("potentiometer") << "potentiometer" << false;
}

void tst_drivesafety::longRunWritesProgressRows()
{
    // A row marked running each minute while the run goes on; the final row follows it
    // with the same start and port, and the file is only ever appended to.
    QFETCH(QString, mode);
    QFETCH(bool, counted);
    AppFixture app;
    app.sim().setInstantMoves(true);
    const QString path = app.window().runJournal().path();
    QFile::remove(path);
    if (mode == QLatin1String("dosing"))
        setUpDosing(app, QString(), QStringLiteral("0"));
    else
        setUpFlow(app, "0");
    prime(app);
    if (mode == QLatin1String("potentiometer"))
        app.find<QCheckBox>("cbxPotentiometer")->click();
    else
        app.find<QPushButton>("cmdStart")->click();
    QVERIFY(waitForLines(app.sim(), 3));
    if (counted)
        QTRY_VERIFY(app.window().run().outcomeSoFar().dosesDone > 3);
    advanceClockForTest(61000);
    QTRY_COMPARE(RunJournal::readRows(path).size(), 1);
    const QStringList progress = RunJournal::readRows(path).first();
    QCOMPARE(progress.at(11), QStringLiteral("running"));
    if (counted)
        QVERIFY(progress.at(9).toLongLong() > 3);
    const QByteArray before = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    QTest::mouseClick(app.find<QPushButton>("cmdStop"), Qt::LeftButton);
    QVERIFY(app.waitForRunEnd(10000));
    QTRY_COMPARE(RunJournal::readRows(path).size(), 2);
    const QStringList final = RunJournal::readRows(path).last();
    QCOMPARE(final.at(11), QStringLiteral("stopped"));
    QCOMPARE(final.at(0), progress.at(0));
    QCOMPARE(final.at(2), progress.at(2));
    if (counted)
        QVERIFY(final.at(9).toLongLong() >= progress.at(9).toLongLong());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().startsWith(before));
    QCOMPARE(app.messages().count(), 0);
}

void tst_drivesafety::journalFailuresToldOncePerKind_data()
{
    // What stands at the journal's place for each run in turn, and the messages each tells:
    // a folder (the file cannot be opened), /dev/full (every byte refused), a file.
    QTest::addColumn<QStringList>("places");
    QTest::addColumn<QList<int>>("told");
    QTest::newRow("same failure told once")
        << QStringList{"folder", "folder"} << QList<int>{1, 0};
    QTest::newRow("a new kind is told")
        << QStringList{"folder", "full", "full"} << QList<int>{1, 1, 0};
    QTest::newRow("recovery told once")
        << QStringList{"full", "file", "file"} << QList<int>{1, 1, 0};
    QTest::newRow("failure after recovery told again")
        << QStringList{"folder", "file", "folder"} << QList<int>{1, 1, 1};
    QTest::newRow("nothing wrong, nothing told")
        << QStringList{"file", "file"} << QList<int>{0, 0};
}

void tst_drivesafety::journalFailuresToldOncePerKind()
{
    QFETCH(QStringList, places);
    QFETCH(QList<int>, told);
    if (!QFileInfo(QStringLiteral("/dev/full")).isWritable())
        QSKIP("no /dev/full");
    AppFixture app;
    app.sim().setInstantMoves(true);
    const QString path = app.window().runJournal().path();
    const auto clear = [&] {
        QDir(path).removeRecursively();
        QFile::remove(path);
    };
    clear();
    const auto cleanUp = qScopeGuard(clear);
    for (int i = 0; i < places.size(); ++i) {
        clear();
        if (places.at(i) == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        else if (places.at(i) == QLatin1String("full"))
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), path));
        setUpDosing(app, QStringLiteral("1"), QStringLiteral("0"));
        prime(app);
        app.find<QPushButton>("cmdStart")->click();
        QVERIFY(app.waitForRunEnd(10000));
        QCOMPARE(app.messages().count(), told.at(i));
        for (const Message &m : app.messages().messages()) {
            QVERIFY2(m.text.contains(QDir::toNativeSeparators(path)), qPrintable(m.text));
            if (places.at(i) == QLatin1String("file"))
                QCOMPARE(m.icon, MsgIcon::Information);
            else
                QVERIFY2(m.text.contains(places.at(i) == QLatin1String("full")
                                             ? QStringLiteral("No space left")
                                             : QStringLiteral("folder")),
                         qPrintable(m.text));
        }
        if (places.at(i) == QLatin1String("file"))
            QCOMPARE(RunJournal::readRows(path).size(), 1);
    }
}

QTEST_MAIN(tst_drivesafety)
#include "tst_drivesafety.moc"
