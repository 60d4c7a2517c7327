// The methods window against the real main window and the simulator: opening it, the
// editor's buttons and checks, estimates, Save and Open, Run and Stop on the wire, and the
// prompt dialog.
#include "config/LastFolders.h"
#include "config/PumpCatalog.h"
#include "journal/RunJournal.h"
#include "link/ControllerLink.h"
#include "methods/dlgMethodPrompt.h"
#include "methods/ScheduleDialog.h"
#include "methods/frmMethods.h"
#include "session/MethodRun.h"
#include "session/MethodSchedule.h"
#include "session/Session.h"
#include "support/AppFixture.h"
#include "support/LineWait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QSpinBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QAbstractButton>
#include <QHash>
#include <QPlainTextEdit>
#include <QDialog>
#include <QtTest>

using namespace vyt;
using namespace vyt::test;

namespace {

const QStringList kDosingSetUp{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"};

const char *const kExample = R"({"format": "vyt-method/1", "name": "Prime and dose", "steps": [
 {"flow": {"rate": 2, "unit": "ml/min", "duration": 30, "duration_unit": "s"}},
 {"prompt": {"text": "Place the vial, then continue."}},
 {"repeat": {"count": 3, "steps": [
   {"dose": {"quantity": 30, "unit": "µl", "repetitions": 2, "pause": 500, "pause_unit": "ms"}},
   {"wait": {"duration": 1, "duration_unit": "min"}}]}}]})";

Method methodOf(const QByteArray &json)
{
    MethodError error;
    const auto m = parseMethod(json, &error);
    if (!m)
        qWarning("%s", qPrintable(error.text()));
    return m.value_or(Method{});
}

QByteArray doseJson(const QString &quantity, const QString &times)
{
    return QStringLiteral(R"({"dose": {"quantity": %1, "unit": "µl", "repetitions": %2, "pause": 0, "pause_unit": "s"}})")
        .arg(quantity, times)
        .toUtf8();
}

QByteArray methodWith(const QByteArray &steps, const QString &name = QStringLiteral("T"))
{
    return R"({"format": "vyt-method/1", "name": ")" + name.toUtf8() + R"(", "steps": [)" + steps + "]}";
}

// The shape of a method's steps: "wait repeat(dose) prompt".
QString shape(const QList<MethodStep> &steps)
{
    QStringList parts;
    for (const MethodStep &s : steps)
        parts << stepKindName(s.kind) +
                     (s.kind == MethodStep::Kind::Repeat ? "(" + shape(s.steps) + ")" : QString());
    return parts.join(' ');
}

frmMethods *openMethods(AppFixture &app)
{
    app.find<QPushButton>("cmdMethods")->click();
    auto *w = app.window().findChild<frmMethods *>("frmMethods");
    if (w) {
        QApplication::setActiveWindow(w);
        (void)QTest::qWaitForWindowExposed(w);
    }
    return w;
}

void chooseP01(AppFixture &app)
{
    auto *types = app.find<QComboBox>("cboPumpentyp");
    const int index = types->findText("vyt-P01");
    if (types->currentIndex() != index)
        types->setCurrentIndex(index); // the question answered OK
    app.messages().clear();
}

QStringList sentSoFar(AppFixture &app) { return app.sentSoFar(); }

void prime(AppFixture &app) { app.primeController(); }

void sendKey(QWidget *to, QEvent::Type type, int key, bool autoRepeat)
{
    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r");
    QKeyEvent event(type, key, Qt::NoModifier, text, autoRepeat);
    QApplication::sendEvent(to, &event);
}

bool focusOn(QWidget *w)
{
    QApplication::setActiveWindow(w->window());
    w->setFocus();
    return QTest::qWaitFor([w] { return w->hasFocus(); }, 5000);
}

} // namespace

class tst_methods : public QObject {
    Q_OBJECT
private slots:
    void triedOnTheSimulator_data();
    void triedOnTheSimulator();
    void accessKeysAreUnique_data();
    void accessKeysAreUnique();
    void opens_data();
    void opens();
    void enterOnButton_data();
    void enterOnButton();
    void rechecks_data();
    void rechecks();
    void estimates_data();
    void estimates();
    void saveThenOpen_data();
    void saveThenOpen();
    void refusedFile();
    void runOnTheWire_data();
    void runOnTheWire();
    void stopEndsIt();
    void prompt_data();
    void prompt();
    void scheduleButtons_data();
    void scheduleButtons();
};

void tst_methods::opens_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("focus");
    QTest::newRow("button") << "click" << "";
    QTest::newRow("Ctrl+M on Start") << "ctrl+m" << "cmdStart";
    QTest::newRow("Ctrl+M in a text box") << "ctrl+m" << "txtMenge";
    QTest::newRow("Enter on the button") << "enter" << "cmdMethods";
    QTest::newRow("Space on the button") << "space" << "cmdMethods";
}

void tst_methods::opens()
{
    QFETCH(QString, how);
    QFETCH(QString, focus);
    AppFixture app;
    prime(app);
    QWidget *target = focus.isEmpty() ? nullptr : app.find<QWidget>(qPrintable(focus));
    if (target)
        QVERIFY(focusOn(target));
    if (how == "click") {
        app.find<QPushButton>("cmdMethods")->click();
    } else if (how == "ctrl+m") {
        QTest::keyClick(target, Qt::Key_M, Qt::ControlModifier);
        // A text box keeps its text: the shortcut is not typed into it.
        if (auto *line = qobject_cast<QLineEdit *>(target))
            QVERIFY(!line->text().contains('m', Qt::CaseInsensitive));
    } else {
        QTest::keyClick(target, how == "enter" ? Qt::Key_Return : Qt::Key_Space);
    }
    auto *w = app.window().findChild<frmMethods *>("frmMethods");
    QVERIFY(w);
    QTRY_VERIFY(w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("Methods"));
    QVERIFY(!w->isModal());
    // Nothing started: no run, nothing on the wire.
    QVERIFY(!app.window().running());
    QCOMPARE(sentSoFar(app), QStringList());
}

void tst_methods::enterOnButton_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("repeats"); // further presses of the held key
    QTest::addColumn<bool>("flagged");
    QTest::addColumn<QString>("shapeAfter");
    QTest::addColumn<int>("saves");
    QTest::addColumn<int>("opens");
    const QString before = "wait repeat(dose) prompt";
    QTest::newRow("Add") << "cmdAdd" << "1" << 0 << false << "wait dose repeat(dose) prompt" << 0 << 0;
    QTest::newRow("Add, held, flagged") << "cmdAdd" << "1" << 5 << true << "wait dose repeat(dose) prompt" << 0 << 0;
    QTest::newRow("Add, held, unflagged") << "cmdAdd" << "1" << 5 << false << "wait dose repeat(dose) prompt" << 0 << 0;
    QTest::newRow("Remove") << "cmdRemove" << "1" << 0 << false << "repeat(dose) prompt" << 0 << 0;
    QTest::newRow("Remove, held") << "cmdRemove" << "1" << 4 << false << "repeat(dose) prompt" << 0 << 0;
    QTest::newRow("Up") << "cmdUp" << "3" << 0 << false << "wait prompt repeat(dose)" << 0 << 0;
    QTest::newRow("Down") << "cmdDown" << "1" << 0 << false << "repeat(dose) wait prompt" << 0 << 0;
    QTest::newRow("Indent") << "cmdIndent" << "3" << 0 << false << "wait repeat(dose prompt)" << 0 << 0;
    QTest::newRow("Outdent") << "cmdOutdent" << "2.1" << 0 << false << "wait repeat() dose prompt" << 0 << 0;
    QTest::newRow("Save") << "cmdSave" << "1" << 0 << false << before << 1 << 0;
    QTest::newRow("Save, held") << "cmdSave" << "1" << 3 << true << before << 1 << 0;
    QTest::newRow("Open") << "cmdOpen" << "1" << 0 << false << before << 0 << 1;
}

void tst_methods::enterOnButton()
{
    QFETCH(QString, button);
    QFETCH(QString, selected);
    QFETCH(int, repeats);
    QFETCH(bool, flagged);
    QFETCH(QString, shapeAfter);
    QFETCH(int, saves);
    QFETCH(int, opens);
    AppFixture app;
    prime(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(R"({"wait": {"duration": 1, "duration_unit": "s"}},
        {"repeat": {"count": 2, "steps": [)" + doseJson("3", "1") + R"(]}},
        {"prompt": {"text": "Go on?"}})")));
    w->selectStep(selected);
    w->findChild<QComboBox *>("cboAddKind")->setCurrentIndex(0);
    int saved = 0, opened = 0;
    w->saveFileName = [&](QWidget *, const QString &, const QString &, const QString &) {
        ++saved;
        return QString();
    };
    w->openFileName = [&](QWidget *, const QString &, const QString &, const QString &) {
        ++opened;
        return QString();
    };
    auto *b = w->findChild<QPushButton *>(button);
    QVERIFY(b);
    QVERIFY(b->isEnabled());
    QVERIFY(focusOn(b));
    sendKey(b, QEvent::KeyPress, Qt::Key_Return, false);
    for (int i = 0; i < repeats; ++i) {
        QWidget *to = QApplication::focusWidget() ? QApplication::focusWidget() : b;
        if (flagged)
            sendKey(to, QEvent::KeyRelease, Qt::Key_Return, true);
        sendKey(to, QEvent::KeyPress, Qt::Key_Return, flagged);
    }
    sendKey(QApplication::focusWidget() ? QApplication::focusWidget() : b, QEvent::KeyRelease, Qt::Key_Return, false);
    QCOMPARE(shape(w->method().steps), shapeAfter);
    QCOMPARE(saved, saves);
    QCOMPARE(opened, opens);
    // That button only: Start and Run never moved the pump.
    QVERIFY(!app.window().running());
    QVERIFY(!app.window().session().methods().running());
    QCOMPARE(sentSoFar(app), QStringList());
}

void tst_methods::rechecks_data()
{
    QTest::addColumn<QByteArray>("step");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("checkStart"); // empty: accepted
    QTest::newRow("dose quantity out of range") << doseJson("3", "1") << "txtQuantity" << "99999999" << "step 1 (dose): ";
    QTest::newRow("dose quantity in range") << doseJson("3", "1") << "txtQuantity" << "5" << "";
    QTest::newRow("dose quantity no number") << doseJson("3", "1") << "txtQuantity" << "abc" << "step 1 (dose): ";
    QTest::newRow("dose repetitions zero") << doseJson("3", "1") << "txtRepetitions" << "0" << "step 1 (dose): ";
    QTest::newRow("flow rate out of range")
        << QByteArray(R"({"flow": {"rate": 1, "unit": "ml/min", "duration": 5, "duration_unit": "s"}})") << "txtRate"
        << "99999" << "step 1 (flow): ";
    QTest::newRow("wait no number") << QByteArray(R"({"wait": {"duration": 1, "duration_unit": "s"}})") << "txtWait"
                                    << "x" << "step 1 (wait): ";
}

void tst_methods::rechecks()
{
    QFETCH(QByteArray, step);
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, checkStart);
    AppFixture app;
    chooseP01(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(step)));
    auto *check = w->findChild<QLabel *>("lblMethodCheck");
    QCOMPARE(check->text(), QStringLiteral("The method can run on this pump."));
    QCOMPARE(check->textFormat(), Qt::PlainText);
    auto *line = w->findChild<QLineEdit *>(field);
    QVERIFY(line && line->isVisible());
    QVERIFY(focusOn(line));
    line->selectAll();
    QTest::keyClicks(line, typed);
    auto *tree = w->findChild<QTreeWidget *>("tblSteps");
    const bool marked = tree->topLevelItem(0)->font(0).bold();
    if (checkStart.isEmpty()) {
        QCOMPARE(check->text(), QStringLiteral("The method can run on this pump."));
        QVERIFY(!marked);
    } else {
        QVERIFY2(check->text().startsWith(checkStart), qPrintable(check->text()));
        QVERIFY(check->text().size() > checkStart.size());
        QVERIFY(marked);
        QCOMPARE(w->findChild<QLabel *>("lblMethodTotal")->text(), QStringLiteral("Total: -"));
    }
}

void tst_methods::estimates_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QString>("total");     // a regular expression
    QTest::addColumn<QString>("step");      // a row and its time
    QTest::addColumn<QString>("stepTime");
    QTest::newRow("waits in a repeat")
        << QByteArray(R"({"wait": {"duration": 30, "duration_unit": "s"}},
            {"repeat": {"count": 3, "steps": [{"wait": {"duration": 1, "duration_unit": "min"}}]}})")
        << "^Total: about 3:30$" << "2" << "3:00";
    QTest::newRow("a wait inside") << QByteArray(R"({"repeat": {"count": 3, "steps": [{"wait": {"duration": 1, "duration_unit": "min"}}]}})")
                                   << "^Total: about 3:00$" << "1.1" << "1:00";
    QTest::newRow("doses and a wait") << doseJson("3", "2") + R"(, {"wait": {"duration": 10, "duration_unit": "s"}})"
                                      << "^Total: about 0:1\\d, 6 µl$" << "2" << "0:10";
    QTest::newRow("endless doses") << doseJson("3", "\"endless\"") << "^Total: until Stop$" << "1" << "until Stop";
    QTest::newRow("a flow") << QByteArray(R"({"flow": {"rate": 2, "unit": "ml/min", "duration": 30, "duration_unit": "s"}})")
                            << "^Total: about 0:30, 1 ml$" << "1" << "0:30";
    QTest::newRow("endless flow") << QByteArray(R"({"flow": {"rate": 2, "unit": "ml/min", "duration": 0, "duration_unit": "s"}})")
                                  << "^Total: until Stop$" << "1" << "until Stop";
}

void tst_methods::estimates()
{
    QFETCH(QByteArray, steps);
    QFETCH(QString, total);
    QFETCH(QString, step);
    QFETCH(QString, stepTime);
    AppFixture app;
    chooseP01(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(steps)));
    const QString text = w->findChild<QLabel *>("lblMethodTotal")->text();
    QVERIFY2(QRegularExpression(total).match(text).hasMatch(), qPrintable(text));
    auto *tree = w->findChild<QTreeWidget *>("tblSteps");
    const auto items = tree->findItems(step, Qt::MatchExactly | Qt::MatchRecursive, 0);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.first()->text(2), stepTime);
}

void tst_methods::saveThenOpen_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("the example") << QByteArray(kExample);
    QTest::newRow("nested, a medium") << QByteArray(R"({"format": "vyt-method/1", "name": "Ä/ü <b>x</b>", "medium": "water",
        "steps": [{"repeat": {"count": 2, "steps": [{"repeat": {"count": 3, "steps": [)" + doseJson("1", "\"endless\"") + "]}}]}}]}");
}

void tst_methods::saveThenOpen()
{
    QFETCH(QByteArray, json);
    AppFixture app;
    QTemporaryDir elsewhere;
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    const Method m = methodOf(json);
    QVERIFY(!m.name.isEmpty());
    w->setMethod(m);
    QStringList suggested;
    const QString file = elsewhere.filePath("kept.vytmethod");
    w->saveFileName = [&](QWidget *, const QString &, const QString &suggestion, const QString &) {
        suggested << suggestion;
        return file;
    };
    w->findChild<QPushButton *>("cmdSave")->click();
    QCOMPARE(QFileInfo(suggested.value(0)).absolutePath(), QDir(methodsFolder()).absolutePath());
    QVERIFY(QFileInfo(methodsFolder()).isDir());
    QCOMPARE(w->findChild<QLabel *>("lblMethodStatus")->text(),
             QStringLiteral("Saved in %1.").arg(QDir::toNativeSeparators(file)));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), methodJson(m));
    // The next save starts where the last one went.
    w->findChild<QPushButton *>("cmdSave")->click();
    QCOMPARE(QFileInfo(suggested.value(1)).absolutePath(), QDir(elsewhere.path()).absolutePath());

    w->setMethod(Method{});
    QString startedIn;
    w->openFileName = [&](QWidget *, const QString &, const QString &start, const QString &) {
        startedIn = start;
        return file;
    };
    w->findChild<QPushButton *>("cmdOpen")->click();
    QCOMPARE(QDir(startedIn).absolutePath(), QDir(elsewhere.path()).absolutePath());
    QCOMPARE(methodJson(w->method()), methodJson(m));
    QCOMPARE(w->findChild<QLineEdit *>("txtMethodName")->text(), m.name);
    QCOMPARE(app.messages().count(), 0);
}

void tst_methods::refusedFile()
{
    AppFixture app;
    QTemporaryDir dir;
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    const QString file = dir.filePath("bad.vytmethod");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(methodWith(R"({"repeat": {"count": 0, "steps": []}})"));
    f.close();
    w->setMethod(methodOf(kExample));
    w->openFileName = [&](QWidget *, const QString &, const QString &, const QString &) { return file; };
    w->findChild<QPushButton *>("cmdOpen")->click();
    QCOMPARE(app.messages().count(), 1);
    const QString text = app.messages().texts().value(0);
    QVERIFY2(text.contains(QDir::toNativeSeparators(file)), qPrintable(text));
    QVERIFY2(text.contains("step 1"), qPrintable(text));
    // The editor keeps what it had.
    QCOMPARE(w->method().name, QStringLiteral("Prime and dose"));
}

void tst_methods::runOnTheWire_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QStringList>("wire");
    QTest::addColumn<int>("rows");
    const QStringList twice{"LA 128", "NP 128", "M", "LA 256", "NP 256", "M"};
    QTest::newRow("3 µl twice") << doseJson("3", "2") << kDosingSetUp + twice << 1;
    QTest::newRow("in a repeat") << QByteArray(R"({"repeat": {"count": 2, "steps": [)" + doseJson("3", "1") + "]}}")
                                 << kDosingSetUp + QStringList{"LA 128", "NP 128", "M"} + kDosingSetUp +
                                        QStringList{"LA 128", "NP 128", "M"}
                                 << 2;
}

void tst_methods::runOnTheWire()
{
    QFETCH(QByteArray, steps);
    QFETCH(QStringList, wire);
    QFETCH(int, rows);
    AppFixture app;
    chooseP01(app);
    QCOMPARE(QLatin1String(pumpType(app.state().settings.Pumpentyp).name), QLatin1String("vyt-P01"));
    prime(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(steps, "Wire test")));
    MethodRun &methods = app.window().session().methods();
    QSignalSpy finished(&methods, &MethodRun::finished);
    auto *start = app.find<QPushButton>("cmdStart");
    bool startWasOn = false;
    QObject::connect(&methods, &MethodRun::progressChanged, [&] {
        startWasOn = startWasOn || (methods.running() && start->isEnabled());
    });
    QObject::connect(&app.window().session(), &Session::runEnded, [&] {
        startWasOn = startWasOn || (methods.running() && start->isEnabled());
    });
    w->findChild<QPushButton *>("cmdRun")->click();
    QVERIFY(methods.running());
    QVERIFY(!start->isEnabled());
    QVERIFY(!w->findChild<QPushButton *>("cmdRun")->isEnabled());
    QVERIFY(w->findChild<QPushButton *>("cmdStop")->isEnabled());
    QVERIFY(!w->findChild<QWidget *>("txtMethodName")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY(!startWasOn);
    QTRY_VERIFY(start->isEnabled());
    QVERIFY(w->findChild<QPushButton *>("cmdRun")->isEnabled());
    QVERIFY(!w->findChild<QPushButton *>("cmdStop")->isEnabled());
    QCOMPARE(w->findChild<QLabel *>("lblMethodStatus")->text(), finished.at(0).at(1).toString().isEmpty()
                                                                   ? QStringLiteral("The method has ended.")
                                                                   : finished.at(0).at(1).toString());
    QStringList sent = sentSoFar(app);
    sent.removeAll("VER");
    QCOMPARE(sent, wire);
    QCOMPARE(app.messages().count(), 0);
    // Each of its runs in the journal, named by the method and the step.
    QFile journal(app.window().runJournal().path());
    QVERIFY(journal.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(journal.readAll());
    for (int k = 1; k <= rows; ++k)
        QVERIFY2(text.contains(QStringLiteral("method Wire test step %1/%2").arg(k).arg(rows)), qPrintable(text));
}

void tst_methods::stopEndsIt()
{
    AppFixture app;
    chooseP01(app);
    prime(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(R"({"flow": {"rate": 1, "unit": "ml/min", "duration": 1, "duration_unit": "h"}},)" +
                                     doseJson("3", "1"))));
    MethodRun &methods = app.window().session().methods();
    QSignalSpy finished(&methods, &MethodRun::finished);
    w->findChild<QPushButton *>("cmdRun")->click();
    QTRY_VERIFY_WITH_TIMEOUT(app.sim().receivedLines().filter(QRegularExpression("^V [1-9]")).size() == 1, 10000);
    w->findChild<QPushButton *>("cmdStop")->click();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY(!methods.running());
    QVERIFY(!w->findChild<QLabel *>("lblMethodStatus")->text().isEmpty());
    QCOMPARE(w->findChild<QLabel *>("lblMethodStatus")->text(), finished.at(0).at(1).toString());
    QVERIFY(app.waitForRunEnd());
    QTRY_VERIFY(app.find<QPushButton>("cmdStart")->isEnabled());
    // Nothing after the stop moved: the dose never went out.
    const QStringList sent = sentSoFar(app);
    QVERIFY2(sent.filter(QRegularExpression("^(LA|NP|M)\\b")).isEmpty(), qPrintable(sent.join('|')));
    QCOMPARE(sent.mid(sent.size() - 2), (QStringList{"SOR 0", "V 0"}));
}

void tst_methods::prompt_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("completed");
    QTest::newRow("Continue") << "cmdContinue" << true;
    QTest::newRow("Stop method") << "cmdStopMethod" << false;
    QTest::newRow("answered elsewhere") << "remote" << true;
    QTest::newRow("Enter held from Run, then Continue") << "held" << true;
    QTest::newRow("main window Stop") << "mainStop" << false;
}

void tst_methods::prompt()
{
    QFETCH(QString, answer);
    QFETCH(bool, completed);
    AppFixture app;
    chooseP01(app);
    prime(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(R"({"prompt": {"text": "<b>Place</b> the vial."}},)" + doseJson("3", "1"))));
    MethodRun &methods = app.window().session().methods();
    QSignalSpy finished(&methods, &MethodRun::finished);
    auto *run = w->findChild<QPushButton *>("cmdRun");
    if (answer == "held") {
        QVERIFY(focusOn(run));
        sendKey(run, QEvent::KeyPress, Qt::Key_Return, false);
    } else {
        run->click();
    }
    auto *dialog = app.window().findChild<dlgMethodPrompt *>("dlgMethodPrompt");
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    auto *label = dialog->findChild<QLabel *>("lblPromptText");
    QCOMPARE(label->text(), QStringLiteral("<b>Place</b> the vial."));
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(dialog->findChild<QPushButton *>("cmdContinue")->text(), QStringLiteral("Continue"));
    QCOMPARE(dialog->findChild<QPushButton *>("cmdStopMethod")->text(), QStringLiteral("Stop method"));
    if (answer == "held") {
        // The Enter held since Run repeats into the prompt: it answers nothing.
        auto *go = dialog->findChild<QPushButton *>("cmdContinue");
        QVERIFY(focusOn(go));
        for (int i = 0; i < 6; ++i) {
            if (i % 2 == 0)
                sendKey(go, QEvent::KeyRelease, Qt::Key_Return, true);
            sendKey(go, QEvent::KeyPress, Qt::Key_Return, i % 2 == 0);
        }
        QVERIFY(dialog->isVisible());
        QVERIFY(!methods.progress().prompt.isEmpty());
        QCOMPARE(sentSoFar(app).filter(QRegularExpression("^(LA|NP)")), QStringList());
        sendKey(go, QEvent::KeyRelease, Qt::Key_Return, false);
        // Let go and pressed again: that is an answer.
        sendKey(go, QEvent::KeyPress, Qt::Key_Return, false);
        sendKey(go, QEvent::KeyRelease, Qt::Key_Return, false);
    } else if (answer == "remote") {
        QVERIFY(methods.continuePrompt());
    } else if (answer == "mainStop") {
        app.find<QPushButton>("cmdStop")->click();
    } else {
        dialog->findChild<QPushButton *>(answer)->click();
    }
    QTRY_VERIFY(!dialog->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QCOMPARE(finished.at(0).at(0).toBool(), completed);
    QVERIFY(app.waitForRunEnd());
    const QStringList doses = sentSoFar(app).filter(QRegularExpression("^NP "));
    QCOMPARE(doses, completed ? QStringList{"NP 128"} : QStringList());
}

void tst_methods::scheduleButtons_data()
{
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QStringList>("presses"); // Enter on each, in order; the row selected
    QTest::addColumn<QString>("stateAfter");  // of the one schedule; empty: none left
    QTest::addColumn<int>("messages");
    QTest::newRow("not saved: refused") << false << QStringList{"cmdSchedule"} << "" << 1;
    QTest::newRow("saved: scheduled, active") << true << QStringList{"cmdSchedule", "ok"} << "active" << 0;
    QTest::newRow("Pause") << true << QStringList{"cmdSchedule", "ok", "cmdPauseSchedule"} << "paused" << 0;
    QTest::newRow("Pause, Resume")
        << true << QStringList{"cmdSchedule", "ok", "cmdPauseSchedule", "cmdResume"} << "active" << 0;
    QTest::newRow("Remove") << true << QStringList{"cmdSchedule", "ok", "cmdRemoveSchedule"} << "" << 0;
    QTest::newRow("until before the first start: refused") << true << QStringList{"cmdSchedule", "until before"}
                                                           << "" << 1;
}

void tst_methods::scheduleButtons()
{
    QFETCH(bool, saved);
    QFETCH(QStringList, presses);
    QFETCH(QString, stateAfter);
    QFETCH(int, messages);
    AppFixture app;
    prime(app);
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    QTemporaryDir dir;
    w->setMethod(methodOf(methodWith(doseJson("3", "1"))));
    if (saved) {
        const QString file = dir.filePath(QStringLiteral("dose.vytmethod"));
        QString error;
        QVERIFY2(w->saveTo(file, &error) && w->openFrom(file, &error), qPrintable(error));
    }
    auto *list = w->findChild<QTreeWidget *>("lstSchedules");
    QVERIFY(list);
    QCOMPARE(list->topLevelItemCount(), 0);
    for (const QString &name : std::as_const(presses)) {
        if (name == QLatin1String("ok")) {
            ScheduleDialog *d = w->scheduleDialog();
            QVERIFY(d);
            QTRY_VERIFY(d->isVisible());
            QVERIFY(!d->isModal());
            d->findChild<QSpinBox *>("spnEvery")->setValue(30);
            d->findChild<QPushButton *>("cmdScheduleOk")->click();
            QTRY_VERIFY(!w->scheduleDialog());
            QCOMPARE(list->topLevelItemCount(), 1);
            list->setCurrentItem(list->topLevelItem(0));
            continue;
        }
        if (name == QLatin1String("until before")) {
            ScheduleDialog *d = w->scheduleDialog();
            QVERIFY(d);
            auto *first = d->findChild<QDateTimeEdit *>("dtFirst");
            d->findChild<QCheckBox *>("chkUntil")->setChecked(true);
            auto *until = d->findChild<QDateTimeEdit *>("dtUntil");
            QVERIFY(until->isEnabled());
            until->setDateTime(first->dateTime().addSecs(-3600));
            d->findChild<QPushButton *>("cmdScheduleOk")->click();
            // The operator is told, and the dialog stays for a correction.
            QTRY_COMPARE(app.messages().count(), 1);
            QVERIFY(app.messages().messages().at(0).text.contains(QStringLiteral("no start left")));
            QVERIFY(w->scheduleDialog() && w->scheduleDialog()->isVisible());
            continue;
        }
        // The pause button of a schedule, not the dose's pause field.
        auto *b = w->findChild<QPushButton *>(name == QLatin1String("cmdPauseSchedule") ? QStringLiteral("cmdPause") : name);
        QVERIFY2(b, qPrintable(name));
        QVERIFY2(b->isEnabled(), qPrintable(name));
        QVERIFY(focusOn(b));
        sendKey(b, QEvent::KeyPress, Qt::Key_Return, false);
        sendKey(b, QEvent::KeyRelease, Qt::Key_Return, false);
    }
    QCOMPARE(app.messages().count(), messages);
    if (!saved)
        QVERIFY(!w->scheduleDialog());
    QCOMPARE(list->topLevelItemCount(), stateAfter.isEmpty() ? 0 : 1);
    if (!stateAfter.isEmpty()) {
        QCOMPARE(list->topLevelItem(0)->text(2), stateAfter);
        QCOMPARE(app.window().session().schedules().schedules().size(), 1);
        QCOMPARE(app.window().session().schedules().schedules().at(0).everyMinutes, 30);
    }
    // A button press only: nothing started, nothing on the wire.
    QVERIFY(!app.window().session().methods().running());
    QCOMPARE(sentSoFar(app), QStringList());
}

void tst_methods::triedOnTheSimulator_data()
{
    QTest::addColumn<QByteArray>("steps");
    QTest::addColumn<QStringList>("wire"); // in the trial's lines, in order
    QTest::addColumn<QString>("status");   // the trial window's end begins so
    QTest::newRow("a dose twice, a prompt")
        << doseJson("3", "2") + R"(, {"prompt": {"text": "Vial?"}}, )" + doseJson("3", "1")
        << QStringList{"LA 128", "NP 128", "LA 256", "NP 256", "DIPROG", "LA 128"}
        << "Method Trial completed: 3 steps.";
    QTest::newRow("refused") << doseJson("1e12", "1") << QStringList{} << "step 1 (dose):";
}

void tst_methods::triedOnTheSimulator()
{
    // The trial's own controller gets the method; the real one and the journal get nothing.
    QFETCH(QByteArray, steps);
    QFETCH(QStringList, wire);
    QFETCH(QString, status);
    AppFixture app;
    chooseP01(app);
    prime(app);
    QFile::remove(app.window().runJournal().path());
    frmMethods *w = openMethods(app);
    QVERIFY(w);
    w->setMethod(methodOf(methodWith(steps, "Trial")));
    QTest::keyClick(w->findChild<QPushButton *>("cmdTry"), Qt::Key_Space);
    auto *trial = w->findChild<QDialog *>("dlgMethodTrial");
    QVERIFY(trial);
    auto *label = trial->findChild<QLabel *>("lblTrialStatus");
    QTRY_VERIFY_WITH_TIMEOUT(label->text().startsWith(status), 15000);
    const QString lines = trial->findChild<QPlainTextEdit *>("txtTrialLines")->toPlainText();
    qsizetype at = 0;
    for (const QString &line : wire) {
        at = lines.indexOf(QStringLiteral("  ") + line + QLatin1Char('\n'), at);
        QVERIFY2(at >= 0, qPrintable(line + QStringLiteral(" in\n") + lines));
    }
    QCOMPARE(sentSoFar(app), QStringList());
    QVERIFY(!QFile::exists(app.window().runJournal().path()));
    QVERIFY(!app.window().session().methods().running());
}

void tst_methods::accessKeysAreUnique_data()
{
    QTest::addColumn<bool>("scheduleDialog");
    QTest::newRow("the editor") << false;
    QTest::newRow("the schedule dialog") << true;
}

void tst_methods::accessKeysAreUnique()
{
    // Two controls of one Alt key: Qt only moves the focus between them, and neither acts.
    QFETCH(bool, scheduleDialog);
    AppFixture app;
    frmMethods *editor = openMethods(app);
    QVERIFY(editor);
    ScheduleDialog dialog(QStringLiteral("/tmp/m.vytmethod"), QDateTime::currentDateTime());
    QWidget *window = scheduleDialog ? static_cast<QWidget *>(&dialog) : editor;
    QHash<QChar, QString> seen;
    QStringList clashes;
    const auto check = [&](const QString &text) {
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        if (at < 0 || at + 1 >= text.size() || text.at(at + 1) == QLatin1Char('&'))
            return;
        const QChar key = text.at(at + 1).toLower();
        if (seen.contains(key))
            clashes << seen.value(key) + QStringLiteral(" / ") + text;
        seen.insert(key, text);
    };
    for (const QAbstractButton *b : window->findChildren<QAbstractButton *>())
        check(b->text());
    for (const QLabel *l : window->findChildren<QLabel *>())
        if (l->buddy())
            check(l->text());
    QVERIFY2(clashes.isEmpty(), qPrintable(clashes.join(QStringLiteral(", "))));
    QVERIFY(!seen.isEmpty());
}

QTEST_MAIN(tst_methods)
#include "tst_methods.moc"
