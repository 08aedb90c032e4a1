#include "app/script_window.h"
#include "app/send_box_menu.h"
#include "receive/receive_display.h"
#include "script/script_port.h"
#include "script/script_run.h"
#include "support/menu_probe.h"
#include "support/pty_window.h"

#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The 脚本 window on the window's own port (COM1 on a pseudo-terminal).
class TestScriptWindow : public PtyWindowTest
{
    Q_OBJECT

    QTemporaryDir dir;

    QString script(const QByteArray &code)
    {
        const QString path = dir.filePath(QStringLiteral("w.lua"));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(code);
        return path;
    }
    ScriptWindow *scripts() { return form->scriptWindow(); }
    QStringList lines()
    {
        QStringList l;
        for (int i = 0; i < scripts()->logList()->count(); ++i)
            l << scripts()->logList()->item(i)->text().mid(10);
        return l;
    }
    bool waitForEnd(int ms = 10000)
    {
        QSignalSpy ended(scripts()->run(), &ScriptRun::finished);
        return !scripts()->run()->isRunning() || ended.wait(ms);
    }

private slots:
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    // 运行脚本… asks for a file in the scripts folder and runs it at once: it
    // sends on the window's port (counted in TX), what comes back shows in
    // the receive box and reaches the script, and the user may send meanwhile.
    void fromTheMenu()
    {
        bool offered = false;
        QVERIFY(probeMenu(
            [&] { form->sendBoxMenu()->showMenu(w("TxtSend")->mapToGlobal(QPoint(5, 5))); },
            [&](QMenu *m) {
                for (QAction *a : m->actions())
                    if (a->text() == QStringLiteral("运行脚本…")) {
                        offered = true;
                        a->trigger();
                    }
            }));
        QVERIFY(offered);
        QCOMPARE(dialogs->scriptFolder, MainForm::folderPickerRoot()); // cancelled: nothing runs
        QVERIFY(!scripts()->isVisible());

        dialogs->scriptAnswer = script(R"(
            test("ping", function()
                send("ping")
                local i = expect("pong", 3000)
                check(i == 1, "no pong")
                sleep(300)                   -- the user sends meanwhile
            end)
        )");
        form->scriptWindow()->chooseAndRun(MainForm::folderPickerRoot());
        QVERIFY(scripts()->isVisible());
        QCOMPARE(device->readWithEvents(4), QByteArray("ping"));
        device->write("pong");
        QTRY_COMPARE(tx(), QStringLiteral("TX:4"));
        w<QPlainTextEdit>("TxtSend")->setPlainText(QStringLiteral("hi"));
        w<QPushButton>("CmdSend")->click();
        QCOMPARE(device->readWithEvents(2), QByteArray("hi"));
        QVERIFY(waitForEnd());
        QTRY_COMPARE(w<ReceiveDisplay>("TxtReceive")->text(), QStringLiteral("pong"));
        QCOMPARE(scripts()->summary()->text(), QStringLiteral("通过 1，失败 0"));
        QCOMPARE(scripts()->state()->text(), QStringLiteral("已结束"));
        QVERIFY2(lines().last().startsWith(QStringLiteral("PASS ping (")),
                 qPrintable(lines().join('\n')));
    }

    // open() sets the selectors as typing them would and opens; a failing
    // open tells the script, with no message box in the way.
    void openThroughTheSelectors()
    {
        scripts()->runScript(script(R"(
            test("reopen", function() open("COM1", "115200,E,7,2") end)
            test("missing", function() open("/dev/quorvex-none", "9600,N,8,1") end)
        )"));
        QVERIFY(waitForEnd());
        QCOMPARE(scripts()->summary()->text(), QStringLiteral("通过 1，失败 1"));
        QVERIFY(dialogs->messages.isEmpty());
        QCOMPARE(w<QComboBox>("CboCom")->currentText(), QStringLiteral("/dev/quorvex-none"));
        QCOMPARE(w<QComboBox>("CboBaudrate")->currentText(), QStringLiteral("9600"));
        QVERIFY2(
            lines().filter(QStringLiteral("FAIL missing: 无法打开 /dev/quorvex-none：")).size() ==
                1,
            qPrintable(lines().join('\n')));
        // The switch after a script: the window's own message again.
        w<QPushButton>("CmdSwitch")->click();
        QCOMPARE(dialogs->messages.size(), 1);
    }

    // 停止 ends an endless loop; 运行 runs the script again from the start.
    void stopAndRunAgain()
    {
        scripts()->runScript(script("log('go'); while true do end"));
        QVERIFY(scripts()->stopButton()->isEnabled());
        QVERIFY(!scripts()->runButton()->isEnabled());
        QTRY_COMPARE(lines(), QStringList{QStringLiteral("go")});
        scripts()->stopButton()->click();
        QVERIFY(waitForEnd(5000));
        QCOMPARE(scripts()->state()->text(), QStringLiteral("已停止"));
        QVERIFY(scripts()->runButton()->isEnabled());
        QVERIFY(!scripts()->stopButton()->isEnabled());
        scripts()->runButton()->click();
        QVERIFY(scripts()->run()->isRunning());
        QTRY_COMPARE(lines(), QStringList{QStringLiteral("go")}); // the list begins again
        form->quit();                                             // quitting stops it too
        QVERIFY(!scripts()->run()->isRunning());
    }

    // A screen reader reads every control by name, and the buttons' states.
    void readByAScreenReader()
    {
        scripts()->runScript(script("sleep(5000)"));
        QStringList names;
        for (QWidget *c : scripts()->findChildren<QWidget *>()) {
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(c);
            if (a &&
                (a->role() == QAccessible::PushButton || a->role() == QAccessible::List ||
                 a->role() == QAccessible::EditableText || a->role() == QAccessible::StaticText))
                names << a->text(QAccessible::Name) +
                             (a->state().disabled ? QStringLiteral("(disabled)") : QString());
        }
        names.sort();
        QVERIFY2(names.contains(QStringLiteral("运行(R)(disabled)")) &&
                     names.contains(QStringLiteral("停止(S)")) &&
                     names.contains(QStringLiteral("运行记录")) &&
                     names.contains(QStringLiteral("脚本文件")) &&
                     names.contains(QStringLiteral("通过 0，失败 0")) &&
                     names.contains(QStringLiteral("正在运行")),
                 qPrintable(names.join(u',')));
        scripts()->stopButton()->click();
        QVERIFY(waitForEnd(5000));
    }
};

QTEST_MAIN(TestScriptWindow)
#include "test_script_window.moc"
