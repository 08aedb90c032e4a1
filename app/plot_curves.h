#pragma once

#include "plot/series_store.h"

#include <QColor>
#include <QGraphicsItem>
#include <QPolygonF>
#include <vector>

class QChart;

// The 绘图 window's curves, drawn over the chart's plot area as plain
// polylines a pixel wide. The chart's line series keep the legend and the
// colours; drawing through them would outline every line as a shape (for
// pointing at it) on every frame, most of the cost of a full view.
class PlotCurves : public QGraphicsItem
{
public:
    struct Curve {
        QColor color;
        bool visible = true;
        std::vector<plot::Point> points; // in the axes' units, in x order
    };

    explicit PlotCurves(QChart *chart);

    std::vector<Curve> &curves() { return m_curves; }
    const std::vector<Curve> &curves() const { return m_curves; }
    // The axes' ranges the points are drawn in; repaints.
    void show(double x0, double x1, double y0, double y1);
    // The plot area moved or changed size.
    void areaChanged();

    QRectF boundingRect() const override { return m_area; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *) override;

private:
    QChart *m_chart;
    QRectF m_area;
    std::vector<Curve> m_curves;
    double m_x0 = 0, m_x1 = 1, m_y0 = 0, m_y1 = 1;
    QPolygonF m_polyline; // used again from frame to frame
};
