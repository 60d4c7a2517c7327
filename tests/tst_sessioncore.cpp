// The session core without a GUI: this test links the core and Qt Test only, so that
// anything of Qt Gui or Widgets reaching the core fails here first.
#include "config/FieldRules.h"
#include "session/ProgramEnd.h"

#include <QCoreApplication>
#include <QTimer>
#include <QtTest>
#include <limits>

using namespace vyt;

class tst_sessioncore : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void acceptedValue_data();
    void acceptedValue();
    void refusalMessage_data();
    void refusalMessage();
    void storedAndShown_data();
    void storedAndShown();
    void driveLimits_data();
    void driveLimits();
    void endRunsTheHookFirst();
};

void tst_sessioncore::initTestCase()
{
    // The messages write their bounds in the operator's locale.
    QLocale::setDefault(QLocale::c());
    QCOMPARE(entryFieldNames().size(), 11);
}

void tst_sessioncore::acceptedValue_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<float>("value");
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("any real") << "txtMenge" << "-12.5" << c << -12.5f;
    QTest::newRow("decimal comma") << "txtMenge" << "12,5" << german << 12.5f;
    QTest::newRow("group separator") << "txtFoerderstrom" << "1.000,5" << german << 1000.5f;
    QTest::newRow("pause of 0") << "txtPause" << "0" << c << 0.f;
    QTest::newRow("repetitions, half to even") << "txtWiederholung" << "2.5" << c << 2.f;
    QTest::newRow("density, upper bound") << "txtDichte" << "15" << c << 15.f;
    QTest::newRow("speed keeps the rounding") << "txtMaximaldrehzahl" << "1500.5" << c << 1500.f;
    QTest::newRow("acceleration, exponent") << "txtBeschleunigung" << "1.5E3" << c << 1500.f;
}

void tst_sessioncore::acceptedValue()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(float, value);
    const PumpState state;
    const auto reading = readField(state, field, text, locale);
    QVERIFY(reading);
    QVERIFY2(reading->accepted(), qPrintable(reading->refusal ? reading->refusal->message : ""));
    QCOMPARE(reading->value, value);
    QVERIFY(!fieldRefusal(state, field, text, locale));
}

void tst_sessioncore::refusalMessage_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("message");
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("no number") << "txtMenge" << "abc" << c << "Please enter a real number.";
    QTest::newRow("inf") << "txtFoerderstrom" << "inf" << c << "Please enter a real number.";
    QTest::newRow("comma in C") << "txtMenge" << "12,5" << c << "Please enter a real number.";
    QTest::newRow("point misplaced, German") << "txtMenge" << "1.5" << german
                                             << "Please enter a real number.";
    QTest::newRow("negative pause") << "txtPause" << "-1" << c
                                    << "Please enter a positve real number.";
    QTest::newRow("no repetition") << "txtWiederholung" << "0.4" << c
                                   << "Please enter a positive integer number.";
    QTest::newRow("duration of 0") << "txtDauer" << "0" << c
                                   << "Please enter a positive real number.";
    QTest::newRow("density too low") << "txtDichte" << "0.09" << c
                                     << "Please enter a value from 0.1 to 15.";
    QTest::newRow("factor too high") << "txtKalibrierFaktor" << "10.5" << c
                                     << "Please enter a value from -10 to 10.";
    QTest::newRow("speed above the type") << "txtMaximaldrehzahl" << "6001" << c
                                          << "Please enter an integer number between 1 and 6000.";
    QTest::newRow("peak current too low") << "txtSpitzenstrom" << "99.9" << c
                                          << "Please enter an integer number between 100 and 400.";
}

void tst_sessioncore::refusalMessage()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(QString, message);
    PumpState state;
    const auto refusal = fieldRefusal(state, field, text, locale);
    QVERIFY(refusal);
    QCOMPARE(refusal->field, field);
    QCOMPARE(refusal->message, message);
    QCOMPARE(fieldMessage(state, field), message);
    const PumpSettings before = state.settings;
    state.ParameterGeaendert = false;
    QVERIFY(!storeField(state, field, text, locale));
    QVERIFY(!state.ParameterGeaendert);
    QCOMPARE(storedFieldText(state, field), storedFieldText(PumpState{}, field));
    QCOMPARE(before.Menge, state.settings.Menge);
}

void tst_sessioncore::storedAndShown_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");      // after the entry is stored
    QTest::addColumn<bool>("marksChanged"); // the drive limits must go out again
    QTest::newRow("quantity") << "txtMenge" << "0.00001" << "1E-05" << false;
    QTest::newRow("pause in plain form") << "txtPause" << "1E7" << "10000000" << false;
    QTest::newRow("repetitions") << "txtWiederholung" << "12.5" << "12" << false;
    QTest::newRow("current") << "txtDauerstrom" << "250.5" << "250" << true;
}

void tst_sessioncore::storedAndShown()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(bool, marksChanged);
    PumpState state;
    state.ParameterGeaendert = false;
    QVERIFY(typedByOperator(state, field, text));
    QVERIFY(storeField(state, field, text));
    QCOMPARE(acceptedFieldText(state, field), shown);
    QCOMPARE(state.ParameterGeaendert, marksChanged);
    QVERIFY(!typedByOperator(state, field, storedFieldText(state, field)));
    QVERIFY(!pendingFieldRefusal(state, field, storedFieldText(state, field)));
}

void tst_sessioncore::driveLimits_data()
{
    QTest::addColumn<float>("storedSpeed");
    QTest::addColumn<bool>("inBounds");
    QTest::addColumn<QString>("offered"); // the speed field's text for the stored value
    QTest::newRow("inside") << 3000.f << true << "3000";
    QTest::newRow("upper bound") << 6000.f << true << "6000";
    QTest::newRow("above: the type's own") << 7000.f << false << "6000";
    QTest::newRow("no number") << std::numeric_limits<float>::quiet_NaN() << false << "6000";
}

void tst_sessioncore::driveLimits()
{
    QFETCH(float, storedSpeed);
    QFETCH(bool, inBounds);
    QFETCH(QString, offered);
    PumpState state;
    state.settings.Maximaldrehzahl = storedSpeed;
    const QString speed = QStringLiteral("txtMaximaldrehzahl");
    QCOMPARE(driveLimitInBounds(state, speed), inBounds);
    QCOMPARE(driveLimitsInBounds(state), inBounds);
    QCOMPARE(storedFieldText(state, speed), offered);
    // Start refuses a stored limit outside the bounds even when the field shows it unchanged.
    QCOMPARE(!pendingFieldRefusal(state, speed, offered), inBounds);
    QVERIFY(driveLimitRefusal(state, speed, QStringLiteral("6000")).isEmpty());
    QCOMPARE(driveLimitRefusal(state, speed, QStringLiteral("6001")),
             driveLimitMessage(state, speed));
    QVERIFY(driveLimitMessage(state, QStringLiteral("txtMenge")).isEmpty());
}

void tst_sessioncore::endRunsTheHookFirst()
{
    int closed = 0;
    setBeforeExit([&] { ++closed; });
    QTimer::singleShot(0, [] { endProgram(3); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(-1); }); // never reached when it works
    QCOMPARE(QCoreApplication::exec(), 3);
    QCOMPARE(closed, 1);
    QVERIFY(programEnding());
    setBeforeExit({});
    setEndHandler({}); // clears the flag
    QVERIFY(!programEnding());
}

QTEST_GUILESS_MAIN(tst_sessioncore)
#include "tst_sessioncore.moc"
