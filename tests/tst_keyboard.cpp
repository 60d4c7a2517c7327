// The main window's keyboard as an operator uses it: Enter and Space on each button act
// on that button only, a held key is one press, and Tab walks the designed chain.
#include "support/AppFixture.h"
#include "session/Clock.h"
#include "ui/HeldKeys.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

using namespace vyt;
using namespace vyt::test;

class tst_keyboard : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void addedButtonsTakeTheirOwnKeys_data();
    void addedButtonsTakeTheirOwnKeys();
    void heldKeyIsOnePress_data();
    void heldKeyIsOnePress();
    void heldKeysTellRepeatsFromPresses_data();
    void heldKeysTellRepeatsFromPresses();
    void tabFromStartWalksTheDesignedChain_data();
    void tabFromStartWalksTheDesignedChain();
};

namespace {

// One medium for port 1, pump type 0, so that the media row is there.
void storeOneMedium()
{
    storeValue(QStringLiteral("Media"), QStringLiteral("COM1/0/Water"), QStringLiteral("1 1"));
}

bool visibleWindow(const QWidget &parent, const QString &name)
{
    const QWidget *w = parent.findChild<QWidget *>(name);
    return w && w->isWindow() && w->isVisible();
}

// A press of a key that is down, as the X server may send it: shortcuts are offered it
// first, then the focused widget, with or without the auto-repeat flag, no release.
void pressAgain(Qt::Key key, Qt::KeyboardModifiers mods, bool flagged)
{
    QWidget *f = QApplication::focusWidget();
    const QString text = key == Qt::Key_S ? QStringLiteral("s") : QStringLiteral("\r");
    if (qt_sendShortcutOverrideEvent(f, 0, key, mods, text, flagged))
        return;
    QKeyEvent press(QEvent::KeyPress, key, mods, text, flagged);
    QApplication::sendEvent(f, &press);
}

} // namespace

void tst_keyboard::addedButtonsTakeTheirOwnKeys_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("opens"); // a window's objectName, or "menu"
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Enter), int(Qt::Key_Space)}) {
        const char *k = key == Qt::Key_Space ? "Space" : key == Qt::Key_Return ? "Return" : "keypad Enter";
        QTest::addRow("calibration ..., %s", k) << "cmdCalibrate" << key << "frmCalibration";
        QTest::addRow("History..., %s", k) << "cmdHistory" << key << "frmHistory";
        QTest::addRow("Methods..., %s", k) << "cmdMethods" << key << "frmMethods";
        QTest::addRow("media ..., %s", k) << "cmdMedium" << key << "menu";
    }
}

void tst_keyboard::addedButtonsTakeTheirOwnKeys()
{
    // Enter on a small button once went on to Start and dosed.
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(QString, opens);
    AppFixture app(1, false);
    storeOneMedium();
    QVERIFY(app.start());
    app.sim().clearReceived();
    auto *b = app.window().findChild<QAbstractButton *>(button);
    QVERIFY(b && b->isVisible());
    b->setFocus(Qt::TabFocusReason);
    QVERIFY(b->hasFocus());
    int starts = 0;
    connect(app.find<QPushButton>("cmdStart"), &QPushButton::clicked, &app.window(), [&starts] { ++starts; });
    bool menuSeen = false;
    // A menu runs its own loop until it closes: close it from inside, as Esc would.
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&menuSeen] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            menuSeen = true;
            menu->close();
        }
    });
    closer.start(10);
    QTest::keyClick(b, Qt::Key(key));
    if (opens == QLatin1String("menu")) {
        QTRY_VERIFY(menuSeen);
    } else {
        QTRY_VERIFY(visibleWindow(app.window(), opens));
    }
    QCOMPARE(starts, 0);
    QVERIFY(!app.window().running());
    QCOMPARE(app.sim().receivedLines(), QStringList());
    QCOMPARE(app.messages().count(), 0);
}

void tst_keyboard::heldKeyIsOnePress_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("flagged"); // the repeats carry the auto-repeat flag
    for (bool flagged : {true, false}) {
        const char *f = flagged ? "flagged" : "unflagged";
        QTest::addRow("Enter, repeats %s", f) << int(Qt::Key_Return) << int(Qt::NoModifier) << flagged;
        QTest::addRow("Alt+S, repeats %s", f) << int(Qt::Key_S) << int(Qt::AltModifier) << flagged;
    }
}

void tst_keyboard::heldKeyIsOnePress()
{
    // A short dose ends while the key is still down: the repeats that follow must not
    // start a second one. Once released, the next press starts again.
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, flagged);
    AppFixture app;
    app.sim().setInstantMoves(true);
    int starts = 0;
    connect(app.find<QPushButton>("cmdStart"), &QPushButton::clicked, &app.window(), [&starts] { ++starts; });
    const auto mods = Qt::KeyboardModifiers(modifiers);
    QLineEdit *target = app.find<QLineEdit>("txtMenge");
    target->setFocus();
    QTest::keyPress(target, Qt::Key(key), mods);
    QTRY_COMPARE(starts, 1);
    QVERIFY(app.waitForRunEnd());
    QCOMPARE(app.sim().receivedLines().count(QStringLiteral("M")), 2);
    for (int i = 0; i < 5; ++i)
        pressAgain(Qt::Key(key), mods, flagged);
    QTest::qWait(150); // longer than a mnemonic's animated click
    QCOMPARE(starts, 1);
    QVERIFY(app.waitForRunEnd());
    QCOMPARE(target->text(), QStringLiteral("100")); // no letter typed by the repeats
    QTest::keyRelease(QApplication::focusWidget(), Qt::Key(key), mods);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), mods);
    QTRY_COMPARE(starts, 2);
    QVERIFY(app.waitForRunEnd());
}

void tst_keyboard::heldKeysTellRepeatsFromPresses_data()
{
    // Steps: P press, R flagged repeat press, r release at the press's time stamp, U release
    // a while later, H the window that took the press hides, S silence past the limit,
    // D the application deactivated. Each P or R answers with 1 when it may act.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("acts");
    QTest::newRow("press, release, press") << "PUP" << "11";
    QTest::newRow("presses with no release between") << "PPPP" << "1000";
    QTest::newRow("flagged repeats") << "PRRR" << "1000";
    QTest::newRow("unflagged release and press at one time") << "PrPrP" << "100";
    QTest::newRow("release lost: its window closed on the press") << "PHP" << "11";
    QTest::newRow("release lost: silent past the limit") << "PSP" << "11";
    QTest::newRow("release lost: another program took the keyboard") << "PDP" << "11";
    QTest::newRow("held on through repeats, then let go") << "PPrPUP" << "1001";
}

void tst_keyboard::heldKeysTellRepeatsFromPresses()
{
    QFETCH(QString, steps);
    QFETCH(QString, acts);
    QWidget window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    HeldKeys keys;
    quint64 stamp = 1000;
    QString answered;
    for (const QChar step : steps) {
        const char c = step.toLatin1();
        if (c == 'P' || c == 'R') {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), c == 'R');
            press.setTimestamp(stamp += 40);
            answered += keys.firstPress(&press) ? QLatin1Char('1') : QLatin1Char('0');
        } else if (c == 'r' || c == 'U') {
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
            release.setTimestamp(c == 'r' ? stamp + 40 : stamp += 300);
            keys.track(&release);
        } else if (c == 'H') {
            window.hide();
        } else if (c == 'S') {
            advanceClockForTest(HeldKeys::kSilentMs + 1);
        } else if (c == 'D') {
            QEvent deactivate(QEvent::ApplicationDeactivate);
            keys.track(&deactivate);
        }
    }
    QCOMPARE(answered, acts);
}

void tst_keyboard::tabFromStartWalksTheDesignedChain_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("medium");
    QTest::addColumn<QStringList>("chain");
    const QStringList pump{"cboPumpentyp", "txtVerdraengungsvolumen", "txtDichte", "txtKalibrierFaktor",
                           "cmdCalibrate"};
    const QStringList motor{"cboEncoder",    "cboGetriebe",   "txtMaximaldrehzahl",
                            "txtBeschleunigung", "txtDauerstrom", "txtSpitzenstrom"};
    const QStringList dosing{"optBetriebsart1", "txtMenge",        "cboMengeEinheit",   "txtPause",
                             "cboPauseEinheit", "txtWiederholung", "cbxEndlosDosierung"};
    const QStringList flow{"optBetriebsart2", "txtFoerderstrom", "cboFoerderstromEinheit", "txtDauer",
                           "cboDauerEinheit", "cbxEndlosFoerderung", "cbxPotentiometer"};
    const QStringList buttons{"cmdHistory", "cmdMethods", "cmdBeenden", "cmdStop", "cmdStart"};
    QTest::newRow("dosing") << 1 << false << pump + motor + dosing + buttons;
    // Started in flow mode the unchecked Dosage button is no stop.
    QTest::newRow("flow") << 2 << false << pump + motor + flow + buttons;
    QTest::newRow("dosing, a medium stored")
        << 1 << true << pump + QStringList{"cboMedium", "cmdMedium"} + motor + dosing + buttons;
}

void tst_keyboard::tabFromStartWalksTheDesignedChain()
{
    QFETCH(int, mode);
    QFETCH(bool, medium);
    QFETCH(QStringList, chain);
    AppFixture app(1, false);
    storeValue(QStringLiteral("COM1"), QStringLiteral("Betriebsart"), QString::number(mode));
    if (medium)
        storeOneMedium();
    QVERIFY(app.start());
    QVERIFY(app.find<QPushButton>("cmdStart")->hasFocus());
    QStringList walked;
    for (int i = 0; i < chain.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        walked << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(walked, chain);
    // Tab and Space on the checked mode button never switch the mode.
    auto *checked = app.find<QRadioButton>(mode == 1 ? "optBetriebsart1" : "optBetriebsart2");
    checked->setFocus(Qt::TabFocusReason);
    QTest::keyClick(checked, Qt::Key_Space);
    QCOMPARE(int(app.state().settings.Betriebsart), mode);
    QCOMPARE(app.messages().count(), 0);
    QCOMPARE(app.sim().receivedLines(), QStringList());
}

QTEST_MAIN(tst_keyboard)
#include "tst_keyboard.moc"
