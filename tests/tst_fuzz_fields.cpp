// Random and hostile texts typed into all eleven fields: nothing may crash, and
// whatever was typed, every stored value stays finite and inside its range.
#include "main/FieldBinder.h"
#include "config/NumberText.h"
#include "support/TestEnv.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QVBoxLayout>
#include <QtTest>
#include <cmath>

using namespace vyt;

namespace {

const char *const kNames[] = {"txtDichte",
                              "txtKalibrierFaktor",
                              "txtMaximaldrehzahl",
                              "txtBeschleunigung",
                              "txtDauerstrom",
                              "txtSpitzenstrom",
                              "txtMenge",
                              "txtPause",
                              "txtWiederholung",
                              "txtFoerderstrom",
                              "txtDauer"};

class Hostile {
public:
    Hostile(quint32 seed, const QLocale &locale) : m_rng(seed), m_locale(locale) {}

    QString next()
    {
        switch (m_rng.bounded(9)) {
        case 0: return special();
        case 1: return unicodeNoise();
        case 2: return longDigits();
        case 3: return hugeExponent();
        case 4: return nearBound();
        default: return numberLike();
        }
    }

private:
    int pick(int n) { return int(m_rng.bounded(n)); }

    QString digits(int n)
    {
        QString s;
        for (int i = 0; i < n; ++i)
            s += QChar(u'0' + pick(10));
        return s;
    }

    // Mostly well-formed numbers, with a fair share of misplaced separators and signs.
    QString numberLike()
    {
        static const QStringList signs = {"", "", "-", "+", "--", "+-", QString(QChar(0x2212))};
        static const QStringList blanks = {"", "", " ", "  ", "\t", QString(QChar(0xA0))};
        const QStringList seps = {
            m_locale.decimalPoint(), m_locale.groupSeparator(), ".", ",", "'", " "};
        QString s = blanks.at(pick(blanks.size())) + signs.at(pick(signs.size()));
        const int parts = pick(4);
        s += digits(pick(8));
        for (int i = 0; i < parts; ++i)
            s += seps.at(pick(seps.size())) + digits(pick(5));
        if (pick(3) == 0) {
            s += pick(2) ? QStringLiteral("E") : QStringLiteral("e");
            s += signs.at(pick(signs.size())) + digits(pick(4));
        }
        return s + blanks.at(pick(blanks.size()));
    }

    QString special()
    {
        static const QStringList list = {
            "",
            " ",
            "inf",
            "-inf",
            "INF",
            "Infinity",
            "nan",
            "NaN",
            "-nan",
            "0x10",
            "0x1p3",
            "$5",
            "5€",
            "1e",
            "e1",
            "E",
            ".",
            ",",
            "-",
            "+",
            "1.2.3",
            "1,2,3",
            "--1",
            "+-1",
            "1-",
            "1+",
            "1 2",
            "0",
            "-0",
            "0.0",
            "1E-50",
            "-1E-50",
            "1E-45",
            "1E-46",
            "1E38",
            "3.4028235E38",
            "3.4028236E38",
            "-3.4028235E38",
            "1E39",
            "32767",
            "32767.5",
            "32768",
            "-32768",
            "-32768.5",
            "65536",
            "2147483647",
            "2147483648",
            "4294967297",
            "1E308",
            "1E309",
            "0.5",
            "1.5",
            "2.5",
            "0.6",
            "0.4",
            "1.4",
            "6000.4",
            "2500.5",
            "2501.5",
            "0.1",
            "0.09",
            "15",
            "15.01",
            "-10",
            "10",
            "10.5",
            "2000",
            "2001",
            "1,000",
            "1.000",
            "1,5",
            "1.5",
            "٣",
            "１２",
            "1\u00A0000",
            "1\u202F000",
            "\u200E5",
            "5\u200F",
            "\uFEFF5",
        };
        return list.at(pick(list.size()));
    }

    // Control characters, lone surrogates, other scripts' digits, look-alike signs.
    QString unicodeNoise()
    {
        QString s;
        const int n = 1 + pick(24);
        for (int i = 0; i < n; ++i) {
            switch (pick(8)) {
            case 0: s += QChar(char16_t(pick(32))); break;             // C0 controls, NUL included
            case 1: s += QChar(char16_t(0xD800 + pick(0x800))); break; // lone surrogate halves
            case 2: s += QChar(char16_t(0x0660 + pick(10))); break;    // Arabic-Indic digits
            case 3: s += QChar(char16_t(0xFF10 + pick(10))); break;    // full-width digits
            case 4: s += QChar(char16_t(0x2000 + pick(0x70))); break;  // spaces, dashes, marks
            case 5: s += QChar(char16_t(1 + pick(0xFFFE))); break;     // anything
            default: s += QChar(char16_t(0x20 + pick(0x5F))); break;   // printable ASCII
            }
        }
        return s;
    }

    QString longDigits()
    {
        const int n = 100 + pick(1200);
        switch (pick(4)) {
        case 0: return digits(n);
        case 1:
            return QStringLiteral("0") + m_locale.decimalPoint() + QString(n, u'0') +
                   QStringLiteral("1");
        case 2:
            return QStringLiteral("1") + QString(n, u'0') + QStringLiteral("E-") +
                   QString::number(n);
        default: return digits(n) + QStringLiteral("x");
        }
    }

    QString hugeExponent()
    {
        static const QStringList exps = {"E99999",
                                         "E-99999",
                                         "E+4294967296",
                                         "E-4294967296",
                                         "E99999999999999999999",
                                         "E-99999999999999999999",
                                         "E38",
                                         "E-38",
                                         "E-45"};
        return digits(1 + pick(3)) + exps.at(pick(exps.size()));
    }

    // Just inside or outside the bounds of the fields, in the locale's notation.
    QString nearBound()
    {
        static const double bounds[] = {0,    0.1, 15,  -10, 10,    1,  2000,
                                        6000, 100, 300, 400, 32767, 0.5};
        const double b = bounds[pick(int(std::size(bounds)))];
        const double offsets[] = {0,    1e-7,    -1e-7,    1e-3,    -1e-3, 0.5,
                                  -0.5, 0.49999, -0.49999, 0.50001, 1,     -1};
        const double v = b + offsets[pick(int(std::size(offsets)))];
        return m_locale.toString(v, 'g', 4 + pick(14));
    }

    QRandomGenerator m_rng;
    QLocale m_locale;
};

struct Bounds {
    float drehzahlMin, drehzahlMax, stromMin, dauerstromMax, spitzenstromMax;
};

// The stored values the fields write.
bool sameValues(const PumpSettings &a, const PumpSettings &b)
{
    return a.Menge == b.Menge && a.Pause == b.Pause && a.Wiederholung == b.Wiederholung &&
           a.Foerderstrom == b.Foerderstrom && a.Dauer == b.Dauer && a.Dichte == b.Dichte &&
           a.Kalibrierfaktor == b.Kalibrierfaktor && a.Maximaldrehzahl == b.Maximaldrehzahl &&
           a.Beschleunigung == b.Beschleunigung && a.Dauerstrom == b.Dauerstrom &&
           a.Spitzenstrom == b.Spitzenstrom;
}

} // namespace

Q_DECLARE_METATYPE(Bounds)

class tst_fuzz_fields : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { QLocale::setDefault(QLocale::c()); }
    void fuzz_data();
    void fuzz();
};

// Text shaping of foreign scripts warns about every installed font, thousands of times.
QtMessageHandler g_testHandler = nullptr;

void dropFontWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QLatin1String("OpenType support missing")))
        return;
    g_testHandler(type, context, text);
}

void tst_fuzz_fields::initTestCase()
{
    g_testHandler = qInstallMessageHandler(dropFontWarnings);
}

void tst_fuzz_fields::fuzz_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("strings");
    QTest::addColumn<Bounds>("bounds");
    QTest::newRow("C, first type") << 1u << "C" << 5000 << Bounds{1, 6000, 100, 300, 400};
    QTest::newRow("de, first type") << 2u << "de" << 5000 << Bounds{1, 6000, 100, 300, 400};
    QTest::newRow("C, other type") << 3u << "C" << 5000 << Bounds{10, 4000, 50, 250, 1200};
    QTest::newRow("de, fractional bounds")
        << 4u << "de" << 5000 << Bounds{0.5f, 100.5f, 1.5f, 20.25f, 30};
}

void tst_fuzz_fields::fuzz()
{
    QFETCH(quint32, seed);
    QFETCH(QString, locale);
    QFETCH(int, strings);
    QFETCH(Bounds, bounds);
    const QLocale loc =
        locale == QLatin1String("de") ? QLocale(QLocale::German, QLocale::Germany) : QLocale::c();
    QLocale::setDefault(loc);

    PumpState state;
    state.DrehzahlMin = bounds.drehzahlMin;
    state.DrehzahlMax = bounds.drehzahlMax;
    state.StromMin = bounds.stromMin;
    state.DauerstromMax = bounds.dauerstromMax;
    state.SpitzenstromMax = bounds.spitzenstromMax;
    PumpSettings &s = state.settings;
    // Start inside every range, so that "stays inside" is meaningful.
    s.Maximaldrehzahl = std::ceil(bounds.drehzahlMin);
    s.Dauerstrom = std::ceil(bounds.stromMin);
    s.Spitzenstrom = std::ceil(bounds.stromMin);

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    QList<QLineEdit *> fields;
    for (const char *name : kNames) {
        auto *edit = new QLineEdit(&window);
        edit->setObjectName(QLatin1String(name));
        layout->addWidget(edit);
        fields << edit;
    }
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    FieldValidation validation(state, &window);
    QCOMPARE(validation.fields().size(), fields.size());
    test::MessageRecorder messages;

    const auto whole = [](float v) { return v == std::floor(v); };
    const auto check = [&]() -> QString {
        const auto inside = [](float v, float lo, float hi) {
            return std::isfinite(v) && v >= lo && v <= hi;
        };
        if (!std::isfinite(s.Menge) || !std::isfinite(s.Foerderstrom))
            return QStringLiteral("real value not finite");
        if (!(s.Pause >= 0) || !std::isfinite(s.Pause))
            return QStringLiteral("pause %1").arg(s.Pause);
        if (!(s.Dauer > 0) || !std::isfinite(s.Dauer))
            return QStringLiteral("duration %1").arg(s.Dauer);
        if (s.Wiederholung < 1 || s.Wiederholung > 32767)
            return QStringLiteral("repetitions %1").arg(s.Wiederholung);
        if (!inside(s.Dichte, 0.1f, 15) || !inside(s.Kalibrierfaktor, -10, 10))
            return QStringLiteral("density %1 / calibration %2")
                .arg(s.Dichte)
                .arg(s.Kalibrierfaktor);
        if (!inside(s.Beschleunigung, 1, 2000) || !whole(s.Beschleunigung))
            return QStringLiteral("acceleration %1").arg(s.Beschleunigung);
        if (!inside(s.Maximaldrehzahl, state.DrehzahlMin, state.DrehzahlMax) ||
            !whole(s.Maximaldrehzahl))
            return QStringLiteral("speed %1").arg(s.Maximaldrehzahl);
        if (!inside(s.Dauerstrom, state.StromMin, state.DauerstromMax) || !whole(s.Dauerstrom))
            return QStringLiteral("continuous current %1").arg(s.Dauerstrom);
        if (!inside(s.Spitzenstrom, state.StromMin, state.SpitzenstromMax) ||
            !whole(s.Spitzenstrom))
            return QStringLiteral("peak current %1").arg(s.Spitzenstrom);
        return QString();
    };

    Hostile hostile(seed, loc);
    QElapsedTimer clock;
    clock.start();
    int accepted = 0;
    int rejected = 0;
    for (int i = 0; i < strings; ++i) {
        const QString typed = hostile.next();
        for (int f = 0; f < fields.size(); ++f) {
            QLineEdit *field = fields.at(f);
            // Now and then the whole way: cursor in, typed, Tab out. Putting the cursor
            // in checks the field left, which may store its shown text again.
            const bool byFocus = (i + f) % 64 == 0;
            if (byFocus)
                field->setFocus(Qt::MouseFocusReason);
            const PumpSettings before = s;
            const int shownBefore = messages.count();
            bool ok = false;
            if (byFocus) {
                field->setText(typed);
                const QString text = field->text();
                QTest::keyClick(field, Qt::Key_Tab);
                ok = messages.count() == shownBefore;
                if (!ok)
                    QVERIFY2(field->hasFocus(), qPrintable(text));
            } else {
                field->setText(typed);
                ok = validation.validate(field);
            }
            QVERIFY(!validation.busy());
            QCOMPARE(messages.count(), shownBefore + (ok ? 0 : 1));
            const QString broken = check();
            QVERIFY2(broken.isEmpty(),
                     qPrintable(QStringLiteral("%1 after '%2' in %3")
                                    .arg(broken, typed.left(80), QLatin1String(kNames[f]))));
            // What the field shows afterwards is always a number in the locale's notation.
            QVERIFY2(readNumber(field->text()).has_value(), qPrintable(field->text()));
            if (ok) {
                ++accepted;
                QVERIFY2(readNumber(typed).has_value(), qPrintable(typed.left(80)));
            } else {
                ++rejected;
                QVERIFY2(sameValues(before, s), qPrintable(typed.left(80)));
            }
        }
    }
    qInfo("%d accepted, %d rejected in %lld ms", accepted, rejected, qint64(clock.elapsed()));
    QVERIFY(accepted > strings); // the generator does produce acceptable numbers
    QVERIFY(rejected > strings);
}

QTEST_MAIN(tst_fuzz_fields)
#include "tst_fuzz_fields.moc"
