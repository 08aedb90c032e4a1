#pragma once

#include "serial/codepage936.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QRegularExpression>
#include <QString>
#include <vector>

namespace plot
{
// One number found in a line, and whose it is: a label's (T=23.5, U:3.30V),
// or the place it has among the line's plain numbers (1, 2, 3 …).
struct Reading {
    QString label; // the series' name; for plain numbers "1", "2" …
    double value = 0;
};

// Reads the numbers in one received line, with no setup:
// - label=value and label:value pairs, separated by spaces, commas,
//   semicolons or tabs, units after the number ignored (RH=41%);
// - else a line of plain numbers with those separators: series 1, 2, 3 …;
// - or, with a pattern given, what its captures hold (a capture named
//   "label" names the series of the capture "value", or of the other one).
// Numbers are read as C reads them (point, exponent); nan, inf and fields
// that are no number are skipped. Lines are code page 936 text; a line
// longer than kMaxLine is not read.
class NumberReader
{
public:
    static constexpr qsizetype kMaxLine = 4096;

    NumberReader() = default;
    NumberReader(const NumberReader &other) { *this = other; }
    NumberReader &operator=(const NumberReader &other)
    {
        m_hasPattern = other.m_hasPattern;
        m_regex = other.m_regex;
        m_labelGroup = other.m_labelGroup;
        m_valueGroup = other.m_valueGroup;
        return *this; // the decoder and the names keep nothing a line needs
    }

    // An empty pattern reads lines without one. False, with why, for a
    // pattern that is not valid (the reader is left as it was).
    bool setPattern(const QString &pattern, QString *why);
    QString pattern() const { return m_regex.pattern(); }

    // Appends what line (without its line end) holds to out.
    void read(QByteArrayView line, std::vector<Reading> &out) const;

    // The number at the start of text as C reads it, and how many bytes it
    // took; false for none, nan or inf.
    static bool number(QByteArrayView text, double *value, qsizetype *used);

private:
    void readPattern(QByteArrayView line, std::vector<Reading> &out) const;
    QString text(QByteArrayView bytes) const;
    // A label's name: the same few come line after line, so they are made once.
    const QString &label(QByteArrayView bytes) const;
    const QString &place(std::size_t k) const; // "1", "2" … for plain numbers
    mutable cp936::StreamDecoder m_decoder;
    mutable std::vector<std::pair<QByteArray, QString>> m_labels;
    mutable std::vector<QString> m_places;
    mutable std::vector<double> m_plain; // a line's plain numbers, kept for the next
    bool m_hasPattern = false;
    QRegularExpression m_regex;
    int m_labelGroup = -1;
    int m_valueGroup = -1;
};
} // namespace plot
