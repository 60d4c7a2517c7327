// The range hints beside the flow rate and the quantity, checked against the run's own
// checks for every pump type; the media presets in the settings store.
#include "config/MediaPresets.h"
#include "config/NumberText.h"
#include "config/PumpCatalog.h"
#include "config/Units.h"
#include "main/MediaList.h"
#include "session/PumpRun.h"
#include "main/RangeHints.h"
#include "support/AppFixture.h"

#include <QComboBox>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <charconv>
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
    void hintTexts_data();
    void hintTexts();
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

// Every catalog type with each unit, read in two notations: the drive choices are
// looped inside.
void catalogRows()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("locale");
    for (int t = 0; t < kPumpTypeCount; ++t)
        for (int u = 0; u < 3; ++u)
            for (const char *l : {"C", "de_DE"})
                QTest::addRow("%s unit %d %s", pumpType(t).name, u, l)
                    << t << u << QString::fromLatin1(l);
}

PumpState stateFor(int type)
{
    PumpState st;
    st.settings.Pumpentyp = qint16(type);
    st.Verdraengungsvolumen = pumpType(type).displacement;
    st.settings.Maximaldrehzahl = pumpType(type).maxSpeed;
    return st;
}

const float kFactors[] = {1.0f, 1.05f, 0.37f, -2.5f, 10.0f, 0.001f, -0.001f};
const float kDensities[] = {1.0f, 1.26f, 0.1f, 15.0f};

// The number of a hint, "7.049999" of "max. 7.049999 ml/min".
QString hintNumber(const QString &hint)
{
    return hint.section(QLatin1Char(' '), 1, 1);
}

// Digits from the first non-zero one to the last non-zero one.
int significantDigits(QString number)
{
    number.remove(QRegularExpression(QStringLiteral("[^0-9]")));
    number.remove(QRegularExpression(QStringLiteral("^0+|0+$")));
    return int(number.size());
}

// The next number of at most seven significant digits above the one written, in C notation.
QString sevenDigitsUp(const QString &number, const QLocale &locale)
{
    const auto value = readNumber(number, locale);
    if (!value)
        return {};
    char buf[32];
    const auto end =
        std::to_chars(buf, buf + sizeof buf, *value, std::chars_format::scientific, 6).ptr;
    const QString sci = QString::fromLatin1(buf, int(end - buf)); // "7.049999e+00"
    qint64 digits = sci.section(QLatin1Char('e'), 0, 0).remove(QLatin1Char('.')).toLongLong() + 1;
    int exponent = sci.section(QLatin1Char('e'), 1).toInt() - 6;
    if (digits == 10000000) {
        digits = 1000000;
        ++exponent;
    }
    return QStringLiteral("%1E%2").arg(digits).arg(exponent);
}

// Start's own verdict on a flow at this rate (the duration in force is within its bound).
bool startAccepts(PumpState st, float rate)
{
    st.settings.Betriebsart = 2;
    st.settings.Foerderstrom = rate;
    return !PumpRun::startRefusal(st);
}

// The first dose's own verdict on this quantity.
bool doseAccepted(PumpState st, float quantity)
{
    st.settings.Betriebsart = 1;
    st.settings.Menge = quantity;
    return !PumpRun::firstDoseRefusal(st);
}

// What is wrong with a hint, or empty: its number, read as the field reads it, must be
// accepted with either sign, and the next seven-digit number up refused (or unreadable).
QString hintFault(const QString &hint, const QString &unit, const QLocale &locale,
                  const std::function<bool(float)> &accepts)
{
    if (!hint.startsWith(QLatin1String("max. ")) || !hint.endsWith(QLatin1Char(' ') + unit))
        return QStringLiteral("no hint in \"%1\"").arg(hint);
    const QString number = hintNumber(hint);
    if (significantDigits(number) > 7)
        return QStringLiteral("more than 7 digits in \"%1\"").arg(hint);
    const auto value = readSingle(number, locale);
    if (!value)
        return QStringLiteral("\"%1\" is no number to the field").arg(hint);
    if (!accepts(*value) || !accepts(-*value))
        return QStringLiteral("\"%1\" is refused").arg(hint);
    const auto up = readSingle(sevenDigitsUp(number, locale), QLocale::c());
    if (up && (accepts(*up) || accepts(-*up)))
        return QStringLiteral("\"%1\" is not the largest: %2 is accepted")
            .arg(hint, sevenDigitsUp(number, locale));
    return {};
}

} // namespace

void tst_media::flowRateHintReachesMaximumSpeed_data() { catalogRows(); }

void tst_media::flowRateHintReachesMaximumSpeed()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    QFETCH(QString, locale);
    const QLocale notation(locale);
    PumpState st = stateFor(type);
    st.settings.Foerderstromeinheit = qint16(unit);
    const QString unitText = foerderstromEinheiten().at(unit);
    for (int g = 0; const auto ratio = gearRatio(type, g); ++g) {
        st.Getriebeuntersetzung = *ratio;
        for (float k : kFactors)
            for (float rho : kDensities)
                for (float m : {pumpType(type).maxSpeed, 1.0f, 777.0f}) {
                    st.settings.Kalibrierfaktor = k;
                    st.settings.Dichte = rho;
                    st.settings.Maximaldrehzahl = m;
                    const QString hint = flowRateHint(st, notation);
                    const QString where = QStringLiteral("gear %1 K %2 rho %3 max %4: ")
                                              .arg(g)
                                              .arg(k)
                                              .arg(rho)
                                              .arg(m);
                    const QString fault = hintFault(hint, unitText, notation, [&st](float rate) {
                        return startAccepts(st, rate);
                    });
                    QVERIFY2(fault.isEmpty(), qPrintable(where + fault));
                    // Seven digits leave the speed a few millionths below the maximum.
                    const float speed =
                        std::fabs(PumpRun::flowSpeed(st, *readSingle(hintNumber(hint), notation)));
                    QVERIFY2(speed <= m && speed >= m * (1 - 2e-6f), qPrintable(where + hint));
                }
    }
}

void tst_media::doseHintIsTheRunsLimit_data() { catalogRows(); }

void tst_media::doseHintIsTheRunsLimit()
{
    QFETCH(int, type);
    QFETCH(int, unit);
    QFETCH(QString, locale);
    const QLocale notation(locale);
    PumpState st = stateFor(type);
    st.settings.Mengeneinheit = qint16(unit);
    const QString unitText = mengeEinheiten().at(unit);
    for (int e = 0; const auto resolution = encoderResolution(type, e); ++e) {
        st.Encoderaufloesung = *resolution;
        for (int g = 0; const auto ratio = gearRatio(type, g); ++g) {
            st.Getriebeuntersetzung = *ratio;
            for (float k : kFactors)
                for (float rho : kDensities) {
                    st.settings.Kalibrierfaktor = k;
                    st.settings.Dichte = rho;
                    const QString where = QStringLiteral("encoder %1 gear %2 K %3 rho %4: ")
                                              .arg(e)
                                              .arg(g)
                                              .arg(k)
                                              .arg(rho);
                    const QString fault =
                        hintFault(doseHint(st, notation), unitText, notation,
                                  [&st](float quantity) { return doseAccepted(st, quantity); });
                    QVERIFY2(fault.isEmpty(), qPrintable(where + fault));
                }
        }
    }
}

void tst_media::hintTexts_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("gear");
    QTest::addColumn<bool>("flow"); // the flow rate's hint, else the dose's
    QTest::addColumn<int>("unit");
    QTest::addColumn<float>("factor");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("hint");
    // 7.05 ml/min reads as 7.05000019, which is 4700.0005 rpm.
    QTest::newRow("P19 ml/min") << 18 << 0 << true << 0 << 1.0f << "C"
                                << "max. 7.049999 ml/min";
    QTest::newRow("P19 ml/min, German") << 18 << 0 << true << 0 << 1.0f << "de_DE"
                                        << "max. 7,049999 ml/min";
    QTest::newRow("P01 ml/min") << 0 << 0 << true << 0 << 1.0f << "C"
                                << "max. 9 ml/min";
    QTest::newRow("P01 rpm, factor -2") << 0 << 0 << true << 2 << -2.0f << "C"
                                        << "max. 3000 rpm";
    // 26785720 µl is just past the position range; the largest whole dose has 8 digits.
    QTest::newRow("P02 µl, factor 1.05") << 1 << 0 << false << 0 << 1.05f << "C"
                                         << "max. 26785710 µl";
    QTest::newRow("P01 µl") << 0 << 0 << false << 0 << 1.0f << "C"
                            << "max. 14062500 µl";
}

void tst_media::hintTexts()
{
    QFETCH(int, type);
    QFETCH(int, gear);
    QFETCH(bool, flow);
    QFETCH(int, unit);
    QFETCH(float, factor);
    QFETCH(QString, locale);
    QFETCH(QString, hint);
    PumpState st = stateFor(type);
    st.Encoderaufloesung = standardEncoderResolution(type);
    st.Getriebeuntersetzung = *gearRatio(type, gear);
    st.settings.Kalibrierfaktor = factor;
    st.settings.Foerderstromeinheit = qint16(unit);
    st.settings.Mengeneinheit = qint16(unit);
    QCOMPARE(flow ? flowRateHint(st, QLocale(locale)) : doseHint(st, QLocale(locale)), hint);
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
