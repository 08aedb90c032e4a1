#pragma once

#include <QImage>
#include <QRawFont>
#include <QRect>
#include <QRgb>
#include <optional>
#include <unordered_map>
#include <vector>

class QPainter;

// Glyphs drawn by copying pixels: each glyph is drawn once by Qt, on the
// background it will stand on, into a small cell, and from then on it is put on
// the window's pixels directly. Streaming data draws thousands of characters a
// second, and this costs a fraction of what the paint engine's per-glyph work
// does. Where a cell has ink it replaces the background under it; where ink
// meets a neighbour's ink the two combine as drawing one over the other does.
// On an empty background the result is exactly what Qt draws.
class GlyphCells
{
public:
    // Pixels a painter paints on, in the coordinates of the painted widget.
    struct Surface {
        uchar *bits = nullptr;
        qsizetype bytesPerLine = 0;
        QImage::Format format = QImage::Format_Invalid;
        QPoint offset; // widget coordinates + offset = pixel coordinates
        QRect clip;    // in widget coordinates
    };
    // The surface p paints on, limited to clip, when its pixels can be written
    // directly: the raster engine on a 32-bit image at one pixel per unit, moved
    // but not scaled or turned, without a clip of its own. Otherwise nothing.
    static std::optional<Surface> surface(QPainter &p, const QRect &clip);

    GlyphCells(QRawFont font, int rowHeight, qreal ascent);

    // Draws glyph with its origin at x on the row whose top is top, in fg, on
    // bg (which the surface shows there already). Colors are opaque.
    void draw(const Surface &s, quint32 glyph, qreal x, int top, QRgb fg, QRgb bg);

    // Cells held (tests and the bound look at it).
    std::size_t size() const { return m_cells.size(); }
    static constexpr std::size_t kMaxCells = 4096;

private:
    struct Cell {
        QImage image; // the pixels with ink (none for a space)
        int left;     // its left edge relative to the glyph's whole-pixel origin
        int top;      // its top relative to the row's
    };
    const Cell &cell(quint32 glyph, int phase, QRgb fg, QRgb bg, QImage::Format format);

    QRawFont m_font;
    int m_rowHeight;
    qreal m_ascent;
    QRgb m_colors[2][2] = {}; // the color pairs cells are held for: [slot]{fg, bg}
    int m_usedSlots = 0;
    QImage::Format m_format = QImage::Format_Invalid;
    std::unordered_map<quint64, Cell> m_cells; // by glyph, phase and color pair
    // The cells of the first glyphs (the font's Latin letters, digits and signs)
    // without a hash look-up.
    static constexpr quint32 kQuickGlyphs = 1024;
    static int quickIndex(quint32 glyph, int phase, int slot) { return int(glyph) * 8 + phase * 2 + slot; }
    std::vector<const Cell *> m_quick;
    void forget();
};
