#include "receive/display_document.h"

#include "receive/hex_format.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr qint64 kTextBlock = qint64(1) << 20; // chars
constexpr qint64 kHexBlock = qint64(1) << 20;  // bytes
template <typename T>
constexpr qint64 blockUnits()
{
    return sizeof(T) == 1 ? kHexBlock : kTextBlock;
}
} // namespace

DisplayDocument::DisplayDocument() = default;
DisplayDocument::~DisplayDocument() = default;

template <typename T>
void DisplayDocument::append(Kind kind, Store<T> &store, const T *data, qint64 n)
{
    constexpr qint64 cap = blockUnits<T>();
    while (n > 0) {
        if (store.blocks.empty() || store.used == cap) {
            store.blocks.push_back(std::make_unique_for_overwrite<T[]>(cap));
            store.used = 0;
        }
        const qint64 take = std::min(n, cap - store.used);
        const quint32 block = quint32(store.blocks.size() - 1);
        std::memcpy(store.blocks.back().get() + store.used, data, size_t(take) * sizeof(T));
        // Grow the last piece when it ends exactly where this run begins.
        Piece *last = m_pieces.empty() ? nullptr : &m_pieces.back();
        if (last && last->kind == kind && last->block == block &&
            last->offset + last->units == store.used) {
            last->units += take;
        } else {
            m_starts.push_back(m_size);
            m_pieces.push_back({kind, block, store.used, take});
        }
        store.used += take;
        m_size += kind == Kind::Hex ? take * 3 : take;
        data += take;
        n -= take;
    }
}

void DisplayDocument::appendText(QStringView text)
{
    append(Kind::Text, m_text, reinterpret_cast<const char16_t *>(text.utf16()), text.size());
}

void DisplayDocument::appendHex(QByteArrayView bytes)
{
    append(Kind::Hex, m_hex, bytes.data(), bytes.size());
}

void DisplayDocument::clear()
{
    m_text = {};
    m_hex = {};
    m_pieces.clear();
    m_starts.clear();
    m_size = 0;
}

std::size_t DisplayDocument::pieceAt(qint64 pos, qint64 *start) const
{
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), pos);
    const std::size_t i = std::size_t(it - m_starts.begin()) - 1;
    *start = m_starts[i];
    return i;
}

void DisplayDocument::rebuildStarts(std::size_t from)
{
    m_starts.resize(m_pieces.size());
    qint64 pos = from == 0 ? 0 : m_starts[from - 1] + m_pieces[from - 1].chars();
    for (std::size_t i = from; i < m_pieces.size(); ++i) {
        m_starts[i] = pos;
        pos += m_pieces[i].chars();
    }
    m_size = pos;
}

std::size_t DisplayDocument::splitAt(qint64 pos)
{
    if (pos >= m_size)
        return m_pieces.size();
    qint64 start;
    std::size_t i = pieceAt(pos, &start);
    if (pos == start)
        return i;
    Piece p = m_pieces[i];
    const qint64 into = pos - start;
    if (p.kind == Kind::Hex && into % 3 != 0) {
        // The cut falls inside one byte's "0F ": that byte becomes plain text.
        const qint64 byte = into / 3;
        char16_t shown[3];
        hexPairsInto(QByteArrayView(m_hex.blocks[p.block].get() + p.offset + byte, 1), shown);
        const qint64 textOffset = m_text.used;
        const bool newBlock = m_text.blocks.empty() || m_text.used + 3 > kTextBlock;
        if (newBlock) {
            m_text.blocks.push_back(std::make_unique_for_overwrite<char16_t[]>(kTextBlock));
            m_text.used = 0;
        }
        const qint64 off = newBlock ? 0 : textOffset;
        std::memcpy(m_text.blocks.back().get() + off, shown, sizeof shown);
        m_text.used = off + 3;
        const Piece before{Kind::Hex, p.block, p.offset, byte};
        const Piece asText{Kind::Text, quint32(m_text.blocks.size() - 1), off, 3};
        const Piece after{Kind::Hex, p.block, p.offset + byte + 1, p.units - byte - 1};
        std::vector<Piece> repl;
        if (before.units > 0)
            repl.push_back(before);
        repl.push_back(asText);
        if (after.units > 0)
            repl.push_back(after);
        m_pieces.erase(m_pieces.begin() + qsizetype(i));
        m_pieces.insert(m_pieces.begin() + qsizetype(i), repl.begin(), repl.end());
        rebuildStarts(i);
        return splitAt(pos);
    }
    const qint64 units = p.kind == Kind::Hex ? into / 3 : into;
    Piece head = p, tail = p;
    head.units = units;
    tail.offset += units;
    tail.units -= units;
    m_pieces[i] = head;
    m_pieces.insert(m_pieces.begin() + qsizetype(i) + 1, tail);
    rebuildStarts(i);
    return i + 1;
}

void DisplayDocument::replace(qint64 from, qint64 to, QStringView text)
{
    from = std::clamp<qint64>(from, 0, m_size);
    to = std::clamp<qint64>(to, from, m_size);
    if (from == m_size) {
        appendText(text);
        return;
    }
    const std::size_t first = splitAt(from);
    const std::size_t last = splitAt(to); // pieces [first, last) are removed
    m_pieces.erase(m_pieces.begin() + qsizetype(first), m_pieces.begin() + qsizetype(last));
    // The new text goes into the text store; its pieces are put where the old ones were.
    std::vector<Piece> tail(m_pieces.begin() + qsizetype(first), m_pieces.end());
    m_pieces.resize(first);
    rebuildStarts(first);
    appendText(text);
    const std::size_t resume = m_pieces.size();
    m_pieces.insert(m_pieces.end(), tail.begin(), tail.end());
    rebuildStarts(resume == 0 ? 0 : resume - 1);
}

void DisplayDocument::scan(qint64 from, qint64 to,
                           const std::function<bool(const char16_t *, qsizetype)> &f) const
{
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_size);
    if (from >= to)
        return;
    qint64 start;
    std::size_t i = pieceAt(from, &start);
    qint64 pos = from;
    char16_t buf[3 * 1024];
    for (; i < m_pieces.size() && pos < to; ++i) {
        const Piece &p = m_pieces[i];
        start = m_starts[i];
        const qint64 end = std::min(to, start + p.chars());
        if (p.kind == Kind::Text) {
            const char16_t *base = m_text.blocks[p.block].get() + p.offset;
            if (!f(base + (pos - start), qsizetype(end - pos)))
                return;
            pos = end;
            continue;
        }
        const char *bytes = m_hex.blocks[p.block].get() + p.offset;
        while (pos < end) {
            const qint64 into = pos - start;
            const qint64 byte = into / 3;
            const qint64 lastByte = (end - start - 1) / 3;
            const qint64 n = std::min<qint64>(lastByte - byte + 1, 1024);
            hexPairsInto(QByteArrayView(bytes + byte, n), buf);
            const qint64 runStart = into - byte * 3;
            const qint64 runEnd = std::min<qint64>(n * 3, end - start - byte * 3);
            if (!f(buf + runStart, qsizetype(runEnd - runStart)))
                return;
            pos += runEnd - runStart;
        }
    }
}

QString DisplayDocument::text(qint64 from, qint64 to) const
{
    QString out;
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_size);
    if (from >= to)
        return out;
    out.reserve(qsizetype(to - from));
    scan(from, to, [&out](const char16_t *c, qsizetype n) {
        out.append(QStringView(c, n));
        return true;
    });
    return out;
}

char16_t DisplayDocument::at(qint64 pos) const
{
    char16_t c = 0;
    scan(pos, pos + 1, [&c](const char16_t *s, qsizetype) {
        c = *s;
        return false;
    });
    return c;
}

qint64 DisplayDocument::memoryBytes() const
{
    return qint64(m_text.blocks.size()) * kTextBlock * 2 + qint64(m_hex.blocks.size()) * kHexBlock +
           qint64(m_pieces.capacity() * (sizeof(Piece) + sizeof(qint64)));
}
