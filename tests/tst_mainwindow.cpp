// The main window as an operator meets it: start-up, the pump catalog, the mode
// frame, leaving with or without saving, and the settings surviving a restart.
#include "config/PumpCatalog.h"
#include "config/SettingsStore.h"
#include "link/ControllerLink.h"
#include "link/MSComm.h"
#include "support/AppFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QHeaderView>
#include <QRadioButton>
#include <QScrollBar>
#include <QTableView>
#include <QScreen>
#include <QWheelEvent>
#include <QtTest>

using namespace vyt;
using namespace vyt::test;

Q_DECLARE_METATYPE(vyt::MsgResult)

class tst_mainwindow : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void firstStartShowsDefaults();
    void startupAsksNothingAndRunsHandlersOnce();
    void roundTripKeepsEverything();
    void leavingWithNoWritesNothingAndStops();
    void leavingCancelledKeepsEverything();
    void escWithFocusInTextBoxAsks();
    void yesAlwaysLeaves_data();
    void yesAlwaysLeaves();
    void restartsKeepTheWindowsPlace();
    void pumpTypeChange_data();
    void pumpTypeChange();
    void pumpTypeCancelKeepsOperatorValues();
    void storedDriveValuesWinOverTypeDefaults();
    void damagedStoreLoadsSoundValues();
    void modeSwitchAndEndlessBoxes();
    void shortcutsNeedExactModifiers();
    void saveFailureIsReported_data();
    void saveFailureIsReported();
    void limitsSentAreTheValidatedOnes();
    void enterClicksTheFocusedButtonOrStart_data();
    void enterClicksTheFocusedButtonOrStart();
    void wheelChangesOnlyAFocusedList_data();
    void wheelChangesOnlyAFocusedList();
    void modeFieldsKeepTheirPlaces();
    void startChecksFieldsLeftWithoutFocusOut_data();
    void startChecksFieldsLeftWithoutFocusOut();
    void historyOpensWithCtrlROrItsButton_data();
    void historyOpensWithCtrlROrItsButton();
    void historyOpensWithEveryColumnInView();
    void historyKeepsItsPlace_data();
    void historyKeepsItsPlace();
    void historyPlaceOnNoScreenFallsBack_data();
    void historyPlaceOnNoScreenFallsBack();
};

namespace {

QWidget *openHistory(AppFixture &app)
{
    app.find<QPushButton>("cmdHistory")->click();
    auto *history = app.window().findChild<QWidget *>(QStringLiteral("frmHistory"));
    return history && QTest::qWaitForWindowExposed(history) ? history : nullptr;
}

} // namespace

void tst_mainwindow::firstStartShowsDefaults()
{
    AppFixture app;
    auto &w = app.window();
    QCOMPARE(w.windowTitle(), QStringLiteral("COM1: vyt-Pump controller"));
    QCOMPARE(app.find<QComboBox>("cboPumpentyp")->currentText(), QStringLiteral("vyt-P01"));
    const QList<QPair<const char *, QString>> fields{
        {"txtDichte", "1"},  {"txtKalibrierFaktor", "1"}, {"txtMenge", "100"},
        {"txtPause", "100"}, {"txtWiederholung", "1"},    {"txtFoerderstrom", "5"},
        {"txtDauer", "2"},   {"txtMaximaldrehzahl", "6000"}, {"txtBeschleunigung", "500"},
        {"txtDauerstrom", "230"}, {"txtSpitzenstrom", "400"}, {"txtVerdraengungsvolumen", "1.5"}};
    for (const auto &f : fields)
        QCOMPARE(app.find<QLineEdit>(f.first)->text(), f.second);
    QCOMPARE(app.find<QComboBox>("cboMengeEinheit")->currentText(), QStringLiteral("µl"));
    QCOMPARE(app.find<QComboBox>("cboPauseEinheit")->currentText(), QStringLiteral("ms"));
    QCOMPARE(app.find<QComboBox>("cboFoerderstromEinheit")->currentText(), QStringLiteral("ml/min"));
    QCOMPARE(app.find<QComboBox>("cboDauerEinheit")->currentText(), QStringLiteral("s"));
    QCOMPARE(app.find<QComboBox>("cboEncoder")->currentText(), QStringLiteral("16 (Standard)"));
    QCOMPARE(app.find<QComboBox>("cboGetriebe")->currentText(), QStringLiteral("none"));
    QCOMPARE(app.state().settings.PauseSekunden, 0.1f);
    QCOMPARE(app.state().settings.DauerSekunden, 2.0f);
    QVERIFY(app.find<QRadioButton>("optBetriebsart1")->isChecked());
    QVERIFY(app.find<QLineEdit>("txtMenge")->isVisible());
    QVERIFY(!app.find<QLineEdit>("txtFoerderstrom")->isVisible());
    QCOMPARE(app.find<QLineEdit>("txtDichte")->toolTip(), QStringLiteral("range 0.1 ... 15"));
    QCOMPARE(app.find<QLineEdit>("txtKalibrierFaktor")->toolTip(), QStringLiteral("range -10...10"));
    QCOMPARE(app.find<QLineEdit>("txtMaximaldrehzahl")->toolTip(), QStringLiteral("range 1...6000"));
    QCOMPARE(app.find<QLineEdit>("txtDauerstrom")->toolTip(), QStringLiteral("range 100...300"));
    QCOMPARE(app.find<QLineEdit>("txtSpitzenstrom")->toolTip(), QStringLiteral("range 100...400"));
    QVERIFY(app.find<QPushButton>("cmdStart")->font().bold());
    QVERIFY(app.find<QPushButton>("cmdStart")->hasFocus());
    // Centred, 200 twips above the centre.
    const QScreen *s = QGuiApplication::primaryScreen();
    const int above = qRound(200 * s->logicalDotsPerInchY() / 1440.0);
    const QRect g = s->geometry();
    QVERIFY(qAbs(w.x() - (g.width() - w.frameGeometry().width()) / 2) <= 1);
    QVERIFY(qAbs(w.y() - ((g.height() - w.frameGeometry().height()) / 2 - above)) <= 2);
    QCOMPARE(app.messages().count(), 0);
    QVERIFY(app.state().SchnittstelleOffen);
}

void tst_mainwindow::startupAsksNothingAndRunsHandlersOnce()
{
    AppFixture app(1, false);
    storeValue("COM1", "Pumpentyp", "14");
    storeValue("COM1", "Getriebetyp", "1");
    QMap<QString, int> runs;
    QObject::connect(&app.window(), &frmPumpensteuerung::handlerRan,
                     [&](const QString &name) { ++runs[name]; });
    QVERIFY(app.start());
    QCOMPARE(app.messages().count(), 0);
    QCOMPARE(runs.value("cboPumpentyp"), 1);
    QCOMPARE(runs.value("optBetriebsart"), 1);
    // The type's handler selects index 0 of both lists, start-up then the stored ones.
    QCOMPARE(runs.value("cboEncoder"), 2);
    QCOMPARE(runs.value("cboGetriebe"), 2);
    QCOMPARE(app.find<QLineEdit>("txtVerdraengungsvolumen")->text(), QStringLiteral("192"));
    QCOMPARE(app.find<QComboBox>("cboGetriebe")->currentText(), QStringLiteral("4.8 : 1"));
    QCOMPARE(app.state().Getriebeuntersetzung, 4.8f);
}

void tst_mainwindow::roundTripKeepsEverything()
{
    AppFixture app;
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1); // answered OK
    QCOMPARE(app.state().settings.Pumpentyp, qint16(1));
    app.find<QComboBox>("cboEncoder")->setCurrentIndex(1);
    app.find<QComboBox>("cboGetriebe")->setCurrentIndex(4);
    app.enter("txtMaximaldrehzahl", "4321");
    app.enter("txtBeschleunigung", "1234");
    app.enter("txtDauerstrom", "250");
    app.enter("txtSpitzenstrom", "350");
    app.enter("txtDichte", "1.25");
    app.enter("txtKalibrierFaktor", "-0.5");
    app.enter("txtMenge", "30");
    app.find<QComboBox>("cboMengeEinheit")->setCurrentIndex(2);
    app.enter("txtPause", "1.5");
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(2);
    app.find<QCheckBox>("cbxEndlosDosierung")->setChecked(true);
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    app.enter("txtFoerderstrom", "-2.5");
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(1);
    app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    app.find<QComboBox>("cboDauerEinheit")->setCurrentIndex(3);
    QCOMPARE(app.messages().texts().mid(1), QStringList()); // only the type question
    app.messages().clear();

    QVERIFY(app.window().Beenden()); // Yes
    QCOMPARE(app.messages().texts(), QStringList{"Do you want to save the settings?"});
    QCOMPARE(app.messages().messages().first().title, QStringLiteral("Exit"));
    QVERIFY(app.ends().ended());

    const QStringList keys{"Left", "Top", "Pumpentyp", "Dichte", "Kalibrierfaktor", "Encodertyp",
                           "Getriebetyp", "Maximaldrehzahl", "Beschleunigung", "Dauerstrom",
                           "Spitzenstrom", "Betriebsart", "Menge", "Mengeneinheit", "Pause",
                           "Pauseeinheit", "Wiederholung", "Foerderstrom", "Foerderstromeinheit",
                           "Dauer", "Dauereinheit"};
    auto store = openStore();
    store->beginGroup("COM1");
    QStringList stored = store->childKeys();
    store->endGroup();
    stored.sort();
    QStringList expected = keys;
    expected.sort();
    QCOMPARE(stored, expected);
    const QList<QPair<QString, QString>> texts{
        {"Pumpentyp", "1"},          {"Dichte", "1.25"},       {"Kalibrierfaktor", "-0.5"},
        {"Encodertyp", "1"},         {"Getriebetyp", "4"},     {"Maximaldrehzahl", "4321"},
        {"Beschleunigung", "1234"},  {"Dauerstrom", "250"},    {"Spitzenstrom", "350"},
        {"Betriebsart", "2"},        {"Menge", "30"},          {"Mengeneinheit", "2"},
        {"Pause", "1.5"},            {"Pauseeinheit", "2"},    {"Wiederholung", "2147483647"},
        {"Foerderstrom", "-2.5"},    {"Foerderstromeinheit", "1"}, {"Dauer", "0"},
        {"Dauereinheit", "3"}};
    for (const auto &t : texts)
        QCOMPARE(storedValue("COM1", t.first), t.second);
    QCOMPARE(storedValue("Schnittstelle", "COM"), QStringLiteral("1"));

    QVERIFY(app.restart());
    PumpState &st = app.state();
    QCOMPARE(st.settings.Pumpentyp, qint16(1));
    QCOMPARE(st.Encoderaufloesung, 256.0f);
    QCOMPARE(st.Getriebeuntersetzung, *gearRatio(1, 4));
    QCOMPARE(app.find<QLineEdit>("txtMaximaldrehzahl")->text(), QStringLiteral("4321"));
    QCOMPARE(app.find<QLineEdit>("txtBeschleunigung")->text(), QStringLiteral("1234"));
    QCOMPARE(app.find<QLineEdit>("txtDauerstrom")->text(), QStringLiteral("250"));
    QCOMPARE(app.find<QLineEdit>("txtSpitzenstrom")->text(), QStringLiteral("350"));
    QCOMPARE(st.settings.Maximaldrehzahl, 4321.0f);
    QCOMPARE(app.find<QLineEdit>("txtDichte")->text(), QStringLiteral("1.25"));
    QVERIFY(app.find<QRadioButton>("optBetriebsart2")->isChecked());
    QVERIFY(app.find<QCheckBox>("cbxEndlosDosierung")->isChecked());
    QVERIFY(app.find<QLineEdit>("txtWiederholung")->text().isEmpty());
    QVERIFY(app.find<QCheckBox>("cbxEndlosFoerderung")->isChecked());
    QCOMPARE(app.find<QComboBox>("cboDauerEinheit")->currentIndex(), 3);
    QCOMPARE(app.find<QComboBox>("cboPauseEinheit")->currentIndex(), 2);
    QCOMPARE(st.settings.PauseSekunden, 90.0f);
    QCOMPARE(app.find<QComboBox>("cboFoerderstromEinheit")->currentIndex(), 1);
    QCOMPARE(app.find<QLineEdit>("txtFoerderstrom")->text(), QStringLiteral("-2.5"));
}

void tst_mainwindow::leavingWithNoWritesNothingAndStops()
{
    AppFixture app;
    app.messages().script({MsgResult::No});
    app.enter("txtMenge", "42");
    QVERIFY(app.window().Beenden());
    QVERIFY(app.ends().ended());
    QVERIFY(storedValue("COM1", "Menge").isEmpty());
    QVERIFY(waitForLine(app.sim(), "V 0"));
    QCOMPARE(app.sim().receivedLines(), (QStringList{"SOR 0", "V 0"}));
    QVERIFY(!app.window().MSComm1().PortOpen());
}

void tst_mainwindow::leavingCancelledKeepsEverything()
{
    AppFixture app;
    app.messages().script({MsgResult::Cancel});
    app.find<QPushButton>("cmdBeenden")->click();
    QVERIFY(!app.ends().ended());
    QVERIFY(app.window().isVisible());
    QVERIFY(app.window().MSComm1().PortOpen());
    QVERIFY(storedValue("COM1", "Menge").isEmpty());
    // The close box asks the same question.
    app.messages().script({MsgResult::Cancel});
    QVERIFY(!app.window().close());
    QCOMPARE(app.messages().count(), 2);
    QVERIFY(app.window().isVisible());
}

void tst_mainwindow::escWithFocusInTextBoxAsks()
{
    AppFixture app;
    auto *menge = app.find<QLineEdit>("txtMenge");
    menge->setFocus();
    QTest::keyClicks(menge, "5");
    app.messages().script({MsgResult::Cancel});
    QTest::keyClick(menge, Qt::Key_Escape);
    QCOMPARE(app.messages().texts(), QStringList{"Do you want to save the settings?"});
    QVERIFY(menge->hasFocus());
    QCOMPARE(menge->text(), QStringLiteral("1005"));
    // Yes checks the entry being typed and saves it.
    QTest::keyClick(menge, Qt::Key_Escape);
    QVERIFY(app.ends().ended());
    QCOMPARE(storedValue("COM1", "Menge"), QStringLiteral("1005"));
}

void tst_mainwindow::yesAlwaysLeaves_data()
{
    QTest::addColumn<QStringList>("stored"); // key=value in [COM1] before the start
    QTest::addColumn<QString>("field");      // typed into, the focus left in it
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message"); // after the save question; empty: none
    QTest::addColumn<QStringList>("saved"); // key=value expected in [COM1]
    QTest::newRow("refused quantity, density accepted before")
        << QStringList{} << "txtMenge" << "abc" << "Please enter a real number."
        << QStringList{"Menge=100", "Dichte=1.5"};
    QTest::newRow("refused current")
        << QStringList{} << "txtDauerstrom" << "9999" << "Please enter an integer number between 100 and 300."
        << QStringList{"Dauerstrom=230", "Dichte=1.5"};
    QTest::newRow("accepted quantity being typed")
        << QStringList{} << "txtMenge" << "42" << QString() << QStringList{"Menge=42", "Dichte=1.5"};
    // The bounds guard the line, not the file: an untouched stored value is kept.
    QTest::newRow("stored speed outside the type's bounds")
        << QStringList{"Pumpentyp=18", "Maximaldrehzahl=6000"} << QString() << QString() << QString()
        << QStringList{"Pumpentyp=18", "Maximaldrehzahl=6000", "Dichte=1.5"};
    QTest::newRow("stored speed outside the bounds, refused quantity")
        << QStringList{"Pumpentyp=18", "Maximaldrehzahl=6000"} << "txtMenge" << "1e99"
        << "Please enter a real number." << QStringList{"Maximaldrehzahl=6000", "Menge=100"};
}

void tst_mainwindow::yesAlwaysLeaves()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, message);
    QFETCH(QStringList, saved);
    AppFixture app(1, false);
    for (const QString &pair : stored)
        storeValue(QStringLiteral("COM1"), pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    QVERIFY(app.start());
    app.enter("txtDichte", QStringLiteral("1.5"));
    if (!field.isEmpty()) {
        auto *edit = app.find<QLineEdit>(qPrintable(field));
        edit->setFocus();
        edit->setText(text);
    }
    app.messages().script({MsgResult::Yes});
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(app.ends().ended());
    QStringList expected{QStringLiteral("Do you want to save the settings?")};
    if (!message.isEmpty())
        expected << message;
    QCOMPARE(app.messages().texts(), expected);
    for (const QString &pair : saved)
        QCOMPARE(storedValue(QStringLiteral("COM1"), pair.section(QLatin1Char('='), 0, 0)),
                 pair.section(QLatin1Char('='), 1));
    // The drive stopped before anything was told.
    QVERIFY(waitForLine(app.sim(), "V 0"));
}

void tst_mainwindow::restartsKeepTheWindowsPlace()
{
    // The frame and the client area differ by the title bar: the place saved must be the
    // place restored, or the window creeps on every restart.
    AppFixture app;
    app.window().move(300, 250);
    QTRY_COMPARE(app.window().pos(), QPoint(300, 250));
    const QRect placed = app.window().geometry();
    QString left, top;
    for (int i = 0; i < 5; ++i) {
        app.messages().script({MsgResult::Yes});
        QVERIFY(app.window().Beenden());
        if (i == 0) {
            left = storedValue(QStringLiteral("COM1"), QStringLiteral("Left"));
            top = storedValue(QStringLiteral("COM1"), QStringLiteral("Top"));
        }
        QCOMPARE(storedValue(QStringLiteral("COM1"), QStringLiteral("Left")), left);
        QCOMPARE(storedValue(QStringLiteral("COM1"), QStringLiteral("Top")), top);
        QVERIFY(app.restart());
        QTRY_COMPARE(app.window().geometry(), placed);
    }
}

void tst_mainwindow::pumpTypeChange_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("encoders");
    QTest::addColumn<QStringList>("gears");
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QString>("speedTip");
    QTest::addColumn<QString>("currentTip");
    QTest::addColumn<float>("resolution");
    QTest::newRow("P04") << 3 << QStringList{"100 (Standard)"} << QStringList{"none"} << "48"
                         << "range 1...6000" << "range 300...1200" << 100.0f;
    QTest::newRow("P15") << 14 << QStringList{"Standard"} << QStringList{"none", "4.8 : 1"}
                         << "192" << "range 1...6000" << "range 600...6000" << 250.0f;
    QTest::newRow("P23") << 22 << QStringList{"Standard"} << QStringList{"none"} << "48"
                         << "range 1...4700" << "range 600...2000" << 500.0f;
}

void tst_mainwindow::pumpTypeChange()
{
    QFETCH(int, type);
    QFETCH(QStringList, encoders);
    QFETCH(QStringList, gears);
    AppFixture app;
    app.state().ParameterGeaendert = false;
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(type);
    QCOMPARE(app.messages().texts(),
             QStringList{"Are you sure that you want to change the pump type?"});
    QCOMPARE(app.messages().messages().first().title, QStringLiteral("Warning"));
    QCOMPARE(app.messages().messages().first().buttons, MsgButtons::OkCancel);
    auto items = [](QComboBox *c) {
        QStringList l;
        for (int i = 0; i < c->count(); ++i)
            l << c->itemText(i);
        return l;
    };
    QCOMPARE(items(app.find<QComboBox>("cboEncoder")), encoders);
    QCOMPARE(items(app.find<QComboBox>("cboGetriebe")), gears);
    QCOMPARE(app.find<QComboBox>("cboEncoder")->currentIndex(), 0);
    QCOMPARE(app.find<QComboBox>("cboGetriebe")->currentIndex(), 0);
    QTEST(app.find<QLineEdit>("txtVerdraengungsvolumen")->text(), "volume");
    QTEST(app.find<QLineEdit>("txtMaximaldrehzahl")->toolTip(), "speedTip");
    QTEST(app.find<QLineEdit>("txtDauerstrom")->toolTip(), "currentTip");
    QTEST(app.state().Encoderaufloesung, "resolution");
    const PumpType &row = pumpType(type);
    QCOMPARE(app.state().settings.Maximaldrehzahl, row.maxSpeed);
    QCOMPARE(app.state().settings.Dauerstrom, row.contCurrent);
    QCOMPARE(app.state().settings.Spitzenstrom, row.peakCurrent);
    QCOMPARE(app.state().settings.Beschleunigung, 500.0f);
    QCOMPARE(app.state().Verdraengungsvolumen, row.displacement);
    QVERIFY(app.state().ParameterGeaendert);
}

void tst_mainwindow::pumpTypeCancelKeepsOperatorValues()
{
    AppFixture app;
    app.find<QComboBox>("cboEncoder")->setCurrentIndex(1);
    app.find<QComboBox>("cboGetriebe")->setCurrentIndex(2);
    app.enter("txtMaximaldrehzahl", "3000");
    app.enter("txtDauerstrom", "150");
    app.state().ParameterGeaendert = false;
    const float ratio = app.state().Getriebeuntersetzung;
    app.messages().script({MsgResult::Cancel});
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(20);
    QCOMPARE(app.messages().count(), 1);
    QCOMPARE(app.find<QComboBox>("cboPumpentyp")->currentIndex(), 0);
    QCOMPARE(app.state().settings.Pumpentyp, qint16(0));
    QCOMPARE(app.find<QLineEdit>("txtMaximaldrehzahl")->text(), QStringLiteral("3000"));
    QCOMPARE(app.state().settings.Maximaldrehzahl, 3000.0f);
    QCOMPARE(app.state().settings.Dauerstrom, 150.0f);
    QCOMPARE(app.find<QComboBox>("cboEncoder")->currentIndex(), 1);
    QCOMPARE(app.state().Encoderaufloesung, 256.0f);
    QCOMPARE(app.find<QComboBox>("cboGetriebe")->currentIndex(), 2);
    QCOMPARE(app.state().Getriebeuntersetzung, ratio);
    QCOMPARE(app.state().DrehzahlMax, 6000.0f);
    QVERIFY(!app.state().ParameterGeaendert);
}

void tst_mainwindow::storedDriveValuesWinOverTypeDefaults()
{
    AppFixture app(1, false);
    storeValue("COM1", "Pumpentyp", "18");
    storeValue("COM1", "Maximaldrehzahl", "6000");
    storeValue("COM1", "Beschleunigung", "777");
    storeValue("COM1", "Dauerstrom", "1000");
    QVERIFY(app.start());
    QCOMPARE(app.find<QComboBox>("cboPumpentyp")->currentText(), QStringLiteral("vyt-P19"));
    QCOMPARE(app.find<QLineEdit>("txtMaximaldrehzahl")->text(), QStringLiteral("6000"));
    QCOMPARE(app.find<QLineEdit>("txtBeschleunigung")->text(), QStringLiteral("777"));
    QCOMPARE(app.find<QLineEdit>("txtDauerstrom")->text(), QStringLiteral("1000"));
    QCOMPARE(app.state().DrehzahlMax, 4700.0f);
}

void tst_mainwindow::damagedStoreLoadsSoundValues()
{
    AppFixture app(1, false);
    storeValue("COM1", "Pumpentyp", "99");
    storeValue("COM1", "Dichte", "nan");
    storeValue("COM1", "Menge", "abc");
    storeValue("COM1", "Mengeneinheit", "7");
    storeValue("COM1", "Dauereinheit", "7");
    storeValue("COM1", "Encodertyp", "5");
    storeValue("COM1", "Betriebsart", "3");
    storeValue("COM1", "Maximaldrehzahl", "1E39");
    storeValue("COM1", "Left", "-99999999");
    QVERIFY(app.start());
    const PumpSettings &s = app.state().settings;
    QCOMPARE(s.Pumpentyp, qint16(0));
    QCOMPARE(s.Dichte, 1.0f);
    QCOMPARE(s.Menge, 100.0f);
    QCOMPARE(s.Mengeneinheit, qint16(0));
    QCOMPARE(s.Dauereinheit, 0.0f);
    QCOMPARE(s.Encodertyp, qint16(0));
    QCOMPARE(s.Betriebsart, qint16(1));
    QCOMPARE(s.Maximaldrehzahl, 6000.0f);
    QCOMPARE(app.state().settings.DauerSekunden, 0.0f); // unit 7 leaves the seconds as they were
    QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(app.window().pos()));
    QCOMPARE(app.messages().count(), 0);
}

void tst_mainwindow::modeSwitchAndEndlessBoxes()
{
    AppFixture app;
    auto *opt2 = app.find<QRadioButton>("optBetriebsart2");
    app.enter("txtMenge", "12.5");
    opt2->setChecked(true);
    QVERIFY(app.find<QCheckBox>("cbxPotentiometer")->isVisible());
    QVERIFY(!app.find<QLineEdit>("txtMenge")->isVisible());
    QVERIFY(!app.find<QCheckBox>("cbxEndlosDosierung")->isVisible());
    app.find<QCheckBox>("cbxEndlosFoerderung")->setChecked(true);
    QVERIFY(app.find<QLineEdit>("txtDauer")->text().isEmpty());
    QCOMPARE(app.state().settings.Dauer, 0.0f);
    // Entering the empty duration switches endless off and starts from 1.
    app.find<QLineEdit>("txtDauer")->setFocus();
    QVERIFY(!app.find<QCheckBox>("cbxEndlosFoerderung")->isChecked());
    QCOMPARE(app.find<QLineEdit>("txtDauer")->text(), QStringLiteral("1"));
    QCOMPARE(app.state().settings.Dauer, 1.0f);
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    QCOMPARE(app.find<QLineEdit>("txtMenge")->text(), QStringLiteral("12.5"));
    app.find<QCheckBox>("cbxEndlosDosierung")->setChecked(true);
    QCOMPARE(app.state().settings.Wiederholung, 2147483647);
    app.find<QLineEdit>("txtWiederholung")->setFocus();
    QCOMPARE(app.find<QLineEdit>("txtWiederholung")->text(), QStringLiteral("1"));
    QCOMPARE(app.state().settings.Wiederholung, 1);
    // A unit change re-reads the value, it does not convert it.
    app.enter("txtPause", "100");
    app.find<QComboBox>("cboPauseEinheit")->setCurrentIndex(2);
    QCOMPARE(app.find<QLineEdit>("txtPause")->text(), QStringLiteral("100"));
    QCOMPARE(app.state().settings.Pauseeinheit, 2.0f);
    QCOMPARE(app.messages().count(), 0);
}

void tst_mainwindow::shortcutsNeedExactModifiers()
{
    AppFixture app;
    auto *menge = app.find<QLineEdit>("txtMenge");
    menge->setFocus();
    menge->setText("100");
    QTest::keyClick(menge, Qt::Key_H, Qt::ControlModifier);
    QTest::keyClick(menge, Qt::Key_H, Qt::ShiftModifier);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QCOMPARE(app.messages().count(), 0);
    // Shift+Ctrl+H opens the console modally; close it from the event loop.
    bool opened = false;
    onNextModal([&](QWidget *w) {
        opened = w->objectName() == QLatin1String("frmDirekt");
        w->close();
    });
    QTest::keyClick(menge, Qt::Key_H, Qt::ShiftModifier | Qt::ControlModifier);
    QVERIFY(opened);
    bool about = false;
    onNextModal([&](QWidget *w) {
        about = w->objectName() == QLatin1String("frmAbout");
        w->close();
    });
    QTest::keyClick(menge, Qt::Key_F1);
    QVERIFY(about);
}

void tst_mainwindow::saveFailureIsReported_data()
{
    QTest::addColumn<MsgResult>("answer");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("ended");
    QTest::newRow("Retry, the folder freed meanwhile") << MsgResult::Retry << true << true;
    QTest::newRow("Exit without saving") << MsgResult::Discard << false << true;
    QTest::newRow("Cancel stays") << MsgResult::Cancel << false << false;
}

void tst_mainwindow::saveFailureIsReported()
{
    QFETCH(MsgResult, answer);
    QFETCH(bool, saved);
    QFETCH(bool, ended);
    AppFixture app;
    app.enter("txtMenge", "123");
    // A file where the settings folder should be: nothing can be written.
    auto store = openStore();
    const QString file = store->fileName();
    store.reset();
    const QString dir = QFileInfo(file).absolutePath();
    QDir(dir).removeRecursively();
    QFile blocker(dir);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    app.messages().script({MsgResult::Yes, answer});
    app.messages().setWhileOpen([&](const Message &m) {
        if (m.buttons == MsgButtons::RetryExitCancel && answer == MsgResult::Retry)
            QFile::remove(dir);
    });
    QCOMPARE(app.window().Beenden(), ended);
    app.messages().setWhileOpen({});
    QCOMPARE(app.messages().count(), 2);
    const Message &failure = app.messages().messages().at(1);
    QVERIFY(failure.text.contains(file));
    QCOMPARE(failure.buttons, MsgButtons::RetryExitCancel);
    QCOMPARE(app.ends().ended(), ended);
    QCOMPARE(storedValue("COM1", "Menge"), saved ? QStringLiteral("123") : QString());
    QFile::remove(dir);
}

void tst_mainwindow::limitsSentAreTheValidatedOnes()
{
    AppFixture app;
    app.enter("txtDauerstrom", "250");
    // An entry never validated (the cursor still in the field) must not reach the drive.
    auto *dauerstrom = app.find<QLineEdit>("txtDauerstrom");
    dauerstrom->setFocus();
    dauerstrom->setText("9999");
    app.state().KeineAntwort = false;
    app.state().SchnittstelleOffen = true;
    app.window().link().ParameterSetzen();
    QVERIFY(waitForLine(app.sim(), "LPC 400"));
    QCOMPARE(app.sim().receivedLines(),
             (QStringList{"SP 6000", "AC 500", "LCC 250", "LPC 400"}));
}

void tst_mainwindow::enterClicksTheFocusedButtonOrStart_data()
{
    QTest::addColumn<QString>("focus"); // empty: as after start-up
    QTest::addColumn<QString>("clicked");
    QTest::newRow("after start-up") << QString() << "cmdStart";
    QTest::newRow("in a field") << "txtMenge" << "cmdStart";
    QTest::newRow("on a list") << "cboPumpentyp" << "cmdStart";
    QTest::newRow("on Stop") << "cmdStop" << "cmdStop";
    QTest::newRow("on Exit") << "cmdBeenden" << "cmdBeenden";
}

void tst_mainwindow::enterClicksTheFocusedButtonOrStart()
{
    QFETCH(QString, focus);
    QFETCH(QString, clicked);
    AppFixture app;
    app.messages().setDefault(MsgResult::Cancel); // Exit's question: stay
    if (!focus.isEmpty())
        app.window().findChild<QWidget *>(focus)->setFocus(Qt::TabFocusReason);
    QString seen;
    for (const char *name : {"cmdStart", "cmdStop", "cmdBeenden"}) {
        auto *button = app.find<QPushButton>(name);
        connect(button, &QPushButton::clicked, button, [&seen, name] { seen += QLatin1String(name); });
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(app.waitForRunEnd());
    QCOMPARE(seen, clicked); // that one button, once
}

void tst_mainwindow::wheelChangesOnlyAFocusedList_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<bool>("focused");
    for (const char *list : {"cboPauseEinheit", "cboGetriebe", "cboEncoder", "cboMengeEinheit"}) {
        QTest::addRow("%s, passing over", list) << list << false;
        QTest::addRow("%s, focused", list) << list << true;
    }
}

void tst_mainwindow::wheelChangesOnlyAFocusedList()
{
    QFETCH(QString, list);
    QFETCH(bool, focused);
    AppFixture app;
    auto *combo = app.window().findChild<QComboBox *>(list);
    QVERIFY(combo->count() > 1);
    combo->setCurrentIndex(0);
    QVERIFY(combo->focusPolicy() != Qt::WheelFocus);
    if (focused)
        combo->setFocus();
    else
        app.find<QPushButton>("cmdStart")->setFocus();
    // Three notches down, over the list.
    const QPointF at(combo->width() / 2.0, combo->height() / 2.0);
    for (int i = 0; i < 3; ++i) {
        QWheelEvent wheel(at, combo->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(combo, &wheel);
    }
    QCOMPARE(combo->currentIndex() != 0, focused);
    QCOMPARE(app.messages().count(), 0);
}

void tst_mainwindow::modeFieldsKeepTheirPlaces()
{
    AppFixture app;
    auto *dosing = app.find<QRadioButton>("optBetriebsart1");
    auto *flow = app.find<QRadioButton>("optBetriebsart2");
    dosing->setChecked(true);
    const QRect quantity = app.find<QLineEdit>("txtMenge")->geometry();
    const QRect pause = app.find<QLineEdit>("txtPause")->geometry();
    flow->setChecked(true);
    QCOMPARE(app.find<QLineEdit>("txtFoerderstrom")->geometry(), quantity);
    QCOMPARE(app.find<QLineEdit>("txtDauer")->geometry(), pause);
    dosing->setChecked(true);
    QCOMPARE(app.find<QLineEdit>("txtMenge")->geometry(), quantity);
    auto *pump = app.window().findChild<QWidget *>("framePumpe");
    auto *motor = app.window().findChild<QWidget *>("frameAntrieb");
    QCOMPARE(pump->size(), motor->size());
}

void tst_mainwindow::startChecksFieldsLeftWithoutFocusOut_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::newRow("accepted limit is sent") << "250" << QString();
    QTest::newRow("refused limit sends nothing")
        << "9999" << "Please enter an integer number between 100 and 300.";
}

void tst_mainwindow::startChecksFieldsLeftWithoutFocusOut()
{
    // Without a window manager no focus-out may follow a message box: the changed text is
    // still in the field, never checked. Start checks it.
    QFETCH(QString, text);
    QFETCH(QString, message);
    AppFixture app;
    app.sim().setInstantMoves(true);
    app.find<QLineEdit>("txtDauerstrom")->setText(text);
    app.sim().clearReceived();
    app.find<QPushButton>("cmdStart")->click();
    QVERIFY(app.waitForRunEnd());
    if (message.isEmpty()) {
        QCOMPARE(app.messages().count(), 0);
        QCOMPARE(app.state().settings.Dauerstrom, 250.0f);
        QVERIFY(waitForLine(app.sim(), "LCC 250"));
    } else {
        QCOMPARE(app.messages().texts(), QStringList{message});
        QCOMPARE(app.state().settings.Dauerstrom, 230.0f);
        QCOMPARE(app.sim().receivedLines(), QStringList());
    }
}

void tst_mainwindow::historyOpensWithCtrlROrItsButton_data()
{
    QTest::addColumn<bool>("key");
    QTest::newRow("Ctrl+R in a text box") << true;
    QTest::newRow("the History button") << false;
}

void tst_mainwindow::historyOpensWithCtrlROrItsButton()
{
    QFETCH(bool, key);
    AppFixture app;
    const QRect exit = app.find<QPushButton>("cmdBeenden")->geometry();
    if (key) {
        auto *menge = app.find<QLineEdit>("txtMenge");
        menge->setFocus();
        QTest::keyClick(menge, Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(menge->text(), QStringLiteral("100")); // the key did not reach the field
    } else {
        app.find<QPushButton>("cmdHistory")->click();
    }
    auto *history = app.window().findChild<QWidget *>(QStringLiteral("frmHistory"));
    QVERIFY(history);
    QTRY_VERIFY(history->isVisible());
    QCOMPARE(history->windowTitle(), QStringLiteral("Run history"));
    QVERIFY(!history->isModal());
    QCOMPARE(app.find<QPushButton>("cmdBeenden")->geometry(), exit); // nothing designed moved
}

void tst_mainwindow::historyOpensWithEveryColumnInView()
{
    AppFixture app;
    QWidget *history = openHistory(app);
    QVERIFY(history);
    const QRect area = app.window().screen()->availableGeometry();
    QVERIFY(area.contains(history->frameGeometry()));
    // Every column in view, or as wide as the screen (the test screen is narrow).
    auto *view = history->findChild<QTableView *>(QStringLiteral("tblRuns"));
    QTRY_VERIFY(view->horizontalScrollBar()->maximum() == 0 ||
                history->frameGeometry().width() == area.width());
    QVERIFY(view->viewport()->height() >= 10 * view->verticalHeader()->defaultSectionSize());
}

void tst_mainwindow::historyKeepsItsPlace_data()
{
    QTest::addColumn<QString>("how"); // closing it, or leaving the program with No or Yes
    QTest::newRow("closed and opened again") << "close";
    QTest::newRow("program left with No") << "No";
    QTest::newRow("program left with Yes") << "Yes";
}

void tst_mainwindow::historyKeepsItsPlace()
{
    QFETCH(QString, how);
    AppFixture app;
    app.enter("txtMenge", "42");
    QWidget *history = openHistory(app);
    QVERIFY(history);
    const QRect place(40, 30, 620, 330);
    history->resize(place.size());
    history->move(place.topLeft());
    if (how == QLatin1String("close")) {
        history->close();
        QVERIFY(openHistory(app) == history);
    } else {
        app.messages().script({how == QLatin1String("Yes") ? MsgResult::Yes : MsgResult::No});
        QVERIFY(app.window().Beenden());
        QVERIFY(app.restart());
        history = openHistory(app);
        QVERIFY(history);
    }
    QCOMPARE(storedValue("Windows", "History"), QStringLiteral("40 30 620 330"));
    QCOMPARE(QRect(history->pos(), history->size()), place);
    // The designed settings are saved on Yes only.
    QCOMPARE(storedValue("COM1", "Menge"), how == QLatin1String("Yes") ? "42" : QString());
}

void tst_mainwindow::historyPlaceOnNoScreenFallsBack_data()
{
    QTest::addColumn<QString>("stored");
    QTest::newRow("on a screen that is gone") << "-5000 -5000 620 330";
    QTest::newRow("damaged") << "40 30 wide 330";
}

void tst_mainwindow::historyPlaceOnNoScreenFallsBack()
{
    QFETCH(QString, stored);
    QRect computed;
    {
        AppFixture first;
        const QWidget *history = openHistory(first);
        QVERIFY(history);
        computed = QRect(history->pos(), history->size());
    }
    AppFixture app(1, false);
    storeValue("Windows", "History", stored);
    QVERIFY(app.start());
    QWidget *history = openHistory(app);
    QVERIFY(history);
    QCOMPARE(QRect(history->pos(), history->size()), computed);
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
