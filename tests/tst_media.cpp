// The range hints beside the flow rate and the quantity, checked against the run's own
// formulas for every pump type; the media presets in the settings store.
#include "config/MediaPresets.h"
#include "config/PumpCatalog.h"
#include "main/MediaList.h"
#include "main/PumpRun.h"
#include "main/RangeHints.h"
#include "support/AppFixture.h"

#include <QComboBox>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

using namespace vyt;
using namespace vyt::test;

class tst_media : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }
    void flowRateHintReachesMaximumSpeed_data();
    void flowRateHintReachesMaximumSpeed();
    void doseHintIsTheRunsLimit_data();
    void doseHintIsTheRunsLimit();
    void noLimitWithoutFactor_data();
    void noLimitWithoutFactor();
    void windowShowsHints();
    void namesRoundTrip_data();
    void namesRoundTrip();
    void damagedSectionIsSkippedEntryByEntry_data();
    void damagedSectionIsSkippedEntryByEntry();
    void portsAndTypesAreSeparate();
    void designedKeysStayAsTheyAre();
    void renameAndDelete();
    void mediaListInTheWindow_data();
    void mediaListInTheWindow();
};

namespace {

// Every catalog type with each unit: the drive choices are looped inside.
void catalogRows()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("unit");
    for (int t = 0; t < kPumpTypeCount; ++t)
        for (int u = 0; u < 3; ++u)
            QTest::addRow("%s unit %d", pumpType(t).name, u) << t << u;
}

PumpState stateFor(int type)
{
    PumpState st;
    st.settings.Pumpentyp = qint16(type);
    st.Verdraengungsvolumen = pumpType(type).displacement;
    st.settings.Maximaldrehzahl = pumpType(type).maxSpeed;
    return st;
}

const float kFactors[] = {1.0f, 0.37f, -2.5f, 10.0f, 0.001f};
const float kDensities[] = {1.0f, 1.26f, 0.1f, 15.0f};

float nextUp(float q)
{
    const float up = q + 1.0f;
    return up > q ? up : std::nextafter(q, INFINITY);
}

bool runAccepts(const PumpState &st, float q)
{
    const auto r = PumpRun::doseRevolutions(st, q);
    return r && PumpRun::doseFits(st, *r);
}

} // namespace

void tst_media::flowRateHintReachesMaximumSpeed_data() { catalogRows(); }

void tst_media::flowRateHintReachesMaximumSpeed()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    PumpState st = stateFor(type);
    st.settings.Foerderstromeinheit = qint16(unit);
    for (int g = 0; const auto ratio = gearRatio(type, g); ++g) {
        st.Getriebeuntersetzung = *ratio;
        for (float k : kFactors)
            for (float rho : kDensities)
                for (float m : {pumpType(type).maxSpeed, 1.0f, 777.0f}) {
                    st.settings.Kalibrierfaktor = k;
                    st.settings.Dichte = rho;
                    st.settings.Maximaldrehzahl = m;
                    const auto rate = largestFlowRate(st);
                    QVERIFY(rate);
                    const float speed = std::fabs(PumpRun::flowSpeed(st, *rate));
                    QVERIFY2(std::fabs(speed - m) <= 1.0f,
                             qPrintable(QStringLiteral("gear %1 K %2 rho %3: %4 rpm for %5")
                                            .arg(g).arg(k).arg(rho).arg(speed).arg(*rate)));
                }
    }
}

void tst_media::doseHintIsTheRunsLimit_data() { catalogRows(); }

void tst_media::doseHintIsTheRunsLimit()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    PumpState st = stateFor(type);
    st.settings.Mengeneinheit = qint16(unit);
    for (int e = 0; const auto resolution = encoderResolution(type, e); ++e) {
        st.Encoderaufloesung = *resolution;
        for (int g = 0; const auto ratio = gearRatio(type, g); ++g) {
            st.Getriebeuntersetzung = *ratio;
            for (float k : kFactors)
                for (float rho : kDensities) {
                    st.settings.Kalibrierfaktor = k;
                    st.settings.Dichte = rho;
                    const auto dose = largestDose(st);
                    QVERIFY(dose);
                    const float q = float(*dose);
                    const QString where = QStringLiteral("encoder %1 gear %2 K %3 rho %4: %5")
                                              .arg(e).arg(g).arg(k).arg(rho).arg(q, 0, 'f', 0);
                    QVERIFY2(runAccepts(st, q), qPrintable(where));
                    QVERIFY2(!runAccepts(st, nextUp(q)), qPrintable(where));
                    QVERIFY2(!runAccepts(st, -nextUp(q)), qPrintable(where));
                }
        }
    }
}

void tst_media::noLimitWithoutFactor_data()
{
    QTest::addColumn<int>("unit");
    for (int u = 0; u < 3; ++u)
        QTest::addRow("unit %d", u) << u;
}

void tst_media::noLimitWithoutFactor()
{
    QFETCH(int, unit);
    PumpState st = stateFor(0);
    st.settings.Kalibrierfaktor = 0;
    st.settings.Mengeneinheit = qint16(unit);
    st.settings.Foerderstromeinheit = qint16(unit);
    QVERIFY(!largestFlowRate(st));
    QVERIFY(!largestDose(st));
    QVERIFY(flowRateHint(st).isEmpty());
    QVERIFY(doseHint(st).isEmpty());
}

void tst_media::windowShowsHints()
{
    AppFixture app;
    auto *dose = app.find<QLabel>("lblMengeMax");
    auto *flow = app.find<QLabel>("lblFoerderstromMax");
    QVERIFY(dose && flow);
    // vyt-P01: 1.5 µl per revolution, 6000 rpm, encoder 16.
    QCOMPARE(dose->text(), QStringLiteral("max. 14062500 µl"));
    QVERIFY(dose->isVisible());
    QVERIFY(!flow->isVisible());
    QCOMPARE(flow->text(), QStringLiteral("max. 9 ml/min"));
    app.find<QComboBox>("cboFoerderstromEinheit")->setCurrentIndex(2);
    QCOMPARE(flow->text(), QStringLiteral("max. 6000 rpm"));
    app.enter("txtKalibrierFaktor", QStringLiteral("2"));
    QCOMPARE(flow->text(), QStringLiteral("max. 3000 rpm"));
    app.enter("txtMaximaldrehzahl", QStringLiteral("3000"));
    QCOMPARE(flow->text(), QStringLiteral("max. 1500 rpm"));
    app.enter("txtKalibrierFaktor", QStringLiteral("0"));
    QVERIFY(flow->text().isEmpty());
    QVERIFY(dose->text().isEmpty());
    app.find<QRadioButton>("optBetriebsart2")->setChecked(true);
    QVERIFY(flow->isVisible());
    QVERIFY(!dose->isVisible());
}

namespace {

struct TempStore {
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("vyt.conf")); }
    void write(const QByteArray &text) const
    {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray read() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

} // namespace

void tst_media::namesRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("line"); // as the file holds it: what a hand-written entry looks like
    const QList<QPair<const char *, const char *>> rows{
        {"Water 20 °C", "COM1\\0\\Water%2020%20%B0C=1.26 0.95"},
        {"Glycerol 50 %", "COM1\\0\\Glycerol%2050%20%2525=1.26 0.95"},
        {"a=b", "COM1\\0\\a%3Db=1.26 0.95"},
        {"[COM1]", ""},
        {"µ-oil/2", "COM1\\0\\%B5-oil%252F2=1.26 0.95"},
        {"%41 literal", ""},
        {"Ethanol; 96", ""},
        {"#comment", ""},
        {"Öl äß", ""},
        {"水", ""}};
    for (const auto &[n, line] : rows)
        QTest::newRow(n) << QString::fromUtf8(n) << QByteArray(line);
}

void tst_media::namesRoundTrip()
{
    QFETCH(QString, name);
    TempStore t;
    {
        QSettings store(t.path(), QSettings::IniFormat);
        QVERIFY(saveMedium(store, 1, 0, {name, 1.26f, 0.95f}));
    }
    QFETCH(QByteArray, line);
    if (!line.isEmpty())
        QVERIFY2(t.read().split('\n').contains(line), t.read().constData());
    QSettings again(t.path(), QSettings::IniFormat);
    const auto media = loadMedia(again, 1, 0);
    QCOMPARE(media.size(), 1);
    QCOMPARE(media[0].name, name);
    QCOMPARE(media[0].density, 1.26f);
    QCOMPARE(media[0].factor, 0.95f);
    QCOMPARE(again.childGroups(), QStringList{QStringLiteral("Media")});
}

void tst_media::damagedSectionIsSkippedEntryByEntry_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("text") << QByteArray("water");
    QTest::newRow("one number") << QByteArray("1.2");
    QTest::newRow("three numbers") << QByteArray("1 1 1");
    QTest::newRow("density too small") << QByteArray("0.01 1");
    QTest::newRow("factor too big") << QByteArray("1 11");
    QTest::newRow("nan") << QByteArray("nan 1");
    QTest::newRow("inf") << QByteArray("1 inf");
    QTest::newRow("locale comma") << QByteArray("\"1,2 1\"");
    QTest::newRow("empty") << QByteArray("");
}

void tst_media::damagedSectionIsSkippedEntryByEntry()
{
    QFETCH(QByteArray, value);
    TempStore t;
    t.write("[Media]\nCOM1/0/Good=1.5 0.5\nCOM1/0/Bad=" + value + "\nCOM1/0/=1 1\n");
    QSettings store(t.path(), QSettings::IniFormat);
    const auto media = loadMedia(store, 1, 0);
    QCOMPARE(media.size(), 1);
    QCOMPARE(media[0].name, QStringLiteral("Good"));
    QCOMPARE(media[0].density, 1.5f);
}

void tst_media::portsAndTypesAreSeparate()
{
    TempStore t;
    QSettings store(t.path(), QSettings::IniFormat);
    QVERIFY(saveMedium(store, 1, 0, {QStringLiteral("A"), 1, 1}));
    QVERIFY(saveMedium(store, 2, 0, {QStringLiteral("B"), 2, 2}));
    QVERIFY(saveMedium(store, 1, 7, {QStringLiteral("C"), 3, 3}));
    QCOMPARE(loadMedia(store, 1, 0).size(), 1);
    QCOMPARE(loadMedia(store, 1, 0)[0].name, QStringLiteral("A"));
    QCOMPARE(loadMedia(store, 2, 0)[0].name, QStringLiteral("B"));
    QCOMPARE(loadMedia(store, 1, 7)[0].name, QStringLiteral("C"));
    QVERIFY(loadMedia(store, 2, 7).isEmpty());
    QVERIFY(loadMedia(store, 11, 0).isEmpty());
}

void tst_media::designedKeysStayAsTheyAre()
{
    TempStore t;
    const QByteArray designed = "[COM1]\nDichte=1.26\nKalibrierfaktor=0.95\nPumpentyp=3\n\n"
                                "[Schnittstelle]\nCOM=1\n";
    t.write(designed);
    {
        QSettings store(t.path(), QSettings::IniFormat);
        QVERIFY(saveMedium(store, 1, 3, {QStringLiteral("Dichte"), 2, 2}));
        QVERIFY(saveMedium(store, 1, 3, {QStringLiteral("COM1/Dichte"), 3, 3}));
    }
    QSettings store(t.path(), QSettings::IniFormat);
    QCOMPARE(store.value(QStringLiteral("COM1/Dichte")).toString(), QStringLiteral("1.26"));
    QCOMPARE(store.value(QStringLiteral("COM1/Kalibrierfaktor")).toString(), QStringLiteral("0.95"));
    QCOMPARE(store.value(QStringLiteral("COM1/Pumpentyp")).toString(), QStringLiteral("3"));
    QCOMPARE(store.value(QStringLiteral("Schnittstelle/COM")).toString(), QStringLiteral("1"));
    store.beginGroup(QStringLiteral("COM1"));
    QCOMPARE(store.childKeys().size(), 3);
    store.endGroup();
    QCOMPARE(loadMedia(store, 1, 3).size(), 2);
}

void tst_media::renameAndDelete()
{
    TempStore t;
    QSettings store(t.path(), QSettings::IniFormat);
    QVERIFY(saveMedium(store, 1, 0, {QStringLiteral("Old"), 1.1f, 0.9f}));
    QVERIFY(renameMedium(store, 1, 0, QStringLiteral("Old"), QStringLiteral("New = [1]")));
    auto media = loadMedia(store, 1, 0);
    QCOMPARE(media.size(), 1);
    QCOMPARE(media[0].name, QStringLiteral("New = [1]"));
    QCOMPARE(media[0].factor, 0.9f);
    QVERIFY(!renameMedium(store, 1, 0, QStringLiteral("Missing"), QStringLiteral("X")));
    QVERIFY(removeMedium(store, 1, 0, QStringLiteral("New = [1]")));
    QVERIFY(loadMedia(store, 1, 0).isEmpty());
}

void tst_media::mediaListInTheWindow_data()
{
    // Steps: "enter:FIELD=TEXT", "type-only:FIELD=TEXT" (focus stays), "save:NAME" (the
    // name given, "" cancels), "pick:NAME", "rename:NAME", "delete", "calibrate:FACTOR",
    // "type:N", "restart".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("items");   // the list afterwards, "|"-joined
    QTest::addColumn<QString>("current"); // the marked medium
    QTest::addColumn<QString>("fields");  // density and factor field texts
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("save two, pick one")
        << QStringList{"enter:txtDichte=1.126", "enter:txtKalibrierFaktor=0.98", "save:Glycerol 50 %",
                       "enter:txtDichte=1", "enter:txtKalibrierFaktor=1", "save:Water 20 °C",
                       "pick:Glycerol 50 %"}
        << "Glycerol 50 %|Water 20 °C" << "Glycerol 50 %" << "1.126 0.98" << QStringList{};
    QTest::newRow("a value typed leaves the medium, its own values mark it again")
        << QStringList{"save:Water", "enter:txtKalibrierFaktor=1.1", "enter:txtKalibrierFaktor=1"}
        << "Water" << "Water" << "1 1" << QStringList{};
    QTest::newRow("typed and not yet left: checked before saving")
        << QStringList{"type-only:txtDichte=1.25", "save:Honey"} << "Honey" << "Honey" << "1.25 1"
        << QStringList{};
    QTest::newRow("refused entry saves nothing")
        << QStringList{"type-only:txtDichte=99", "save:Bad"} << "" << "" << "1 1"
        << QStringList{"Please enter a value from 0.1 to 15."};
    QTest::newRow("first medium from the calibration helper")
        << QStringList{"helper-save:Water"} << "Water" << "Water" << "1 1" << QStringList{};
    QTest::newRow("rename, then delete")
        << QStringList{"save:A", "rename:B = [1]"} << "B = [1]" << "B = [1]" << "1 1" << QStringList{};
    // A name is text as typed: the list and the messages show its tags, never markup.
    QTest::newRow("a name with markup shows as typed")
        << QStringList{"save:<b>x</b>", "pick:<b>x</b>"} << "<b>x</b>"
        << "<b>x</b>"
        << "1 1" << QStringList{};
    QTest::newRow("a name with markup in its message")
        << QStringList{"save:<b>x</b>", "delete"} << ""
        << ""
        << "1 1" << QStringList{"Delete the medium \"<b>x</b>\"?"};
    QTest::newRow("delete") << QStringList{"save:A", "delete"} << "" << "" << "1 1"
                            << QStringList{"Delete the medium \"A\"?"};
    QTest::newRow("cancelled name") << QStringList{"save:"} << "" << "" << "1 1" << QStringList{};
    QTest::newRow("same name replaces after asking")
        << QStringList{"save:W", "enter:txtDichte=1.5", "save:W"} << "W" << "W" << "1.5 1"
        << QStringList{"Replace the values of the medium \"W\"?"};
    QTest::newRow("kept over a restart, marked by the stored values")
        << QStringList{"enter:txtDichte=1.2", "save:Oil", "pick:Oil", "restart", "pick:Oil"} << "Oil"
        << "Oil" << "1.2 1" << QStringList{};
    QTest::newRow("a calibrated factor kept with the marked medium")
        << QStringList{"save:Water", "calibrate:1.05"} << "Water" << "Water" << "1 1.05"
        << QStringList{"Save the factor 1.05 with the medium \"Water\"?"};
    QTest::newRow("media belong to the pump type")
        << QStringList{"save:Oil", "type:2"} << "" << "" << "1 1"
        << QStringList{"*"};
}

void tst_media::mediaListInTheWindow()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, items);
    QFETCH(QString, current);
    QFETCH(QString, fields);
    QFETCH(QStringList, messages);
    AppFixture app;
    const auto action = [&](const char *name) {
        QMenu *menu = app.find<QToolButton>("cmdMedium")->menu();
        emit menu->aboutToShow();
        return menu->findChild<QAction *>(QString::fromLatin1(name));
    };
    for (const QString &step : steps) {
        const QString arg = step.section(QLatin1Char(':'), 1);
        if (step.startsWith(QLatin1String("enter:"))) {
            app.enter(qPrintable(arg.section(QLatin1Char('='), 0, 0)), arg.section(QLatin1Char('='), 1));
        } else if (step.startsWith(QLatin1String("type-only:"))) {
            auto *field = app.find<QLineEdit>(qPrintable(arg.section(QLatin1Char('='), 0, 0)));
            field->setFocus();
            field->setText(arg.section(QLatin1Char('='), 1));
        } else if (step.startsWith(QLatin1String("save:")) || step.startsWith(QLatin1String("rename:"))) {
            app.names = arg.isEmpty() ? QStringList{} : QStringList{arg};
            action(step.startsWith(QLatin1String("save:")) ? "actMediumSave" : "actMediumRename")->trigger();
        } else if (step == QLatin1String("delete")) {
            QVERIFY(action("actMediumDelete")->isEnabled());
            action("actMediumDelete")->trigger();
        } else if (step.startsWith(QLatin1String("pick:"))) {
            auto *list = app.find<QComboBox>("cboMedium");
            QVERIFY(list->isVisible());
            emit list->activated(list->findText(arg));
        } else if (step.startsWith(QLatin1String("type:"))) {
            app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(arg.toInt());
        } else if (step.startsWith(QLatin1String("helper-save:"))) {
            QVERIFY(!app.find<QToolButton>("cmdMedium")->isVisible());
            app.names = QStringList{arg};
            app.window().showCalibration();
            auto *save = app.window().findChild<QPushButton *>(QStringLiteral("cmdSaveMedium"));
            QVERIFY(save && save->isVisible());
            save->click();
        } else if (step.startsWith(QLatin1String("calibrate:"))) {
            // What the helper's Apply does.
            const QString marked = app.window().media().currentName();
            QVERIFY(app.window().applyCalibrationFactor(arg));
            app.window().media().offerFactor(marked);
        } else if (step == QLatin1String("restart")) {
            QVERIFY(app.restart());
        }
    }
    auto *list = app.find<QComboBox>("cboMedium");
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->itemText(i);
    QCOMPARE(shown.join(QLatin1Char('|')), items);
    QCOMPARE(list->isVisible(), !items.isEmpty());
    QCOMPARE(app.find<QLabel>("lblMedium")->isVisible(), !items.isEmpty());
    QCOMPARE(app.find<QToolButton>("cmdMedium")->isVisible(), !items.isEmpty());
    QCOMPARE(app.window().media().currentName(), current);
    QCOMPARE(app.find<QLineEdit>("txtDichte")->text() + QLatin1Char(' ') +
                 app.find<QLineEdit>("txtKalibrierFaktor")->text(),
             fields);
    if (messages != QStringList{"*"})
        QCOMPARE(app.messages().texts(), messages);
    // The designed sections hold no trace of the media.
    QVERIFY(storedValue(QStringLiteral("COM1"), QStringLiteral("Medium")).isEmpty());
}

QTEST_MAIN(tst_media)
#include "tst_media.moc"
