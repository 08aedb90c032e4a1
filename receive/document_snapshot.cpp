#include "receive/document_snapshot.h"

#include "receive/hex_format.h"

#include <algorithm>

std::shared_ptr<const DocumentSnapshot> DocumentSnapshot::of(const DisplayDocument &doc)
{
    auto s = std::make_shared<DocumentSnapshot>();
    s->m_pieces = doc.m_pieces;
    s->m_starts = doc.m_starts;
    s->m_size = doc.m_size;
    auto take = [&s](int kind, const auto &store, qint64 unitBytes) {
        s->m_sealed[size_t(kind)] = store.sealed;
        if (!store.open.isNull())
            s->m_open[size_t(kind)] =
                QByteArray(store.open.constData(), qsizetype(store.used * unitBytes));
        SpillStore::keepOutOfDumps(s->m_open[size_t(kind)]);
    };
    take(int(Kind::Text), doc.m_text, 2);
    take(int(Kind::Latin1), doc.m_latin, 1);
    take(int(Kind::Hex), doc.m_hex, 1);
    s->m_pages = doc.m_spill->pages();
    return s;
}

std::size_t DocumentSnapshot::pieceAt(qint64 pos) const
{
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), pos);
    return std::size_t(std::max<std::ptrdiff_t>(it - m_starts.begin() - 1, 0));
}

DocumentSnapshot::Reader::View DocumentSnapshot::Reader::piece(std::size_t i)
{
    const Piece &p = m_s.m_pieces[i];
    const auto kind = size_t(p.kind);
    const qint64 unit = p.kind == Kind::Text ? 2 : 1;
    const std::vector<SpillStore::Id> &sealed = m_s.m_sealed[kind];
    if (p.block >= sealed.size())
        return {p.kind, m_s.m_open[kind].constData() + p.offset * unit, p.units, false};
    auto &kept = m_cache[kind];
    Cached *c = kept[0].block == p.block ? &kept[0] : kept[1].block == p.block ? &kept[1] : nullptr;
    if (!c) {
        c = kept[0].used <= kept[1].used ? &kept[0] : &kept[1]; // the one used longer ago
        c->block = p.block;
        c->bytes = m_s.m_pages.read(sealed[p.block], c->buffer, &c->damaged);
    }
    c->used = ++m_reads;
    return {p.kind, c->bytes.constData() + p.offset * unit, p.units, c->damaged};
}

QString DocumentSnapshot::Reader::text(qint64 from, qint64 to)
{
    QString out;
    from = std::max<qint64>(from, 0);
    to = std::min(to, m_s.m_size);
    if (from >= to)
        return out;
    out.reserve(qsizetype(to - from));
    for (std::size_t i = m_s.pieceAt(from); i < m_s.m_pieces.size() && m_s.m_starts[i] < to; ++i) {
        const qint64 start = m_s.m_starts[i];
        const qint64 a = std::max(from, start) - start, b = std::min(to, m_s.pieceEnd(i)) - start;
        const View v = piece(i);
        if (v.damaged) {
            out.append(QString(qsizetype(b - a), QChar(DisplayDocument::kGapMark)));
        } else if (v.kind == Kind::Text) {
            out.append(QStringView(static_cast<const char16_t *>(v.data) + a, qsizetype(b - a)));
        } else if (v.kind == Kind::Latin1) {
            out.append(QLatin1StringView(static_cast<const char *>(v.data) + a, qsizetype(b - a)));
        } else {
            const qint64 firstByte = a / 3, lastByte = (b - 1) / 3;
            char16_t shown[3 * 64];
            for (qint64 byte = firstByte; byte <= lastByte; byte += 64) {
                const qint64 n = std::min<qint64>(64, lastByte - byte + 1);
                hexPairsInto(QByteArrayView(static_cast<const char *>(v.data) + byte, n), shown);
                const qint64 lo = std::max(a, byte * 3) - byte * 3;
                const qint64 hi = std::min(b, (byte + n) * 3) - byte * 3;
                out.append(QStringView(shown + lo, qsizetype(hi - lo)));
            }
        }
    }
    return out;
}
