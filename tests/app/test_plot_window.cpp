#include "app/plot_curves.h"
#include "app/plot_window.h"
#include "receive/receive_display.h"
#include "serial/codepage936.h"
#include "support/pty_window.h"

#include <QAccessible>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>

// The 绘图 window on the window's port, a pseudo-terminal the test plays.
class TestPlotWindow : public PtyWindowTest
{
    Q_OBJECT

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    PlotWindow *plot() { return form->plotWindow(); }

    // Opens it as a screen reader would: the menu item's own action.
    bool openPlot()
    {
        const std::unique_ptr<QMenu> menu = display()->contextMenu();
        menu->popup(QPoint(0, 0));
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(menu.get());
        for (int i = 0; i < list->childCount(); ++i) {
            QAccessibleInterface *item = list->child(i);
            if (item->text(QAccessible::Name) == QStringLiteral("绘图…") &&
                item->role() == QAccessible::MenuItem && !item->state().disabled) {
                item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
                menu->hide();
                return QTest::qWaitFor([this] { return plot() && plot()->isVisible(); });
            }
        }
        return false;
    }

    // Waits until the plot has read everything the device sent.
    bool settled(qint64 lines)
    {
        return QTest::qWaitFor([&] {
            qint64 n = 0;
            plot()->feed()->read(
                [&](const plot::SeriesStore &s) { n = s.size() ? s.count(0) : 0; });
            return n >= lines && plot()->feed()->idle();
        });
    }

    QPushButton *button(const QString &text)
    {
        for (QPushButton *b : plot()->findChildren<QPushButton *>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

private slots:
    void init()
    {
        openWindow();
        form->show();
    }
    void cleanup() { closeWindow(); }

    // A device streams T=… RH=…%: two series, their latest values read from
    // the table by assistive technology and shown in the legend; the CSV
    // export holds exactly the values sent; a hidden series is not drawn.
    void streamedReadingsPlotAndExport()
    {
        QVERIFY(openPlot());
        QStringList sent;
        QByteArray stream;
        for (int i = 0; i < 50; ++i) {
            const QString t = QString::number(20 + i * 0.1, 'f', 1);
            const QString rh = QString::number(40 + i % 7);
            sent << t + u',' + rh;
            stream += ("T=" + t + " RH=" + rh + "%\r\n").toLatin1();
        }
        QVERIFY(device->write(stream.left(1000)));
        QVERIFY(device->write(stream.mid(1000)));
        QVERIFY(settled(50));
        plot()->refresh();

        QTableWidget *table = plot()->table();
        QCOMPARE(table->rowCount(), 2);
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(table);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("各序列的最新值"));
        QAccessibleTableInterface *cells = a->tableInterface();
        QVERIFY(cells);
        QCOMPARE(cells->cellAt(0, 0)->text(QAccessible::Name), QStringLiteral("T"));
        QVERIFY(cells->cellAt(0, 0)->state().checked);
        QCOMPARE(cells->cellAt(0, 1)->text(QAccessible::Name), QStringLiteral("24.9"));
        QCOMPARE(cells->cellAt(1, 0)->text(QAccessible::Name), QStringLiteral("RH"));
        QCOMPARE(cells->cellAt(1, 1)->text(QAccessible::Name), QString::number(40 + 49 % 7));
        const auto lines = plot()->chart()->series();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0]->name(), QStringLiteral("T = 24.9"));
        // They came within milliseconds: one column's least and greatest.
        const auto drawnT = [&] {
            QList<QPointF> out;
            for (const plot::Point &p : plot()->curves()->curves().at(0).points)
                out << QPointF(p.x, p.y);
            return out;
        };
        QCOMPARE(drawnT().size(), 2);
        QCOMPARE(drawnT()[0].y(), 20.0);
        QCOMPARE(float(drawnT()[1].y()), 24.9f); // kept to float precision
        // By sample number, everything in view (Home): each value where it is.
        plot()->findChild<QComboBox *>()->setCurrentIndex(1);
        QTest::keyClick(plot()->findChild<QChartView *>(), Qt::Key_Home);
        QCOMPARE(drawnT().size(), 50);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(QPointF(drawnT()[i].x(), float(drawnT()[i].y())),
                     QPointF(i, sent[i].section(u',', 0, 0).toFloat()));

        QTemporaryDir dir;
        dialogs->saveFileAnswer = dir.filePath("plot.csv");
        button(QStringLiteral("导出 CSV…"))->click();
        QFile f(dir.filePath("plot.csv"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList rows = cp936::StreamDecoder()
                                     .decode(f.readAll())
                                     .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(rows.value(0), QStringLiteral("时间,T,RH"));
        // The same numbers (written as short as they read back: 20.0 is 20).
        const auto numbers = [](const QStringList &rows) {
            QList<float> out;
            for (const QString &row : rows)
                for (const QString &field : row.split(u','))
                    out << field.toFloat();
            return out;
        };
        QStringList values;
        for (const QString &row : rows.mid(1))
            values << row.section(u',', 1);
        QCOMPARE(numbers(values), numbers(sent));
        dialogs->saveFileAnswer = dir.filePath("plot.png");
        button(QStringLiteral("导出图片…"))->click();
        QVERIFY(!QImage(dir.filePath("plot.png"), "PNG").isNull());
        QVERIFY(dialogs->messages.isEmpty());
        // A folder that is not there: said, not passed over.
        dialogs->saveFileAnswer = dir.filePath("missing/plot.csv");
        button(QStringLiteral("导出 CSV…"))->click();
        QCOMPARE(dialogs->messages.size(), 1);
        QVERIFY(dialogs->messages.first().text.startsWith(QStringLiteral("无法导出数据：")));
        dialogs->messages.clear();

        // Hidden from the table's check box: not drawn, and read as unchecked.
        table->item(0, 0)->setCheckState(Qt::Unchecked);
        plot()->refresh();
        QVERIFY(!lines[0]->isVisible());
        QVERIFY(!plot()->curves()->curves().at(0).visible);
        QVERIFY(!cells->cellAt(0, 0)->state().checked);
    }

    // Following, a zoom keeps the newest at the right; panning leaves the
    // newest behind and stops following; Home shows everything.
    void zoomPanAndHomeByKeyboard()
    {
        QVERIFY(openPlot());
        QByteArray lines;
        for (int i = 0; i < 100; ++i)
            lines += QByteArray::number(i) + "\n";
        QVERIFY(device->write(lines));
        QVERIFY(settled(100));
        plot()->findChild<QComboBox *>()->setCurrentIndex(1); // by sample number
        plot()->refresh();
        auto *view = plot()->findChild<QChartView *>();
        auto *x = static_cast<QValueAxis *>(plot()->chart()->axes(Qt::Horizontal).first());
        auto *follow = plot()->findChild<QCheckBox *>();
        QCOMPARE(x->min(), 0.0); // 1000 samples followed; 100 came
        QCOMPARE(x->max(), 1000.0);
        for (int i = 0; i < 12; ++i)
            QTest::keyClick(view, Qt::Key_Plus);
        QVERIFY(follow->isChecked());
        const double width = x->max() - x->min();
        QVERIFY(width < 80);
        // The newest in view, within the last of the steps the view moves on in.
        QVERIFY(x->max() >= 99.0 && x->max() - 99.0 <= width / PlotWindow::kFollowSteps + 1e-9);
        const double right = x->max();
        QTest::keyClick(view, Qt::Key_Left);
        QVERIFY(!follow->isChecked());
        QCOMPARE(x->max(), right - width / 10);
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(x->min(), 0.0);
        QCOMPARE(x->max(), 99.0);
        const auto &drawn = plot()->curves()->curves().at(0).points;
        QCOMPARE(drawn.size(), std::size_t(100));
    }

    // New values redraw only the strip they fall in; the picture built up
    // strip by strip is the one drawn whole, and a change of the axes
    // redraws all of it.
    void newValuesRedrawTheirStripOnly()
    {
        QVERIFY(openPlot());
        plot()->findChild<QComboBox *>()->setCurrentIndex(1); // by sample number
        auto *view = plot()->findChild<QChartView *>();
        PlotCurves *curves = plot()->curves();
        const int width = int(plot()->chart()->plotArea().width());
        qint64 sent = 0;
        const auto send = [&](int n) {
            QByteArray lines;
            for (int i = 0; i < n; ++i, ++sent)
                lines += "a=" + QByteArray::number(sent % 20 * 5 - 50) +
                         " b=" + QByteArray::number(sent % 17) + "\r\n";
            return device->write(lines) && settled(sent);
        };
        QVERIFY(send(40)); // the whole range of both
        // Twice: the first lays out the axes' labels, which narrows the area.
        for (int i = 0; i < 2; ++i) {
            plot()->refresh();
            view->grab();
        }
        const qint64 first = curves->columnsDrawn();
        for (int step = 0; step < 6; ++step) {
            QVERIFY(send(30));
            const qint64 before = curves->columnsDrawn();
            plot()->refresh();
            view->grab();
            // 30 samples of the 1000 followed: a few columns, not the width.
            QVERIFY(curves->columnsDrawn() > before);
            QVERIFY(curves->columnsDrawn() - before < width / 4);
        }
        QVERIFY(first >= width - 1);
        const QImage built = curves->layer().copy();
        // Hidden and shown again: drawn whole.
        QTableWidgetItem *b = plot()->table()->item(1, 0);
        for (Qt::CheckState state : {Qt::Unchecked, Qt::Checked}) {
            b->setCheckState(state);
            plot()->refresh();
            view->grab();
        }
        QCOMPARE(curves->layer(), built);
        QVERIFY(built != QImage(built.size(), built.format())); // something was drawn
    }

    // More series than are drawn: the first 16 are, and the window says so.
    void tooManySeries()
    {
        QVERIFY(openPlot());
        QByteArray line;
        for (int i = 0; i < 18; ++i)
            line += "s" + QByteArray::number(i) + "=" + QByteArray::number(i) + " ";
        QVERIFY(device->write(line + "\n"));
        QVERIFY(settled(1));
        plot()->refresh();
        QCOMPARE(plot()->table()->rowCount(), 16);
        QVERIFY2(plot()->note()->text().contains(QStringLiteral("超过 16 个序列")),
                 qPrintable(plot()->note()->text()));
    }
};

QTEST_MAIN(TestPlotWindow)
#include "test_plot_window.moc"
