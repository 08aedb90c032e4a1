#include "receive/text_search.h"

#include <algorithm>
#include <cstring>
#include <emmintrin.h>

namespace
{

qint64 floorDiv(qint64 a, qint64 b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

constexpr char16_t kDigits[] = u"0123456789ABCDEF";

// The lanes of one 16-byte load, as SSE2 compares them.
template <typename T> struct Lanes;
template <> struct Lanes<uchar> {
    static constexpr int kCount = 16;
    static __m128i splat(char16_t c) { return _mm_set1_epi8(char(c)); }
    static __m128i equal(__m128i a, __m128i b) { return _mm_cmpeq_epi8(a, b); }
    static unsigned bits(__m128i m) { return unsigned(_mm_movemask_epi8(m)); }
    static constexpr int kBitsPerLane = 1;
};
template <> struct Lanes<char16_t> {
    static constexpr int kCount = 8;
    static __m128i splat(char16_t c) { return _mm_set1_epi16(short(c)); }
    static __m128i equal(__m128i a, __m128i b) { return _mm_cmpeq_epi16(a, b); }
    static unsigned bits(__m128i m) { return unsigned(_mm_movemask_epi8(m)) & 0x5555u; }
    static constexpr int kBitsPerLane = 2;
};

} // namespace

TextNeedle::TextNeedle(const QString &text, bool matchCase) : m_text(text), m_matchCase(matchCase)
{
    m_folded.reserve(size_t(text.size()));
    for (QChar c : text)
        m_folded.push_back(fold(c.unicode()));
    for (int b = 0; b < 256; ++b)
        m_fold8[size_t(b)] = fold(char16_t(b));
    if (text.isEmpty())
        return;
    m_first16 = variantsOf(0, 0xffff);
    m_last16 = variantsOf(text.size() - 1, 0xffff);
    m_first8 = variantsOf(0, 0xff);
    m_last8 = variantsOf(text.size() - 1, 0xff);
    for (qsizetype i = 0; i < text.size() && m_oneByte; ++i)
        m_oneByte = std::find(m_fold8.begin(), m_fold8.end(), m_folded[size_t(i)]) != m_fold8.end();

    const auto length = qint64(text.size());
    for (int phase = 0; phase < 3; ++phase) {
        HexPhase &ph = m_hex[size_t(phase)];
        const qint64 span = (phase + length + 2) / 3;
        ph.mask.assign(size_t(span), 0);
        ph.value.assign(size_t(span), 0);
        ph.possible = true;
        for (qint64 i = 0; i < length && ph.possible; ++i) {
            const qint64 q = phase + i;
            const auto k = size_t(q / 3);
            const qint64 slot = q % 3;
            if (slot == 2) {
                ph.possible = matches(u' ', i);
                continue;
            }
            int digit = -1;
            for (int v = 0; v < 16 && digit < 0; ++v)
                if (matches(kDigits[v], i))
                    digit = v;
            if (digit < 0) {
                ph.possible = false;
                continue;
            }
            ph.mask[k] |= slot == 0 ? 0xf0 : 0x0f;
            ph.value[k] |= uchar(slot == 0 ? digit << 4 : digit);
        }
        for (size_t k = 0; k < ph.mask.size() && ph.anchor < 0; ++k)
            if (ph.mask[k] == 0xff)
                ph.anchor = int(k);
    }
}

TextNeedle::Variants TextNeedle::variantsOf(qsizetype at, char16_t limit) const
{
    Variants v;
    auto add = [&v](char16_t u) {
        if (v.count >= 0 && v.count < int(v.units.size()))
            v.units[size_t(v.count++)] = u;
        else
            v.count = -1;
    };
    if (m_matchCase) {
        if (m_text[at].unicode() <= limit)
            add(m_text[at].unicode());
        return v;
    }
    for (quint32 u = 0; u <= limit; ++u)
        if (fold(char16_t(u)) == m_folded[size_t(at)])
            add(char16_t(u));
    return v;
}

bool TextNeedle::matchesRunOf(char16_t c) const
{
    return !isEmpty() &&
           std::all_of(m_folded.begin(), m_folded.end(), [&](char16_t f) { return f == fold(c); });
}

template <typename T> bool TextNeedle::equalAt(const T *s) const
{
    const size_t n = m_folded.size();
    for (size_t k = 0; k < n; ++k) {
        const char16_t c = sizeof(T) == 1 ? m_fold8[s[k]] : fold(char16_t(s[k]));
        if (c != m_folded[k])
            return false;
    }
    return true;
}

// Candidates in [from, to] are first picked sixteen bytes at a time by their
// first and last characters, then compared whole.
template <typename T>
qsizetype TextNeedle::find(const T *s, qsizetype n, qsizetype from, qsizetype to, bool down) const
{
    using L = Lanes<T>;
    const qsizetype last = length() - 1;
    to = std::min(to, n - length());
    from = std::max<qsizetype>(from, 0);
    if (isEmpty() || from > to)
        return -1;
    const Variants &first = sizeof(T) == 1 ? m_first8 : m_first16;
    const Variants &tail = sizeof(T) == 1 ? m_last8 : m_last16;
    if (first.count == 0 || tail.count == 0 || (sizeof(T) == 1 && !m_oneByte))
        return -1;
    const bool filter = first.count > 0 && tail.count > 0;
    __m128i f[4], t[4];
    for (int i = 0; filter && i < first.count; ++i)
        f[i] = L::splat(first.units[size_t(i)]);
    for (int i = 0; filter && i < tail.count; ++i)
        t[i] = L::splat(tail.units[size_t(i)]);
    auto candidates = [&](qsizetype at) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at + last));
        __m128i ea = L::equal(a, f[0]), eb = L::equal(b, t[0]);
        for (int i = 1; i < first.count; ++i)
            ea = _mm_or_si128(ea, L::equal(a, f[i]));
        for (int i = 1; i < tail.count; ++i)
            eb = _mm_or_si128(eb, L::equal(b, t[i]));
        return L::bits(_mm_and_si128(ea, eb));
    };
    constexpr int W = L::kCount;
    if (down) {
        qsizetype i = from;
        for (; filter && i + W - 1 <= to; i += W) {
            for (unsigned m = candidates(i); m; m &= m - 1) {
                const qsizetype at = i + __builtin_ctz(m) / L::kBitsPerLane;
                if (equalAt(s + at))
                    return at;
            }
        }
        for (; i <= to; ++i)
            if (equalAt(s + i))
                return i;
        return -1;
    }
    qsizetype i = to;
    for (; filter && i - W + 1 >= from; i -= W) {
        const qsizetype base = i - W + 1;
        for (unsigned m = candidates(base); m;) {
            const int bit = 31 - __builtin_clz(m);
            const qsizetype at = base + bit / L::kBitsPerLane;
            if (equalAt(s + at))
                return at;
            m &= ~(1u << bit);
        }
    }
    for (; i >= from; --i)
        if (equalAt(s + i))
            return i;
    return -1;
}

qsizetype TextNeedle::forward(const char16_t *s, qsizetype n, qsizetype from) const
{
    return find(s, n, from, n, true);
}

qsizetype TextNeedle::backward(const char16_t *s, qsizetype n, qsizetype lastStart) const
{
    return find(s, n, 0, lastStart, false);
}

qsizetype TextNeedle::forward(const uchar *s, qsizetype n, qsizetype from) const
{
    return find(s, n, from, n, true);
}

qsizetype TextNeedle::backward(const uchar *s, qsizetype n, qsizetype lastStart) const
{
    return find(s, n, 0, lastStart, false);
}

// The first (or last) byte j in [firstByte, lastByte] from which the phase's
// constraints hold.
qint64 TextNeedle::findHex(const HexPhase &ph, const uchar *b, qint64 firstByte, qint64 lastByte,
                           bool down) const
{
    const size_t span = ph.mask.size();
    auto holds = [&](qint64 j) {
        for (size_t k = 0; k < span; ++k)
            if ((b[j + qint64(k)] & ph.mask[k]) != ph.value[k])
                return false;
        return true;
    };
    if (ph.anchor < 0) {
        if (down) {
            for (qint64 j = firstByte; j <= lastByte; ++j)
                if (holds(j))
                    return j;
        } else {
            for (qint64 j = lastByte; j >= firstByte; --j)
                if (holds(j))
                    return j;
        }
        return -1;
    }
    const int a = ph.anchor;
    const uchar v = ph.value[size_t(a)];
    while (firstByte <= lastByte) {
        const size_t n = size_t(lastByte - firstByte + 1);
        const void *hit =
            down ? std::memchr(b + firstByte + a, v, n) : memrchr(b + firstByte + a, v, n);
        if (!hit)
            return -1;
        const qint64 j = static_cast<const uchar *>(hit) - b - a;
        if (holds(j))
            return j;
        if (down)
            firstByte = j + 1;
        else
            lastByte = j - 1;
    }
    return -1;
}

qint64 TextNeedle::forwardHex(const uchar *bytes, qint64 nBytes, qint64 from) const
{
    qint64 best = -1;
    for (int p = 0; p < 3 && !isEmpty(); ++p) {
        const HexPhase &ph = m_hex[size_t(p)];
        if (!ph.possible)
            continue;
        const qint64 first = std::max<qint64>(0, floorDiv(from - p + 2, 3));
        qint64 last = nBytes - qint64(ph.mask.size());
        if (best >= 0)
            last =
                std::min(last, floorDiv(best - p - 1, 3)); // only a match before the best one helps
        const qint64 j = first <= last ? findHex(ph, bytes, first, last, true) : -1;
        if (j >= 0)
            best = best < 0 ? 3 * j + p : std::min(best, 3 * j + p);
    }
    return best;
}

qint64 TextNeedle::backwardHex(const uchar *bytes, qint64 nBytes, qint64 lastStart) const
{
    qint64 best = -1;
    for (int p = 0; p < 3 && !isEmpty(); ++p) {
        const HexPhase &ph = m_hex[size_t(p)];
        if (!ph.possible)
            continue;
        const qint64 last = std::min(nBytes - qint64(ph.mask.size()), floorDiv(lastStart - p, 3));
        qint64 first = 0;
        if (best >= 0)
            first = std::max<qint64>(0, floorDiv(best - p, 3) + 1);
        const qint64 j = first <= last ? findHex(ph, bytes, first, last, false) : -1;
        if (j >= 0)
            best = std::max(best, 3 * j + p);
    }
    return best;
}
