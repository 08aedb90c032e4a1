#pragma once

#include "receive/row_index.h"

#include <QByteArrayView>
#include <QtGlobal>
#include <functional>
#include <memory>

class DisplayDocument;

// Where the rows of the receive box begin. Lines end at "\n" and wrap at the
// box's width, after the last space that fits or, in a run without spaces,
// anywhere; spaces at a row's end may hang past it, up to kMaxRowChars
// characters in the row. The measure gives characters drawn as nothing (CR,
// NUL and other control characters) a width of their own, so that they wrap
// like any others. Rows after a line break do
// not depend on anything before it, and rows are found by feeding characters
// once, so appending costs only the new characters, whatever is held already.
class DisplayLayout
{
public:
    // measure gives a character's advance in pixels; results are cached.
    explicit DisplayLayout(std::function<int(char16_t)> measure);

    // The width rows wrap at; changing it lays everything out again.
    void setWidth(const DisplayDocument &doc, int width);
    int width() const { return m_width; }
    // Forgets the measured advances (the font changed) and lays out again.
    void remeasure(const DisplayDocument &doc, std::function<int(char16_t)> measure);

    // With more than kQuickRelayout characters held, a width or font change is
    // laid out step by step (relayoutStep) while the rows laid out before stay
    // in use, so the window never waits for a whole long history; the new rows
    // take over once they reach the end. Appends and edits meanwhile go to both.
    static constexpr qint64 kQuickRelayout = qint64(1) << 23;
    void setQuickRelayout(qint64 chars) { m_quickRelayout = chars; } // tests use a few
    bool relayoutPending() const { return m_next != nullptr; }
    // Lays out about chars more characters; true when the new rows took over.
    bool relayoutStep(const DisplayDocument &doc, qint64 chars);

    // The document grew at its end from position from.
    void appended(const DisplayDocument &doc, qint64 from);
    // The same, for bytes appended as hexadecimal pairs: laid out from the bytes
    // themselves, without making their text.
    void appendedHex(qint64 from, QByteArrayView bytes);
    // Characters [from, from + removed) were replaced by inserted ones. The rows
    // after the edit are laid out again until they meet the old ones, or for
    // kRelayoutRows rows at most, after which one row may end early.
    void edited(const DisplayDocument &doc, qint64 from, qint64 removed, qint64 inserted);
    static constexpr std::size_t kRelayoutRows = 16384;
    // Far more than a row of visible characters holds; only a run of hanging
    // spaces reaches it.
    static constexpr qint64 kMaxRowChars = 1024;
    void setRelayoutRows(std::size_t rows) { m_relayoutRows = rows; } // tests use a few
    // The document was emptied or replaced whole.
    void reset(const DisplayDocument &doc);

    qint64 rowCount() const { return qint64(m_rows.size()); }
    qint64 rowStart(qint64 row) const { return m_rows[std::size_t(row)]; }
    // One past the row's last character (its line break included).
    qint64 rowEnd(qint64 row, qint64 docSize) const
    {
        return row + 1 < rowCount() ? rowStart(row + 1) : docSize;
    }
    qint64 rowOf(qint64 pos) const { return qint64(m_rows.lastNotAbove(pos)); }

    int advance(char16_t c)
    {
        int w = m_cache[c];
        if (w < 0)
            w = m_cache[c] = qint16(m_measure(c));
        return w;
    }

    qint64 memoryBytes() const
    {
        return m_rows.memoryBytes() + (m_next ? m_next->rows.memoryBytes() : 0);
    }
    qint64 fileBytes() const
    {
        return m_rows.fileBytes() + (m_next ? m_next->rows.fileBytes() : 0);
    }
    int damagedPages() const
    {
        return m_rows.damagedPages() + (m_next ? m_next->rows.damagedPages() : 0);
    }

private:
    struct Wrap {
        qint64 rowStart = 0;
        qint64 lastBreak = -1; // position just after the last space in the row
        int rowWidth = 0;
        int widthAtBreak = 0;
    };
    // Feeds chars at pos.. into the row w, wrapping at width; calls onRow for
    // each row that starts, stops when it returns false.
    template <typename OnRow>
    bool feed(Wrap &w, int width, const char16_t *c, qsizetype n, qint64 &pos, OnRow &&onRow);
    template <typename OnRow> bool feed(const char16_t *c, qsizetype n, qint64 &pos, OnRow &&onRow)
    {
        return feed(m_wrap, m_width, c, n, pos, std::forward<OnRow>(onRow));
    }
    void relayoutFrom(const DisplayDocument &doc, qint64 row);
    // Starts laying everything out again at width, at once or step by step.
    void relayout(const DisplayDocument &doc, int width);

    // The rows being laid out step by step, and how far they have come.
    struct Next {
        RowIndex rows;
        Wrap wrap;
        int width = 1;
        qint64 pos = 0;
    };
    std::unique_ptr<Next> m_next;
    qint64 m_quickRelayout = kQuickRelayout;

    void measurePairs();

    std::function<int(char16_t)> m_measure;
    std::unique_ptr<int[]> m_pairWidth; // width of each byte's two digits, once measured
    std::unique_ptr<qint16[]> m_cache;
    int m_width = 1;
    RowIndex m_rows;
    Wrap m_wrap;
    std::size_t m_relayoutRows = kRelayoutRows;
};
