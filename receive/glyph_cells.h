#pragma once

#include <QImage>
#include <QRawFont>
#include <QRect>
#include <QRgb>
#include <climits>
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

    // Draws glyphs [from, to) of a row whose top is top, glyph i with its
    // origin at x + edges[i], in fg on bg; glyph 0 shows nothing. Colors are
    // opaque. The surface shows bg between the pixel columns bgFrom and bgTo
    // (it may show another background beyond them). Runs of one row are drawn
    // from left to right; inkEnd carries where the ink drawn so far ends from
    // one run to the next (start a row with kNoInk).
    void drawRun(const Surface &s, const quint32 *glyphs, const qreal *edges, int from, int to,
                 qreal x, int top, QRgb fg, QRgb bg, int bgFrom, int bgTo, int &inkEnd);
    static constexpr int kNoInk = INT_MIN;

    // Called as each paint begins. Cells the last paint did not use go once
    // more than kMaxCells are held, so a paint finds every cell the one before
    // it used, however many a full screen of varied Chinese needs; past
    // kHardLimit all go (a bound for callers that never begin a paint).
    void beginPaint();

    // Cells held, and how many were ever made (tests and the bound look at them).
    std::size_t size() const { return m_cells.size(); }
    std::size_t made() const { return m_made; }
    static constexpr std::size_t kMaxCells = 4096;
    static constexpr std::size_t kHardLimit = 4 * kMaxCells;

private:
    struct Cell {
        // The pixels of the glyph's ink box, row after row, width a multiple of
        // four; mask is all ones where a pixel has ink.
        std::vector<quint32> pixels, mask;
        int width = 0, height = 0; // 0 for a glyph without ink (a space)
        int left = 0;              // relative to the glyph's whole-pixel origin
        int top = 0;               // relative to the row's top
        int inkRight = 0;          // one past the last column with ink, relative to left
        quint32 paint = 0;         // the last paint that used it
    };
    int slotFor(QRgb fg, QRgb bg, QImage::Format format);
    const Cell &cell(quint32 glyph, int phase, int slot);
    Cell &make(quint32 glyph, int phase, int slot);

    QRawFont m_font;
    int m_rowHeight;
    qreal m_ascent;
    // The color pairs cells are held for, [slot]{fg, bg}: text, sent text and
    // highlighted text on their backgrounds.
    static constexpr int kSlots = 3;
    QRgb m_colors[kSlots][2] = {};
    int m_usedSlots = 0;
    QImage::Format m_format = QImage::Format_Invalid;
    std::unordered_map<quint64, Cell> m_cells; // by glyph, phase and color pair
    // The cells of the first glyphs (the font's Latin letters, digits and signs)
    // without a hash look-up.
    static constexpr quint32 kQuickGlyphs = 1024;
    static int quickIndex(quint32 glyph, int phase, int slot)
    {
        return (int(glyph) * 4 + phase) * kSlots + slot;
    }
    static quint64 key(quint32 glyph, int phase, int slot)
    {
        return quint64(glyph) << 8 | quint64(phase) << 2 | quint64(slot);
    }
    std::vector<Cell *> m_quick;
    quint32 m_paint = 0;
    std::size_t m_made = 0;
    void forget();
};
