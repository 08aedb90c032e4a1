#include "app/app_setup.h"
#include "app/commands_window.h"
#include "app/port_lines.h"
#include "support/fake_port.h"
#include "support/recording_dialogs.h"

#include <QAccessible>
#include <QAction>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

// The 常用指令 window as two people sharing a commands file meet it, and as the
// keyboard and a screen reader do.
class TestCommandsWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    RecordingDialogs dialogs;

    QString file() const { return dir->filePath("commands.ini"); }
    static QStringList names(const CommandsWindow &w)
    {
        QStringList n;
        for (const SavedCommand &c : w.commands())
            n << c.name;
        return n;
    }
    static void add(CommandsWindow &w, const QString &name)
    {
        w.setEdited({name, name});
        w.addEdited();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // never the user's own files
        configureApplication();
    }
    void init() { dir = std::make_unique<QTemporaryDir>(); }

    // Window B was loaded before A's change: B's change keeps A's, and each
    // window takes up the other's saves by itself.
    void twoWindowsOneFile()
    {
        CommandStore storeA(file()), storeB(file());
        CommandsWindow a(&storeA, &dialogs), b(&storeB, &dialogs);
        a.load();
        add(a, "shared-0");
        b.load();
        add(a, "from-A");
        add(b, "from-B"); // before B's watcher has told it of from-A
        const QStringList all = {"shared-0", "from-A", "from-B"};
        QCOMPARE(names(b), all);
        QCOMPARE(CommandStore(file()).load().commands.size(), 3);
        QTRY_COMPARE(names(a), all);

        b.selectRow(1);
        b.removeSelected();
        QTRY_COMPARE(names(a), (QStringList{"shared-0", "from-B"}));
        a.selectRow(1); // from-B, which B then moves up
        b.selectRow(1);
        b.moveSelected(-1);
        a.setEdited({"changed-B", "x"});
        a.replaceSelected(); // made to from-B where it is now, whether or not A has seen the move
        QTRY_COMPARE(names(b), (QStringList{"changed-B", "shared-0"}));
        QCOMPARE(names(a), names(b));
        QVERIFY(dialogs.messages.isEmpty());
    }

    // Esc closes 常用指令 and 控制线, and so does each one's 关闭 button.
    void closedFromTheKeyboard()
    {
        CommandStore store(file());
        FakePort port;
        QAction dtr, rts;
        CommandsWindow commands(&store, &dialogs);
        ControlLinesWindow lines(&port, &dtr, &rts);
        for (QWidget *w : std::initializer_list<QWidget *>{&commands, &lines}) {
            w->show();
            w->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(w));
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w,
                            Qt::Key_Escape);
            QTRY_VERIFY(!w->isVisible());
            w->show();
            auto *close = w->findChild<QPushButton *>("CmdClose");
            QVERIFY(close);
            QCOMPARE(close->text(), QStringLiteral("关闭"));
            close->click();
            QVERIFY(!w->isVisible());
        }
    }

    // A screen reader reads every column by its name, and presses 发送 to
    // send the selected command.
    void readAndSentByAScreenReader()
    {
        CommandStore store(file());
        CommandsWindow w(&store, &dialogs);
        w.load();
        add(w, "one");
        add(w, "two");
        w.show();
        QSignalSpy sent(&w, &CommandsWindow::sendRequested);
        QAccessibleInterface *table =
            QAccessible::queryAccessibleInterface(w.findChild<QTableView *>("CommandList"));
        QStringList headers;
        for (int i = 0; i < table->childCount(); ++i)
            if (table->child(i)->role() == QAccessible::ColumnHeader)
                headers << table->child(i)->text(QAccessible::Name);
        QCOMPARE(headers, (QStringList{"按键", "名称", "内容", "类型", "行尾", "校验"}));

        auto *send = w.findChild<QPushButton *>("CmdSendCommand");
        QAccessibleInterface *button = QAccessible::queryAccessibleInterface(send);
        QCOMPARE(button->role(), QAccessible::Button);
        QCOMPARE(button->text(QAccessible::Name), QStringLiteral("发送(S)"));
        QVERIFY(w.selectedRow() == 1);
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(sent.size(), 1); // the press is a click, shown for a moment
        QCOMPARE(sent.first().first().value<SavedCommand>().name, QStringLiteral("two"));
        w.selectRow(-1);
        QVERIFY(button->state().disabled); // nothing to send
    }
};

QTEST_MAIN(TestCommandsWindow)
#include "test_commands_window.moc"
