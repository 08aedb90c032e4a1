#pragma once

#include "plot/series_store.h"

#include <QColor>
#include <QGraphicsItem>
#include <QImage>
#include <QPolygonF>
#include <vector>

class QChart;

// The 绘图 window's curves, drawn over the chart's plot area as plain
// polylines a pixel wide. The chart's line series keep the legend and the
// colours; drawing through them would outline every line as a shape (for
// pointing at it) on every frame, most of the cost of a full view.
//
// The curves are kept drawn in an image of their own. While the axes stay
// as they are, a frame draws again only from the first point that changed
// to the last point of the old or new (new values come at the right), and
// asks the view to repaint only that strip; the rest of the picture is the
// image as it was.
class PlotCurves : public QGraphicsItem
{
public:
    struct Curve {
        QColor color;
        bool visible = true;
        std::vector<plot::Point> points; // in the axes' units, in x order
    };

    explicit PlotCurves(QChart *chart);

    const std::vector<Curve> &curves() const { return m_curves; }
    // Curve i (the next one, or one there is) is now this.
    void set(std::size_t i, const QColor &color, bool visible, std::vector<plot::Point> points);
    void clear(); // and repaints
    // The axes' ranges the points are drawn in; repaints what changed.
    void show(double x0, double x1, double y0, double y1);
    // The plot area moved or changed size.
    void areaChanged();
    // Pixel columns drawn into the image so far (for tests and benchmarks).
    qint64 columnsDrawn() const { return m_columnsDrawn; }
    // The curves as the image holds them.
    const QImage &layer() const { return m_layer; }

    QRectF boundingRect() const override { return m_area; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *) override;

private:
    double toX(double x) const;
    void changed(double from, double to); // in the axes' units
    void changedAll();
    void draw(double left, double right); // into the image, between these item x

    QChart *m_chart;
    QRectF m_area;
    std::vector<Curve> m_curves;
    double m_x0 = 0, m_x1 = 1, m_y0 = 0, m_y1 = 1;
    QImage m_layer;
    double m_redrawFrom, m_redrawTo;   // item x between which the image is out of date
    double m_changedFrom, m_changedTo; // axes' x between which points changed since show()
    qint64 m_columnsDrawn = 0;
    QPolygonF m_polyline; // used again from frame to frame
};
