#include "app/plot_curves.h"

#include <QChart>
#include <QPainter>
#include <QPen>
#include <cmath>
#include <limits>

namespace
{
constexpr double kNone = std::numeric_limits<double>::infinity();
// Columns drawn again before the first change, so that the segment into it
// is drawn whole.
constexpr double kSeamColumns = 2;
} // namespace

PlotCurves::PlotCurves(QChart *chart)
    : QGraphicsItem(chart), m_chart(chart), m_redrawFrom(-kNone), m_redrawTo(kNone),
      m_changedFrom(kNone), m_changedTo(-kNone)
{
    setZValue(10); // over the grid, under nothing
    m_area = chart->plotArea();
}

double PlotCurves::toX(double x) const
{
    return m_area.left() + (x - m_x0) * m_area.width() / (m_x1 - m_x0);
}

void PlotCurves::changed(double from, double to)
{
    m_changedFrom = std::min(m_changedFrom, from);
    m_changedTo = std::max(m_changedTo, to);
}

void PlotCurves::changedAll()
{
    changed(-kNone, kNone);
}

void PlotCurves::set(std::size_t i, const QColor &color, bool visible,
                     std::vector<plot::Point> points)
{
    if (i >= m_curves.size()) {
        m_curves.resize(i + 1);
        m_curves[i].visible = false;
    }
    Curve &c = m_curves[i];
    if (c.color != color || c.visible != visible) {
        c.color = color;
        c.visible = visible;
        changedAll();
    } else if (visible) {
        // The first point that differs: the segment to it starts at the one before.
        const std::size_t n = std::min(c.points.size(), points.size());
        std::size_t k = 0;
        while (k < n && c.points[k].x == points[k].x && c.points[k].y == points[k].y)
            ++k;
        if (k < n || c.points.size() != points.size()) {
            // To the last point of either: nothing beyond them changed.
            const double to = std::max(c.points.empty() ? -kNone : c.points.back().x,
                                       points.empty() ? -kNone : points.back().x);
            changed(k == 0 ? -kNone : points[k - 1].x, to);
        }
    }
    c.points = std::move(points);
}

void PlotCurves::clear()
{
    m_curves.clear();
    changedAll();
    areaChanged(); // repaints the emptied image
}

void PlotCurves::show(double x0, double x1, double y0, double y1)
{
    if (x0 != m_x0 || x1 != m_x1 || y0 != m_y0 || y1 != m_y1) {
        m_x0 = x0;
        m_x1 = x1;
        m_y0 = y0;
        m_y1 = y1;
        changedAll();
    }
    const QRectF area = m_chart->plotArea();
    if (area != m_area) {
        prepareGeometryChange();
        m_area = area;
        changedAll();
    }
    if (m_changedFrom > m_changedTo || !(m_x1 > m_x0))
        return;
    double left = m_area.left(), right = m_area.right();
    if (std::isfinite(m_changedFrom))
        left = std::max(left, std::floor(toX(m_changedFrom)) - kSeamColumns);
    if (std::isfinite(m_changedTo))
        right = std::min(right, std::ceil(toX(m_changedTo)) + kSeamColumns);
    m_changedFrom = kNone;
    m_changedTo = -kNone;
    if (left >= right)
        return;
    m_redrawFrom = std::min(m_redrawFrom, left);
    m_redrawTo = std::max(m_redrawTo, right);
    update(QRectF(left, m_area.top(), right - left, m_area.height()));
}

void PlotCurves::areaChanged()
{
    show(m_x0, m_x1, m_y0, m_y1);
}

void PlotCurves::draw(double left, double right)
{
    QPainter p(&m_layer);
    p.translate(-m_area.topLeft());
    const QRectF strip(left, m_area.top(), right - left, m_area.height());
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(strip, Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    m_columnsDrawn += qint64(std::ceil(strip.width()));
    if (!(m_x1 > m_x0) || !(m_y1 > m_y0))
        return;
    p.setClipRect(strip);
    const double sx = m_area.width() / (m_x1 - m_x0);
    const double sy = m_area.height() / (m_y1 - m_y0);
    // In the axes' units.
    const double fromValue = m_x0 + (left - m_area.left()) / sx;
    const double toValue = m_x0 + (right - m_area.left()) / sx;
    const auto leftOf = [](const plot::Point &pt, double x) { return pt.x < x; };
    for (const Curve &c : m_curves) {
        if (!c.visible || c.points.empty())
            continue;
        // From the last point left of the strip, so the segment into it is drawn.
        auto first = std::lower_bound(c.points.begin(), c.points.end(), fromValue, leftOf);
        if (first != c.points.begin())
            --first;
        // To the first point right of it.
        auto last = std::lower_bound(first, c.points.end(), toValue, leftOf);
        if (last != c.points.end())
            ++last;
        const auto from = std::size_t(first - c.points.begin());
        const auto to = std::size_t(last - c.points.begin());
        m_polyline.resize(qsizetype(to - from));
        for (std::size_t i = from; i < to; ++i)
            m_polyline[qsizetype(i - from)] =
                QPointF(m_area.left() + (c.points[i].x - m_x0) * sx,
                        m_area.bottom() - (c.points[i].y - m_y0) * sy);
        p.setPen(QPen(c.color, 1));
        if (m_polyline.size() == 1)
            p.drawPoint(m_polyline.front());
        else
            p.drawPolyline(m_polyline);
    }
}

void PlotCurves::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    if (m_area.isEmpty())
        return;
    const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QSize size = (m_area.size() * dpr).toSize();
    if (m_layer.size() != size || m_layer.devicePixelRatioF() != dpr) {
        m_layer = QImage(size, QImage::Format_ARGB32_Premultiplied);
        m_layer.setDevicePixelRatio(dpr);
        m_redrawFrom = -kNone;
        m_redrawTo = kNone;
    }
    if (m_redrawFrom < m_redrawTo) {
        draw(std::max(m_redrawFrom, m_area.left()), std::min(m_redrawTo, m_area.right()));
        m_redrawFrom = kNone;
        m_redrawTo = -kNone;
    }
    painter->drawImage(m_area.topLeft(), m_layer);
}
