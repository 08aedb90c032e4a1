#pragma once

#include <QStringView>
#include <cstdint>
#include <optional>

// The numbers people type into the port and period boxes are read the way the
// classic BASIC Val() reads them: the number the text begins with, 0 when it
// begins with none.
namespace numeric
{

struct Scan {
    double value = 0.0;
    bool hasDigits = false; // at least one digit was part of the number
    qsizetype end = 0;      // index just past the last character taken
};

// Reads the number at the start of text. With skipBlanks, spaces, tabs, CR and
// LF are passed over wherever they stand (so "1 2" reads as 12); without it only
// leading ones are. Accepts a sign, a decimal fraction, an exponent (E or D) and
// the prefixes &H (hexadecimal) and &O (octal). Stops at the first character
// that cannot continue the number.
Scan scan(QStringView text, bool skipBlanks);

// The numeric value of a text: the number it begins with, 0 when none.
double value(QStringView text);

// Rounds to the nearest whole number, halves to the even neighbour.
double roundHalfEven(double x);

// The whole text (blanks around it allowed) as a number; nothing when any other
// character stands in it or it holds no digit.
std::optional<double> wholeNumber(QStringView text);

// wholeNumber, rounded half to even, within [lo, hi].
std::optional<std::int64_t> wholeInteger(QStringView text, std::int64_t lo, std::int64_t hi);

// A number written plainly: no exponent, no leading zeros or plus sign, a decimal
// point only when there is a fraction (8 -> "8", 1.5 -> "1.5"), at the precision
// of a single-precision value.
QString plainDecimal(double x);

} // namespace numeric
