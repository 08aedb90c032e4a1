#pragma once

#include "plot/plot_feed.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <memory>

class Dialogs;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;
class PlotCurves;

// The 绘图 window: the numbers in every line received since it opened, as
// curves (Qt Charts) with a legend of each series' name and latest value,
// and beside them a table of the same for the keyboard and screen readers
// (its check boxes show and hide the curves). x is the arrival time or the
// sample number. The view follows the newest data (跟随最新) until it is
// zoomed (wheel, a dragged rectangle, +/-) or panned (arrow keys); Home
// scales to everything again. 暂停 holds the picture while values go on
// being kept; 清除 drops them. The data goes out as CSV and the picture as
// PNG through the dialogs.
class PlotWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kFrameMs = 50;      // 20 frames a second at most
    static constexpr int kTextEveryMs = 250; // the legend's and the table's figures
    static constexpr int kFollowSteps = 20;  // steps a followed view moves on in

    PlotWindow(Dialogs *dialogs, QString folder, QWidget *parent = nullptr);
    ~PlotWindow() override;

    // What the port received.
    void take(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals)
    {
        m_feed->take(bytes, arrivals);
    }
    void restart() { m_feed->restart(); }
    PlotFeed *feed() const { return m_feed.get(); }
    void setFolder(const QString &folder) { m_folder = folder; }

    // Draws what is new now rather than at the next frame.
    void refresh();
    QTableWidget *table() const { return m_table; }
    QLabel *note() const { return m_note; }
    QChart *chart() const { return m_chart; }
    PlotCurves *curves() const { return m_curves; }
    // Frames drawn so far (for benchmarks).
    qint64 framesDrawn() const { return m_framesDrawn; }
    bool exportCsv(const QString &path, QString *why) const;
    bool exportPng(const QString &path, QString *why) const;

protected:
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void frame();
    void applyPattern();
    void zoom(double factor, double atFraction);
    void pan(double fraction);
    void viewAll();
    void chooseAndExport(const QString &what, const char *suffix,
                         bool (PlotWindow::*write)(const QString &, QString *) const);
    void chooseCsv();
    void choosePng();
    void followChanged(bool on);
    void onAxisChanged();
    plot::Axis axis() const;

    Dialogs *m_dialogs;
    QString m_folder;
    std::unique_ptr<PlotFeed> m_feed;
    QChart *m_chart;
    QChartView *m_view;
    QValueAxis *m_x;
    QValueAxis *m_y;
    PlotCurves *m_curves; // what is drawn; the line series keep the legend
    std::vector<QLineSeries *> m_lines;
    QTableWidget *m_table;
    QComboBox *m_axis;
    QCheckBox *m_follow;
    QPushButton *m_pause;
    QLineEdit *m_pattern;
    QLabel *m_note;
    QTimer m_frames;
    quint64 m_drawn = ~0ull; // the revision on screen
    bool m_viewChanged = true;
    bool m_settingRange = false;
    bool m_manualY = false;
    double m_span = 60; // the x range followed, in its units
    double m_x0 = 0, m_x1 = 60;
    qint64 m_framesDrawn = 0;
    QElapsedTimer m_textsShown;
    bool m_textsStale = false; // the figures shown are older than the picture
    bool m_forceTexts = false;
};
