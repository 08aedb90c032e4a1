#pragma once

#include "receive/glyph_cells.h"

#include <QBrush>
#include <QFont>
#include <QGlyphRun>
#include <QRawFont>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QPainter;

// One row of the receive box drawn from the font's glyphs placed at the
// advances the rows were wrapped with: no shaping, so a row of streaming data
// costs a table look-up per character. Rows with a character the font lacks (or
// one outside the basic plane) are left to QTextLayout by the caller.
class GlyphRow
{
public:
    // x of each character boundary, in pixels from the row's start (size n + 1).
    const std::vector<qreal> &edges() const { return m_edges; }
    struct Colors {
        QColor base; // what the painter shows under the row already
        QBrush highlight;
        QColor text, highlightedText;
        QColor sent; // characters that stand for something sent
    };
    // Stretches [from, to) of the row drawn in the sent color, in order.
    using Runs = std::vector<std::pair<int, int>>;
    // Draws characters [0, n) at origin (the row's top left); those in
    // [selFrom, selTo) on the highlight, height pixels high, the others in
    // sent's runs in the sent color. With cells and a surface (and opaque
    // colors) the glyphs are copied from the cells.
    void draw(QPainter &p, QPointF origin, qreal height, int selFrom, int selTo,
              const Colors &colors, GlyphCells *cells = nullptr,
              const GlyphCells::Surface *surface = nullptr, const Runs &sent = {}) const;
    // The character boundary nearest to x.
    int positionAt(qreal x) const;

private:
    friend class GlyphRows;
    QRawFont m_font;
    qreal m_ascent = 0;
    std::vector<quint32> m_glyphs; // per character; 0 for one that shows nothing
    std::vector<qreal> m_edges;
};

class GlyphRows
{
public:
    // advance gives a character's advance in 1/64 pixel, as the rows were wrapped.
    GlyphRows(const QFont &font, std::function<int(char16_t)> advance);

    // The row for text as shown (see the display's character mapping), or nothing
    // when the font cannot draw it this way.
    std::optional<GlyphRow> row(QStringView text);

private:
    QRawFont m_font;
    qreal m_ascent;
    std::function<int(char16_t)> m_advance;
    std::unique_ptr<quint32[]> m_glyph;   // per character: glyph + 1, 0 unknown, kNone lacking
    std::unique_ptr<qint32[]> m_advances; // per character, -1 until measured
    static constexpr quint32 kNone = 0xffffffffu;
};
