#include "app/port_lines.h"
#include "support/fake_window.h"
#include "support/menu_probe.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QTest>

// The port area's menu and the 控制线 window, over a fake device.
class TestPortLines : public FakeWindowTest
{
    Q_OBJECT

    PortLinesMenu *lines() { return form->portLinesMenu(); }
    void start(bool hasLines)
    {
        comm->hasLines = hasLines;
        form->formLoad();
        form->show();
    }
    // The menu as Shift+F10 on the switch opens it, inspected while open.
    void withMenu(const std::function<void(QMenu *)> &inspect)
    {
        QVERIFY(probeMenu(
            [&] { QTest::keyClick(w<QPushButton>("CmdSwitch"), Qt::Key_F10, Qt::ShiftModifier); },
            inspect));
    }
    static QAction *item(QMenu *m, const QString &text)
    {
        for (QAction *a : m->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }

private slots:
    void init() { makeWindow(); }
    void cleanup() { closeWindow(); }

    // DTR and RTS read as check boxes with their state; choosing one changes
    // the line at once; the pulse goes to the port.
    void menuOnADeviceWithLines()
    {
        start(true);
        withMenu([&](QMenu *m) {
            QStringList texts;
            for (QAction *a : m->actions())
                texts << (a->isSeparator() ? QStringLiteral("|") : a->text());
            QCOMPARE(texts, (QStringList{"DTR", "RTS", "复位脉冲", "发送 Break", "|", "控制线…"}));
            for (const char *name : {"DTR", "RTS"}) {
                QAccessibleInterface *ai = QAccessible::queryAccessibleInterface(item(m, name));
                QCOMPARE(ai->role(), QAccessible::CheckBox);
                QCOMPARE(bool(ai->state().checked), QByteArray(name) == "DTR");
                QVERIFY(item(m, name)->isEnabled());
            }
            item(m, "RTS")->trigger();
            item(m, "复位脉冲")->trigger();
        });
        QVERIFY(comm->rts());
        QCOMPARE(comm->lineChanges.size(), 3); // at opening, RTS on, the pulse's start
        QVERIFY(comm->lineChanges[1].rts && !comm->lineChanges[2].dtr && !comm->lineChanges[2].rts);
        QTRY_COMPARE(comm->lineChanges.size(), 4);
    }

    void menuOnADeviceWithout()
    {
        start(false);
        withMenu([&](QMenu *m) {
            for (const char *name : {"DTR", "RTS", "复位脉冲", "发送 Break"}) {
                QVERIFY(!item(m, name)->isEnabled());
                QCOMPARE(item(m, name)->toolTip(), QStringLiteral("此设备不支持控制线"));
            }
            QVERIFY(item(m, "控制线…")->isEnabled());
        });
        ControlLinesWindow *win = lines()->linesWindow();
        win->show();
        QCOMPARE(win->lampText(0), QStringLiteral("CTS：不可用"));
        QVERIFY(!comm->watching);
    }

    // The lamps follow the lines while the window is open, and only then are
    // the lines watched; closed, the lamps grey.
    void lampsFollowTheLines()
    {
        start(true);
        ControlLinesWindow *win = lines()->linesWindow();
        QVERIFY(!comm->watching);
        win->show();
        QVERIFY(comm->watching);
        QCOMPARE(win->lampText(0), QStringLiteral("CTS：灭"));
        comm->modemLines({true, false, true, false});
        QTRY_COMPARE(win->lampText(0), QStringLiteral("CTS：亮"));
        QCOMPARE(win->lampText(1), QStringLiteral("DSR：灭"));
        QCOMPARE(win->lampText(2), QStringLiteral("DCD：亮"));
        // Its DTR box and the menu's switch are one.
        win->findChild<QCheckBox *>("ChkDtr")->click();
        QVERIFY(!lines()->dtrAction()->isChecked() && !comm->dtr());
        QTest::mouseClick(w<QPushButton>("CmdSwitch"), Qt::LeftButton); // closed
        QCOMPARE(win->lampText(0), QStringLiteral("CTS：不可用"));
        win->hide();
        QVERIFY(!comm->watching);
    }
};

QTEST_MAIN(TestPortLines)
#include "test_port_lines.moc"
