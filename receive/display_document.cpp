#include "receive/display_document.h"

#include "receive/hex_format.h"

#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
constexpr qint64 kTextBlock = qint64(1) << 20; // chars
constexpr qint64 kByteBlock = qint64(1) << 20; // bytes (hex and one-byte text)
// Blocks kept in memory besides the open ones: enough for a screenful and its
// neighbourhood, and for a scan to stream through.
constexpr int kCachedBlocks = 24;
template <typename T> constexpr qint64 blockUnits()
{
    return sizeof(T) == 1 ? kByteBlock : kTextBlock;
}

// A new block's pages are mapped in one call rather than by a fault each as
// the data reaches them, which is several times dearer per page.
void prefault(QByteArray &block)
{
#ifdef MADV_POPULATE_WRITE
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr from = (quintptr(block.data()) + page - 1) / page * page;
    const quintptr to = (quintptr(block.data()) + quintptr(block.size())) / page * page;
    if (to > from)
        ::madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE); // a hint only
#else
    (void)block;
#endif
}

bool oneByte(QStringView text)
{
    for (QChar c : text)
        if (c.unicode() > 0xff)
            return false;
    return true;
}
} // namespace

DisplayDocument::DisplayDocument() : m_spill(std::make_unique<SpillStore>(kCachedBlocks)) {}
DisplayDocument::~DisplayDocument() = default;

template <typename T> void DisplayDocument::makeRoom(Store<T> &store, qint64 need)
{
    constexpr qint64 cap = blockUnits<T>();
    if (!store.open.isNull() && store.used + need <= cap)
        return;
    if (!store.open.isNull()) {
        // The block goes to the store as it is; the new one is made in memory
        // a page let go of, when there is one.
        store.open.resize(qsizetype(store.used * qint64(sizeof(T))));
        store.sealed.push_back(m_spill->put(std::move(store.open)));
        store.open = m_spill->takeSpare();
    }
    const qsizetype had = store.open.capacity();
    store.open.resize(qsizetype(cap * qint64(sizeof(T))));
    if (store.open.capacity() > had) {
        prefault(store.open);
        SpillStore::keepOutOfDumps(store.open);
    }
    store.used = 0;
}

template <typename T>
const T *DisplayDocument::blockData(const Store<T> &store, quint32 block, bool *damaged) const
{
    if (damaged)
        *damaged = false;
    if (block < store.sealed.size())
        return reinterpret_cast<const T *>(m_spill->get(store.sealed[block], damaged).constData());
    return reinterpret_cast<const T *>(store.open.constData());
}

template <typename T>
void DisplayDocument::append(Kind kind, Store<T> &store, const T *data, qint64 n, bool sent)
{
    constexpr qint64 cap = blockUnits<T>();
    while (n > 0) {
        makeRoom(store, 1);
        const qint64 take = std::min(n, cap - store.used);
        const quint32 block = store.openIndex();
        std::memcpy(store.data() + store.used, data, size_t(take) * sizeof(T));
        // Grow the last piece when it ends exactly where this run begins.
        Piece *last = m_pieces.empty() ? nullptr : &m_pieces.back();
        if (last && last->kind == kind && last->sent == sent && last->block == block &&
            last->offset + last->units == store.used) {
            last->units += take;
        } else {
            m_starts.push_back(m_size);
            m_pieces.push_back({kind, block, store.used, take, sent});
        }
        store.used += take;
        m_size += kind == Kind::Hex ? take * 3 : take;
        data += take;
        n -= take;
    }
}

void DisplayDocument::appendText(QStringView text, bool sent)
{
    if (!oneByte(text)) {
        append(Kind::Text, m_text, reinterpret_cast<const char16_t *>(text.utf16()), text.size(),
               sent);
        return;
    }
    char buf[4096];
    while (!text.isEmpty()) {
        const qsizetype n = std::min<qsizetype>(text.size(), sizeof buf);
        for (qsizetype i = 0; i < n; ++i)
            buf[i] = char(text[i].unicode());
        append(Kind::Latin1, m_latin, buf, n, sent);
        text = text.sliced(n);
    }
}

void DisplayDocument::appendHex(QByteArrayView bytes)
{
    append(Kind::Hex, m_hex, bytes.data(), bytes.size());
}

void DisplayDocument::clear()
{
    const bool wasLarge = m_spill->pageCount() > 0;
    m_text = {};
    m_latin = {};
    m_hex = {};
    m_spill->clear();
    m_pieces.clear();
    m_pieces.shrink_to_fit();
    m_starts.clear();
    m_starts.shrink_to_fit();
    m_size = 0;
#ifdef __GLIBC__
    if (wasLarge)
        malloc_trim(0); // the memory a long history held goes back to the system
#endif
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
        hexPairsInto(QByteArrayView(blockData(m_hex, p.block) + p.offset + byte, 1), shown);
        char one[3] = {char(shown[0]), char(shown[1]), char(shown[2])};
        makeRoom(m_latin, 3);
        const qint64 off = m_latin.used;
        std::memcpy(m_latin.data() + off, one, sizeof one);
        m_latin.used = off + 3;
        const Piece before{Kind::Hex, p.block, p.offset, byte, p.sent};
        const Piece asText{Kind::Latin1, m_latin.openIndex(), off, 3, p.sent};
        const Piece after{Kind::Hex, p.block, p.offset + byte + 1, p.units - byte - 1, p.sent};
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
        // One look at the block per piece: its data, and whether it came back whole.
        bool damaged = false;
        const char16_t *text = nullptr;
        const char *bytes = nullptr;
        if (p.kind == Kind::Text)
            text = blockData(m_text, p.block, &damaged) + p.offset;
        else
            bytes = blockData(p.kind == Kind::Hex ? m_hex : m_latin, p.block, &damaged) + p.offset;
        if (damaged) {
            std::fill_n(buf, std::size(buf), kGapMark);
            while (pos < end) {
                const qint64 n = std::min<qint64>(end - pos, qint64(std::size(buf)));
                if (!f(buf, qsizetype(n)))
                    return;
                pos += n;
            }
            continue;
        }
        if (p.kind == Kind::Text) {
            if (!f(text + (pos - start), qsizetype(end - pos)))
                return;
            pos = end;
            continue;
        }
        if (p.kind == Kind::Latin1) {
            while (pos < end) {
                const qint64 n = std::min<qint64>(end - pos, 3 * 1024);
                const char *from = bytes + (pos - start);
                for (qint64 k = 0; k < n; ++k)
                    buf[k] = char16_t(static_cast<unsigned char>(from[k]));
                if (!f(buf, qsizetype(n)))
                    return;
                pos += n;
            }
            continue;
        }
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

std::vector<std::pair<qint64, qint64>> DisplayDocument::sentRuns(qint64 from, qint64 to) const
{
    std::vector<std::pair<qint64, qint64>> runs;
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_size);
    if (from >= to)
        return runs;
    qint64 start;
    for (std::size_t i = pieceAt(from, &start); i < m_pieces.size() && m_starts[i] < to; ++i) {
        if (!m_pieces[i].sent)
            continue;
        const qint64 a = std::max(from, m_starts[i]);
        const qint64 b = std::min(to, m_starts[i] + m_pieces[i].chars());
        if (!runs.empty() && runs.back().second == a)
            runs.back().second = b;
        else
            runs.emplace_back(a, b);
    }
    return runs;
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
    return m_text.open.capacity() + m_latin.open.capacity() + m_hex.open.capacity() +
           m_spill->memoryBytes() + qint64(m_pieces.capacity() * (sizeof(Piece) + sizeof(qint64)));
}
