#include "script/match_stream.h"

#include <algorithm>

MatchStream::MatchStream() = default;

void MatchStream::append(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 at = end();
    m_bytes.append(bytes);
    m_decoder.decode(bytes, at, m_text, m_starts);
    if (m_bytes.size() > kMaxKept)
        drop(end() - kKeep);
}

void MatchStream::restart()
{
    m_decoder.reset();
}

void MatchStream::skip(qint64 n)
{
    if (n <= 0)
        return;
    m_decoder.reset();
    m_byteBase = end() + n;
    m_bytes.clear();
    m_charBase = charEnd();
    m_text.clear();
    m_starts.clear();
}

QByteArrayView MatchStream::bytes(qint64 from) const
{
    from = std::clamp(from, begin(), end());
    return QByteArrayView(m_bytes).sliced(qsizetype(from - m_byteBase));
}

QStringView MatchStream::text(qint64 from) const
{
    from = std::clamp(from, charBegin(), charEnd());
    return QStringView(m_text).sliced(qsizetype(from - m_charBase));
}

qint64 MatchStream::byteOf(qint64 c) const
{
    if (c >= charEnd()) {
        const qint64 waiting = m_decoder.waiting();
        return waiting >= 0 ? waiting : end();
    }
    c = std::max(c, charBegin());
    const quint32 low = m_starts[size_t(c - m_charBase)];
    // Everything kept lies within 2^32 of the base: the low bits say where.
    return m_byteBase + qint64(quint32(low - quint32(m_byteBase)));
}

qint64 MatchStream::charAt(qint64 at) const
{
    if (at <= begin())
        return charBegin();
    // The starts rise with the characters: the first at or after at.
    const quint32 base = quint32(m_byteBase);
    const quint32 want = quint32(at - m_byteBase);
    const auto it =
        std::lower_bound(m_starts.begin(), m_starts.end(), want,
                         [base](quint32 s, quint32 w) { return quint32(s - base) < w; });
    return m_charBase + qint64(it - m_starts.begin());
}

void MatchStream::release(qint64 at)
{
    // Dropped in large steps, so that the copying costs little per byte.
    if (at - begin() >= std::max<qint64>(64 * 1024, m_bytes.size() / 2))
        drop(at);
}

void MatchStream::drop(qint64 at)
{
    at = std::min(at, end());
    const qint64 c = charAt(at);
    // Whole characters only: the bytes of the first one kept stay with it.
    const qint64 from = std::min(at, byteOf(c));
    m_bytes.remove(0, qsizetype(from - m_byteBase));
    m_text.remove(0, qsizetype(c - m_charBase));
    m_starts.erase(m_starts.begin(), m_starts.begin() + (c - m_charBase));
    m_byteBase = from;
    m_charBase = c;
}
