#include "main/FieldBinder.h"
#include "config/NumberText.h"
#include "support/TestEnv.h"

#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>
#include <functional>
#include <memory>

using namespace vyt;
using vyt::test::MessageRecorder;

namespace {

const QStringList kFieldNames = {
    QStringLiteral("txtDichte"),          QStringLiteral("txtKalibrierFaktor"),
    QStringLiteral("txtMaximaldrehzahl"), QStringLiteral("txtBeschleunigung"),
    QStringLiteral("txtDauerstrom"),      QStringLiteral("txtSpitzenstrom"),
    QStringLiteral("txtMenge"),           QStringLiteral("txtPause"),
    QStringLiteral("txtWiederholung"),    QStringLiteral("txtFoerderstrom"),
    QStringLiteral("txtDauer"),
};

const QStringList kDriveFields = {
    QStringLiteral("txtMaximaldrehzahl"), QStringLiteral("txtBeschleunigung"),
    QStringLiteral("txtDauerstrom"), QStringLiteral("txtSpitzenstrom")};

// What each field stores, read back as a double for comparison.
double storedValue(const PumpState &state, const QString &name)
{
    const PumpSettings &s = state.settings;
    static const QHash<QString, std::function<double(const PumpSettings &)>> read = {
        {QStringLiteral("txtMenge"), [](const PumpSettings &p) { return double(p.Menge); }},
        {QStringLiteral("txtPause"), [](const PumpSettings &p) { return double(p.Pause); }},
        {QStringLiteral("txtWiederholung"),
         [](const PumpSettings &p) { return double(p.Wiederholung); }},
        {QStringLiteral("txtFoerderstrom"),
         [](const PumpSettings &p) { return double(p.Foerderstrom); }},
        {QStringLiteral("txtDauer"), [](const PumpSettings &p) { return double(p.Dauer); }},
        {QStringLiteral("txtDichte"), [](const PumpSettings &p) { return double(p.Dichte); }},
        {QStringLiteral("txtKalibrierFaktor"),
         [](const PumpSettings &p) { return double(p.Kalibrierfaktor); }},
        {QStringLiteral("txtMaximaldrehzahl"),
         [](const PumpSettings &p) { return double(p.Maximaldrehzahl); }},
        {QStringLiteral("txtBeschleunigung"),
         [](const PumpSettings &p) { return double(p.Beschleunigung); }},
        {QStringLiteral("txtDauerstrom"),
         [](const PumpSettings &p) { return double(p.Dauerstrom); }},
        {QStringLiteral("txtSpitzenstrom"),
         [](const PumpSettings &p) { return double(p.Spitzenstrom); }},
    };
    return read.value(name)(s);
}

// Starting values that no accepted test entry produces, so a rejection is visible.
void setInitialValues(PumpState &state)
{
    PumpSettings &s = state.settings;
    s.Menge = 100;
    s.Pause = 100;
    s.Wiederholung = 3;
    s.Foerderstrom = 5;
    s.Dauer = 2;
    s.Dichte = 1;
    s.Kalibrierfaktor = 1;
    s.Maximaldrehzahl = 3000;
    s.Beschleunigung = 500;
    s.Dauerstrom = 230;
    s.Spitzenstrom = 350;
    state.DrehzahlMin = 1;
    state.DrehzahlMax = 6000;
    state.StromMin = 100;
    state.DauerstromMax = 300;
    state.SpitzenstromMax = 400;
    state.ParameterGeaendert = false;
}

// A window with the eleven fields named like the real ones, a spare field and Start.
struct Form {
    QWidget window;
    QLineEdit *spare = nullptr;
    QPushButton *start = nullptr;
    QHash<QString, QLineEdit *> fields;

    explicit Form(PumpState &state)
    {
        auto *layout = new QVBoxLayout(&window);
        for (const QString &name : kFieldNames) {
            auto *edit = new QLineEdit(&window);
            edit->setObjectName(name);
            layout->addWidget(edit);
            fields.insert(name, edit);
            const double v = storedValue(state, name);
            edit->setText(name == QLatin1String("txtWiederholung") ? integerForm(qint64(v))
                                                                   : generalForm(v));
        }
        spare = new QLineEdit(&window);
        spare->setObjectName(QStringLiteral("txtSpare"));
        layout->addWidget(spare);
        start = new QPushButton(QStringLiteral("&Start"), &window);
        start->setObjectName(QStringLiteral("cmdStart"));
        layout->addWidget(start);
        window.show();
        window.activateWindow();
    }
    [[nodiscard]] bool ready() { return QTest::qWaitForWindowActive(&window); }
    QLineEdit *field(const QString &name) const { return fields.value(name); }
};

// Puts the cursor into the field and types the text (after selecting the old one).
void type(QLineEdit *field, const QString &text)
{
    field->setFocus(Qt::MouseFocusReason);
    QTRY_VERIFY(field->hasFocus());
    field->selectAll();
    field->del();
    if (!text.isEmpty())
        field->insert(text);
    QCOMPARE(field->text(), text);
}

} // namespace

class tst_validation : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void entry_data();
    void entry();
    void liveBounds_data();
    void liveBounds();
    void fractionalBounds_data();
    void fractionalBounds();
    void germanMessages_data();
    void germanMessages();
    void reentry_data();
    void reentry();
    void start_data();
    void start();
    void startAfterRejection();
    void validateFocused_data();
    void validateFocused();
    void endless_data();
    void endless();
    void hiding_data();
    void hiding();
    void ignoredFocusLoss_data();
    void ignoredFocusLoss();
    void formDestroyed();
    void restoredTextSelected_data();
    void restoredTextSelected();
};

void tst_validation::init()
{
    QLocale::setDefault(QLocale::c());
}

void tst_validation::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

// Each case runs in the C locale and again with a decimal comma: the entry and the
// shown text with "," for ".", the bounds in the messages likewise.
void tst_validation::entry_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("stored"); // when accepted
    QTest::addColumn<QString>("shown"); // when accepted
    QTest::addColumn<QString>("message");

    const QString real = QStringLiteral("Please enter a real number.");
    const QString positve = QStringLiteral("Please enter a positve real number.");
    const QString positiveInt = QStringLiteral("Please enter a positive integer number.");
    const QString positive = QStringLiteral("Please enter a positive real number.");
    const QString density = QStringLiteral("Please enter a value from 0.1 to 15.");
    const QString calib = QStringLiteral("Please enter a value from -10 to 10.");
    const QString speed = QStringLiteral("Please enter an integer number between 1 and 6000.");
    const QString accel = QStringLiteral("Please enter a value from 1 to 2000.");
    const QString cont = QStringLiteral("Please enter an integer number between 100 and 300.");
    const QString peak = QStringLiteral("Please enter an integer number between 100 and 400.");

    struct Case {
        const char *name;
        const char *text;
        bool ok;
        double stored;
        const char *shown;
        QString message;
    };
    const auto acc = [](const char *name, const char *text, double stored, const char *shown) {
        return Case{name, text, true, stored, shown, QString()};
    };
    const auto rej = [](const char *name, const char *text, const QString &message) {
        return Case{name, text, false, 0, "", message};
    };
    // The same hostile texts are rejected by every field with its own message.
    const QList<QPair<const char *, QString>> messages = {
        {"txtMenge", real},
        {"txtPause", positve},
        {"txtWiederholung", positiveInt},
        {"txtFoerderstrom", real},
        {"txtDauer", positive},
        {"txtDichte", density},
        {"txtKalibrierFaktor", calib},
        {"txtMaximaldrehzahl", speed},
        {"txtBeschleunigung", accel},
        {"txtDauerstrom", cont},
        {"txtSpitzenstrom", peak},
    };
    QList<Case> cases;
    for (const auto &[name, message] : messages) {
        for (const char *bad :
             {"abc", "", "   ", "nan", "inf", "-inf", "1E39", "0x10", "$5", "12a", "1..5", "E5"})
            cases << rej(name, bad, message);
    }
    cases << acc("txtMenge", "-5", -5, "-5") << acc("txtMenge", "0", 0, "0")
          << acc("txtMenge", "1E3", 1000, "1000") << acc("txtMenge", "100.50", 100.5, "100.5")
          << acc("txtMenge", "0.333333333", 0.3333333f, "0.3333333")
          << acc("txtMenge", "  7  ", 7, "7") << acc("txtMenge", "+2.25", 2.25, "2.25")
          << acc("txtMenge", "1E-3", 0.001, "0.001")
          << acc("txtMenge", "3.4E38", 3.4e38f, "3.4E+38") << rej("txtMenge", "3.5E38", real)
          << rej("txtMenge", "1E99999", real)
          // pause: zero accepted, written back in plain form
          << acc("txtPause", "0", 0, "0") << rej("txtPause", "-1", positve)
          << rej("txtPause", "-0.001", positve) << acc("txtPause", "10000000", 1e7, "10000000")
          << acc("txtPause", "1E7", 1e7, "10000000")
          << acc("txtPause", "0.5", 0.5, "0.5")
          // repetitions: rounded halves to even before the test
          << acc("txtWiederholung", "2.5", 2, "2") << acc("txtWiederholung", "3.5", 4, "4")
          << acc("txtWiederholung", "0.6", 1, "1") << rej("txtWiederholung", "0.4", positiveInt)
          << rej("txtWiederholung", "0.5", positiveInt) << acc("txtWiederholung", "1.5", 2, "2")
          << rej("txtWiederholung", "0", positiveInt) << rej("txtWiederholung", "-3", positiveInt)
          << rej("txtWiederholung", "40000", positiveInt)
          << acc("txtWiederholung", "32767", 32767, "32767")
          << rej("txtWiederholung", "32767.5", positiveInt)
          << acc("txtWiederholung", "1E3", 1000, "1000")
          // flow rate: any number
          << acc("txtFoerderstrom", "-5", -5, "-5") << acc("txtFoerderstrom", "0", 0, "0")
          << acc("txtFoerderstrom", "100.50", 100.5, "100.5")
          // duration: more than zero
          << rej("txtDauer", "0", positive) << acc("txtDauer", "0.001", 0.001f, "0.001")
          << rej("txtDauer", "-1", positive) << rej("txtDauer", "1E-50", positive)
          << acc("txtDauer", "1E7", 1e7, "1E+07")
          // density: 0.1 to 15, both included
          << acc("txtDichte", "0.1", 0.1f, "0.1") << acc("txtDichte", "15", 15, "15")
          << rej("txtDichte", "0.09", density) << rej("txtDichte", "15.01", density)
          << acc("txtDichte", "1.25", 1.25, "1.25")
          // calibration factor: -10 to 10
          << acc("txtKalibrierFaktor", "-10", -10, "-10") << acc("txtKalibrierFaktor", "0", 0, "0")
          << acc("txtKalibrierFaktor", "10", 10, "10") << rej("txtKalibrierFaktor", "10.5", calib)
          << rej("txtKalibrierFaktor", "-10.001", calib)
          // maximum speed: the range test before the rounding
          << acc("txtMaximaldrehzahl", "6000", 6000, "6000")
          << rej("txtMaximaldrehzahl", "6001", speed) << rej("txtMaximaldrehzahl", "6000.4", speed)
          << rej("txtMaximaldrehzahl", "0.6", speed) << acc("txtMaximaldrehzahl", "1.4", 1, "1")
          << acc("txtMaximaldrehzahl", "1", 1, "1")
          << acc("txtMaximaldrehzahl", "2500.5", 2500, "2500")
          << acc("txtMaximaldrehzahl", "2501.5", 2502, "2502")
          << rej("txtMaximaldrehzahl", "40000", speed)
          << acc("txtMaximaldrehzahl", "1E3", 1000, "1000")
          << rej("txtMaximaldrehzahl", "0", speed)
          // acceleration: fixed range
          << acc("txtBeschleunigung", "2000", 2000, "2000") << acc("txtBeschleunigung", "1", 1, "1")
          << rej("txtBeschleunigung", "0", accel) << rej("txtBeschleunigung", "2001", accel)
          << acc("txtBeschleunigung", "1999.5", 2000, "2000")
          << rej("txtBeschleunigung", "2000.5", accel)
          // currents
          << rej("txtDauerstrom", "50", cont) << acc("txtDauerstrom", "100", 100, "100")
          << acc("txtDauerstrom", "300", 300, "300") << rej("txtDauerstrom", "300.5", cont)
          << rej("txtDauerstrom", "99.5", cont) << acc("txtSpitzenstrom", "400", 400, "400")
          << rej("txtSpitzenstrom", "401", peak) << acc("txtSpitzenstrom", "100", 100, "100");

    const QLocale german(QLocale::German, QLocale::Germany);
    for (const Case &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        QTest::addRow("C %s '%s'", c.name, c.text)
            << "C" << c.name << text << c.ok << c.stored << c.shown << c.message;
        QString deText = text;
        deText.replace(QLatin1Char('.'), QLatin1Char(','));
        QString deShown = QString::fromUtf8(c.shown);
        deShown.replace(QLatin1Char('.'), QLatin1Char(','));
        QString deMessage = c.message;
        deMessage.replace(QLatin1String("0.1 "), QLatin1String("0,1 "));
        QTest::addRow("de %s '%s'", c.name, qPrintable(deText))
            << "de" << c.name << deText << c.ok << c.stored << deShown << deMessage;
    }
    // Only the locale's decimal separator makes a number; the other one is a group
    // separator at best.
    QTest::newRow("C comma") << "C"
                             << "txtMenge"
                             << "1,5" << false << 0.0 << "" << real;
    QTest::newRow("C group") << "C"
                             << "txtMenge"
                             << "1,000" << true << 1000.0 << "1000" << QString();
    QTest::newRow("de comma") << "de"
                              << "txtMenge"
                              << "1,5" << true << 1.5 << "1,5" << QString();
    QTest::newRow("de point") << "de"
                              << "txtMenge"
                              << "1.5" << false << 0.0 << "" << real;
    QTest::newRow("de group") << "de"
                              << "txtMenge"
                              << "1.500" << true << 1500.0 << "1500" << QString();
    QTest::newRow("de density 0,1") << "de"
                                    << "txtDichte"
                                    << "0,1" << true << double(0.1f) << "0,1" << QString();
    QTest::newRow("de density 0.1") << "de"
                                    << "txtDichte"
                                    << "0.1" << false << 0.0 << ""
                                    << "Please enter a value from 0,1 to 15.";
}

void tst_validation::entry()
{
    QFETCH(QString, locale);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, stored);
    QFETCH(QString, shown);
    QFETCH(QString, message);
    QLocale::setDefault(locale == QLatin1String("de") ? QLocale(QLocale::German, QLocale::Germany)
                                                      : QLocale::c());

    PumpState state;
    setInitialValues(state);
    const double before = storedValue(state, name);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    QCOMPARE(validation.fields().size(), 11);
    MessageRecorder messages;

    QLineEdit *field = form.field(name);
    const QString oldText = field->text();
    type(field, text);
    QTest::keyClick(field, Qt::Key_Tab);

    if (ok) {
        QCOMPARE(messages.count(), 0);
        QCOMPARE(float(storedValue(state, name)), float(stored));
        QCOMPARE(field->text(), shown);
        QTRY_VERIFY(!field->hasFocus());
        QCOMPARE(state.ParameterGeaendert, kDriveFields.contains(name));
    } else {
        QCOMPARE(messages.texts(), QStringList{message});
        const Message &m = messages.messages().constFirst();
        QCOMPARE(m.title, QStringLiteral("Error"));
        QCOMPARE(m.buttons, MsgButtons::Ok);
        QCOMPARE(m.icon, MsgIcon::Exclamation);
        QCOMPARE(storedValue(state, name), before);
        QCOMPARE(field->text(), oldText);
        QTRY_VERIFY(field->hasFocus());
        QVERIFY(!validation.busy());
        QCOMPARE(state.ParameterGeaendert, false);
    }
}

// The speed and current bounds are read at the moment of validation.
void tst_validation::liveBounds_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message");
    const QString speed = QStringLiteral("Please enter an integer number between 10 and 4000.");
    const QString cont = QStringLiteral("Please enter an integer number between 50 and 250.");
    const QString peak = QStringLiteral("Please enter an integer number between 50 and 1200.");
    QTest::newRow("speed above new max") << "C"
                                         << "txtMaximaldrehzahl"
                                         << "4500" << false << speed;
    QTest::newRow("speed new max") << "C"
                                   << "txtMaximaldrehzahl"
                                   << "4000" << true << QString();
    QTest::newRow("speed below new min") << "C"
                                         << "txtMaximaldrehzahl"
                                         << "5" << false << speed;
    QTest::newRow("cont above new max") << "C"
                                        << "txtDauerstrom"
                                        << "280" << false << cont;
    QTest::newRow("cont new min") << "C"
                                  << "txtDauerstrom"
                                  << "50" << true << QString();
    QTest::newRow("peak new max") << "C"
                                  << "txtSpitzenstrom"
                                  << "1200" << true << QString();
    QTest::newRow("peak above") << "C"
                                << "txtSpitzenstrom"
                                << "1201" << false << peak;
    QTest::newRow("de peak above") << "de"
                                   << "txtSpitzenstrom"
                                   << "1201" << false << peak;
}

void tst_validation::liveBounds()
{
    QFETCH(QString, locale);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    QLocale::setDefault(locale == QLatin1String("de") ? QLocale(QLocale::German, QLocale::Germany)
                                                      : QLocale::c());
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder messages;

    // A first entry against the old bounds, then the catalog changes them.
    type(form.field(name), QStringLiteral("200"));
    QVERIFY(validation.validate(form.field(name)));
    state.DrehzahlMin = 10;
    state.DrehzahlMax = 4000;
    state.StromMin = 50;
    state.DauerstromMax = 250;
    state.SpitzenstromMax = 1200;
    state.ParameterGeaendert = false;

    type(form.field(name), text);
    QCOMPARE(validation.validate(form.field(name)), ok);
    QCOMPARE(messages.texts(), ok ? QStringList() : QStringList{message});
    QCOMPARE(storedValue(state, name), ok ? readNumber(text).value() : 200.0);
    QCOMPARE(state.ParameterGeaendert, ok);
}

// The catalog's bounds are whole numbers; were one fractional, the rounded whole
// number must still lie inside it.
void tst_validation::fractionalBounds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<float>("stored");
    QTest::newRow("0.5 rounds to 0 below 0.5") << "0.5" << false << 50.0f;
    QTest::newRow("0.6 rounds to 1") << "0.6" << true << 1.0f;
    QTest::newRow("1.5 rounds to 2") << "1.5" << true << 2.0f;
    QTest::newRow("100.5 rounds to 100") << "100.5" << true << 100.0f;
    QTest::newRow("100.6 above") << "100.6" << false << 50.0f;
}

void tst_validation::fractionalBounds()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(float, stored);
    PumpState state;
    setInitialValues(state);
    state.DrehzahlMin = 0.5f;
    state.DrehzahlMax = 100.5f;
    state.settings.Maximaldrehzahl = 50;
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder messages;
    QLineEdit *field = form.field(QStringLiteral("txtMaximaldrehzahl"));
    type(field, text);
    QCOMPARE(validation.validate(field), ok);
    QCOMPARE(state.settings.Maximaldrehzahl, stored);
    QCOMPARE(messages.texts(), ok ? QStringList()
                                  : QStringList{QStringLiteral(
                                        "Please enter an integer number between 0.5 and 100.5.")});
}

void tst_validation::germanMessages_data()
{
    QTest::addColumn<float>("lower");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("density") << 0.0f << "txtDichte"
                             << "Please enter a value from 0,1 to 15.";
    QTest::newRow("calibration") << 0.0f << "txtKalibrierFaktor"
                                 << "Please enter a value from -10 to 10.";
    QTest::newRow("fractional current bound")
        << 0.5f << "txtDauerstrom"
        << "Please enter an integer number between 0,5 and 300.";
}

void tst_validation::germanMessages()
{
    QFETCH(float, lower);
    QFETCH(QString, name);
    QFETCH(QString, message);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    PumpState state;
    setInitialValues(state);
    if (lower > 0)
        state.StromMin = lower;
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder messages;
    type(form.field(name), QStringLiteral("99999"));
    QVERIFY(!validation.validate(form.field(name)));
    QCOMPARE(messages.texts(), QStringList{message});
}

// The message box takes the focus (here: moves it into another field holding a wrong
// entry, or brings another window to the front); only the first field is checked.
void tst_validation::reentry_data()
{
    QTest::addColumn<bool>("otherWindow");
    QTest::addColumn<bool>("byTab");
    QTest::newRow("focus to field, tab") << false << true;
    QTest::newRow("focus to field, click") << false << false;
    QTest::newRow("window to front, tab") << true << true;
    QTest::newRow("window to front, click") << true << false;
}

void tst_validation::reentry()
{
    QFETCH(bool, otherWindow);
    QFETCH(bool, byTab);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);

    QLineEdit *first = form.field(QStringLiteral("txtMenge"));
    QLineEdit *second = form.field(QStringLiteral("txtPause"));
    QStringList shown;
    // Not the recorder: this responder moves the focus as the real box does.
    setMessageResponder([&](const Message &m) {
        shown << m.text;
        return MsgResult::Ok;
    });
    second->setText(QStringLiteral("xyz"));
    type(first, QStringLiteral("abc"));
    QCOMPARE(shown, QStringList());

    bool busyDuringMessage = false;
    setMessageResponder([&](const Message &m) {
        shown << m.text;
        busyDuringMessage = validation.busy();
        if (otherWindow) {
            QWidget box;
            auto *edit = new QLineEdit(&box);
            box.show();
            box.activateWindow();
            edit->setFocus();
            if (!QTest::qWaitForWindowActive(&box))
                shown << QStringLiteral("box not active");
            box.hide();
            form.window.activateWindow();
            if (!QTest::qWaitForWindowActive(&form.window))
                shown << QStringLiteral("form not active");
        } else {
            second->setFocus(Qt::OtherFocusReason);
            // Even asked directly, no second field is checked while a message is up.
            if (validation.validate(second))
                shown << QStringLiteral("validated meanwhile");
        }
        return MsgResult::Ok;
    });
    if (byTab)
        QTest::keyClick(first, Qt::Key_Tab);
    else
        second->setFocus(Qt::MouseFocusReason);
    setMessageResponder({});

    QCOMPARE(shown, QStringList{QStringLiteral("Please enter a real number.")});
    QVERIFY(busyDuringMessage);
    QVERIFY(!validation.busy());
    QTRY_VERIFY(first->hasFocus());
    QCOMPARE(first->text(), QStringLiteral("100"));
    QCOMPARE(second->text(), QStringLiteral("xyz"));
    QCOMPARE(state.settings.Pause, 100.0f);
}

// Start validates the field holding the cursor first; a rejected entry stops it,
// however Start was pressed.
void tst_validation::start_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("starts");
    for (const char *how : {"click", "alt+s"}) {
        QTest::addRow("%s bad", how) << how << "abc" << false;
        QTest::addRow("%s empty", how) << how << "" << false;
        QTest::addRow("%s out of range", how) << how << "6001" << false;
        QTest::addRow("%s good", how) << how << "2500.5" << true;
    }
}

void tst_validation::start()
{
    QFETCH(QString, how);
    QFETCH(QString, text);
    QFETCH(bool, starts);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder messages;
    int started = 0;
    int clicked = 0;
    connect(form.start, &QPushButton::clicked, &form.window, [&] {
        ++clicked;
        if (validation.validateFocused())
            ++started;
    });

    QLineEdit *field = form.field(QStringLiteral("txtMaximaldrehzahl"));
    type(field, text);
    if (how == QLatin1String("click"))
        QTest::mouseClick(form.start, Qt::LeftButton);
    else
        QTest::keyClick(field, Qt::Key_S, Qt::AltModifier);
    QTRY_COMPARE(clicked, 1);

    QCOMPARE(started, starts ? 1 : 0);
    QCOMPARE(messages.count(), starts ? 0 : 1);
    QCOMPARE(state.settings.Maximaldrehzahl, starts ? 2500.0f : 3000.0f);
    if (!starts) {
        QTRY_VERIFY(field->hasFocus());
        QCOMPARE(field->text(), QStringLiteral("3000"));
    }
}

// The rejection answers the one click that caused it, not the next ones.
void tst_validation::startAfterRejection()
{
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder messages;
    int started = 0;
    connect(form.start, &QPushButton::clicked, &form.window, [&] {
        if (validation.validateFocused())
            ++started;
    });
    QLineEdit *field = form.field(QStringLiteral("txtDauer"));
    type(field, QStringLiteral("0"));
    QTest::mouseClick(form.start, Qt::LeftButton);
    QCOMPARE(started, 0);
    QTRY_VERIFY(field->hasFocus());

    // Enter pressed in the field after the message: the field now holds the stored value.
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(validation.validateFocused());

    // A second click starts.
    QTest::mouseClick(form.start, Qt::LeftButton);
    QTRY_COMPARE(started, 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(state.settings.Dauer, 2.0f);
}

void tst_validation::validateFocused_data()
{
    QTest::addColumn<QString>("focus"); // objectName of the focused widget
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("messages");
    QTest::newRow("bad entry") << "txtSpitzenstrom"
                               << "401" << false << 1;
    QTest::newRow("good entry") << "txtSpitzenstrom"
                                << "399.5" << true << 0;
    QTest::newRow("not one of the eleven") << "txtSpare"
                                           << "abc" << true << 0;
    QTest::newRow("button") << "cmdStart"
                            << "" << true << 0;
}

void tst_validation::validateFocused()
{
    QFETCH(QString, focus);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, messages);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder recorder;
    auto *target = form.window.findChild<QWidget *>(focus);
    if (auto *edit = qobject_cast<QLineEdit *>(target))
        type(edit, text);
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());

    QCOMPARE(validation.validateFocused(), ok);
    QCOMPARE(recorder.count(), messages);
    QVERIFY(target->hasFocus());
    if (focus == QLatin1String("txtSpitzenstrom")) {
        QCOMPARE(state.settings.Spitzenstrom, ok ? 400.0f : 350.0f);
        QCOMPARE(form.field(focus)->text(), ok ? QStringLiteral("400") : QStringLiteral("350"));
        QCOMPARE(state.ParameterGeaendert, ok);
    }
}

// An empty field under a checked endless box is no entry; an emptied field is one.
// A wrong entry while endless is stored (no focus-in handler put "1" in) shows the
// field empty again, not a number that would be refused at the next focus loss.
void tst_validation::endless_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("endless");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("messages");
    QTest::newRow("repetitions endless") << "txtWiederholung" << true << "" << 0;
    QTest::newRow("repetitions emptied") << "txtWiederholung" << false << "" << 1;
    QTest::newRow("repetitions endless, wrong") << "txtWiederholung" << true << "0" << 1;
    QTest::newRow("duration endless") << "txtDauer" << true << "" << 0;
    QTest::newRow("duration emptied") << "txtDauer" << false << "" << 1;
    QTest::newRow("duration endless, wrong") << "txtDauer" << true << "abc" << 1;
}

void tst_validation::endless()
{
    QFETCH(QString, name);
    QFETCH(bool, endless);
    QFETCH(QString, text);
    QFETCH(int, messages);
    PumpState state;
    setInitialValues(state);
    if (endless) {
        state.settings.Wiederholung = kEndlessRepetitions;
        state.settings.Dauer = 0;
    }
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder recorder;
    const double before = storedValue(state, name);
    QLineEdit *field = form.field(name);
    type(field, text);
    QCOMPARE(validation.validateFocused(), messages == 0);
    QCOMPARE(recorder.count(), messages);
    QTest::keyClick(field, Qt::Key_Tab);
    QCOMPARE(recorder.count(), messages);
    QCOMPARE(storedValue(state, name), before);
    QCOMPARE(field->text().isEmpty(), endless);
}

// A field hidden by a mode switch loses the focus: it is checked, but cannot take
// the focus back.
void tst_validation::hiding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("messages");
    QTest::addColumn<float>("stored");
    QTest::newRow("bad") << "abc" << 1 << 100.0f;
    QTest::newRow("good") << "7" << 0 << 7.0f;
}

void tst_validation::hiding()
{
    QFETCH(QString, text);
    QFETCH(int, messages);
    QFETCH(float, stored);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder recorder;
    QLineEdit *field = form.field(QStringLiteral("txtMenge"));
    type(field, text);
    field->hide();
    QCOMPARE(recorder.count(), messages);
    QCOMPARE(state.settings.Menge, stored);
    QCOMPARE(field->text(), generalForm(stored));
    QVERIFY(!field->hasFocus());
    QVERIFY(validation.validateFocused());
}

// A context menu or another window coming to the front does not leave the field.
void tst_validation::ignoredFocusLoss_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("messages");
    QTest::newRow("popup") << int(Qt::PopupFocusReason) << 0;
    QTest::newRow("window") << int(Qt::ActiveWindowFocusReason) << 0;
    QTest::newRow("tab") << int(Qt::TabFocusReason) << 1;
    QTest::newRow("other") << int(Qt::OtherFocusReason) << 1;
}

void tst_validation::ignoredFocusLoss()
{
    QFETCH(int, reason);
    QFETCH(int, messages);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder recorder;
    QLineEdit *field = form.field(QStringLiteral("txtDichte"));
    type(field, QStringLiteral("20"));
    QFocusEvent out(QEvent::FocusOut, Qt::FocusReason(reason));
    QCoreApplication::sendEvent(field, &out);
    QCOMPARE(recorder.count(), messages);
    QCOMPARE(field->text(), messages ? QStringLiteral("1") : QStringLiteral("20"));
}

// Closing the window with a wrong entry in a focused field shows nothing.
void tst_validation::formDestroyed()
{
    PumpState state;
    setInitialValues(state);
    auto form = std::make_unique<Form>(state);
    QVERIFY(form->ready());
    FieldValidation validation(state, &form->window);
    MessageRecorder recorder;
    type(form->field(QStringLiteral("txtBeschleunigung")), QStringLiteral("abc"));
    form.reset();
    QCOMPARE(recorder.count(), 0);
    QVERIFY(validation.fields().isEmpty());
    QVERIFY(validation.validateFocused());
    QCOMPARE(state.settings.Beschleunigung, 500.0f);
}

// After a refusal the restored text is selected, so that the next entry replaces it,
// however the refusal came and however the focus came back.
void tst_validation::restoredTextSelected_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("tab") << "tab";
    QTest::newRow("click into another field") << "click";
    QTest::newRow("start") << "start";
    QTest::newRow("window back after the box") << "window";
    QTest::newRow("stored drive limit") << "stored";
}

void tst_validation::restoredTextSelected()
{
    QFETCH(QString, how);
    PumpState state;
    setInitialValues(state);
    Form form(state);
    QVERIFY(form.ready());
    FieldValidation validation(state, &form.window);
    MessageRecorder recorder;
    // As the real box does: another window comes to the front and goes again, and
    // the form is active again only after the refusal has done its work.
    QWidget other;
    if (how == QLatin1String("window")) {
        recorder.setWhileOpen([&](const Message &) {
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
            other.hide();
        });
    }
    QLineEdit *field = form.field(QStringLiteral("txtMenge"));
    if (how == QLatin1String("stored")) {
        field = form.field(QStringLiteral("txtBeschleunigung"));
        state.settings.Beschleunigung = 5000;
        form.spare->setFocus();
        QTRY_VERIFY(form.spare->hasFocus());
        QVERIFY(!validation.checkStoredDriveLimits());
    } else {
        type(field, QStringLiteral("abc"));
        if (how == QLatin1String("click"))
            form.spare->setFocus(Qt::MouseFocusReason);
        else if (how == QLatin1String("start"))
            QVERIFY(!validation.validateFocused());
        else
            QTest::keyClick(field, Qt::Key_Tab);
    }
    if (how == QLatin1String("window")) {
        form.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form.window));
    }
    QCOMPARE(recorder.count(), 1);
    QTRY_VERIFY(field->hasFocus());
    QVERIFY(!field->text().isEmpty());
    QVERIFY(field->text() != QLatin1String("abc"));
    QTRY_COMPARE(field->selectedText(), field->text());
    QTest::keyClicks(field, QStringLiteral("7"));
    QCOMPARE(field->text(), QStringLiteral("7"));
}

QTEST_MAIN(tst_validation)
#include "tst_validation.moc"
