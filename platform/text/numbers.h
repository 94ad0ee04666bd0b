#pragma once

#include <QChar>
#include <QString>
#include <QStringView>

#include <cstdint>

// Number conversions with the exact rounding rules that the display and the
// run rely on.
namespace platform::numbers {

// Nearest whole number, halves to the even neighbour.
double roundHalfEven(double value);

// Nearest signed 32-bit integer, halves to the even neighbour; Overflow when
// the result does not fit.
std::int32_t toInt32(double value);

// Sum of two counts that must stay signed 32-bit; Overflow when it does not.
std::int32_t addInt32(std::int32_t a, std::int32_t b);

// Fixed-point text with exactly `decimals` decimals, halves away from zero,
// at least one digit before the separator ("0.00", "0.0").
QString formatFixed(double value, int decimals, QChar decimalPoint);

// The value that formatFixed's text stands for: rounded to `decimals`
// decimals, halves away from zero.
double roundToDecimals(double value, int decimals);

// General number form: no fixed decimals, no trailing zeros, up to 15
// significant digits, a full stop as separator.
QString formatGeneral(double value);

// The leading number of a text: blanks, tabs and line feeds are skipped
// wherever they stand, an optional sign, digits with at most one full stop
// and an E or D exponent, or &H / &O integers; reading stops at the first
// character that does not fit; no digit gives 0.
double valueOf(QStringView text);

// A whole text written with the given decimal separator (the reverse of
// formatFixed); TypeMismatch when it is not a number.
double parseLocaleNumber(QStringView text, QChar decimalPoint);

// A decimal whole number, as an HTTP header gives it; Overflow when it does
// not fit in 32 bits, TypeMismatch when it is not a number.
std::int32_t parseInt32(QStringView text);

} // namespace platform::numbers
