#include "script/patterns.h"

#include <algorithm>
#include <cstring>

Pattern Pattern::fromText(const QString &text)
{
    Pattern p;
    p.kind = Kind::Text;
    p.text = text;
    const QByteArray bytes = cp936::encode(text);
    cp936::StreamDecoder d;
    if (!text.isEmpty() && d.decode(bytes) == text)
        p.encoded = bytes;
    return p;
}

std::optional<Pattern> Pattern::fromHex(QStringView hex, QString *why)
{
    Pattern p;
    p.kind = Kind::Bytes;
    const auto digit = [](QChar c) {
        const char16_t v = c.unicode();
        if (v >= '0' && v <= '9')
            return v - '0';
        if (v >= 'a' && v <= 'f')
            return v - 'a' + 10;
        if (v >= 'A' && v <= 'F')
            return v - 'A' + 10;
        return -1;
    };
    qsizetype i = 0;
    const qsizetype n = hex.size();
    while (i < n) {
        if (hex[i] == u' ') {
            ++i;
            continue;
        }
        if (i + 1 >= n) {
            *why = QStringLiteral("十六进制模式“%1”的最后一位不成对").arg(hex);
            return std::nullopt;
        }
        if (hex[i] == u'?' && hex[i + 1] == u'?') {
            p.bytes += '\0';
            p.mask += '\0';
        } else if (digit(hex[i]) >= 0 && digit(hex[i + 1]) >= 0) {
            p.bytes += char(digit(hex[i]) * 16 + digit(hex[i + 1]));
            p.mask += '\xff';
        } else {
            *why = QStringLiteral("十六进制模式“%1”在第 %2 个字符处不是十六进制数字或 ??")
                       .arg(hex)
                       .arg(i + 1);
            return std::nullopt;
        }
        i += 2;
    }
    if (p.bytes.isEmpty()) {
        *why = QStringLiteral("十六进制模式是空的");
        return std::nullopt;
    }
    return p;
}

std::optional<Pattern> Pattern::fromRegex(const QString &regex, QString *why)
{
    Pattern p;
    p.kind = Kind::Regex;
    p.regex = QRegularExpression(regex);
    if (!p.regex.isValid()) {
        *why = QStringLiteral("正则表达式“%1”有误（第 %2 个字符）：%3")
                   .arg(regex)
                   .arg(p.regex.patternErrorOffset() + 1)
                   .arg(p.regex.errorString());
        return std::nullopt;
    }
    p.regex.optimize();
    return p;
}

PatternSearch::PatternSearch(std::vector<Pattern> patterns, qint64 from)
    : m_patterns(std::move(patterns)), m_from(from), m_byFirst(256)
{
    for (size_t i = 0; i < m_patterns.size(); ++i) {
        const Pattern &p = m_patterns[i];
        if (p.kind != Pattern::Kind::Text || p.encoded.isEmpty())
            continue;
        m_byFirst[quint8(p.encoded[0])].push_back(int(i));
        m_first[quint8(p.encoded[0])] = true;
        m_texts = true;
        m_longest = std::max(m_longest, p.encoded.size());
    }
    restartAt(from);
}

void PatternSearch::restartAt(qint64 at)
{
    m_from = at;
    m_next.assign(m_patterns.size(), -1); // -1: from m_from, in the pattern's own units
    m_textNext = -1;
}

std::optional<PatternSearch::Found> PatternSearch::lookTexts(const MatchStream &stream,
                                                             size_t *which)
{
    if (m_textNext < 0)
        m_textNext = m_from;
    m_textNext = std::max(m_textNext, stream.begin());
    const QByteArrayView hay = stream.bytes(m_textNext);
    const auto *h = reinterpret_cast<const quint8 *>(hay.data());
    const qsizetype n = hay.size();
    std::optional<Found> best;
    // A later start can still end first (a shorter text), up to the best end so far.
    for (qsizetype at = 0; at < n && (!best || m_textNext + at < best->byteEnd); ++at) {
        while (at < n && !m_first[h[at]])
            ++at; // the usual case: no text begins here
        if (at == n)
            break;
        for (int i : m_byFirst[h[at]]) {
            const QByteArray &e = m_patterns[size_t(i)].encoded;
            if (at + e.size() > n || (e.size() > 1 && h[at + 1] != quint8(e[1])) ||
                std::memcmp(h + at, e.constData(), size_t(e.size())) != 0)
                continue;
            const qint64 start = m_textNext + at, end = start + e.size();
            if (best && (end > best->byteEnd || (end == best->byteEnd && size_t(i) > *which)))
                continue;
            if (stream.byteOf(stream.charAt(start)) != start)
                continue; // inside a character
            best = Found{end, start, end};
            *which = size_t(i);
        }
    }
    if (!best)
        m_textNext = std::max(m_textNext, stream.end() - m_longest + 1);
    return best;
}

namespace
{
// The first place bytes with mask occur in hay, or -1.
qsizetype findBytes(QByteArrayView hay, const QByteArray &bytes, const QByteArray &mask)
{
    const qsizetype n = bytes.size();
    // Anchored on the first byte that must match (a pattern of wildcards alone
    // matches at once).
    qsizetype anchor = 0;
    while (anchor < n && mask[anchor] == '\0')
        ++anchor;
    const char *h = hay.data();
    const qsizetype last = hay.size() - n;
    if (anchor == n)
        return last >= 0 ? 0 : -1;
    const char a = bytes[anchor];
    for (qsizetype at = 0; at <= last;) {
        const void *hit = std::memchr(h + at + anchor, a, size_t(last - at + 1));
        if (!hit)
            return -1;
        at = static_cast<const char *>(hit) - h - anchor;
        bool all = true;
        for (qsizetype k = 0; k < n && all; ++k)
            all = (h[at + k] & mask[k]) == (bytes[k] & mask[k]);
        if (all)
            return at;
        ++at;
    }
    return -1;
}
} // namespace

std::optional<PatternSearch::Found> PatternSearch::look(size_t i, const MatchStream &stream)
{
    const Pattern &p = m_patterns[i];
    qint64 &next = m_next[i];
    switch (p.kind) {
    case Pattern::Kind::Bytes: {
        if (next < 0)
            next = m_from;
        next = std::max(next, stream.begin());
        const QByteArrayView hay = stream.bytes(next);
        const qsizetype at = findBytes(hay, p.bytes, p.mask);
        if (at < 0) {
            next = std::max(next, stream.end() - p.bytes.size() + 1);
            return std::nullopt;
        }
        const qint64 start = next + at;
        return Found{start + p.bytes.size(), start, start + p.bytes.size()};
    }
    case Pattern::Kind::Text: {
        if (!p.encoded.isEmpty())
            return std::nullopt; // among the bytes, with the others (lookTexts)
        if (next < 0)
            next = stream.charAt(m_from);
        next = std::max(next, stream.charBegin());
        if (p.text.isEmpty()) // nothing to wait for: found where the search stands
            return Found{stream.byteOf(next), next, next};
        const QStringView hay = stream.text(next);
        const qsizetype at = hay.indexOf(p.text);
        if (at < 0) {
            next = std::max(next, stream.charEnd() - p.text.size() + 1);
            return std::nullopt;
        }
        const qint64 start = next + at, end = start + p.text.size();
        return Found{stream.byteOf(end), start, end};
    }
    case Pattern::Kind::Regex: {
        if (next < 0)
            next = stream.charAt(m_from);
        next = std::max(next, stream.charBegin());
        // The text since the search began is the subject (so ^ is where it
        // began), looked at from where a match may still begin.
        const qint64 origin = std::max(stream.charAt(m_from), stream.charBegin());
        const QStringView subject = stream.text(origin);
        const QRegularExpressionMatch m = p.regex.match(
            subject, qsizetype(next - origin), QRegularExpression::PartialPreferCompleteMatch,
            // the decoder makes no lone surrogates: nothing to check
            QRegularExpression::DontCheckSubjectStringMatchOption);
        if (m.hasMatch()) {
            const qint64 start = origin + m.capturedStart(0), end = origin + m.capturedEnd(0);
            return Found{stream.byteOf(end), start, end, m};
        }
        // A match can only begin where a partial one did, or after the end.
        next = m.hasPartialMatch() ? origin + m.capturedStart(0) : stream.charEnd();
        return std::nullopt;
    }
    }
    return std::nullopt;
}

PatternMatch PatternSearch::matchOf(size_t i, const Found &f, const MatchStream &stream) const
{
    const Pattern &p = m_patterns[i];
    PatternMatch m;
    m.index = int(i);
    m.byteEnd = f.byteEnd;
    if (p.kind == Pattern::Kind::Text && !p.encoded.isEmpty()) {
        m.bytes = p.encoded;
        m.text = p.text;
        return m;
    }
    if (p.kind == Pattern::Kind::Bytes) {
        m.bytes = stream.bytes(f.start).first(qsizetype(f.end - f.start)).toByteArray();
        cp936::StreamDecoder d;
        m.text = d.decode(m.bytes);
        return m;
    }
    const qint64 from = stream.byteOf(f.start);
    m.bytes = stream.bytes(from).first(qsizetype(f.byteEnd - from)).toByteArray();
    m.text = stream.text(f.start).first(qsizetype(f.end - f.start)).toString();
    for (int g = 1; g <= f.regex.lastCapturedIndex(); ++g)
        m.captures << (f.regex.capturedStart(g) < 0 ? QString() : f.regex.captured(g));
    for (qsizetype g = m.captures.size(); g < p.regex.captureCount(); ++g)
        m.captures << QString();
    return m;
}

std::optional<PatternMatch> PatternSearch::find(const MatchStream &stream)
{
    std::optional<Found> best;
    size_t which = 0;
    if (m_texts)
        best = lookTexts(stream, &which);
    for (size_t i = 0; i < m_patterns.size(); ++i) {
        const std::optional<Found> f = look(i, stream);
        if (f &&
            (!best || f->byteEnd < best->byteEnd || (f->byteEnd == best->byteEnd && i < which))) {
            best = f;
            which = i;
        }
    }
    if (!best)
        return std::nullopt;
    return matchOf(which, *best, stream);
}
