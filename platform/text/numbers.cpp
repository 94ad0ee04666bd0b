#include "numbers.h"

#include "platform/core/error.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace platform::numbers {

namespace {

constexpr std::array<double, 16> powersOfTen = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                                1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Reads the characters after "&H" or "&O" as an integer in the given base.
double radixValue(QStringView text, qsizetype pos, int base)
{
    double value = 0;
    for (; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (isBlank(c))
            continue;
        const int digit = c.isDigit() ? c.digitValue()
                          : (base == 16 && c.toUpper() >= QLatin1Char('A') && c.toUpper() <= QLatin1Char('F'))
                              ? c.toUpper().unicode() - 'A' + 10
                              : -1;
        if (digit < 0 || digit >= base)
            break;
        value = value * base + digit;
    }
    return value;
}

double fromAscii(const std::string &text)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range)
        throw Error(Error::Code::Overflow, QString::fromStdString(text));
    if (ec != std::errc() || end != text.data() + text.size())
        throw Error(Error::Code::TypeMismatch, QString::fromStdString(text));
    return value;
}

} // namespace

double roundHalfEven(double value)
{
    // nearbyint follows the default rounding mode, which is to nearest, ties to even.
    return std::nearbyint(value);
}

std::int32_t toInt32(double value)
{
    const double rounded = roundHalfEven(value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min()
          && rounded <= std::numeric_limits<std::int32_t>::max()))
        throw Error(Error::Code::Overflow, formatGeneral(value));
    return static_cast<std::int32_t>(rounded);
}

std::int32_t addInt32(std::int32_t a, std::int32_t b)
{
    std::int32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        throw Error(Error::Code::Overflow, QString::number(qint64(a) + b));
    return sum;
}

QString formatFixed(double value, int decimals, QChar decimalPoint)
{
    Q_ASSERT(decimals >= 0 && decimals < int(powersOfTen.size()));
    const double scaled = std::round(value * powersOfTen[decimals]);
    if (!(std::fabs(scaled) < 9e18)) {
        QString text = QString::number(value, 'f', decimals);
        return text.replace(QLatin1Char('.'), decimalPoint);
    }
    const long long units = static_cast<long long>(scaled);
    QString digits = QString::number(units < 0 ? -units : units);
    if (digits.size() <= decimals)
        digits.prepend(QString(decimals - digits.size() + 1, QLatin1Char('0')));
    if (decimals > 0)
        digits.insert(digits.size() - decimals, decimalPoint);
    if (units < 0)
        digits.prepend(QLatin1Char('-'));
    return digits;
}

double roundToDecimals(double value, int decimals)
{
    Q_ASSERT(decimals >= 0 && decimals < int(powersOfTen.size()));
    return std::round(value * powersOfTen[decimals]) / powersOfTen[decimals];
}

QString formatGeneral(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    std::array<char, 32> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::general, 15);
    Q_ASSERT(ec == std::errc());
    QString text = QString::fromLatin1(buffer.data(), end - buffer.data());
    return text.toUpper();
}

double valueOf(QStringView text)
{
    qsizetype pos = 0;
    auto skipBlanks = [&] {
        while (pos < text.size() && isBlank(text[pos]))
            ++pos;
    };

    skipBlanks();
    if (pos + 1 < text.size() && text[pos] == QLatin1Char('&')) {
        const QChar kind = text[pos + 1].toUpper();
        if (kind == QLatin1Char('H'))
            return radixValue(text, pos + 2, 16);
        if (kind == QLatin1Char('O'))
            return radixValue(text, pos + 2, 8);
        return 0;
    }

    std::string number;
    if (pos < text.size() && (text[pos] == QLatin1Char('+') || text[pos] == QLatin1Char('-'))) {
        if (text[pos] == QLatin1Char('-'))
            number += '-';
        ++pos;
    }

    bool seenDigit = false;
    bool seenPoint = false;
    for (; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (isBlank(c))
            continue;
        if (isDigit(c)) {
            number += char(c.unicode());
            seenDigit = true;
        } else if (c == QLatin1Char('.') && !seenPoint) {
            number += '.';
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!seenDigit)
        return 0;

    // An exponent counts only when at least one digit follows its letter.
    const QChar letter = pos < text.size() ? text[pos].toUpper() : QChar();
    if (letter == QLatin1Char('E') || letter == QLatin1Char('D')) {
        std::string exponent = "e";
        qsizetype at = pos + 1;
        while (at < text.size() && isBlank(text[at]))
            ++at;
        if (at < text.size() && (text[at] == QLatin1Char('+') || text[at] == QLatin1Char('-')))
            exponent += char(text[at++].unicode());
        bool expDigit = false;
        for (; at < text.size(); ++at) {
            const QChar c = text[at];
            if (isBlank(c))
                continue;
            if (!isDigit(c))
                break;
            exponent += char(c.unicode());
            expDigit = true;
        }
        if (expDigit)
            number += exponent;
    }
    if (number.back() == '.')
        number.pop_back();
    return fromAscii(number);
}

double parseLocaleNumber(QStringView text, QChar decimalPoint)
{
    std::string ascii;
    ascii.reserve(text.size());
    for (QChar c : text.trimmed()) {
        if (c == decimalPoint)
            ascii += '.';
        else if (c.unicode() < 128 && c != QLatin1Char('.'))
            ascii += char(c.unicode());
        else
            throw Error(Error::Code::TypeMismatch, text.toString());
    }
    if (ascii.empty())
        throw Error(Error::Code::TypeMismatch, text.toString());
    if (ascii.front() == '+')
        ascii.erase(0, 1);
    return fromAscii(ascii);
}

std::int32_t parseInt32(QStringView text)
{
    return toInt32(parseLocaleNumber(text, QLatin1Char('.')));
}

} // namespace platform::numbers
