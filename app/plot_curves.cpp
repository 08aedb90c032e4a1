#include "app/plot_curves.h"

#include <QChart>
#include <QPainter>
#include <QPen>

PlotCurves::PlotCurves(QChart *chart) : QGraphicsItem(chart), m_chart(chart)
{
    setZValue(10); // over the grid, under nothing
    m_area = chart->plotArea();
}

void PlotCurves::show(double x0, double x1, double y0, double y1)
{
    m_x0 = x0;
    m_x1 = x1;
    m_y0 = y0;
    m_y1 = y1;
    areaChanged();
}

void PlotCurves::areaChanged()
{
    const QRectF area = m_chart->plotArea();
    if (area != m_area) {
        prepareGeometryChange();
        m_area = area;
    }
    update();
}

void PlotCurves::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    if (!(m_x1 > m_x0) || !(m_y1 > m_y0) || m_area.isEmpty())
        return;
    painter->save();
    painter->setClipRect(m_area);
    const double sx = m_area.width() / (m_x1 - m_x0);
    const double sy = m_area.height() / (m_y1 - m_y0);
    for (const Curve &c : m_curves) {
        if (!c.visible || c.points.empty())
            continue;
        m_polyline.resize(qsizetype(c.points.size()));
        for (std::size_t i = 0; i < c.points.size(); ++i)
            m_polyline[qsizetype(i)] = QPointF(m_area.left() + (c.points[i].x - m_x0) * sx,
                                               m_area.bottom() - (c.points[i].y - m_y0) * sy);
        painter->setPen(QPen(c.color, 1));
        if (m_polyline.size() == 1)
            painter->drawPoint(m_polyline.front());
        else
            painter->drawPolyline(m_polyline);
    }
    painter->restore();
}
