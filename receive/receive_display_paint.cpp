#include "receive/receive_display.h"
#include "receive/receive_display_parts.h"

#include <QPaintEvent>
#include <QPainter>

using namespace receive_box;

// The receive box's painting: rows laid out as they are seen, drawn from a
// cache of glyphs where the font allows it.

// ---- painting ------------------------------------------------------------------

void ReceiveDisplay::makeGlyphCells()
{
    const QRawFont raw = QRawFont::fromFont(font());
    m_glyphCells = std::make_unique<GlyphCells>(raw, lineHeight(), raw.ascent());
}

int ReceiveDisplay::CachedRow::length() const
{
    return glyphs ? int(glyphs->edges().size()) - 1 : layout->text().size();
}

ReceiveDisplay::CachedRow *ReceiveDisplay::cachedRow(qint64 row, qint64 *start)
{
    *start = m_layout.rowStart(row);
    const qint64 end = m_layout.rowEnd(row, m_doc.size());
    auto it = m_rowCache.find(*start);
    if (it != m_rowCache.end() && it->second.end == end) {
        it->second.paint = m_paints;
        return &it->second;
    }
    qint64 s;
    const QString text = rowText(row, &s);
    CachedRow made{end, m_glyphRows->row(text), nullptr, m_paints};
    if (!made.glyphs) {
        made.layout = std::make_unique<QTextLayout>();
        layoutRow(*made.layout, text);
    }
    return &m_rowCache.insert_or_assign(*start, std::move(made)).first->second;
}

void ReceiveDisplay::paintEvent(QPaintEvent *event)
{
    QPainter p(viewport());
    const QPalette &pal = palette();
    const qint64 top = firstVisibleRow();
    const QRect dirty = event->rect();
    const qint64 first = top + std::max(0, dirty.top() - kMargin) / lineHeight();
    const qint64 last = std::min({m_layout.rowCount(), top + visibleRows() + 1,
                                  top + (dirty.bottom() - kMargin) / lineHeight() + 1});
    const qint64 selFrom = selectionStart(), selTo = selectionEnd();
    const bool drawCaret = hasFocus() && m_caretOn;
    const qint64 cRow = caretRow();
    const QBrush &under = viewport()->palette().brush(viewport()->backgroundRole());
    p.fillRect(dirty, under);
    const GlyphRow::Colors colors{under.style() == Qt::SolidPattern ? under.color() : QColor(),
                                  pal.brush(QPalette::Highlight), pal.color(QPalette::Text),
                                  pal.color(QPalette::HighlightedText), sentColor()};
    // Glyphs are copied straight into the pixels when the painter allows it.
    const auto surface = GlyphCells::surface(p, dirty & viewport()->rect());
    if (surface)
        m_glyphCells->beginPaint();
    ++m_paints;
    for (qint64 row = first; row < last; ++row) {
        qint64 start;
        CachedRow *cached = cachedRow(row, &start);
        const QPointF at(kMargin, kMargin + (row - top) * lineHeight());
        GlyphRow::Runs sent;
        for (const auto &[a, b] : m_doc.sentRuns(start, start + cached->length()))
            sent.emplace_back(int(a - start), int(b - start));
        if (cached->glyphs) {
            const GlyphRow &g = *cached->glyphs;
            const int n = cached->length();
            g.draw(p, at, lineHeight(), int(std::clamp<qint64>(selFrom - start, 0, n)),
                   int(std::clamp<qint64>(selTo - start, 0, n)), colors, m_glyphCells.get(),
                   surface ? &*surface : nullptr, sent);
            if (drawCaret && row == cRow)
                p.fillRect(
                    QRectF(at.x() + g.edges()[size_t(std::clamp<qint64>(m_cursor - start, 0, n))],
                           at.y(), 1, lineHeight()),
                    pal.color(QPalette::Text));
            continue;
        }
        QTextLayout *layout = cached->layout.get();
        QList<QTextLayout::FormatRange> selections;
        for (const auto &[a, b] : sent) {
            QTextLayout::FormatRange r;
            r.start = a;
            r.length = b - a;
            r.format.setForeground(colors.sent);
            selections << r;
        }
        const qint64 end = start + layout->text().size();
        if (selTo > start && selFrom < end) {
            QTextLayout::FormatRange r;
            r.start = int(std::max(selFrom, start) - start);
            r.length = int(std::min(selTo, end) - start) - r.start;
            r.format.setBackground(pal.brush(QPalette::Highlight));
            r.format.setForeground(pal.brush(QPalette::HighlightedText));
            selections << r;
        }
        p.setPen(pal.color(QPalette::Text));
        layout->draw(&p, at, selections);
        if (drawCaret && row == cRow)
            layout->drawCursor(&p, at, int(m_cursor - start), 1);
    }
    // Rows stay cached from paint to paint (following new data moves them up
    // unchanged); when there are many, those this paint did not use go.
    if (m_rowCache.size() > size_t(visibleRows()) * 3 + 64)
        std::erase_if(m_rowCache,
                      [this](const auto &entry) { return entry.second.paint != m_paints; });
    noteDamage();
}

void ReceiveDisplay::noteDamage()
{
    const bool damaged = damagedPages() > 0;
    if (damaged && !m_damageReported)
        emit historyDamaged();
    m_damageReported = damaged;
}
