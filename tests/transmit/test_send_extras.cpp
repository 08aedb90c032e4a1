#include "app/commands_window.h"
#include "app/send_box_menu.h"
#include "support/fake_window.h"
#include "support/menu_probe.h"
#include "widgets/counter_box.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

// The send box's menu, the recent sends and the saved commands, in the window.
class TestSendExtras : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QPlainTextEdit *box() { return w<QPlainTextEdit>("TxtSend"); }
    QString tx() { return w<QLineEdit>("TxtTXCount")->text(); }
    void hexSend(bool on)
    {
        w<QCheckBox>("ChkHexSend")->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    void send(const QString &text)
    {
        box()->setPlainText(text);
        w<QPushButton>("CmdSend")->click();
    }
    // Drained, and the counter box showing it.
    void drain()
    {
        QSignalSpy drained(comm.get(), &Port::drained);
        comm->drain();
        QVERIFY(drained.wait(2000));
    }
    SendBoxMenu *menu() { return form->sendBoxMenu(); }
    // The context menu, inspected while it is open.
    void withMenu(const std::function<void(QMenu *)> &inspect)
    {
        QVERIFY(probeMenu([&] { menu()->showMenu(box()->mapToGlobal(QPoint(5, 5))); }, inspect));
    }
    static QMenu *submenu(QMenu *m, const QString &title)
    {
        for (QAction *a : m->actions())
            if (a->menu() && a->text() == title)
                return a->menu();
        return nullptr;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        makeShownWindow(dir->filePath("commands.ini"));
    }
    void cleanup() { closeWindow(); }

    // The line ending follows every text send and is counted with it; the
    // checksum follows the bytes of every hex send; a rejected hex text stays
    // rejected.
    void endingAndChecksumOnTheWire()
    {
        menu()->endingActions()[3]->trigger();   // CR LF
        menu()->checksumActions()[1]->trigger(); // CRC-16/MODBUS
        send("  AT+GMR ");
        QCOMPARE(comm->written, QByteArray("AT+GMR\r\n"));
        drain();
        QTRY_COMPARE(tx(),
                     QStringLiteral("TX:8")); // what went out: the box trimmed, and the ending
        comm->written.clear();
        hexSend(true);
        send("01 03 00 00 00 0A");
        QCOMPARE(comm->written, QByteArray::fromHex("01030000000AC5CD"));
        QTRY_COMPARE(
            tx(), QStringLiteral("TX:16")); // counted at once, shown within the counter's settling
        comm->written.clear();
        send("GG");
        QVERIFY(comm->written.isEmpty());
        QCOMPARE(tx(), QStringLiteral("TX:16"));
    }

    // The menu: Qt's editing items, then the five of the send box, the chosen
    // ending and checksum read as checked radio buttons.
    void menuAsShownAndRead()
    {
        menu()->checksumActions()[4]->trigger(); // CRC-32
        withMenu([&](QMenu *m) {
            const QList<QAction *> items = m->actions();
            QVERIFY(items.size() >= 7);
            QStringList last;
            for (qsizetype i = items.size() - 7; i < items.size(); ++i)
                last << (items[i]->isSeparator() ? QStringLiteral("|") : items[i]->text());
            QCOMPARE(last, (QStringList{"|", "行尾", "校验", "最近发送", "常用指令…", "运行脚本…",
                                        "文件传输"}));
            QMenu *checksum = submenu(m, "校验");
            QCOMPARE(checksum->actions().size(), 7);
            for (QAction *a : checksum->actions()) {
                QAccessibleInterface *ai = QAccessible::queryAccessibleInterface(a);
                QVERIFY(ai);
                QCOMPARE(ai->role(), QAccessible::RadioButton);
                QCOMPARE(ai->text(QAccessible::Name), a->text());
                QCOMPARE(bool(ai->state().checked), a->text() == QStringLiteral("CRC-32"));
            }
            QCOMPARE(submenu(m, "最近发送")->actions().size(), 1); // nothing sent yet
            QVERIFY(!submenu(m, "最近发送")->actions()[0]->isEnabled());
            submenu(m, "行尾")->actions()[2]->trigger(); // LF, from the menu
        });
        QCOMPARE(menu()->options().ending, LineEnding::LF);
        QCOMPARE(menu()->options().checksum, Checksum::Crc32);
    }

    // Manual sends come back through Ctrl+Up and Ctrl+Down, as in a shell, and
    // through the menu, each with its hex tick.
    void recentSends()
    {
        send("first");
        hexSend(true);
        send("01 02");
        hexSend(false);
        box()->setPlainText("draft");
        box()->setFocus();
        QTest::keyClick(box(), Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(box()->toPlainText(), QStringLiteral("01 02"));
        QCOMPARE(w<QCheckBox>("ChkHexSend")->checkState(), Qt::Checked);
        QTest::keyClick(box(), Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(box()->toPlainText(), QStringLiteral("first"));
        QCOMPARE(w<QCheckBox>("ChkHexSend")->checkState(), Qt::Unchecked);
        QTest::keyClick(box(), Qt::Key_Down, Qt::ControlModifier);
        QTest::keyClick(box(), Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(box()->toPlainText(), QStringLiteral("draft"));
        withMenu([&](QMenu *m) {
            QMenu *recent = submenu(m, "最近发送");
            QCOMPARE(recent->actions().size(), 2);
            QCOMPARE(recent->actions()[0]->text(), QStringLiteral("[HEX] 01 02"));
            QCOMPARE(recent->actions()[1]->toolTip(), QStringLiteral("first"));
            recent->actions()[0]->trigger();
        });
        QCOMPARE(box()->toPlainText(), QStringLiteral("01 02"));
        QCOMPARE(w<QCheckBox>("ChkHexSend")->checkState(), Qt::Checked);
    }

    // Saved commands: kept in their file, sent by F1 to F12 through the same
    // checks as the send button, counted as they went out, their line breaks
    // as the file says.
    void savedCommands()
    {
        CommandsWindow *cw = form->commandsWindow();
        cw->setEdited({"reset", "AT+RST", false, LineEnding::CRLF, Checksum::None});
        cw->addEdited();
        cw->setEdited({"read", "01 03 00 00 00 0A", true, LineEnding::None, Checksum::Crc16Modbus});
        cw->addEdited();
        cw->moveSelected(-1); // read is F1 now
        QCOMPARE(cw->commands()[0].name, QStringLiteral("read"));
        QCOMPARE(CommandStore(dir->filePath("commands.ini")).load().commands, cw->commands());
        dialogs->commandsFileAnswer = dir->filePath("shared.ini");
        cw->exportFile();
        QCOMPARE(dialogs->commandsFolder, QDir::homePath()); // not where the program started
        QCOMPARE(CommandStore::importFrom(dir->filePath("shared.ini")).commands, cw->commands());
        dialogs->commandsFileAnswer.reset();
        cw->importFile();
        QCOMPARE(dialogs->commandsFolder, dir->path()); // the last folder used

        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F1);
        QCOMPARE(comm->written, QByteArray::fromHex("01030000000AC5CD"));
        QCOMPARE(tx(), QStringLiteral("TX:8"));
        drain(); // counted when sent, not again
        QTest::qWait(CounterBox::kSettleMs + 50);
        QCOMPARE(tx(), QStringLiteral("TX:8"));
        QTest::keyClick(form.get(), Qt::Key_F2);
        QCOMPARE(comm->written.mid(8), QByteArray("AT+RST\r\n"));
        drain();
        QTRY_COMPARE(tx(), QStringLiteral("TX:16"));
        drain(); // once
        QTest::qWait(CounterBox::kSettleMs + 50);
        QCOMPARE(tx(), QStringLiteral("TX:16"));
        // As another window (or an editor) saves it; the line breaks as the file says.
        QVERIFY(CommandStore(dir->filePath("commands.ini")).update([](QList<SavedCommand> &l) {
            l << SavedCommand{"lines", " X\rY\nZ "};
        }));
        cw->takeUpChanges();
        QCOMPARE(cw->commands().size(), 3);
        QTest::keyClick(form.get(), Qt::Key_F3);
        QCOMPARE(comm->written.mid(16), QByteArray("X\rY\nZ"));
        drain();
        QTRY_COMPARE(tx(), QStringLiteral("TX:21"));
        QTest::keyClick(form.get(), Qt::Key_F4); // no fourth command
        QCOMPARE(comm->written.size(), 21);

        cw->selectRow(1);
        QTest::keyClick(cw->findChild<QTableView *>("CommandList"), Qt::Key_Return);
        QCOMPARE(comm->written.mid(21), QByteArray("AT+RST\r\n"));
        cw->findChild<QPushButton *>("CmdSendCommand")->click();
        QCOMPARE(comm->written.mid(29), QByteArray("AT+RST\r\n"));
        QTest::mouseClick(w<QPushButton>("CmdSwitch"), Qt::LeftButton); // closed
        QTest::keyClick(form.get(), Qt::Key_F1);
        QCOMPARE(dialogs->messages.value(0).text, QStringLiteral("串口没有打开，请打开串口"));
        QCOMPARE(comm->written.size(), 37);
    }

    // A bad commands file: said with its line at the first F-key (after the
    // key's own event), an empty list, the file kept; a bad import changes nothing.
    void badFiles()
    {
        QFile bad(dir->filePath("commands.ini"));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("[command]\nname=x\ntype=hexx\n") > 0);
        bad.close();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F1);
        QVERIFY(dialogs->messages.isEmpty());
        QTRY_VERIFY(dialogs->messages.value(0).text.contains(QStringLiteral("第 3 行")));
        CommandsWindow *cw = form->commandsWindow();
        QVERIFY(cw->commands().isEmpty());
        QFile imported(dir->filePath("import.ini"));
        QVERIFY(imported.open(QIODevice::WriteOnly) && imported.write("name=y\n") > 0);
        imported.close();
        dialogs->commandsFileAnswer = imported.fileName();
        cw->importFile();
        QVERIFY(dialogs->messages.value(1).text.contains(QStringLiteral("第 1 行")));
        QVERIFY(cw->commands().isEmpty());
        QVERIFY(bad.open(QIODevice::ReadOnly));
        QCOMPARE(bad.readAll(), QByteArray("[command]\nname=x\ntype=hexx\n"));
    }
};

QTEST_MAIN(TestSendExtras)
#include "test_send_extras.moc"
