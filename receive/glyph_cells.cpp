#include "receive/glyph_cells.h"

#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <cmath>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace
{
bool writable(QImage::Format f)
{
    return f == QImage::Format_RGB32 || f == QImage::Format_ARGB32 ||
           f == QImage::Format_ARGB32_Premultiplied;
}
} // namespace

std::optional<GlyphCells::Surface> GlyphCells::surface(QPainter &p, const QRect &clip)
{
    QPaintEngine *engine = p.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || p.hasClipping() ||
        p.compositionMode() != QPainter::CompositionMode_SourceOver || p.opacity() != 1.0)
        return std::nullopt;
    QPaintDevice *device = engine->paintDevice();
    if (!device || device->devType() != QInternal::Image)
        return std::nullopt;
    const QImage *image = static_cast<const QImage *>(device);
    const QTransform t = p.deviceTransform();
    if (!writable(image->format()) || image->devicePixelRatio() != 1.0 ||
        t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) ||
        t.dy() != std::floor(t.dy()))
        return std::nullopt;
    Surface s;
    s.offset = QPoint(int(t.dx()), int(t.dy()));
    s.clip = clip & image->rect().translated(-s.offset);
    // The engine writes to these same pixels (it took them writable when it
    // began); taking them again through bits() could only make a copy.
    s.bits = const_cast<uchar *>(image->constBits());
    s.bytesPerLine = image->bytesPerLine();
    s.format = image->format();
    return s;
}

GlyphCells::GlyphCells(QRawFont font, int rowHeight, qreal ascent)
    : m_font(std::move(font)), m_rowHeight(rowHeight), m_ascent(ascent),
      m_quick(kQuickGlyphs * 4 * kSlots)
{
}

void GlyphCells::forget()
{
    m_cells.clear();
    std::fill(m_quick.begin(), m_quick.end(), nullptr);
}

int GlyphCells::slotFor(QRgb fg, QRgb bg, QImage::Format format)
{
    if (format != m_format || m_cells.size() >= kHardLimit) {
        forget();
        m_usedSlots = 0;
        m_format = format;
    }
    int slot = 0;
    while (slot < m_usedSlots && (m_colors[slot][0] != fg || m_colors[slot][1] != bg))
        ++slot;
    if (slot == m_usedSlots) {
        if (m_usedSlots == kSlots) { // one pair more: the palette changed
            forget();
            slot = m_usedSlots = 0;
        }
        m_colors[slot][0] = fg;
        m_colors[slot][1] = bg;
        ++m_usedSlots;
    }
    return slot;
}

void GlyphCells::beginPaint()
{
    ++m_paint;
    if (m_cells.size() <= kMaxCells)
        return;
    const quint32 last = m_paint - 1;
    std::erase_if(m_cells, [last](const auto &entry) { return entry.second.paint != last; });
    std::fill(m_quick.begin(), m_quick.end(), nullptr);
    for (auto &[k, c] : m_cells)
        if ((k >> 8) < kQuickGlyphs)
            m_quick[size_t(quickIndex(quint32(k >> 8), int(k >> 2 & 3), int(k & 3)))] = &c;
}

inline const GlyphCells::Cell &GlyphCells::cell(quint32 glyph, int phase, int slot)
{
    Cell *c = glyph < kQuickGlyphs ? m_quick[quickIndex(glyph, phase, slot)] : nullptr;
    if (!c) {
        const auto it = m_cells.find(key(glyph, phase, slot));
        c = it != m_cells.end() ? &it->second : &make(glyph, phase, slot);
    }
    c->paint = m_paint;
    return *c;
}

GlyphCells::Cell &GlyphCells::make(quint32 glyph, int phase, int slot)
{
    ++m_made;
    const QRgb fg = m_colors[slot][0], bg = m_colors[slot][1];
    // Drawn by Qt on the background, a pixel past the glyph's ink on both sides.
    const QRectF ink = m_font.boundingRect(glyph);
    const qreal at = phase / 4.0;
    const int left = int(std::floor(at + ink.left())) - 1;
    const int right = std::max(left + 1, int(std::ceil(at + ink.right())) + 1);
    QImage image(right - left, m_rowHeight, m_format);
    image.fill(bg);
    {
        QPainter q(&image);
        q.setPen(QColor::fromRgba(fg));
        QGlyphRun run;
        run.setRawFont(m_font);
        run.setGlyphIndexes({glyph});
        run.setPositions({QPointF(at - left, m_ascent)});
        q.drawGlyphRun(QPointF(0, 0), run);
    }
    // Only the pixels with ink are kept, in whole groups of four.
    QRect inked;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (line[x] != bg)
                inked |= QRect(x, y, 1, 1);
    }
    Cell c;
    if (!inked.isEmpty()) {
        c.width = (inked.width() + 3) / 4 * 4;
        c.height = inked.height();
        c.left = left + inked.left();
        c.top = inked.top();
        c.inkRight = inked.width();
        c.pixels.assign(size_t(c.width * c.height), bg);
        c.mask.assign(size_t(c.width * c.height), 0);
        for (int y = 0; y < c.height; ++y) {
            const auto *line =
                reinterpret_cast<const quint32 *>(image.constScanLine(inked.top() + y));
            for (int x = 0; x < inked.width(); ++x) {
                const quint32 p = line[inked.left() + x];
                c.pixels[size_t(y * c.width + x)] = p;
                c.mask[size_t(y * c.width + x)] = p != bg ? ~0u : 0u;
            }
        }
    }
    Cell &made = m_cells.emplace(key(glyph, phase, slot), std::move(c)).first->second;
    if (glyph < kQuickGlyphs)
        m_quick[quickIndex(glyph, phase, slot)] = &made;
    return made;
}

namespace
{
// Two glyphs' ink on one pixel, as drawing one over the other gives it: per
// channel, the share of the background each lets through multiplies.
quint32 overlap(quint32 d, quint32 s, quint32 fg, quint32 bg)
{
    quint32 out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int f = int((fg >> shift) & 0xff), b = int((bg >> shift) & 0xff);
        const int dc = int((d >> shift) & 0xff), sc = int((s >> shift) & 0xff);
        const int c = b == f ? sc : f + ((dc - f) * (sc - f) + (b - f) / 2) / (b - f);
        out |= quint32(std::clamp(c, 0, 255)) << shift;
    }
    return out;
}

// The cell's pixels, background and all.
inline void copyAll(quint32 *d, const quint32 *s, int from, int to)
{
    int i = from;
#ifdef __SSE2__
    for (; i + 4 <= to; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)));
#endif
    for (; i < to; ++i)
        d[i] = s[i];
}

// Ink where the cell has it; elsewhere what is there stays.
inline void copyInk(quint32 *d, const quint32 *s, const quint32 *m, int from, int to)
{
    int i = from;
#ifdef __SSE2__
    for (; i + 4 <= to; i += 4) {
        const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
        const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const __m128i mv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i),
                         _mm_or_si128(_mm_and_si128(mv, sv), _mm_andnot_si128(mv, dv)));
    }
#endif
    for (; i < to; ++i)
        d[i] = (s[i] & m[i]) | (d[i] & ~m[i]);
}
} // namespace

void GlyphCells::drawRun(const Surface &s, const quint32 *glyphs, const qreal *edges, int from,
                         int to, qreal x, int top, QRgb fg, QRgb bg, int bgFrom, int bgTo,
                         int &inkEnd)
{
    const int rowFrom = std::max(top, s.clip.top()),
              rowTo = std::min(top + m_rowHeight, s.clip.bottom() + 1);
    if (from >= to || rowFrom >= rowTo)
        return;
    const int slot = slotFor(fg, bg, s.format);
    const quint32 under = bg; // opaque: the same in every format taken
    const int clipLeft = s.clip.left(), clipRight = s.clip.right() + 1;
    for (int g = from; g < to; ++g) {
        if (glyphs[g] == 0)
            continue;
        // Qt places glyphs at quarter pixels, a position at 15/64 past a
        // quarter counting as the next one; drawn the same way, a cell
        // matches it exactly.
        const qint64 quarters = (qRound64((x + edges[g]) * 64) + 1) >> 4;
        const Cell &c = cell(glyphs[g], int(quarters & 3), slot);
        if (c.width == 0)
            continue;
        const int x0 = int(quarters >> 2) + c.left, y0 = top + c.top;
        const int cFrom = std::max(x0, clipLeft), cTo = std::min(x0 + c.width, clipRight);
        const int yFrom = std::max(y0, rowFrom), yTo = std::min(y0 + c.height, rowTo);
        // Under a cell past the ink drawn so far and within this run's own
        // background there is only that background: ink never meets ink.
        const bool clear = x0 >= inkEnd && x0 >= bgFrom && x0 + c.inkRight <= bgTo;
        // ...and when the whole cell is on it, the cell replaces what is there
        // (nothing to read back: what is right of the ink is drawn later).
        const bool whole = clear && x0 + c.width <= bgTo;
        inkEnd = std::max(inkEnd, x0 + c.inkRight);
        if (cFrom >= cTo || yFrom >= yTo)
            continue;
        for (int y = yFrom; y < yTo; ++y) {
            auto *d = reinterpret_cast<quint32 *>(s.bits + (y + s.offset.y()) * s.bytesPerLine) +
                      s.offset.x();
            const quint32 *src = c.pixels.data() + (y - y0) * c.width - x0;
            if (whole) {
                copyAll(d, src, cFrom, cTo);
                continue;
            }
            if (clear) {
                copyInk(d, src, c.mask.data() + (y - y0) * c.width - x0, cFrom, cTo);
                continue;
            }
            for (int i = cFrom; i < cTo; ++i)
                if (src[i] != under)
                    d[i] = d[i] == under ? src[i] : overlap(d[i], src[i], fg, under);
        }
    }
}
