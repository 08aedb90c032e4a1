#pragma once

#include <QString>
#include <QtGlobal>
#include <array>
#include <vector>

// A text to find in what the receive box shows, in each of the three forms the
// box holds it: UTF-16 text, text of one byte per character, and received
// bytes shown as hex pairs ("0F "). Without matching case, characters compare
// by their Unicode simple case folding, one unit at a time, as Qt compares.
//
// Positions and lengths are in shown characters. Forward finds the first match
// starting at or after from; backward the last match starting at or before
// lastStart. Both answer -1 when there is none.
class TextNeedle
{
public:
    TextNeedle() = default;
    TextNeedle(const QString &text, bool matchCase);

    qsizetype length() const { return m_text.size(); }
    bool isEmpty() const { return m_text.isEmpty(); }
    const QString &text() const { return m_text; }

    qsizetype forward(const char16_t *s, qsizetype n, qsizetype from) const;
    qsizetype backward(const char16_t *s, qsizetype n, qsizetype lastStart) const;
    qsizetype forward(const uchar *s, qsizetype n, qsizetype from) const;
    qsizetype backward(const uchar *s, qsizetype n, qsizetype lastStart) const;
    // In nBytes bytes shown as 3 * nBytes characters of hex pairs.
    qint64 forwardHex(const uchar *bytes, qint64 nBytes, qint64 from) const;
    qint64 backwardHex(const uchar *bytes, qint64 nBytes, qint64 lastStart) const;

    // Whether a run of n characters all c (a gap in the history) holds a match.
    bool matchesRunOf(char16_t c) const;
    bool matches(char16_t shown, qsizetype at) const { return fold(shown) == m_folded[size_t(at)]; }

private:
    char16_t fold(char16_t c) const
    {
        return m_matchCase ? c : char16_t(QChar::toCaseFolded(char32_t(c)));
    }
    // The units that compare equal to the needle's character at, up to four;
    // more (never seen in Unicode's simple folding) leave the filter out.
    struct Variants {
        std::array<char16_t, 4> units{};
        int count = 0; // -1: too many for the vector filter
    };
    Variants variantsOf(qsizetype at, char16_t limit) const;
    template <typename T>
    qsizetype find(const T *s, qsizetype n, qsizetype from, qsizetype to, bool down) const;
    template <typename T> bool equalAt(const T *s) const;

    // One way the needle can lie on hex pairs: its first character at phase 0
    // (a high digit), 1 (a low digit) or 2 (the space). Each byte it covers must
    // satisfy (byte & mask) == value.
    struct HexPhase {
        bool possible = false;
        std::vector<uchar> mask, value;
        int anchor = -1; // a byte fixed whole, looked for with memchr
    };
    qint64 findHex(const HexPhase &ph, const uchar *b, qint64 firstByte, qint64 lastByte,
                   bool down) const;

    QString m_text;
    bool m_matchCase = true;
    std::vector<char16_t> m_folded;
    Variants m_first16, m_last16, m_first8, m_last8;
    bool m_oneByte = true;               // some byte can match every character
    std::array<char16_t, 256> m_fold8{}; // a byte's folding (matchCase: itself)
    std::array<HexPhase, 3> m_hex;
};
