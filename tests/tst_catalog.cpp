#include "config/PumpCatalog.h"

#include <QtTest>

using namespace vyt;

class tst_catalog : public QObject {
    Q_OBJECT
private slots:
    void rows_data();
    void rows();
    void gears_data();
    void gears();
    void encoders_data();
    void encoders();
    void outsideCatalog();
};

void tst_catalog::rows_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QList<float>>("values"); // displacement .. max peak current
    QTest::addColumn<QStringList>("encoders");
    QTest::addColumn<float>("standard");
    QTest::addColumn<QStringList>("gears");
    QTest::newRow("first") << 0 << "vyt-P01" << QList<float>{1.5f, 6000, 230, 400, 100, 300, 400}
                           << QStringList{"16 (Standard)", "256"} << 16.0f
                           << QStringList{"none", "4.1 : 1", "17 : 1", "67 : 1", "275 : 1"};
    QTest::newRow("3") << 3 << "vyt-P04" << QList<float>{48, 6000, 800, 1200, 300, 1200, 2000}
                       << QStringList{"100 (Standard)"} << 100.0f << QStringList{"none"};
    QTest::newRow("5") << 5 << "vyt-P06" << QList<float>{3, 6000, 300, 600, 100, 400, 600}
                       << QStringList{"32 (Standard)", "256"} << 32.0f
                       << QStringList{"none", "4.4 : 1", "19 : 1"};
    QTest::newRow("12") << 12 << "vyt-P13" << QList<float>{48, 6000, 1000, 2000, 300, 2800, 5000}
                        << QStringList{"Standard"} << 250.0f
                        << QStringList{"none", "3.714286 : 1", "13.79592 : 1"};
    QTest::newRow("14") << 14 << "vyt-P15" << QList<float>{192, 6000, 5000, 6000, 600, 6000, 10000}
                        << QStringList{"Standard"} << 250.0f << QStringList{"none", "4.8 : 1"};
    QTest::newRow("20") << 20 << "vyt-P21" << QList<float>{6, 4700, 700, 900, 500, 1100, 1300}
                        << QStringList{"Standard"} << 500.0f << QStringList{"none"};
    QTest::newRow("22") << 22 << "vyt-P23" << QList<float>{48, 4700, 1800, 2000, 600, 2000, 2000}
                        << QStringList{"Standard"} << 500.0f << QStringList{"none"};
    QTest::newRow("last") << 24 << "vyt-P25" << QList<float>{48, 4700, 1600, 1800, 600, 2000, 2000}
                          << QStringList{"Standard"} << 500.0f << QStringList{"none"};
}

void tst_catalog::rows()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(QList<float>, values);
    QFETCH(QStringList, encoders);
    QFETCH(float, standard);
    QFETCH(QStringList, gears);
    const PumpType &t = pumpType(type);
    QCOMPARE(QString::fromLatin1(t.name), name);
    QCOMPARE(pumpTypeNames().at(type), name);
    const QList<float> actual{t.displacement, t.maxSpeed,       t.contCurrent,   t.peakCurrent,
                              t.minCurrent,   t.maxContCurrent, t.maxPeakCurrent};
    QCOMPARE(actual, values);
    QCOMPARE(encoderItems(type), encoders);
    QCOMPARE(standardEncoderResolution(type), standard);
    QCOMPARE(encoderResolution(type, 0), std::optional<float>(standard));
    QCOMPARE(gearItems(type, QLocale::c()), gears);
    // Every listed gear has a ratio, and nothing beyond the list does.
    for (int i = 0; i < gears.size(); ++i)
        QVERIFY2(gearRatio(type, i).has_value(), qPrintable(QString::number(i)));
    QVERIFY(!gearRatio(type, gears.size()).has_value());
    QVERIFY(!encoderResolution(type, encoders.size()).has_value());
}

void tst_catalog::gears_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("index");
    QTest::addColumn<float>("ratio");
    QTest::addColumn<QString>("germanText");
    QTest::newRow("none") << 0 << 0 << 1.0f << "none";
    QTest::newRow("57/14") << 1 << 1 << 4.0714288f << "4,1 : 1";
    QTest::newRow("(57/14)^2") << 0 << 2 << 16.576530f << "17 : 1";
    QTest::newRow("(57/14)^3") << 0 << 3 << 67.490158f << "67 : 1";
    // The nearest single to 274.781..., not the 275 the list shows.
    QTest::newRow("(57/14)^4") << 0 << 4 << 274.78137f << "275 : 1";
    QTest::newRow("57/13") << 4 << 1 << 4.3846154f << "4,4 : 1";
    QTest::newRow("(57/13)^2") << 5 << 2 << 19.224852f << "19 : 1";
    QTest::newRow("26/7") << 6 << 1 << 3.7142856f << "3,714286 : 1";
    QTest::newRow("(26/7)^2") << 11 << 2 << 13.795918f << "13,79592 : 1";
    QTest::newRow("4.8") << 13 << 1 << 4.8f << "4,8 : 1";
    QTest::newRow("4.8 last") << 17 << 1 << 4.8f << "4,8 : 1";
}

void tst_catalog::gears()
{
    QFETCH(int, type);
    QFETCH(int, index);
    QFETCH(float, ratio);
    QFETCH(QString, germanText);
    const std::optional<float> actual = gearRatio(type, index);
    QVERIFY(actual.has_value());
    // The single nearest to the exact fraction, bit for bit (QCOMPARE on floats is fuzzy).
    QCOMPARE(qFloatDistance(*actual, ratio), quint32(0));
    QCOMPARE(gearItems(type, QLocale(QLocale::German, QLocale::Germany)).value(index), germanText);
    QString plain = germanText;
    plain.replace(QLatin1Char(','), QLatin1Char('.'));
    QCOMPARE(gearItems(type, QLocale::c()).value(index), plain);
}

void tst_catalog::encoders_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("index");
    QTest::addColumn<std::optional<float>>("resolution");
    QTest::newRow("P01 256") << 0 << 1 << std::optional<float>(256);
    QTest::newRow("P03 32") << 2 << 0 << std::optional<float>(32);
    QTest::newRow("P03 256") << 2 << 1 << std::optional<float>(256);
    QTest::newRow("P04 no second") << 3 << 1 << std::optional<float>();
    QTest::newRow("P05 256") << 4 << 1 << std::optional<float>(256);
    QTest::newRow("P18 250") << 17 << 0 << std::optional<float>(250);
    QTest::newRow("P19 500") << 18 << 0 << std::optional<float>(500);
    QTest::newRow("none selected") << 0 << -1 << std::optional<float>();
    QTest::newRow("type -1") << -1 << 0 << std::optional<float>();
    QTest::newRow("type 25") << 25 << 0 << std::optional<float>();
}

void tst_catalog::encoders()
{
    QFETCH(int, type);
    QFETCH(int, index);
    QFETCH(std::optional<float>, resolution);
    QCOMPARE(encoderResolution(type, index), resolution);
}

void tst_catalog::outsideCatalog()
{
    QCOMPARE(pumpTypeNames().size(), kPumpTypeCount);
    QVERIFY(encoderItems(-1).isEmpty());
    QVERIFY(encoderItems(25).isEmpty());
    QCOMPARE(gearItems(25), QStringList{"none"});
    QVERIFY(!gearRatio(-1, 0).has_value());
    QVERIFY(!gearRatio(0, -1).has_value());
    // A type outside the catalog must not read past the table.
    QCOMPARE(QString::fromLatin1(pumpType(99).name), QStringLiteral("vyt-P01"));
    QCOMPARE(QString::fromLatin1(pumpType(-1).name), QStringLiteral("vyt-P01"));
}

QTEST_APPLESS_MAIN(tst_catalog)
#include "tst_catalog.moc"
