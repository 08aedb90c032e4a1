#include "receive/glyph_cells.h"

#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {
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
        t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) || t.dy() != std::floor(t.dy()))
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
    : m_font(std::move(font)), m_rowHeight(rowHeight), m_ascent(ascent), m_quick(kQuickGlyphs * 8)
{
}

void GlyphCells::forget()
{
    m_cells.clear();
    std::fill(m_quick.begin(), m_quick.end(), nullptr);
}

const GlyphCells::Cell &GlyphCells::cell(quint32 glyph, int phase, QRgb fg, QRgb bg, QImage::Format format)
{
    if (format != m_format || m_cells.size() >= kMaxCells) {
        forget();
        m_usedSlots = 0;
        m_format = format;
    }
    int slot = 0;
    while (slot < m_usedSlots && (m_colors[slot][0] != fg || m_colors[slot][1] != bg))
        ++slot;
    if (slot == m_usedSlots) {
        if (m_usedSlots == 2) { // a third pair of colors: the palette changed
            forget();
            slot = m_usedSlots = 0;
        }
        m_colors[slot][0] = fg;
        m_colors[slot][1] = bg;
        ++m_usedSlots;
    }
    if (glyph < kQuickGlyphs)
        if (const Cell *quick = m_quick[quickIndex(glyph, phase, slot)])
            return *quick;
    const quint64 key = quint64(glyph) << 8 | quint64(phase) << 1 | quint64(slot);
    auto it = m_cells.find(key);
    if (it != m_cells.end())
        return it->second;

    // The cell reaches a pixel past the glyph's ink on both sides.
    const QRectF ink = m_font.boundingRect(glyph);
    const qreal at = phase / 4.0;
    const int left = int(std::floor(at + ink.left())) - 1;
    const int right = std::max(left + 1, int(std::ceil(at + ink.right())) + 1);
    Cell c{QImage(right - left, m_rowHeight, format), left, 0};
    c.image.fill(bg);
    {
        QPainter q(&c.image);
        q.setPen(QColor::fromRgba(fg));
        QGlyphRun run;
        run.setRawFont(m_font);
        run.setGlyphIndexes({glyph});
        run.setPositions({QPointF(at - left, m_ascent)});
        q.drawGlyphRun(QPointF(0, 0), run);
    }
    // Only the pixels with ink are kept.
    QRect inked;
    for (int y = 0; y < c.image.height(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(c.image.constScanLine(y));
        for (int x = 0; x < c.image.width(); ++x)
            if (line[x] != bg)
                inked |= QRect(x, y, 1, 1);
    }
    // ... in whole groups of four, the way they are copied.
    inked.setWidth((inked.width() + 3) / 4 * 4);
    c.image = inked.isEmpty() ? QImage() : c.image.copy(inked);
    for (int y = 0; y < c.image.height(); ++y)
        for (int x = c.image.width() - 1; x >= 0 && x + inked.left() >= right - left; --x)
            c.image.setPixel(x, y, bg); // copy() fills beyond the image with 0
    c.left += inked.left();
    c.top = inked.top();
    const Cell &made = m_cells.emplace(key, std::move(c)).first->second;
    if (glyph < kQuickGlyphs)
        m_quick[quickIndex(glyph, phase, slot)] = &made;
    return made;
}

namespace {
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
} // namespace

void GlyphCells::draw(const Surface &s, quint32 glyph, qreal x, int top, QRgb fg, QRgb bg)
{
    // Qt places glyphs at quarter pixels, a position at 15/64 past a quarter
    // counting as the next one; drawn the same way, a cell matches it exactly.
    const qint64 quarters = (std::llround(x * 64) + 1) >> 4;
    const int phase = int(quarters & 3);
    const Cell &c = cell(glyph, phase, fg, bg, s.format);
    const int x0 = int(quarters >> 2) + c.left, y0 = top + c.top;
    const int from = std::max(x0, s.clip.left()), to = std::min(x0 + c.image.width(), s.clip.right() + 1);
    const int rowFrom = std::max({y0, top, s.clip.top()}),
              rowTo = std::min({y0 + c.image.height(), top + m_rowHeight, s.clip.bottom() + 1});
    if (from >= to || rowFrom >= rowTo)
        return;
    const quint32 under = bg; // opaque: the same in every format taken
    for (int y = rowFrom; y < rowTo; ++y) {
        auto *d = reinterpret_cast<quint32 *>(s.bits + (y + s.offset.y()) * s.bytesPerLine) + s.offset.x();
        const auto *src = reinterpret_cast<const quint32 *>(c.image.constScanLine(y - y0)) - x0;
        int i = from;
#ifdef __SSE2__
        // Four pixels at a time: ink replaces the background; where ink meets
        // ink (rare) the pixels go the long way below.
        const __m128i bgs = _mm_set1_epi32(int(under));
        for (; i + 4 <= to; i += 4) {
            const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
            const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i sBg = _mm_cmpeq_epi32(sv, bgs), dBg = _mm_cmpeq_epi32(dv, bgs);
            if (_mm_movemask_epi8(_mm_or_si128(sBg, dBg)) != 0xffff) {
                for (int k = i; k < i + 4; ++k)
                    if (src[k] != under)
                        d[k] = d[k] == under ? src[k] : overlap(d[k], src[k], fg, under);
                continue;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i),
                             _mm_or_si128(_mm_and_si128(sBg, dv), _mm_andnot_si128(sBg, sv)));
        }
#endif
        for (; i < to; ++i) {
            const quint32 sv = src[i];
            if (sv == under)
                continue; // no ink here: what is under stays
            d[i] = d[i] == under ? sv : overlap(d[i], sv, fg, under);
        }
    }
}
