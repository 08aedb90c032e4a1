#include "app/commands_window.h"
#include "app/find_window.h"
#include "receive/history_search.h"
#include "receive/receive_display.h"
#include "support/fake_window.h"
#include "transmit/saved_commands.h"

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The 查找 window and F3 in the receive box, on the window with a fake port.
class TestFindWindow : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    FindWindow *find() { return form->findWindow(); }
    template <typename T> T *in(const char *name)
    {
        return find()->findChild<T *>(QString::fromLatin1(name));
    }
    void receive(const QByteArray &bytes)
    {
        comm->receive(bytes);
        QTRY_COMPARE(comm->queuedBytes(), 0); // delivered, and shown in the same call
    }
    // Waits for the search under way to answer.
    bool answered()
    {
        QSignalSpy finished(find()->search(), &HistorySearch::finished);
        return !find()->searching() || finished.wait(10000);
    }
    QString selected() { return display()->selectedText(); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        makeShownWindow(dir->filePath("commands.ini"));
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    void cleanup() { closeWindow(); }

    // 查找… in the receive box's menu opens the window, whose controls a screen
    // reader reads by name and state.
    void menuAndControlsReadByAssistiveTechnology()
    {
        const std::unique_ptr<QMenu> menu = display()->contextMenu();
        menu->popup(QPoint(0, 0));
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(menu.get());
        QAccessibleInterface *item = nullptr;
        for (int i = 0; i < list->childCount(); ++i)
            if (list->child(i)->text(QAccessible::Name) == QStringLiteral("查找…"))
                item = list->child(i);
        QVERIFY(item && item->role() == QAccessible::MenuItem && !item->state().disabled);
        item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        menu->hide();
        QTRY_VERIFY(find()->isVisible());

        QCOMPARE(find()->focusWidget(), in<QLineEdit>("FindText"));
        QStringList read;
        for (const char *name :
             {"FindText", "FindMatchCase", "FindUp", "FindDown", "FindNext", "FindCancel"}) {
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(in<QWidget>(name));
            read << QStringLiteral("%1 %2%3")
                        .arg(a->text(QAccessible::Name))
                        .arg(a->role())
                        .arg(a->state().checked ? "+" : "");
        }
        const auto role = [](QAccessible::Role r) { return QString::number(r); };
        QCOMPARE(read, (QStringList{"查找内容 " + role(QAccessible::EditableText),
                                    "区分大小写(C) " + role(QAccessible::CheckBox),
                                    "向上(U) " + role(QAccessible::RadioButton),
                                    "向下(D) " + role(QAccessible::RadioButton) + "+",
                                    "查找下一个(F) " + role(QAccessible::Button),
                                    "取消 " + role(QAccessible::Button)}));
    }

    // Ctrl+Home, Ctrl+F, "panic", Enter while the device goes on sending: the
    // first panic is selected and stays so as data arrives, F3 and Shift+F3
    // step, and an arrow key lets the box follow the data again.
    void firstPanicWhileStreaming()
    {
        receive("boot\r\npanic: one\r\nok\r\npanic: two\r\n");
        display()->setFocus();
        QTest::keyClick(display(), Qt::Key_Home, Qt::ControlModifier);
        receive("tick\r\n");
        QCOMPARE(display()->caretPosition(), display()->length()); // the box follows the data
        QTest::keyClick(display(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(find()->isVisible());
        QTest::keyClicks(in<QLineEdit>("FindText"), "PANIC");
        QTest::keyClick(in<QLineEdit>("FindText"), Qt::Key_Return);
        QVERIFY(answered());
        QCOMPARE(display()->selectionStart(), 6);
        QCOMPARE(selected(), QStringLiteral("panic"));
        receive("tick\r\n");
        QCOMPARE(display()->selectionStart(), 6);

        display()->setFocus();
        QTest::keyClick(display(), Qt::Key_F3);
        QVERIFY(answered());
        QCOMPARE(display()->selectionStart(), 22);
        QTest::keyClick(display(), Qt::Key_F3, Qt::ShiftModifier);
        QVERIFY(answered());
        QCOMPARE(display()->selectionStart(), 6);
        QTest::keyClick(display(), Qt::Key_Right);
        receive("tick\r\n");
        QCOMPARE(display()->caretPosition(), display()->length());
        QVERIFY(dialogs->messages.isEmpty());
    }

    // Matching case, and hex pairs found as the box shows them.
    void caseAndHex()
    {
        receive("panic\r\n");
        find()->showFind();
        in<QLineEdit>("FindText")->setText("PANIC");
        in<QCheckBox>("FindMatchCase")->setChecked(true);
        in<QPushButton>("FindNext")->click();
        QVERIFY(answered());
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("找不到“PANIC”"));
        QCOMPARE(dialogs->messages[0].icon, Dialogs::Icon::Information);

        w<QCheckBox>("ChkHexReceive")->setChecked(true);
        receive(QByteArray::fromHex("010314AABB0103140000"));
        display()->setCaretPosition(0);
        in<QLineEdit>("FindText")->setText("03 14 aa");
        in<QCheckBox>("FindMatchCase")->setChecked(false);
        in<QPushButton>("FindNext")->click();
        QVERIFY(answered());
        QCOMPARE(display()->selectionStart(), 7 + 3);
        QCOMPARE(selected(), QStringLiteral("03 14 AA"));
    }

    // F3 in the receive box finds; elsewhere in the window it sends saved command 3.
    void f3FindsInTheBoxOnly()
    {
        CommandsWindow *cw = form->commandsWindow();
        for (const char *content : {"one", "two", "three"})
            cw->setEdited({content, content, false, LineEnding::None, Checksum::None}),
                cw->addEdited();
        receive("three\r\n");
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        find()->showFind();
        in<QLineEdit>("FindText")->setText("three");
        find()->hide();
        form->activateWindow();
        display()->setFocus();
        display()->setCaretPosition(0);
        QTest::keyClick(display(), Qt::Key_F3);
        QVERIFY(answered());
        QCOMPARE(selected(), QStringLiteral("three"));
        QCOMPARE(comm->written, QByteArray());
        w<QPlainTextEdit>("TxtSend")->setFocus();
        QTest::keyClick(w<QPlainTextEdit>("TxtSend"), Qt::Key_F3);
        QCOMPARE(comm->written, QByteArray("three"));
    }

    // A clear during a search ends it and says so; 取消 stops a search, then closes.
    void clearAndCancel()
    {
        for (int i = 0; i < 8; ++i)
            display()->appendReceivedHex(QByteArray(1 << 20, '\x55'));
        find()->showFind();
        in<QLineEdit>("FindText")->setText("AB CD");
        find()->findNext(true);
        QVERIFY(find()->searching());
        w<QPushButton>("CmdClearReceive")->click();
        QVERIFY(!find()->searching());
        QCOMPARE(in<QLabel>("FindStatus")->text(),
                 QStringLiteral("接收框已清空或改动，查找已停止"));
        QTest::qWait(50);
        QVERIFY(dialogs->messages.isEmpty());

        display()->appendReceivedHex(QByteArray(1 << 20, '\x55'));
        find()->findNext(true);
        in<QPushButton>("FindCancel")->click();
        QVERIFY(!find()->searching() && find()->isVisible());
        in<QPushButton>("FindCancel")->click();
        QVERIFY(!find()->isVisible());
        QTest::qWait(50);
        QVERIFY(dialogs->messages.isEmpty());
    }
};

QTEST_MAIN(TestFindWindow)
#include "test_find_window.moc"
