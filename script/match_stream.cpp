#include "script/match_stream.h"

#include <algorithm>

MatchStream::MatchStream() = default;

void MatchStream::append(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 at = end();
    m_bytes.append(bytes);
    if (m_startCount + bytes.size() + 1 > m_startRoom) {
        const qsizetype room =
            std::max<qsizetype>(2 * m_startRoom, m_startCount + bytes.size() + 1);
        auto grown = std::make_unique_for_overwrite<quint32[]>(size_t(room));
        std::copy_n(m_starts.get(), m_startCount, grown.get());
        m_starts = std::move(grown);
        m_startRoom = room;
    }
    m_startCount += m_decoder.decode(bytes, at, m_text, m_starts.get() + m_startCount);
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
    m_startCount = 0;
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
    const quint32 *first = m_starts.get();
    const quint32 *it =
        std::lower_bound(first, first + m_startCount, want,
                         [base](quint32 s, quint32 w) { return quint32(s - base) < w; });
    return m_charBase + qint64(it - first);
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
    const qsizetype gone = qsizetype(c - m_charBase);
    std::copy(m_starts.get() + gone, m_starts.get() + m_startCount, m_starts.get());
    m_startCount -= gone;
    m_byteBase = from;
    m_charBase = c;
}
