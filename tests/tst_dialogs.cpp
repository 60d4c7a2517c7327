#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "dialogs/frmAbout.h"
#include "dialogs/frmSchnittstelle.h"
#include "config/PortMapping.h"
#include "support/TestEnv.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace vyt;

namespace {

void storePort(const QString &text)
{
    auto store = openStore();
    store->beginGroup(QStringLiteral("Schnittstelle"));
    store->setValue(QStringLiteral("COM"), text);
    store->endGroup();
    store->sync();
}

template <typename T> T *child(QWidget *w, const char *name)
{
    auto *c = w->findChild<T *>(QString::fromLatin1(name));
    if (!c)
        qWarning("no control %s", name);
    return c;
}

// Runs choosePort while action drives the modal dialog; answers what choosePort answered.
bool runDialog(frmSchnittstelle &dlg, qint16 &port, std::function<void(QWidget *)> action)
{
    bool ran = false;
    test::onNextModal([&](QWidget *w) {
        ran = true;
        QCOMPARE(w, static_cast<QWidget *>(&dlg));
        action(w);
        // A failed check inside action must not leave the test waiting on the dialog.
        if (dlg.isVisible()) {
            QTest::qFail("the dialog was left open", __FILE__, __LINE__);
            dlg.reject();
        }
    });
    const bool ok = dlg.choosePort(port);
    if (!ran)
        qWarning("the dialog was not driven");
    return ok;
}

} // namespace

class tst_dialogs : public QObject {
    Q_OBJECT
private slots:
    void init();
    void captions();
    void storedPort_data();
    void storedPort();
    void lastEntryAndEnter();
    void endings_data();
    void endings();
    void laterShowingKeepsChoice();
    void f1OpensAbout();
    void keysWithModifiers_data();
    void keysWithModifiers();
    void deviceRow();
    void placedAboveCentre();
    void messageBoxPlacement_data();
    void messageBoxPlacement();
    void aboutTexts();

private:
    std::unique_ptr<test::MessageRecorder> m_messages;
};

void tst_dialogs::init()
{
    test::useEmptyStore();
    m_messages = std::make_unique<test::MessageRecorder>();
}

void tst_dialogs::captions()
{
    frmSchnittstelle dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Serial ports"));
    QCOMPARE(child<QGroupBox>(&dlg, "frameSchnittstelle")->title(), QStringLiteral("Serial port"));
    QCOMPARE(child<QLabel>(&dlg, "lblBaudrate")->text(), QStringLiteral("Baud rate"));
    QCOMPARE(child<QLabel>(&dlg, "lblGeraet")->text(), QStringLiteral("Device"));
    auto *baud = child<QLineEdit>(&dlg, "txtBaudrate");
    QCOMPARE(baud->text(), QStringLiteral("9600"));
    QVERIFY(baud->isReadOnly());
    QCOMPARE(child<QPushButton>(&dlg, "cmdOK")->text(), QStringLiteral("OK"));
    QVERIFY(child<QPushButton>(&dlg, "cmdOK")->isDefault());
    QCOMPARE(child<QPushButton>(&dlg, "cmdCancel")->text(), QStringLiteral("Cancel"));
    auto *com = child<QComboBox>(&dlg, "cboCom");
    QCOMPARE(com->count(), 12);
    QCOMPARE(com->itemText(0), QStringLiteral("Com1"));
    QCOMPARE(com->itemText(11), QStringLiteral("Com12"));
    QVERIFY(child<QComboBox>(&dlg, "cboGeraet")->isEditable());
    QVERIFY(!dlg.windowIcon().isNull());
}

void tst_dialogs::storedPort_data()
{
    QTest::addColumn<QString>("stored"); // empty: no key at all
    QTest::addColumn<int>("shown");
    QTest::newRow("none") << QString() << 1;
    QTest::newRow("4") << "4" << 4;
    QTest::newRow("12") << "12" << 12;
    // Numbers without an entry must not end the program: the first port shows.
    QTest::newRow("0") << "0" << 1;
    QTest::newRow("13") << "13" << 1;
    QTest::newRow("-3") << "-3" << 1;
    QTest::newRow("garbage") << "abc" << 1;
}

void tst_dialogs::storedPort()
{
    QFETCH(QString, stored);
    QFETCH(int, shown);
    if (!stored.isNull())
        storePort(stored);
    test::EndRecorder end;
    frmSchnittstelle dlg;
    QCOMPARE(int(dlg.GewaehlteSchnittstelle()), shown);
    qint16 port = 0;
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        QCOMPARE(child<QComboBox>(w, "cboCom")->currentIndex(), shown - 1);
        QTest::mouseClick(child<QPushButton>(w, "cmdOK"), Qt::LeftButton);
    });
    QVERIFY(ok);
    QCOMPARE(int(port), shown);
    QVERIFY(!end.ended());
    QVERIFY(dlg.isHidden());
}

void tst_dialogs::lastEntryAndEnter()
{
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 0;
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        auto *com = child<QComboBox>(w, "cboCom");
        com->setFocus();
        QTest::keyClick(com, Qt::Key_End);
        QCOMPARE(com->currentText(), QStringLiteral("Com12"));
        QCOMPARE(int(dlg.GewaehlteSchnittstelle()), 12);
        QTest::keyClick(com, Qt::Key_Return);
    });
    QVERIFY(ok);
    QCOMPARE(int(port), 12);
    QVERIFY(!end.ended());
}

void tst_dialogs::endings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("Esc in the port list") << "esc" << "cboCom" << false;
    QTest::newRow("Esc in the device field") << "esc" << "cboGeraet" << false;
    QTest::newRow("Esc on OK") << "esc" << "cmdOK" << false;
    QTest::newRow("Cancel clicked") << "cancel" << "cboCom" << false;
    QTest::newRow("close box") << "close" << "cboCom" << false;
    QTest::newRow("Enter on Cancel") << "enter" << "cmdCancel" << false;
    QTest::newRow("Enter in the device field") << "enter" << "cboGeraet" << true;
    QTest::newRow("Enter on OK") << "enter" << "cmdOK" << true;
    QTest::newRow("Enter in the baud rate") << "enter" << "txtBaudrate" << true;
}

void tst_dialogs::endings()
{
    QFETCH(QString, how);
    QFETCH(QString, focus);
    QFETCH(bool, accepted);
    storePort(QStringLiteral("2"));
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 7;
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        auto *target = w->findChild<QWidget *>(focus);
        QVERIFY(target);
        target->setFocus();
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget() != nullptr, true, 5000);
        QWidget *keyTarget = QApplication::focusWidget();
        if (how == QLatin1String("esc"))
            QTest::keyClick(keyTarget, Qt::Key_Escape);
        else if (how == QLatin1String("enter"))
            QTest::keyClick(keyTarget, Qt::Key_Return);
        else if (how == QLatin1String("cancel"))
            QTest::mouseClick(child<QPushButton>(w, "cmdCancel"), Qt::LeftButton);
        else
            w->close();
    });
    QCOMPARE(ok, accepted);
    QCOMPARE(end.ended(), !accepted);
    QCOMPARE(int(port), accepted ? 2 : 7);
}

void tst_dialogs::laterShowingKeepsChoice()
{
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 0;
    QVERIFY(runDialog(dlg, port, [&](QWidget *w) {
        child<QComboBox>(w, "cboCom")->setCurrentIndex(5);
        QTest::mouseClick(child<QPushButton>(w, "cmdOK"), Qt::LeftButton);
    }));
    QCOMPARE(int(port), 6);
    // The store still says nothing: the dialog is not loaded again.
    QVERIFY(runDialog(dlg, port, [&](QWidget *w) {
        QCOMPARE(child<QComboBox>(w, "cboCom")->currentText(), QStringLiteral("Com6"));
        QTest::mouseClick(child<QPushButton>(w, "cmdOK"), Qt::LeftButton);
    }));
    QCOMPARE(int(port), 6);
    QCOMPARE(int(dlg.GewaehlteSchnittstelle()), 6);
}

void tst_dialogs::f1OpensAbout()
{
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 0;
    QString aboutTitle;
    bool portDialogBehind = false;
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        test::onNextModal([&](QWidget *about) {
            aboutTitle = about->windowTitle();
            portDialogBehind = dlg.isVisible() && about != &dlg;
            QTest::keyClick(about, Qt::Key_Escape);
        });
        // F1 from inside the editable device field, which would keep keys for itself.
        auto *device = child<QComboBox>(w, "cboGeraet");
        device->setFocus();
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : device, Qt::Key_F1);
        QCOMPARE(aboutTitle, QStringLiteral("About"));
        QVERIFY(dlg.isVisible());
        QTest::mouseClick(child<QPushButton>(w, "cmdOK"), Qt::LeftButton);
    });
    QVERIFY(portDialogBehind);
    QVERIFY(ok);
    QVERIFY(!end.ended());
}

void tst_dialogs::keysWithModifiers_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("focus");
    const QList<std::pair<const char *, Qt::KeyboardModifiers>> held{
        {"", Qt::NoModifier},
        {"Shift+", Qt::ShiftModifier},
        {"Ctrl+", Qt::ControlModifier},
        {"Alt+", Qt::AltModifier},
        {"Ctrl+Shift+", Qt::ControlModifier | Qt::ShiftModifier},
    };
    // The editable device field is a line edit, which keeps some Ctrl keys for itself.
    for (const char *focus : {"cboGeraet", "cboCom"}) {
        for (const auto &[prefix, modifiers] : held) {
            QTest::addRow("%sEsc in %s", prefix, focus)
                << int(Qt::Key_Escape) << modifiers << focus;
            QTest::addRow("%sF1 in %s", prefix, focus) << int(Qt::Key_F1) << modifiers << focus;
        }
    }
}

void tst_dialogs::keysWithModifiers()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, focus);
    const bool help = key == Qt::Key_F1;
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 0;
    // Shared, not referenced: should F1 fail, the watch outlives this test and must
    // leave the next test's dialogs alone.
    const auto aboutTitle = std::make_shared<QString>();
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        w->findChild<QWidget *>(focus)->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::focusWidget() != nullptr, 5000);
        if (help) {
            test::onNextModal([aboutTitle](QWidget *about) {
                if (about->windowTitle() != QLatin1String("About"))
                    return;
                *aboutTitle = about->windowTitle();
                QTest::keyClick(about, Qt::Key_Escape);
            });
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
        if (help) {
            QCOMPARE(*aboutTitle, QStringLiteral("About"));
            QVERIFY(dlg.isVisible());
            QTest::mouseClick(child<QPushButton>(w, "cmdOK"), Qt::LeftButton);
        }
    });
    QCOMPARE(ok, help);
    QCOMPARE(end.ended(), !help);
}

void tst_dialogs::deviceRow()
{
    test::mapPort(3, QStringLiteral("/dev/ttyUSB7"));
    storePort(QStringLiteral("3"));
    test::EndRecorder end;
    frmSchnittstelle dlg;
    qint16 port = 0;
    const bool ok = runDialog(dlg, port, [&](QWidget *w) {
        auto *com = child<QComboBox>(w, "cboCom");
        auto *device = child<QComboBox>(w, "cboGeraet");
        QCOMPARE(device->currentText(), QStringLiteral("/dev/ttyUSB7"));
        com->setCurrentIndex(4); // Com5: nothing stored, the default device
        QCOMPARE(device->currentText(), QStringLiteral("/dev/ttyS4"));
        com->setCurrentIndex(2);
        QCOMPARE(device->currentText(), QStringLiteral("/dev/ttyUSB7"));
        com->setCurrentIndex(1);
        device->setFocus();
        device->lineEdit()->selectAll();
        QTest::keyClicks(device->lineEdit(), QStringLiteral("/dev/serial/by-id/usb-pump"));
        QTest::keyClick(device->lineEdit(), Qt::Key_Return);
    });
    QVERIFY(ok);
    QCOMPARE(int(port), 2);
    // Stored for the chosen port only; the other mapping is untouched.
    auto store = openStore();
    QCOMPARE(deviceFor(2, *store), QStringLiteral("/dev/serial/by-id/usb-pump"));
    QCOMPARE(deviceFor(3, *store), QStringLiteral("/dev/ttyUSB7"));
    QCOMPARE(readStoreText(*store, QStringLiteral("Ports"), QStringLiteral("COM5")), QString());
}

void tst_dialogs::placedAboveCentre()
{
    frmSchnittstelle dlg;
    const QRect area = dlg.screen()->geometry();
    const int above = 200 * dlg.logicalDpiY() / 1440;
    QVERIFY(above > 0);
    QCOMPARE(dlg.x(), area.x() + (area.width() - dlg.width()) / 2);
    QCOMPARE(dlg.y(), area.y() + (area.height() - dlg.height()) / 2 - above);
}

void tst_dialogs::messageBoxPlacement_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QString>("parent"); // none, hidden (start-up), shown
    const QString failure = QStringLiteral("Port COM1 could not be opened.");
    QTest::newRow("no parent") << failure << int(MsgButtons::RetryCancel) << "none";
    QTest::newRow("long, three buttons")
        << QStringLiteral("A line of some length for a wider box.\n").repeated(6)
        << int(MsgButtons::YesNoCancel) << "none";
    QTest::newRow("window not shown yet") << failure << int(MsgButtons::RetryCancel) << "hidden";
    QTest::newRow("over its window") << failure << int(MsgButtons::Ok) << "shown";
}

// The real box, answered from the event loop: where it opens is read while it is up.
void tst_dialogs::messageBoxPlacement()
{
    QFETCH(QString, text);
    QFETCH(int, buttons);
    QFETCH(QString, parent);
    const bool withParent = parent == QLatin1String("shown");
    m_messages.reset();
    QWidget corner;
    corner.setGeometry(0, 0, 120, 80);
    if (withParent) {
        corner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&corner));
    }
    QRect seen;
    test::onNextModal([&](QWidget *w) {
        seen = w->frameGeometry();
        if (auto *box = qobject_cast<QMessageBox *>(w); box && !box->buttons().isEmpty())
            box->buttons().constFirst()->click();
        else
            w->close();
    });
    showMessage(parent == QLatin1String("none") ? nullptr : &corner, text,
                QStringLiteral("Serial ports"), MsgButtons(buttons), MsgIcon::Critical);
    QVERIFY(seen.isValid());
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint offCentre = seen.center() - area.center();
    if (withParent)
        QVERIFY2(offCentre.manhattanLength() > 100, "a box over its window stays over it");
    else
        QVERIFY2(qAbs(offCentre.x()) <= 1 && qAbs(offCentre.y()) <= 1,
                 qPrintable(QStringLiteral("box at %1,%2 %3x%4 on %5x%6")
                                .arg(seen.x())
                                .arg(seen.y())
                                .arg(seen.width())
                                .arg(seen.height())
                                .arg(area.width())
                                .arg(area.height())));
}

void tst_dialogs::aboutTexts()
{
    const QStringList lines = frmAbout::description().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 9);
    QCOMPARE(lines.first(), QStringLiteral("Control program for micro annular gear pumps"));
    const QList<int> perLine{4, 3, 5, 3, 3, 4, 3};
    QStringList names;
    for (int i = 0; i < perLine.size(); ++i) {
        const QString line = lines.at(i + 1);
        QVERIFY2(line.endsWith(QLatin1Char(',')), qPrintable(line));
        const QStringList onLine = line.chopped(1).split(QStringLiteral(", "));
        QCOMPARE(onLine.size(), perLine.at(i));
        names << onLine;
    }
    QCOMPARE(names, pumpTypeNames());
    QVERIFY(lines.last().startsWith(QStringLiteral("and controllers ")));
    QVERIFY(lines.last().endsWith(QLatin1Char('.')));

    frmAbout about;
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));
    QCOMPARE(child<QLabel>(&about, "lblTitle")->text(), QStringLiteral("vyt-Pump controller"));
    QCOMPARE(child<QLabel>(&about, "lblVersion")->text(),
             QStringLiteral("Version 2.5.3, November, 2012"));
    QCOMPARE(child<QLabel>(&about, "lblDescription")->text(), frmAbout::description());
    auto *ok = child<QPushButton>(&about, "cmdOK");
    QCOMPARE(ok->text(), QStringLiteral("&OK"));
    QVERIFY(ok->isDefault());
    const QPixmap logo = child<QLabel>(&about, "picIcon")->pixmap();
    QVERIFY(!logo.isNull());
    QCOMPARE(logo.size(), QSize(83, 84));

    // Enter, Esc and the close box all just close it.
    const QList<std::function<void(QWidget *)>> closers{
        [](QWidget *w) { QTest::keyClick(w, Qt::Key_Return); },
        [](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); },
        [](QWidget *w) { w->close(); },
        [](QWidget *w) { QTest::mouseClick(w->findChild<QPushButton *>("cmdOK"), Qt::LeftButton); },
    };
    for (const auto &close : closers) {
        bool shown = false;
        test::onNextModal([&](QWidget *w) {
            shown = w->windowTitle() == QLatin1String("About");
            close(w);
        });
        frmAbout::zeigen(nullptr);
        QVERIFY(shown);
    }
}

QTEST_MAIN(tst_dialogs)
#include "tst_dialogs.moc"
