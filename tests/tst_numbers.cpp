#include "config/NumberText.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cfloat>
#include <clocale>
#include <cstdio>

using namespace vyt;

class tst_numbers : public QObject {
    Q_OBJECT
private slots:
    void forms_data();
    void forms();
    void reading_data();
    void reading();
    void shorts_data();
    void shorts();
    void wholeNumbers_data();
    void wholeNumbers();
    void singles_data();
    void singles();
    void roundTrip_data();
    void roundTrip();
    void cLibraryLocale();
    void exactForms_data();
    void exactForms();
    void measuredForms_data();
    void measuredForms();
};

void tst_numbers::forms_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("general");
    QTest::addColumn<QString>("plain");
    QTest::newRow("int") << 6000.0f << "C"
                         << "6000"
                         << "6000";
    QTest::newRow("half") << 1.5f << "C"
                          << "1.5"
                          << "1.5";
    QTest::newRow("tenth") << 0.1f << "C"
                           << "0.1"
                           << "0.1";
    QTest::newRow("milli") << 0.001f << "C"
                           << "0.001"
                           << "0.001";
    QTest::newRow("third") << 0.333333333f << "C"
                           << "0.3333333"
                           << "0.3333333";
    QTest::newRow("speed") << 1666.6666f << "C"
                           << "1666.667"
                           << "1666.667";
    QTest::newRow("neg") << -1666.6666f << "C"
                         << "-1666.667"
                         << "-1666.667";
    QTest::newRow("ten million") << 1e7f << "C"
                                 << "1E+07"
                                 << "10000000";
    QTest::newRow("1.5e7") << 1.5e7f << "C"
                           << "1.5E+07"
                           << "15000000";
    QTest::newRow("big") << 123456789.0f << "C"
                         << "1.234568E+08"
                         << "123456800";
    QTest::newRow("just below") << 9999999.0f << "C"
                                << "9999999"
                                << "9999999";
    QTest::newRow("tiny") << 0.00001f << "C"
                          << "1E-05"
                          << "0.00001";
    QTest::newRow("zero") << 0.0f << "C"
                          << "0"
                          << "0";
    QTest::newRow("100.50") << 100.5f << "C"
                            << "100.5"
                            << "100.5";
    // Above 1E+22 a double prints digits of its binary tail: seven digits, then zeros.
    QTest::newRow("1E22") << 1e22f << "C"
                          << "1E+22"
                          << "10000000000000000000000";
    QTest::newRow("1.234567E25") << 1.234567e25f << "C"
                                 << "1.234567E+25"
                                 << "12345670000000000000000000";
    QTest::newRow("3.4E38") << 3.4e38f << "C"
                            << "3.4E+38"
                            << "340000000000000000000000000000000000000";
    QTest::newRow("float max") << FLT_MAX << "C"
                               << "3.402823E+38"
                               << "340282300000000000000000000000000000000";
    QTest::newRow("neg 2.5E30") << -2.5e30f << "C"
                                << "-2.5E+30"
                                << "-2500000000000000000000000000000";
    QTest::newRow("rounds up") << 1.9999999f << "C"
                               << "2"
                               << "2";
    QTest::newRow("denormal") << 1.4e-45f << "C"
                              << "1.401298E-45"
                              << "0.000000000000000000000000000000000000000000001401298";
    QTest::newRow("de tenth") << 0.1f << "de_DE"
                              << "0,1"
                              << "0,1";
    QTest::newRow("de speed") << -1666.6666f << "de_DE"
                              << "-1666,667"
                              << "-1666,667";
    QTest::newRow("de 1e7") << 1e7f << "de_DE"
                            << "1E+07"
                            << "10000000";
    QTest::newRow("de big") << 12345.5f << "de_DE"
                            << "12345,5"
                            << "12345,5";
}

void tst_numbers::forms()
{
    QFETCH(float, value);
    QFETCH(QString, locale);
    QFETCH(QString, general);
    QFETCH(QString, plain);
    const QLocale loc(locale);
    QCOMPARE(generalForm(value, loc), general);
    QCOMPARE(plainForm(value, loc), plain);
    // What the store writes reads back exactly.
    QCOMPARE(readSingle(storeForm(value), QLocale::c()).value_or(-1),
             float(readSingle(general, loc).value_or(-2)));
}

void tst_numbers::reading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");
    QTest::newRow("plain") << "100"
                           << "C" << true << 100.0;
    QTest::newRow("blanks") << "  1.5  "
                            << "C" << true << 1.5;
    QTest::newRow("exp") << "1E3"
                         << "C" << true << 1000.0;
    QTest::newRow("exp lower") << "1e-3"
                               << "C" << true << 0.001;
    QTest::newRow("plus") << "+2"
                          << "C" << true << 2.0;
    QTest::newRow("minus") << "-30"
                           << "C" << true << -30.0;
    QTest::newRow("leading dot") << ".5"
                                 << "C" << true << 0.5;
    QTest::newRow("trailing dot") << "5."
                                  << "C" << true << 5.0;
    QTest::newRow("groups") << "1,000"
                            << "C" << true << 1000.0;
    QTest::newRow("bad group") << "1,5"
                               << "C" << false << 0.0;
    QTest::newRow("empty") << ""
                           << "C" << false << 0.0;
    QTest::newRow("blank") << "   "
                           << "C" << false << 0.0;
    QTest::newRow("abc") << "abc"
                         << "C" << false << 0.0;
    QTest::newRow("inf") << "inf"
                         << "C" << false << 0.0;
    QTest::newRow("nan") << "nan"
                         << "C" << false << 0.0;
    QTest::newRow("hex") << "0x10"
                         << "C" << false << 0.0;
    QTest::newRow("currency") << "$5"
                              << "C" << false << 0.0;
    QTest::newRow("two signs") << "--5"
                               << "C" << false << 0.0;
    QTest::newRow("exp alone") << "E5"
                               << "C" << false << 0.0;
    QTest::newRow("exp no digits") << "1E"
                                   << "C" << false << 0.0;
    QTest::newRow("huge exp") << "1E99999"
                              << "C" << false << 0.0;
    QTest::newRow("stray") << "12a"
                           << "C" << false << 0.0;
    QTest::newRow("de comma") << "1,5"
                              << "de_DE" << true << 1.5;
    QTest::newRow("de point") << "1.5"
                              << "de_DE" << false << 0.0;
    QTest::newRow("de groups") << "1.500,25"
                               << "de_DE" << true << 1500.25;
}

void tst_numbers::reading()
{
    QFETCH(QString, text);
    QFETCH(QString, locale);
    QFETCH(bool, ok);
    QFETCH(double, value);
    const auto v = readNumber(text, QLocale(locale));
    QCOMPARE(v.has_value(), ok);
    if (ok)
        QCOMPARE(*v, value);
}

void tst_numbers::shorts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("2.5") << "2.5" << true << 2;
    QTest::newRow("3.5") << "3.5" << true << 4;
    QTest::newRow("0.5") << "0.5" << true << 0;
    QTest::newRow("-2.5") << "-2.5" << true << -2;
    QTest::newRow("32767") << "32767" << true << 32767;
    QTest::newRow("40000") << "40000" << false << 0;
    QTest::newRow("-32768.4") << "-32768.4" << true << -32768;
    QTest::newRow("1E39") << "1E39" << false << 0;
}

void tst_numbers::shorts()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    const auto v = readShort(text, QLocale::c());
    QCOMPARE(v.has_value(), ok);
    if (ok)
        QCOMPARE(int(*v), value);
    QCOMPARE(readSingle(QStringLiteral("1E39"), QLocale::c()).has_value(), false);
}

void tst_numbers::wholeNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("groups"); // group separators allowed
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "12"
                           << "C" << true << true << 12;
    QTest::newRow("zero fraction") << "12.0"
                                   << "C" << true << true << 12;
    QTest::newRow("half") << "12.5"
                          << "C" << true << false << 0;
    QTest::newRow("below a double's reach") << "12.0000000000000001"
                                            << "C" << true << false << 0;
    QTest::newRow("exponent") << "1E3"
                              << "C" << true << true << 1000;
    QTest::newRow("exponent moves the point") << "1.25E2"
                                              << "C" << true << true << 125;
    QTest::newRow("exponent leaves a fraction") << "1.25E1"
                                                << "C" << true << false << 0;
    QTest::newRow("negative exponent") << "1E-1"
                                       << "C" << true << false << 0;
    QTest::newRow("whole with a negative exponent") << "1200E-2"
                                                    << "C" << true << true << 12;
    QTest::newRow("zero, tiny exponent") << "0E-99999999999999999999"
                                         << "C" << true << true << 0;
    QTest::newRow("underflow is no zero") << "5E-99999"
                                          << "C" << true << false << 0;
    QTest::newRow("negative") << "-40.00"
                              << "C" << true << true << -40;
    QTest::newRow("32 bits") << "2147483647"
                             << "C" << true << true << 2147483647;
    QTest::newRow("beyond 32 bits") << "2147483648"
                                    << "C" << true << false << 0;
    QTest::newRow("groups") << "1,000"
                            << "C" << true << true << 1000;
    QTest::newRow("groups refused") << "1,000"
                                    << "C" << false << false << 0;
    QTest::newRow("German comma") << "12,0"
                                  << "de_DE" << false << true << 12;
    QTest::newRow("German fraction") << "12,5"
                                     << "de_DE" << false << false << 0;
    QTest::newRow("German groups") << "1.000"
                                   << "de_DE" << true << true << 1000;
    QTest::newRow("German groups refused") << "1.000"
                                           << "de_DE" << false << false << 0;
    QTest::newRow("empty") << ""
                           << "C" << true << false << 0;
    QTest::newRow("inf") << "inf"
                         << "C" << true << false << 0;
}

void tst_numbers::wholeNumbers()
{
    QFETCH(QString, text);
    QFETCH(QString, locale);
    QFETCH(bool, groups);
    QFETCH(bool, ok);
    QFETCH(int, value);
    QLocale l(locale);
    if (!groups)
        l.setNumberOptions(QLocale::RejectGroupSeparator);
    const auto v = readWholeNumber(text, l);
    QCOMPARE(v.has_value(), ok);
    if (ok)
        QCOMPARE(*v, value);
}

// The nearest single straight from the text: through double, a text just above the
// midpoint of two singles lands on the midpoint and then rounds to the even one.
void tst_numbers::singles_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<float>("value");
    QTest::newRow("just above a midpoint") << "1.0000000596046447755" << true << 1.00000012f;
    QTest::newRow("just below a midpoint") << "1.0000000596046447753" << true << 1.0f;
    QTest::newRow("largest single") << "3.4028235E38" << true << FLT_MAX;
    QTest::newRow("rounds down to the largest") << "3.40282356E38" << true << FLT_MAX;
    QTest::newRow("rounds beyond the range") << "3.4028236E38" << false << 0.0f;
    QTest::newRow("negative beyond") << "-1E39" << false << 0.0f;
    QTest::newRow("underflow is zero") << "1E-50" << true << 0.0f;
    QTest::newRow("denormal") << "1E-45" << true << 1e-45f;
    QTest::newRow("huge negative exponent") << "1E-99999" << true << 0.0f;
    QTest::newRow("long digits") << QString(400, u'9') << false << 0.0f;
    QTest::newRow("long fraction") << "0." + QString(400, u'0') + "1" << true << 0.0f;
    QTest::newRow("nan") << "nan" << false << 0.0f;
}

void tst_numbers::singles()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(float, value);
    const auto v = readSingle(text, QLocale::c());
    QCOMPARE(v.has_value(), ok);
    // Exactly, not QCOMPARE's fuzzy float comparison.
    if (ok)
        QVERIFY2(*v == value, qPrintable(QString::number(double(*v), 'g', 12)));
}

// What a field shows is read back as the same number, in every locale's notation,
// including a locale whose minus sign is not "-".
void tst_numbers::roundTrip_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<float>("value");
    const QList<QLocale> locales = {QLocale::c(), QLocale(QLocale::German, QLocale::Germany),
                                    QLocale(QLocale::Swedish, QLocale::Sweden),
                                    QLocale(QLocale::French, QLocale::France)};
    for (const QLocale &locale : locales) {
        for (float v : {-1.5e-5f, 1e7f, -123456.7f, 0.001f, -2.5f, 3.4e38f}) {
            QTest::addRow("%s %g", qPrintable(locale.name()), double(v)) << locale << v;
        }
    }
}

void tst_numbers::roundTrip()
{
    QFETCH(QLocale, locale);
    QFETCH(float, value);
    for (const QString &text : {generalForm(value, locale), plainForm(value, locale)}) {
        const auto back = readSingle(text, locale);
        QVERIFY2(back.has_value(), qPrintable(text));
        QVERIFY(*back == readSingle(storeForm(value), QLocale::c()).value());
    }
}

// QCoreApplication puts the C library into the user's locale: under a German
// LC_NUMERIC, printf writes "1,5" and strtod stops at ".". The store and the wire
// must still get "1.5", and read it back.
void tst_numbers::cLibraryLocale()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"),
                    {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                     QStringLiteral("UTF-8"), dir.filePath(QStringLiteral("de_DE.UTF-8"))});
    if (!localedef.waitForFinished(120000) || localedef.exitStatus() != QProcess::NormalExit ||
        !QFileInfo::exists(dir.filePath(QStringLiteral("de_DE.UTF-8/LC_NUMERIC"))))
        QSKIP("no German locale can be built here");
    const QByteArray oldPath = qgetenv("LOCPATH");
    qputenv("LOCPATH", dir.path().toLocal8Bit());
    const bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const QString cWrites = QString::fromLatin1(probe);

    const QString general = generalForm(1.5, QLocale::c());
    const QString exponent = generalForm(1.5e-5, QLocale::c());
    const QString plain = plainForm(1234.5, QLocale::c());
    const auto read = readNumber(QStringLiteral("1.5"), QLocale::c());
    const auto single = readSingle(QStringLiteral("0.1"), QLocale::c());
    const auto germanField =
        readSingle(QStringLiteral("0,1"), QLocale(QLocale::German, QLocale::Germany));

    std::setlocale(LC_ALL, "C.UTF-8");
    if (oldPath.isNull())
        qunsetenv("LOCPATH");
    else
        qputenv("LOCPATH", oldPath);
    if (!german || cWrites != QLatin1String("1,5"))
        QSKIP("the C library did not switch to the German locale");

    QCOMPARE(general, QStringLiteral("1.5"));
    QCOMPARE(exponent, QStringLiteral("1.5E-05"));
    QCOMPARE(plain, QStringLiteral("1234.5"));
    QCOMPARE(read.value_or(-1), 1.5);
    QCOMPARE(single.value_or(-1), 0.1f);
    QCOMPARE(germanField.value_or(-1), 0.1f);
}

// A number from another program is written with every digit it needs, in the locale's
// notation, so that the field reads back exactly the double it was given.
void tst_numbers::exactForms_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("0.1") << 0.1 << "C" << "0.1";
    QTest::newRow("0.1 German") << 0.1 << "de_DE" << "0,1";
    QTest::newRow("negative German") << -2.5 << "de_DE" << "-2,5";
    QTest::newRow("beyond single") << -1e39 << "C" << "-1E+39";
    QTest::newRow("seventeen digits") << 0.30000000000000004 << "C" << "0.30000000000000004";
    QTest::newRow("whole") << 30.0 << "C" << "30";
    QTest::newRow("infinity") << qInf() << "C" << "?";
}

void tst_numbers::exactForms()
{
    QFETCH(double, value);
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const QLocale l(locale);
    QCOMPARE(exactForm(value, l), text);
    if (std::isfinite(value))
        QCOMPARE(readNumber(text, l), std::optional<double>(value));
    // The single's shortest text as a double: what a JSON answer shows.
    QCOMPARE(shortestDecimal(0.1f), 0.1);
    QCOMPARE(shortestDecimal(3.4e38f), 3.4e38);
}

void tst_numbers::measuredForms_data()
{
    // A reading's digits: four significant ones with their zeros, a tenth for a percentage.
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("measured");
    QTest::addColumn<QString>("tenths");
    QTest::newRow("mean") << 28.8 << "C"
                          << "28.80"
                          << "28.8";
    QTest::newRow("deviation") << 0.2000000000000014 << "C"
                               << "0.2000"
                               << "0.2";
    QTest::newRow("German") << 28.8 << "de_DE"
                            << "28,80"
                            << "28,8";
    QTest::newRow("rounds up a place") << 9.99996 << "C"
                                       << "10.00"
                                       << "10.0";
    QTest::newRow("whole, more places") << 14142.1356 << "C"
                                        << "14140"
                                        << "14142.1";
    QTest::newRow("four places") << 1234.5 << "C"
                                 << "1234"
                                 << "1234.5";
    QTest::newRow("negative") << -1.875 << "C"
                              << "-1.875"
                              << "-1.9";
    QTest::newRow("rounds to no sign") << -0.04 << "C"
                                       << "-0.04000"
                                       << "0.0";
    QTest::newRow("zero") << 0.0 << "C"
                          << "0"
                          << "0.0";
    QTest::newRow("ten million") << 2e7 << "C"
                                 << "2.000E+07"
                                 << "20000000.0";
    QTest::newRow("small") << 0.00001234 << "C"
                           << "1.234E-05"
                           << "0.0";
    QTest::newRow("small, German") << -0.00001234 << "de_DE"
                                   << "-1,234E-05"
                                   << "0,0";
    QTest::newRow("huge percentage") << 1e20 << "C"
                                     << "1.000E+20"
                                     << "1E+20";
    QTest::newRow("no number") << std::nan("") << "C"
                               << "0"
                               << "0";
}

void tst_numbers::measuredForms()
{
    QFETCH(double, value);
    QFETCH(QString, locale);
    QFETCH(QString, measured);
    QFETCH(QString, tenths);
    QCOMPARE(measuredForm(value, 4, QLocale(locale)), measured);
    QCOMPARE(fixedForm(value, 1, QLocale(locale)), tenths);
}

QTEST_GUILESS_MAIN(tst_numbers)
#include "tst_numbers.moc"
