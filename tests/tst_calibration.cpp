// The calibration helper: its arithmetic as a table, and one dose weighed end to end
// against the simulator, from the dialog to the factor field and the stored setting.
#include "journal/RunJournal.h"
#include "main/MediaList.h"
#include "main/Calibration.h"
#include "main/CalibrationDialog.h"
#include "support/AppFixture.h"
#include "ui/Wait.h"

#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QtTest>
#include <cmath>

using namespace vyt;
using namespace vyt::test;

class tst_calibration : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void arithmetic_data();
    void arithmetic();
    void doseWeighApply_data();
    void doseWeighApply();
    void buttonKeepsTheDesign();
    void ctrlKOpensTheHelper_data();
    void ctrlKOpensTheHelper();
};

namespace {

// "28.6;-;29": a mass in mg per dose, "-" for a dose that has none.
QList<std::optional<double>> masses(const QString &text)
{
    QList<std::optional<double>> list;
    for (const QString &m : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (m == QLatin1String("-"))
            list << std::nullopt;
        else
            list << m.toDouble();
    }
    return list;
}

const QString kRangeMessage = QStringLiteral("Please enter a value from -10 to 10.");

} // namespace

void tst_calibration::initTestCase()
{
    // The texts below are written in the C locale's notation.
    QLocale::setDefault(QLocale::c());
}

void tst_calibration::arithmetic_data()
{
    QTest::addColumn<double>("quantity");
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("density");
    QTest::addColumn<double>("factor");
    QTest::addColumn<double>("displacement");
    QTest::addColumn<QString>("massList");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("sd");
    QTest::addColumn<double>("cv");
    QTest::addColumn<double>("proposal"); // NaN: none
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("text");

    const double none = std::nan("");
    QTest::newRow("one dose")
        << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "28.8" << 28.8 << 0.0 << 0.0 << 30.0 / 28.8 << ""
        << "30 µl asked, 28.8 µl delivered on average (CV 0 %), factor 1 -> 1.0417";
    QTest::newRow("three doses")
        << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "28.6;28.8;29" << 28.8 << 0.2 << 0.2 / 28.8 * 100
        << 30.0 / 28.8 << ""
        << "30 µl asked, 28.8 µl delivered on average (CV 0.7 %), factor 1 -> 1.0417";
    QTest::newRow("density 1.25")
        << 30.0 << 0 << 1.25 << 1.0 << 3.0 << "37.5;36" << 29.4 << std::sqrt(2 * 0.36)
        << std::sqrt(2 * 0.36) / 29.4 * 100 << 30.0 / 29.4 << ""
        << "30 µl asked, 29.4 µl delivered on average (CV 2.9 %), factor 1 -> 1.0204";
    QTest::newRow("mg at density 1.25")
        << 30.0 << 1 << 1.25 << 1.0 << 3.0 << "36" << 28.8 << 0.0 << 0.0 << 24.0 / 28.8 << ""
        << "30 mg asked, 36 mg delivered on average (CV 0 %), factor 1 -> 0.83333";
    QTest::newRow("revolutions")
        << 10.0 << 2 << 1.0 << 1.0 << 3.0 << "27" << 27.0 << 0.0 << 0.0 << 30.0 / 27.0 << ""
        << "10 rev. asked, 9 rev. delivered on average (CV 0 %), factor 1 -> 1.1111";
    QTest::newRow("negative factor")
        << 30.0 << 0 << 1.0 << -2.0 << 3.0 << "32" << 32.0 << 0.0 << 0.0 << -2.0 * 30 / 32 << ""
        << "30 µl asked, 32 µl delivered on average (CV 0 %), factor -2 -> -1.875";
    QTest::newRow("mass of 0") << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "0" << 0.0 << 0.0 << 0.0 << none
                               << ""
                               << "30 µl asked, 0 µl delivered on average (CV 0 %)";
    QTest::newRow("a 0 among others")
        << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "0;30" << 15.0 << std::sqrt(450.0)
        << std::sqrt(450.0) / 15 * 100 << 2.0 << ""
        << "30 µl asked, 15 µl delivered on average (CV 141.4 %), factor 1 -> 2";
    QTest::newRow("dose stopped half way")
        << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "28.8;-;29" << 28.9 << std::sqrt(0.02)
        << std::sqrt(0.02) / 28.9 * 100 << none << ""
        << "30 µl asked, 28.9 µl delivered on average (CV 0.5 %)";
    QTest::newRow("nothing weighed")
        << 30.0 << 0 << 1.0 << 1.0 << 3.0 << "-" << 0.0 << 0.0 << 0.0 << none << ""
        << "";
    QTest::newRow("out of range")
        << 30.0 << 0 << 1.0 << 5.0 << 3.0 << "10" << 10.0 << 0.0 << 0.0 << 15.0 << kRangeMessage
        << "30 µl asked, 10 µl delivered on average (CV 0 %), factor 5 -> 15";
    QTest::newRow("below the range")
        << 30.0 << 0 << 1.0 << -5.0 << 3.0 << "10" << 10.0 << 0.0 << 0.0 << -15.0 << kRangeMessage
        << "30 µl asked, 10 µl delivered on average (CV 0 %), factor -5 -> -15";
    QTest::newRow("on the bound")
        << 30.0 << 0 << 1.0 << 5.0 << 3.0 << "15" << 15.0 << 0.0 << 0.0 << 10.0 << ""
        << "30 µl asked, 15 µl delivered on average (CV 0 %), factor 5 -> 10";
}

void tst_calibration::arithmetic()
{
    QFETCH(double, quantity);
    QFETCH(int, unit);
    QFETCH(double, density);
    QFETCH(double, factor);
    QFETCH(double, displacement);
    QFETCH(QString, massList);
    QFETCH(double, mean);
    QFETCH(double, sd);
    QFETCH(double, cv);
    QFETCH(double, proposal);
    QFETCH(QString, refusal);
    QFETCH(QString, text);

    calibration::Input in;
    in.quantity = quantity;
    in.unit = unit;
    in.density = density;
    in.factor = factor;
    in.displacement = displacement;
    in.masses = masses(massList);
    const calibration::Result r = calibration::evaluate(in);
    QCOMPARE(r.volumes.size(), in.masses.size());
    QCOMPARE(r.mean, mean);
    QCOMPARE(r.standardDeviation, sd);
    QCOMPARE(r.variation, cv);
    QCOMPARE(r.proposal.has_value(), !std::isnan(proposal));
    if (r.proposal)
        QCOMPARE(*r.proposal, proposal);
    QCOMPARE(r.refusal, refusal);
    QCOMPARE(calibration::arithmeticText(in, r), text);
}

namespace {

QStringList dose(qint64 target)
{
    const QString t = QString::number(target);
    return {"LA " + t, "NP " + t, "M"};
}

const QStringList kDosingSetUp{"DIPROG", "SOR 0", "CONTMOD", "HO", "LA 0", "M"};

QDialog *openHelper(AppFixture &app)
{
    app.find<QAbstractButton>("cmdCalibrate")->click();
    return app.window().findChild<QDialog *>(QStringLiteral("frmCalibration"));
}

template <typename T> T *in(QWidget *dialog, const char *name)
{
    return dialog->findChild<T *>(QString::fromLatin1(name));
}

} // namespace

void tst_calibration::doseWeighApply_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("massUnit");
    QTest::addColumn<QString>("mass");
    QTest::addColumn<QString>("rechnung");
    QTest::addColumn<QString>("field"); // the factor field afterwards
    QTest::addColumn<float>("stored");
    QTest::addColumn<QString>("message"); // the refusal, or the offer to keep the factor
    QTest::addColumn<QString>("medium");  // the name given to the offer, "" for Cancel

    QTest::newRow("mg, kept as a medium")
        << "C" << 0 << "28.8"
        << "30 µl asked, 28.8 µl delivered on average (CV 0 %), factor 1 -> 1.0417"
        << "1.041667" << 1.041667f << "Save density and factor 1.041667 as a medium?"
        << "Water 20 °C";
    QTest::newRow("g, German notation, no medium")
        << "de_DE" << 1 << "0,0288"
        << "30 µl asked, 28,8 µl delivered on average (CV 0 %), factor 1 -> 1,0417"
        << "1,041667" << 1.041667f << "Save density and factor 1,041667 as a medium?" << "";
    QTest::newRow("proposal out of range")
        << "C" << 0 << "2"
        << "30 µl asked, 2 µl delivered on average (CV 0 %), factor 1 -> 15\n" + kRangeMessage
        << "1" << 1.0f << kRangeMessage << "";
}

void tst_calibration::doseWeighApply()
{
    QFETCH(QString, locale);
    QFETCH(int, massUnit);
    QFETCH(QString, mass);
    QFETCH(QString, rechnung);
    QFETCH(QString, field);
    QFETCH(float, stored);
    QFETCH(QString, message);
    QFETCH(QString, medium);
    QLocale::setDefault(QLocale(locale));
    const auto restoreLocale = qScopeGuard([] { QLocale::setDefault(QLocale::c()); });

    AppFixture app;
    // 3 µl per revolution, 16 lines: 30 µl is 640 increments.
    app.find<QComboBox>("cboPumpentyp")->setCurrentIndex(1);
    app.find<QRadioButton>("optBetriebsart1")->setChecked(true);
    app.enter("txtMenge", QStringLiteral("50"));
    app.enter("txtWiederholung", QStringLiteral("5"));
    app.messages().clear();
    QString note;
    connect(&app.window().runJournal(), &RunJournal::appended, this,
            [&note](const RunRecord &row) { note = row.note; });

    QDialog *dialog = openHelper(app);
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Calibrate"));
    in<QLineEdit>(dialog, "txtTestMenge")->setText(QStringLiteral("30"));
    in<QComboBox>(dialog, "cboTestEinheit")->setCurrentIndex(0);
    in<QSpinBox>(dialog, "spnRepetitions")->setValue(1);
    in<QComboBox>(dialog, "cboMassEinheit")->setCurrentIndex(massUnit);
    auto *table = in<QTableWidget>(dialog, "tblMassen");
    QCOMPARE(table->rowCount(), 1);
    QVERIFY(!(table->item(0, 0)->flags() & Qt::ItemIsEditable));
    app.sim().clearReceived();

    in<QPushButton>(dialog, "cmdDose")->click();
    QVERIFY(app.waitForRunEnd());
    QVERIFY(app.messages().texts().isEmpty());
    const QStringList sent = app.sim().receivedLines();
    const qsizetype from = sent.indexOf(QStringLiteral("DIPROG"));
    QVERIFY2(from >= 0, qPrintable(sent.join(QLatin1Char('|'))));
    QCOMPARE(sent.mid(from), kDosingSetUp + dose(640));
    QCOMPARE(note, QStringLiteral("calibration"));
    // The operator's own dosing values are back.
    QCOMPARE(app.state().settings.Menge, 50.0f);
    QCOMPARE(app.state().settings.Wiederholung, 5);

    QVERIFY(table->item(0, 0)->flags() & Qt::ItemIsEditable);
    QVERIFY(!in<QPushButton>(dialog, "cmdApply")->isEnabled());
    table->item(0, 0)->setText(mass);
    QCOMPARE(in<QLabel>(dialog, "lblRechnung")->text(), rechnung);
    QVERIFY(in<QPushButton>(dialog, "cmdApply")->isEnabled());

    if (!medium.isEmpty())
        app.names = QStringList{medium};
    in<QPushButton>(dialog, "cmdApply")->click();
    QCOMPARE(app.find<QLineEdit>("txtKalibrierFaktor")->text(), field);
    QCOMPARE(app.state().settings.Kalibrierfaktor, stored);
    QCOMPARE(app.messages().texts(), message.isEmpty() ? QStringList{} : QStringList{message});
    // The factor offered to a new medium is kept with it, and the medium is marked.
    QCOMPARE(app.window().media().currentName(), medium);
    QCOMPARE(app.window().media().media().size(), medium.isEmpty() ? 0 : 1);
}

void tst_calibration::buttonKeepsTheDesign()
{
    AppFixture app;
    QWidget &window = app.window();
    auto *button = app.find<QAbstractButton>("cmdCalibrate");
    QVERIFY(button);
    QVERIFY(button->isVisible());
    const auto geometries = [&] {
        window.layout()->invalidate();
        window.layout()->activate();
        QMap<QString, QRect> map;
        for (QWidget *w : window.findChildren<QWidget *>()) {
            if (w != button && !w->objectName().isEmpty() &&
                !w->objectName().startsWith(QLatin1String("qt_")))
                map.insert(w->objectName(), QRect(w->mapTo(&window, QPoint(0, 0)), w->size()));
        }
        map.insert(QStringLiteral("(size hint)"), QRect(QPoint(), window.layout()->sizeHint()));
        map.insert(QStringLiteral("(minimum)"), QRect(QPoint(), window.layout()->minimumSize()));
        return map;
    };
    const auto with = geometries();
    // It sits in the factor's row, right of the field, inside the pump frame.
    auto *factor = app.find<QLineEdit>("txtKalibrierFaktor");
    const QRect field(factor->mapTo(&window, QPoint(0, 0)), factor->size());
    const QRect own(button->mapTo(&window, QPoint(0, 0)), button->size());
    QVERIFY(own.left() >= field.right());
    QVERIFY(own.top() >= field.top() && own.bottom() <= field.bottom());
    button->hide();
    const auto without = geometries();
    button->show();
    QCOMPARE(with.keys(), without.keys());
    for (auto it = with.cbegin(); it != with.cend(); ++it)
        QVERIFY2(it.value() == without.value(it.key()), qPrintable(it.key()));
}

void tst_calibration::ctrlKOpensTheHelper_data()
{
    QTest::addColumn<Qt::KeyboardModifiers>("mods");
    QTest::addColumn<bool>("opens");
    QTest::newRow("Ctrl+K") << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    QTest::newRow("Ctrl+Shift+K") << (Qt::ControlModifier | Qt::ShiftModifier) << false;
    QTest::newRow("Alt+K") << Qt::KeyboardModifiers(Qt::AltModifier) << false;
}

void tst_calibration::ctrlKOpensTheHelper()
{
    QFETCH(Qt::KeyboardModifiers, mods);
    QFETCH(bool, opens);
    AppFixture app;
    // Typed with the focus in a text box, which takes some Ctrl keys itself.
    auto *factor = app.find<QLineEdit>("txtKalibrierFaktor");
    factor->setFocus();
    QTest::keyClick(factor, Qt::Key_K, mods);
    auto *dialog = app.window().findChild<QDialog *>(QStringLiteral("frmCalibration"));
    QCOMPARE(dialog && dialog->isVisible(), opens);
    if (opens) // the key went to the window, not into the field
        QCOMPARE(factor->text(), QStringLiteral("1"));
}

QTEST_MAIN(tst_calibration)
#include "tst_calibration.moc"
