#pragma once
// The program's one number formatter and one number reader.
// Fields and messages use the operator's locale; the settings store and the
// controller commands always use the C locale (a "." and no group separators).
#include <QLocale>
#include <QString>
#include <optional>

namespace vyt {

// General form: at most 7 significant digits, no trailing zeros, exponent form
// ("1E+07", "1E-05") from ten million on and below 0.0001 in magnitude.
QString generalForm(double value, const QLocale &locale = QLocale());
// Plain form: 7 significant digits, never an exponent (ten million is "10000000").
QString plainForm(double value, const QLocale &locale = QLocale());
// Measurement digits: rounded to digits significant digits, trailing zeros kept ("28.80",
// "0.2000"), exponent form where the general form has it ("2.000E+07"); 0 is "0".
QString measuredForm(double value, int digits, const QLocale &locale = QLocale());
// A fixed number of decimals ("0.7", "141.4", "0.0"); a value that rounds to 0 has no sign.
QString fixedForm(double value, int decimals, const QLocale &locale = QLocale());
// Whole numbers: decimal digits with a leading minus sign.
QString integerForm(qint64 value);
// Every digit the double needs to read back as itself, in the locale's notation
// ("1E+39", "0.1"): a number from another program typed into a field loses nothing
// before the field's own reading.
QString exactForm(double value, const QLocale &locale = QLocale());
// The double of the single's shortest text: 0.1f as 0.1, not 0.100000001490116.
[[nodiscard]] double shortestDecimal(float value);

// The same forms with "." whatever the locale, for the store and the wire.
inline QString storeForm(double value)
{
    return generalForm(value, QLocale::c());
}

// Halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -1500.5 -> -1500).
double roundHalfEven(double value);
// A whole number for the wire (a speed, a position), rounded halves to even; nullopt
// when the value is no number or its magnitude exceeds limit, so that no conversion
// to an integer is ever out of range.
[[nodiscard]] std::optional<qint64> wholeForWire(double value, double limit);

// Reads a number in the locale's notation: surrounding blanks, an optional sign,
// digits with the locale's decimal separator and correctly placed group separators
// (none with QLocale::RejectGroupSeparator), an optional exponent ("E" and a signed
// integer). Anything else (empty text, "inf", "nan", hexadecimal, currency, stray
// characters) is no number.
std::optional<double> readNumber(const QString &text, const QLocale &locale = QLocale());
// The nearest single-precision value; beyond the single range is no number, below
// it the nearest is a denormal or zero.
std::optional<float> readSingle(const QString &text, const QLocale &locale = QLocale());
// The number rounded halves-to-even into 16 bits; outside -32768..32767 is no number.
std::optional<qint16> readShort(const QString &text, const QLocale &locale = QLocale());
// The same into 32 bits.
std::optional<qint32> readLong(const QString &text, const QLocale &locale = QLocale());
// A number that is whole as written ("12", "12.0", "1.5E3"), in 32 bits; a fraction
// ("12.5", "1E-1", also "12.0000000000000001", which a double would take for 12) or a
// value outside 32 bits is none. Nothing is rounded.
std::optional<qint32> readWholeNumber(const QString &text, const QLocale &locale = QLocale());

} // namespace vyt
