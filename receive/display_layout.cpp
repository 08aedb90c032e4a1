#include "receive/display_layout.h"

#include "receive/display_document.h"
#include "receive/disposer.h"

#include <algorithm>
#include <utility>
#include <vector>

DisplayLayout::DisplayLayout(std::function<int(char16_t)> measure)
    : m_measure(std::move(measure)), m_cache(std::make_unique<qint16[]>(65536))
{
    std::fill_n(m_cache.get(), 65536, qint16(-1));
    m_rows.push_back(0);
}

template <typename OnRow>
bool DisplayLayout::feed(Wrap &w, int width, const char16_t *c, qsizetype n, qint64 &pos,
                         OnRow &&onRow)
{
    for (qsizetype i = 0; i < n; ++i, ++pos) {
        const char16_t ch = c[i];
        if (ch == u'\n') {
            w = Wrap{pos + 1};
            if (!onRow(pos + 1)) {
                ++pos;
                return false;
            }
            continue;
        }
        const int adv = advance(ch);
        if (ch == u' ') {
            // Spaces hang past the row's end, but a run of them ends a row
            // after kMaxRowChars.
            if (pos - w.rowStart >= kMaxRowChars) {
                w = Wrap{pos};
                if (!onRow(pos))
                    return false;
            }
        } else if (w.rowWidth + adv > width && pos > w.rowStart &&
                   !(ch >= 0xDC00 && ch <= 0xDFFF)) {
            // (A low surrogate never starts a row.)
            if (w.lastBreak > w.rowStart && w.lastBreak < pos) {
                // The word that did not fit moves down whole...
                const int carried = w.rowWidth - w.widthAtBreak;
                w = Wrap{w.lastBreak, -1, carried, 0};
                if (!onRow(w.rowStart))
                    return false;
            }
            // ...and is itself cut, as it would be laid out from its own row's start,
            // when it is still too wide.
            if (w.rowWidth + adv > width && pos > w.rowStart) {
                w = Wrap{pos};
                if (!onRow(pos))
                    return false;
            }
        }
        w.rowWidth += adv;
        if (ch == u' ') {
            w.lastBreak = pos + 1;
            w.widthAtBreak = w.rowWidth;
        }
    }
    return true;
}

void DisplayLayout::appended(const DisplayDocument &doc, qint64 from)
{
    qint64 pos = from;
    doc.scan(from, doc.size(), [&](const char16_t *c, qsizetype n) {
        return feed(c, n, pos, [this](qint64 start) {
            m_rows.push_back(start);
            return true;
        });
    });
}

void DisplayLayout::measurePairs()
{
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    m_pairWidth = std::make_unique<int[]>(256);
    for (int b = 0; b < 256; ++b)
        m_pairWidth[b] = advance(digits[b >> 4]) + advance(digits[b & 15]);
}

void DisplayLayout::appendedHex(qint64 from, QByteArrayView bytes)
{
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    if (!m_pairWidth)
        measurePairs();
    const int space = advance(u' ');
    auto push = [this](qint64 start) {
        m_rows.push_back(start);
        return true;
    };
    qint64 pos = from;
    Wrap &w = m_wrap;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const int pair = m_pairWidth[b];
        if (w.rowWidth + pair <= m_width) {
            // Both digits fit: the common case, without looking at them one by one.
            w.rowWidth += pair + space;
            pos += 3;
            w.lastBreak = pos;
            w.widthAtBreak = w.rowWidth;
            continue;
        }
        const char16_t chars[3] = {digits[b >> 4], digits[b & 15], u' '};
        feed(chars, 3, pos, push);
    }
}

void DisplayLayout::relayoutFrom(const DisplayDocument &doc, qint64 row)
{
    m_rows.truncate(std::size_t(row) + 1);
    m_wrap = Wrap{m_rows.back()};
    appended(doc, m_rows.back());
}

void DisplayLayout::reset(const DisplayDocument &doc)
{
    if (m_next) {
        m_width = m_next->width;
        m_next.reset();
    }
    m_rows.clear();
    m_rows.push_back(0);
    relayoutFrom(doc, 0);
}

void DisplayLayout::relayout(const DisplayDocument &doc, int width)
{
    m_next.reset();
    if (doc.size() <= m_quickRelayout) {
        m_width = width;
        reset(doc);
        return;
    }
    m_next = std::make_unique<Next>();
    m_next->rows.push_back(0);
    m_next->width = width;
}

bool DisplayLayout::relayoutStep(const DisplayDocument &doc, qint64 chars)
{
    if (!m_next)
        return false;
    Next &n = *m_next;
    doc.scan(n.pos, std::min(doc.size(), n.pos + std::max<qint64>(chars, 1)),
             [&](const char16_t *c, qsizetype k) {
                 return feed(n.wrap, n.width, c, k, n.pos, [&n](qint64 start) {
                     n.rows.push_back(start);
                     return true;
                 });
             });
    if (n.pos < doc.size())
        return false;
    // Letting go of a long index empties its temporary file, which keeps the
    // file system busy for a while (160 ms for 2 GB of hex): that is done aside.
    Disposer::instance().dispose(std::exchange(m_rows, std::move(n.rows)));
    m_wrap = n.wrap;
    m_width = n.width;
    m_next.reset();
    return true;
}

void DisplayLayout::setWidth(const DisplayDocument &doc, int width)
{
    width = std::max(width, 1);
    if (width == (m_next ? m_next->width : m_width))
        return;
    relayout(doc, width);
}

void DisplayLayout::remeasure(const DisplayDocument &doc, std::function<int(char16_t)> measure)
{
    m_measure = std::move(measure);
    std::fill_n(m_cache.get(), 65536, qint16(-1));
    m_pairWidth.reset();
    relayout(doc, m_next ? m_next->width : m_width);
}

void DisplayLayout::edited(const DisplayDocument &doc, qint64 from, qint64 removed, qint64 inserted)
{
    if (m_next && from < m_next->pos) {
        // The rows being laid out step by step go back to just before the edit.
        Next &n = *m_next;
        std::size_t row = n.rows.lastNotAbove(from);
        if (row > 0)
            --row;
        n.rows.truncate(row + 1);
        n.wrap = Wrap{n.rows.back()};
        n.pos = n.rows.back();
    }
    const qint64 delta = inserted - removed;
    // The row before the edit may take more of its line once the edit is made.
    qint64 row = rowOf(from);
    if (row > 0)
        --row;
    // Rows that started after the edit, in old positions, read back as needed;
    // the layout meets them again (shifted by delta) once the wrap past the
    // edit falls into step.
    const RowIndex::Kept kept = m_rows.keep();
    struct {
        const RowIndex &rows;
        const RowIndex::Kept &kept;
        std::size_t first;
        std::size_t size() const { return kept.size - first; }
        qint64 operator[](std::size_t k) const { return rows.at(kept, first + k); }
    } old{m_rows, kept, std::size_t(row) + 1};
    m_rows.truncate(std::size_t(row) + 1);
    m_wrap = Wrap{m_rows.back()};

    const qint64 editEnd = from + inserted;
    std::size_t j = 0;
    bool synced = false;
    std::size_t laidOut = 0;
    qint64 pos = m_rows.back();
    doc.scan(pos, doc.size(), [&](const char16_t *c, qsizetype n) {
        return feed(c, n, pos, [&](qint64 start) {
            m_rows.push_back(start);
            if (start <= editEnd)
                return true;
            while (j < old.size() && old[j] + delta < start)
                ++j;
            if (j < old.size() && old[j] + delta == start) {
                synced = true;
                return false;
            }
            // In one endless line (hex without line breaks) a pair moved to the
            // next row moves one in every row after it, and the rows would never
            // meet the old ones again: after m_relayoutRows rows the row ends
            // early where the next old row starts. What it holds is the end of
            // an old row, so it fits; the rows after it are the old ones, and
            // the edit costs the same however long the history is.
            if (++laidOut >= m_relayoutRows && j < old.size()) {
                m_rows.push_back(old[j] + delta);
                synced = true;
                return false;
            }
            return true;
        });
    });
    if (!synced)
        return;
    m_rows.appendKept(kept, std::size_t(row) + 1 + j + 1, delta);
    // Recover the wrap state of the last row by feeding it once more.
    m_wrap = Wrap{m_rows.back()};
    qint64 p = m_rows.back();
    doc.scan(p, doc.size(), [&](const char16_t *c, qsizetype n) {
        return feed(c, n, p, [](qint64) { return true; });
    });
}
