#include "app/plot_window.h"

#include "app/dialogs.h"
#include "app/plot_curves.h"
#include "app/tool_window.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace
{
constexpr double kTimeSpan = 60;     // seconds followed at first
constexpr double kSampleSpan = 1000; // samples followed at first
constexpr double kZoomStep = 1.25;

QString valueText(double v)
{
    return QString::number(v, 'g', 7);
}
} // namespace

PlotWindow::PlotWindow(Dialogs *dialogs, QString folder, QWidget *parent)
    : QWidget(parent, Qt::Window), m_dialogs(dialogs), m_folder(std::move(folder)),
      m_feed(std::make_unique<PlotFeed>(QDateTime::currentMSecsSinceEpoch()))
{
    setWindowTitle(QStringLiteral("绘图"));
    setAccessibleName(QStringLiteral("绘图"));
    resize(900, 520);

    m_axis = new QComboBox;
    m_axis->addItems({QStringLiteral("到达时间（秒）"), QStringLiteral("序号")});
    m_axis->setAccessibleName(QStringLiteral("横轴"));
    m_follow = new QCheckBox(QStringLiteral("跟随最新"));
    m_follow->setChecked(true);
    m_pause = new QPushButton(QStringLiteral("暂停"));
    m_pause->setCheckable(true);
    auto *clear = new QPushButton(QStringLiteral("清除"));
    auto *csv = new QPushButton(QStringLiteral("导出 CSV…"));
    auto *png = new QPushButton(QStringLiteral("导出图片…"));
    auto *axisLabel = new QLabel(QStringLiteral("横轴"));
    axisLabel->setBuddy(m_axis);
    auto *controls = new QHBoxLayout;
    controls->addWidget(axisLabel);
    controls->addWidget(m_axis);
    controls->addWidget(m_follow);
    controls->addWidget(m_pause);
    controls->addWidget(clear);
    controls->addStretch();
    controls->addWidget(csv);
    controls->addWidget(png);

    m_pattern = new QLineEdit;
    m_pattern->setPlaceholderText(QStringLiteral("留空：自动识别 名称=值、名称:值 和纯数字行"));
    m_pattern->setAccessibleName(QStringLiteral("正则表达式"));
    auto *patternLabel = new QLabel(QStringLiteral("正则表达式"));
    patternLabel->setBuddy(m_pattern);
    auto *apply = new QPushButton(QStringLiteral("应用"));
    auto *patternRow = new QHBoxLayout;
    patternRow->addWidget(patternLabel);
    patternRow->addWidget(m_pattern, 1);
    patternRow->addWidget(apply);

    m_chart = new QChart;
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_x = new QValueAxis;
    m_y = new QValueAxis;
    m_chart->addAxis(m_x, Qt::AlignBottom);
    m_chart->addAxis(m_y, Qt::AlignLeft);
    m_x->setRange(0, kTimeSpan);
    m_curves = new PlotCurves(m_chart);
    connect(m_chart, &QChart::plotAreaChanged, this, [this] { m_curves->areaChanged(); });
    m_view = new QChartView(m_chart);
    m_view->setRubberBand(QChartView::RectangleRubberBand);
    // Redrawn twenty times a second: no shadow to blur, no smoothing of edges.
    m_chart->setDropShadowEnabled(false);
    m_chart->setBackgroundRoundness(0);
    m_view->setRenderHint(QPainter::Antialiasing, false);
    m_view->setOptimizationFlags(QGraphicsView::DontSavePainterState |
                                 QGraphicsView::DontAdjustForAntialiasing);
    m_view->setFocusPolicy(Qt::StrongFocus);
    m_view->setAccessibleName(QStringLiteral("曲线"));
    m_view->setAccessibleDescription(
        QStringLiteral("滚轮或 +/- 缩放，拖出矩形放大，方向键平移，Home 显示全部"));
    m_view->installEventFilter(this);
    m_view->viewport()->installEventFilter(this);

    m_table = new QTableWidget(0, 3);
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("序列"), QStringLiteral("最新值"), QStringLiteral("值的个数")});
    m_table->setAccessibleName(QStringLiteral("各序列的最新值"));
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setMinimumWidth(260);

    auto *middle = new QHBoxLayout;
    middle->addWidget(m_view, 3);
    middle->addWidget(m_table, 1);

    m_note = new QLabel;
    m_note->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addLayout(patternRow);
    layout->addLayout(middle, 1);
    layout->addWidget(m_note);
    addCloseKeys(this, layout);

    connect(m_axis, &QComboBox::currentIndexChanged, this, [this] {
        m_span = axis() == plot::Axis::Time ? kTimeSpan : kSampleSpan;
        m_follow->setChecked(true);
        m_manualY = false;
        m_viewChanged = true;
    });
    connect(m_follow, &QCheckBox::toggled, this, &PlotWindow::followChanged);
    connect(m_pause, &QPushButton::toggled, this, [this](bool on) {
        m_pause->setText(on ? QStringLiteral("继续") : QStringLiteral("暂停"));
        m_viewChanged = true;
    });
    connect(clear, &QPushButton::clicked, this, [this] {
        m_feed->clear();
        for (QLineSeries *line : m_lines) {
            m_chart->removeSeries(line);
            delete line;
        }
        m_lines.clear();
        m_curves->clear();
        m_table->setRowCount(0);
        m_viewChanged = true;
    });
    connect(csv, &QPushButton::clicked, this, &PlotWindow::chooseCsv);
    connect(png, &QPushButton::clicked, this, &PlotWindow::choosePng);
    connect(apply, &QPushButton::clicked, this, &PlotWindow::applyPattern);
    connect(m_pattern, &QLineEdit::returnPressed, this, &PlotWindow::applyPattern);
    connect(m_x, &QValueAxis::rangeChanged, this, &PlotWindow::onAxisChanged);
    connect(m_table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (item->column() != 0 || item->row() >= int(m_lines.size()))
            return;
        QLineSeries *line = m_lines[std::size_t(item->row())];
        const bool on = item->checkState() == Qt::Checked;
        line->setVisible(on);
        // Its legend entry stays, dimmed, so that a click shows it again.
        for (QLegendMarker *marker : m_chart->legend()->markers(line)) {
            marker->setVisible(true);
            QColor c = marker->labelBrush().color();
            c.setAlphaF(on ? 1.0 : 0.4);
            marker->setLabelBrush(c);
        }
        m_viewChanged = true;
    });

    m_frames.setInterval(kFrameMs);
    connect(&m_frames, &QTimer::timeout, this, &PlotWindow::frame);
    m_frames.start();
}

PlotWindow::~PlotWindow() = default;

plot::Axis PlotWindow::axis() const
{
    return m_axis->currentIndex() == 1 ? plot::Axis::Sample : plot::Axis::Time;
}

void PlotWindow::refresh()
{
    m_viewChanged = true;
    m_forceTexts = true;
    frame();
}

void PlotWindow::frame()
{
    if (m_pause->isChecked() || !isVisible())
        return;
    const quint64 revision = m_feed->revision();
    const bool textsDue = !m_textsShown.isValid() || m_textsShown.elapsed() >= kTextEveryMs;
    if (revision == m_drawn && !m_viewChanged && !(m_textsStale && textsDue))
        return;
    m_drawn = revision;
    m_viewChanged = false;
    ++m_framesDrawn;
    const plot::Axis ax = axis();
    const int columns = std::max(1, int(m_chart->plotArea().width()));
    struct Shown {
        QString name;
        double latest;
        qint64 count;
        std::vector<plot::Point> points;
    };
    std::vector<Shown> shown;
    qint64 beyond = 0;
    bool folded = false;
    double first = 0, last = 0;
    m_feed->read([&](const plot::SeriesStore &store) {
        beyond = store.beyondLimit();
        folded = store.folded();
        bool any = false;
        for (int i = 0; i < store.size(); ++i) {
            double a = 0, b = 0;
            if (!store.span(i, ax, &a, &b))
                continue;
            first = any ? std::min(first, a) : a;
            last = any ? std::max(last, b) : b;
            any = true;
        }
        if (m_follow->isChecked()) {
            // The view moves on in steps of a twentieth of its width: between
            // steps only the curves are drawn again, not the axes.
            const double step = m_span / kFollowSteps;
            m_x0 = first;
            m_x1 = first + m_span;
            if (last > m_x1) {
                m_x1 = first + std::ceil((last - first) / step) * step;
                m_x0 = m_x1 - m_span;
            }
        }
        for (int i = 0; i < store.size(); ++i) {
            Shown s{store.name(i), store.latest(i), store.count(i), {}};
            const bool visible = i >= int(m_lines.size()) || m_lines[std::size_t(i)]->isVisible();
            if (visible)
                store.view(i, ax, m_x0, m_x1, columns, s.points);
            shown.push_back(std::move(s));
        }
    });
    // The legend and the table are read, not watched: their figures change a
    // few times a second (laying out text is most of a frame's cost).
    const bool texts = textsDue || m_forceTexts || shown.size() > m_lines.size();
    m_textsStale = !texts;
    m_forceTexts = false;
    if (texts)
        m_textsShown.start();
    double y0 = 0, y1 = 0;
    bool anyY = false;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        Shown &s = shown[i];
        if (i >= m_lines.size()) {
            auto *line = new QLineSeries;
            m_chart->addSeries(line);
            line->attachAxis(m_x);
            line->attachAxis(m_y);
            m_lines.push_back(line);
            const auto markers = m_chart->legend()->markers(line);
            for (QLegendMarker *marker : markers) {
                connect(marker, &QLegendMarker::clicked, this, [this, i] {
                    QTableWidgetItem *item = m_table->item(int(i), 0);
                    item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked
                                                                          : Qt::Checked);
                });
            }
            const int row = m_table->rowCount();
            m_table->insertRow(row);
            auto *nameItem = new QTableWidgetItem(s.name);
            nameItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            nameItem->setCheckState(Qt::Checked);
            m_table->setItem(row, 0, nameItem);
            m_table->setItem(row, 1, new QTableWidgetItem);
            m_table->setItem(row, 2, new QTableWidgetItem);
        }
        QLineSeries *line = m_lines[i];
        if (texts) {
            const QString latest = valueText(s.latest);
            const QString legend = s.name + QStringLiteral(" = ") + latest;
            if (line->name() != legend)
                line->setName(legend);
            if (m_table->item(int(i), 1)->text() != latest)
                m_table->item(int(i), 1)->setText(latest);
            m_table->item(int(i), 2)->setText(QString::number(s.count));
        }
        if (!line->isVisible()) {
            m_curves->set(i, line->pen().color(), false, {});
            continue;
        }
        for (const plot::Point &p : s.points) {
            if (p.x < m_x0 || p.x > m_x1)
                continue;
            y0 = anyY ? std::min(y0, p.y) : p.y;
            y1 = anyY ? std::max(y1, p.y) : p.y;
            anyY = true;
        }
        m_curves->set(i, line->pen().color(), true, std::move(s.points));
    }
    m_settingRange = true;
    m_x->setRange(m_x0, m_x1);
    if (!m_manualY && anyY) {
        const double margin = y1 > y0 ? (y1 - y0) * 0.05 : std::max(1.0, std::abs(y0) * 0.05);
        const double lo = y0 - margin, hi = y1 + margin;
        // A range that still holds everything and is not much too tall stays
        // (a new extreme may take some of the margin before the range moves).
        const bool holds =
            m_y->min() <= y0 && m_y->max() >= y1 && m_y->max() - m_y->min() <= 1.5 * (hi - lo);
        if (!holds)
            m_y->setRange(lo, hi);
    }
    m_settingRange = false;
    m_curves->show(m_x->min(), m_x->max(), m_y->min(), m_y->max());

    QStringList notes;
    if (beyond > 0)
        notes << QStringLiteral("超过 %1 个序列：只画前 %1 个，其余的 %2 个值未保留")
                     .arg(plot::SeriesStore::kMaxSeries)
                     .arg(beyond);
    if (const qint64 skipped = m_feed->skippedLines(); skipped > 0)
        notes << QStringLiteral("绘图跟不上接收：%1 行没有读取").arg(skipped);
    if (folded)
        notes << QStringLiteral("较早的数据只按时间段保留最小值和最大值");
    const QString note = notes.join(QStringLiteral("；"));
    if (m_note->text() != note)
        m_note->setText(note);
}

void PlotWindow::onAxisChanged()
{
    if (m_settingRange)
        return;
    // The rubber band or a zoom of the chart's own: the view stays where it was put.
    m_x0 = m_x->min();
    m_x1 = m_x->max();
    m_manualY = true;
    m_follow->setChecked(false);
    m_viewChanged = true;
}

void PlotWindow::followChanged(bool on)
{
    if (on) {
        m_span = std::max(1e-3, m_x1 - m_x0);
        m_manualY = false;
    }
    m_viewChanged = true;
}

void PlotWindow::zoom(double factor, double at)
{
    const double width = m_x1 - m_x0;
    if (m_follow->isChecked()) {
        m_span = std::max(1e-3, m_span * factor); // the newest stays in view
    } else {
        const double pivot = m_x0 + width * at;
        m_x0 = pivot - (pivot - m_x0) * factor;
        m_x1 = pivot + (m_x1 - pivot) * factor;
    }
    m_viewChanged = true;
    frame();
}

void PlotWindow::pan(double fraction)
{
    const double by = (m_x1 - m_x0) * fraction;
    m_follow->setChecked(false);
    m_x0 += by;
    m_x1 += by;
    m_viewChanged = true;
    frame();
}

void PlotWindow::viewAll()
{
    const plot::Axis ax = axis();
    double first = 0, last = 0;
    bool any = false;
    m_feed->read([&](const plot::SeriesStore &store) {
        for (int i = 0; i < store.size(); ++i) {
            double a = 0, b = 0;
            if (store.span(i, ax, &a, &b)) {
                first = any ? std::min(first, a) : a;
                last = any ? std::max(last, b) : b;
                any = true;
            }
        }
    });
    m_follow->setChecked(false);
    if (any) {
        m_x0 = first;
        m_x1 = std::max(last, first + 1e-3);
    }
    m_manualY = false;
    m_viewChanged = true;
    frame();
}

bool PlotWindow::eventFilter(QObject *watched, QEvent *e)
{
    if (e->type() == QEvent::Wheel) {
        auto *w = static_cast<QWheelEvent *>(e);
        const QRectF area = m_chart->plotArea();
        const double at =
            area.width() > 0
                ? std::clamp((w->position().x() - area.left()) / area.width(), 0.0, 1.0)
                : 1.0;
        if (w->angleDelta().y() != 0)
            zoom(w->angleDelta().y() > 0 ? 1 / kZoomStep : kZoomStep, at);
        return true;
    }
    if (watched == m_view && e->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(e)->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            zoom(1 / kZoomStep, 0.5);
            return true;
        case Qt::Key_Minus:
            zoom(kZoomStep, 0.5);
            return true;
        case Qt::Key_Left:
            pan(-0.1);
            return true;
        case Qt::Key_Right:
            pan(0.1);
            return true;
        case Qt::Key_Home:
            viewAll();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void PlotWindow::applyPattern()
{
    QString why;
    if (!m_feed->setPattern(m_pattern->text(), &why)) {
        m_dialogs->message(QStringLiteral("正则表达式有误：") + why, Dialogs::Icon::Exclamation,
                           Dialogs::Buttons::Ok);
        return;
    }
}

bool PlotWindow::exportCsv(const QString &path, QString *why) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *why = file.errorString();
        return false;
    }
    bool ok = false;
    m_feed->read([&](const plot::SeriesStore &store) { ok = store.writeCsv(&file, why); });
    if (!ok) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

bool PlotWindow::exportPng(const QString &path, QString *why) const
{
    if (!m_view->grab().save(path, "PNG")) {
        *why = QStringLiteral("无法写入 ") + path;
        return false;
    }
    return true;
}

// Asks where (a name with the time in the save folder), writes, and says
// why when it could not.
void PlotWindow::chooseAndExport(const QString &what, const char *suffix,
                                 bool (PlotWindow::*write)(const QString &, QString *) const)
{
    const QString name = QDateTime::currentDateTime().toString(
        QStringLiteral("'plot-'yyyyMMdd-HHmmss'.%1'").arg(QLatin1String(suffix)));
    const auto path = m_dialogs->chooseFileToSave(QStringLiteral("导出") + what, m_folder, name);
    QString why;
    if (path && !(this->*write)(*path, &why))
        m_dialogs->message(QStringLiteral("无法导出%1：").arg(what) + why,
                           Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
}

void PlotWindow::chooseCsv()
{
    chooseAndExport(QStringLiteral("数据"), "csv", &PlotWindow::exportCsv);
}

void PlotWindow::choosePng()
{
    chooseAndExport(QStringLiteral("图片"), "png", &PlotWindow::exportPng);
}
