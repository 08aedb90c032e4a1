#pragma once

#include "script/match_stream.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// What a script waits for in what it receives: a text (found in the received
// bytes decoded as code page 936), bytes with wildcards, or a regular
// expression over the decoded text.
struct Pattern {
    enum class Kind { Text, Bytes, Regex };
    Kind kind = Kind::Text;
    QString text;
    QByteArray bytes;
    QByteArray mask; // for Bytes: 0 where any byte matches
    QRegularExpression regex;
    // For Text: its bytes in code page 936, when they decode to it again, so
    // that it is found among the bytes (where it begins a character).
    QByteArray encoded;

    static Pattern fromText(const QString &text);
    // "01 03 ?? 14": pairs of hexadecimal digits or ??, spaces between them
    // optional. Nothing, and why, for anything else or no byte at all.
    static std::optional<Pattern> fromHex(QStringView hex, QString *why);
    static std::optional<Pattern> fromRegex(const QString &regex, QString *why);
};

// Where one of the patterns was found.
struct PatternMatch {
    int index = 0;        // from 0, in the order given
    qint64 byteEnd = 0;   // the stream position after its last byte
    QByteArray bytes;     // the bytes matched (for text, the bytes of its characters)
    QString text;         // the text matched (for bytes, their decoding)
    QStringList captures; // a regular expression's groups (a group that took no part: null)
};

// A search for the first of several patterns in a MatchStream, from a byte
// position on, that looks only at what arrived since it last looked: a match
// that spans two arrivals is found, and the cost of each look is that of
// the new bytes, not of all that waits. Of several matches, the one that ends
// first wins (as if the bytes had come one by one), and of those ending
// together the first pattern given.
class PatternSearch
{
public:
    PatternSearch(std::vector<Pattern> patterns, qint64 from);
    std::optional<PatternMatch> find(const MatchStream &stream);
    // Searches again from at (after a match, the match's end).
    void restartAt(qint64 at);
    qint64 from() const { return m_from; }
    const std::vector<Pattern> &patterns() const { return m_patterns; }

private:
    struct Found {
        qint64 byteEnd;
        qint64 start, end; // characters (text, regex) or bytes (bytes)
        QRegularExpressionMatch regex = {};
    };
    std::optional<Found> look(size_t i, const MatchStream &stream);
    // The texts found among the bytes, all in one scan: the one that ends first.
    std::optional<Found> lookTexts(const MatchStream &stream, size_t *which);
    PatternMatch matchOf(size_t i, const Found &f, const MatchStream &stream) const;

    std::vector<Pattern> m_patterns;
    std::vector<qint64> m_next; // where each pattern's next look begins
    qint64 m_from;
    // The texts found among the bytes: by their first byte, and where their
    // common scan goes on.
    std::vector<std::vector<int>> m_byFirst;
    bool m_first[256] = {};
    bool m_texts = false;
    qsizetype m_longest = 0;
    qint64 m_textNext = -1;
};
