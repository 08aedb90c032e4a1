#include "receive/glyph_rows.h"

#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>

GlyphRows::GlyphRows(const QFont &font, std::function<int(char16_t)> advance)
    : m_font(QRawFont::fromFont(font)), m_ascent(m_font.ascent()), m_advance(std::move(advance)),
      m_glyph(std::make_unique<quint32[]>(65536)), m_advances(std::make_unique<qint32[]>(65536))
{
    std::fill_n(m_advances.get(), 65536, -1);
}

std::optional<GlyphRow> GlyphRows::row(QStringView text)
{
    if (!m_font.isValid())
        return std::nullopt;
    GlyphRow r;
    r.m_font = m_font;
    r.m_ascent = m_ascent;
    r.m_glyphs.resize(size_t(text.size()));
    r.m_edges.resize(size_t(text.size()) + 1);
    qint64 x = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c >= 0xD800 && c <= 0xDFFF)
            return std::nullopt;
        quint32 &g = m_glyph[c];
        if (g == 0) {
            quint32 index = 0;
            int n = 1;
            const QChar ch(c);
            if (c == 0x200B)
                g = 1; // shows nothing: glyph 0, never drawn
            else
                g = m_font.supportsCharacter(ch) &&
                            m_font.glyphIndexesForChars(&ch, 1, &index, &n) && index != 0
                        ? index + 1
                        : kNone;
        }
        if (g == kNone)
            return std::nullopt;
        r.m_glyphs[size_t(i)] = g - 1;
        r.m_edges[size_t(i)] = x / 64.0;
        qint32 &a = m_advances[c];
        if (a < 0)
            a = m_advance(c);
        x += a;
    }
    r.m_edges[size_t(text.size())] = x / 64.0;
    return r;
}

int GlyphRow::positionAt(qreal x) const
{
    const auto it = std::lower_bound(m_edges.begin(), m_edges.end(), x);
    if (it == m_edges.begin())
        return 0;
    if (it == m_edges.end())
        return int(m_edges.size()) - 1;
    const int i = int(it - m_edges.begin());
    return x - m_edges[size_t(i - 1)] < m_edges[size_t(i)] - x ? i - 1 : i;
}

void GlyphRow::draw(QPainter &p, QPointF origin, qreal height, int selFrom, int selTo,
                    const Colors &colors, GlyphCells *cells, const GlyphCells::Surface *surface,
                    const Runs &sent) const
{
    const int n = int(m_glyphs.size());
    selFrom = std::clamp(selFrom, 0, n);
    selTo = std::clamp(selTo, selFrom, n);
    if (selTo > selFrom)
        p.fillRect(QRectF(origin.x() + m_edges[size_t(selFrom)], origin.y(),
                          m_edges[size_t(selTo)] - m_edges[size_t(selFrom)], height),
                   colors.highlight);
    const bool opaque = colors.base.alpha() == 255 && colors.text.alpha() == 255 &&
                        (sent.empty() || colors.sent.alpha() == 255) &&
                        (selTo == selFrom || (colors.highlight.style() == Qt::SolidPattern &&
                                              colors.highlight.color().alpha() == 255 &&
                                              colors.highlightedText.alpha() == 255));
    const bool copy = cells && surface && opaque && origin.y() == std::floor(origin.y());
    int inkEnd = GlyphCells::kNoInk;
    auto drawRange = [&](int from, int to, const QColor &color, const QColor &under) {
        if (copy) {
            // The highlight covers its characters only; the box's own background
            // is everywhere else. Where they meet a pixel may show either.
            const bool own = under == colors.base;
            const int bgFrom = from > 0 || !own
                                   ? int(std::floor(origin.x() + m_edges[size_t(from)])) + 1
                                   : INT_MIN;
            const int bgTo =
                to < n || !own ? int(std::floor(origin.x() + m_edges[size_t(to)])) - 1 : INT_MAX;
            cells->drawRun(*surface, m_glyphs.data(), m_edges.data(), from, to, origin.x(),
                           int(origin.y()), color.rgba(), under.rgba(), bgFrom, bgTo, inkEnd);
            return;
        }
        QList<quint32> glyphs;
        QList<QPointF> positions;
        for (int i = from; i < to; ++i) {
            if (m_glyphs[size_t(i)] == 0)
                continue;
            glyphs << m_glyphs[size_t(i)];
            positions << QPointF(m_edges[size_t(i)], m_ascent);
        }
        if (glyphs.isEmpty())
            return;
        QGlyphRun run;
        run.setRawFont(m_font);
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions);
        p.setPen(color);
        p.drawGlyphRun(origin, run);
    };
    // Outside the selection, sent runs take their own color.
    auto drawPlain = [&](int from, int to) {
        for (const auto &[a, b] : sent) {
            const int s0 = std::clamp(a, from, to), s1 = std::clamp(b, from, to);
            if (s0 >= s1)
                continue;
            if (s0 > from)
                drawRange(from, s0, colors.text, colors.base);
            drawRange(s0, s1, colors.sent, colors.base);
            from = s1;
        }
        if (to > from)
            drawRange(from, to, colors.text, colors.base);
    };
    const QColor &marked = colors.highlight.color();
    drawPlain(0, selFrom);
    drawRange(selFrom, selTo, colors.highlightedText, marked);
    drawPlain(selTo, n);
}
