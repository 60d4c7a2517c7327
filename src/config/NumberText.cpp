#include "config/NumberText.h"

#include <cfloat>
#include <charconv>
#include <clocale>
#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <locale.h>

namespace vyt {
namespace {

QString localise(QString text, const QLocale &locale)
{
    if (locale.decimalPoint() != QLatin1String("."))
        text.replace(QLatin1Char('.'), locale.decimalPoint());
    if (locale.negativeSign() != QLatin1String("-"))
        text.replace(QLatin1Char('-'), locale.negativeSign());
    return text;
}

// QApplication sets the C library to the user's locale, so printf and strtod would
// write and expect "1,5" under a German LC_NUMERIC: the conversions here use
// std::to_chars and the C locale explicitly.
locale_t cLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return c;
}

QString toChars(double value, std::chars_format format, int precision)
{
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, format, precision);
    return QString::fromLatin1(buf, int(result.ptr - buf));
}

// "%.7g" gives "1e+07" and "1.5e-05"; the program writes "1E+07" and "1.5E-05".
QString cGeneral(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    return toChars(value, std::chars_format::general, 7).toUpper();
}

} // namespace

QString generalForm(double value, const QLocale &locale)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    return localise(cGeneral(value), locale);
}

QString plainForm(double value, const QLocale &locale)
{
    if (!std::isfinite(value) || value == 0)
        return QStringLiteral("0");
    // The seven rounded digits are placed by their exponent as text: printing the
    // rounded double again would show its binary tail above 1E+22.
    const QString seven = toChars(std::fabs(value), std::chars_format::scientific, 6);
    const qsizetype e = seven.indexOf(QLatin1Char('e'));
    const QString digits = seven.left(1) + seven.mid(2, e - 2);
    const int exponent = seven.mid(e + 1).toInt();
    QString text;
    if (exponent >= digits.size() - 1)
        text = digits + QString(exponent - (digits.size() - 1), QLatin1Char('0'));
    else if (exponent >= 0)
        text = digits.left(exponent + 1) + QLatin1Char('.') + digits.mid(exponent + 1);
    else
        text = QStringLiteral("0.") + QString(-exponent - 1, QLatin1Char('0')) + digits;
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    if (value < 0)
        text.prepend(QLatin1Char('-'));
    return localise(text, locale);
}

QString measuredForm(double value, int digits, const QLocale &locale)
{
    if (!std::isfinite(value) || value == 0)
        return QStringLiteral("0");
    digits = std::clamp(digits, 1, 17);
    // The exponent after rounding: 9.9996 to four digits is 10.00.
    const QString scientific = toChars(value, std::chars_format::scientific, digits - 1);
    const int exponent = scientific.mid(scientific.indexOf(QLatin1Char('e')) + 1).toInt();
    if (exponent >= 7 || exponent < -4)
        return localise(scientific.toUpper(), locale);
    if (exponent < digits - 1)
        return localise(toChars(value, std::chars_format::fixed, digits - 1 - exponent), locale);
    // A whole number with more places than digits: the rounded digits, then zeros (14140).
    QString whole = scientific.left(scientific.indexOf(QLatin1Char('e'))).remove(QLatin1Char('.'));
    whole += QString(exponent - (digits - 1), QLatin1Char('0'));
    return localise(whole, locale);
}

QString fixedForm(double value, int decimals, const QLocale &locale)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    // Past fifteen digits no decimal is real, and the digits would not fit the buffer.
    if (std::fabs(value) >= 1e15)
        return generalForm(value, locale);
    decimals = std::clamp(decimals, 0, 17);
    QString text = toChars(value, std::chars_format::fixed, decimals);
    const bool zero = std::none_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('1') && c <= QLatin1Char('9');
    });
    if (zero && text.startsWith(QLatin1Char('-')))
        text.remove(0, 1);
    return localise(text, locale);
}

QString integerForm(qint64 value)
{
    return QString::number(value);
}

QString exactForm(double value, const QLocale &locale)
{
    if (!std::isfinite(value))
        return QStringLiteral("?"); // no number, and read as none
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return localise(QString::fromLatin1(buf, int(result.ptr - buf)).toUpper(), locale);
}

double shortestDecimal(float value)
{
    if (!std::isfinite(value))
        return 0;
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    double out = 0;
    std::from_chars(buf, result.ptr, out);
    return out;
}

double roundHalfEven(double value)
{
    return std::nearbyint(value);
}

std::optional<qint64> wholeForWire(double value, double limit)
{
    // Beyond 2^62 no limit makes sense, and the cast below stays defined.
    limit = std::min(limit, 4611686018427387904.0);
    const double whole = roundHalfEven(value);
    if (!(std::fabs(whole) <= limit))
        return std::nullopt;
    return qint64(whole);
}

namespace {

// The text in C notation when it is a number in the locale's notation.
std::optional<QByteArray> cNotation(const QString &text, const QLocale &locale)
{
    const QString s = text.trimmed();
    const QString dec = locale.decimalPoint();
    const QString grp = locale.numberOptions().testFlag(QLocale::RejectGroupSeparator)
                            ? QString()
                            : locale.groupSeparator();
    const QString neg = locale.negativeSign();
    const QString pos = locale.positiveSign();
    QString c; // the number in C notation
    int i = 0;
    const int n = s.size();
    auto startsHere = [&](const QString &token) {
        return !token.isEmpty() && s.mid(i, token.size()) == token;
    };
    if (startsHere(neg)) {
        c += QLatin1Char('-');
        i += neg.size();
    } else if (s.mid(i, 1) == QLatin1String("-")) {
        c += QLatin1Char('-');
        ++i;
    } else if (startsHere(pos)) {
        i += pos.size();
    }
    // Integer part, with group separators only between groups of three digits.
    int digits = 0, groupDigits = -1;
    bool grouped = false;
    while (i < n) {
        const QChar ch = s.at(i);
        if (ch >= QLatin1Char('0') && ch <= QLatin1Char('9')) {
            c += ch;
            ++digits;
            if (groupDigits >= 0)
                ++groupDigits;
            ++i;
        } else if (!grp.isEmpty() && startsHere(grp) && digits > 0 && grp != dec) {
            if (groupDigits >= 0 && groupDigits != 3)
                return std::nullopt;
            if (!grouped && digits > 3)
                return std::nullopt;
            grouped = true;
            groupDigits = 0;
            i += grp.size();
        } else {
            break;
        }
    }
    if (grouped && groupDigits != 3)
        return std::nullopt;
    int fraction = 0;
    if (startsHere(dec)) {
        i += dec.size();
        c += QLatin1Char('.');
        while (i < n && s.at(i) >= QLatin1Char('0') && s.at(i) <= QLatin1Char('9')) {
            c += s.at(i++);
            ++fraction;
        }
    }
    if (digits + fraction == 0)
        return std::nullopt;
    if (i < n && (s.at(i) == QLatin1Char('E') || s.at(i) == QLatin1Char('e'))) {
        c += QLatin1Char('E');
        ++i;
        // The general form writes the exponent's minus as the locale's sign.
        if (startsHere(neg) && neg != QLatin1String("-")) {
            c += QLatin1Char('-');
            i += neg.size();
        } else if (i < n && (s.at(i) == QLatin1Char('+') || s.at(i) == QLatin1Char('-'))) {
            c += s.at(i++);
        }
        int expDigits = 0;
        while (i < n && s.at(i) >= QLatin1Char('0') && s.at(i) <= QLatin1Char('9')) {
            c += s.at(i++);
            ++expDigits;
        }
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;
    return c.toLatin1();
}

// Whether the digits behind the decimal point, once the exponent has moved it, are all
// zeros; c is cNotation's form ("-12.50E+1").
bool wholeAsWritten(const QByteArray &c)
{
    const qsizetype e = c.indexOf('E');
    QByteArray mantissa = e < 0 ? c : c.left(e);
    if (mantissa.startsWith('-'))
        mantissa.remove(0, 1);
    qint64 exponent = 0;
    if (e >= 0) {
        const QByteArray digits = c.mid(e + 1);
        const bool negative = digits.startsWith('-');
        // Past the text's own length every exponent has the same effect.
        for (const char d : digits) {
            if (d >= '0' && d <= '9')
                exponent = std::min<qint64>(exponent * 10 + (d - '0'), qint64(1) << 40);
        }
        if (negative)
            exponent = -exponent;
    }
    const qsizetype point = mantissa.indexOf('.');
    const qint64 integerDigits = point < 0 ? mantissa.size() : point;
    const QByteArray digits = point < 0 ? mantissa : mantissa.left(point) + mantissa.mid(point + 1);
    for (qint64 i = std::max<qint64>(0, integerDigits + exponent); i < digits.size(); ++i) {
        if (digits.at(i) != '0')
            return false;
    }
    return true;
}

} // namespace

std::optional<double> readNumber(const QString &text, const QLocale &locale)
{
    const auto c = cNotation(text, locale);
    if (!c)
        return std::nullopt;
    char *end = nullptr;
    const double value = strtod_l(c->constData(), &end, cLocale());
    if (end != c->constData() + c->size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Straight from the text to the nearest single: going through double could round twice.
// Overflow is no number; underflow gives the nearest single (a denormal or zero).
std::optional<float> readSingle(const QString &text, const QLocale &locale)
{
    const auto c = cNotation(text, locale);
    if (!c)
        return std::nullopt;
    char *end = nullptr;
    const float value = strtof_l(c->constData(), &end, cLocale());
    if (end != c->constData() + c->size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<qint16> readShort(const QString &text, const QLocale &locale)
{
    const auto v = readNumber(text, locale);
    if (!v)
        return std::nullopt;
    const double r = roundHalfEven(*v);
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return qint16(r);
}

std::optional<qint32> readLong(const QString &text, const QLocale &locale)
{
    const auto v = readNumber(text, locale);
    if (!v)
        return std::nullopt;
    const double r = roundHalfEven(*v);
    if (r < -2147483648.0 || r > 2147483647.0)
        return std::nullopt;
    return qint32(r);
}

std::optional<qint32> readWholeNumber(const QString &text, const QLocale &locale)
{
    const auto c = cNotation(text, locale);
    const auto v = readNumber(text, locale);
    if (!c || !v || !wholeAsWritten(*c) || *v < -2147483648.0 || *v > 2147483647.0)
        return std::nullopt;
    return qint32(*v);
}

} // namespace vyt
