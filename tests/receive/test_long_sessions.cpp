#include "receive/line_stamps.h"
#include "receive/receive_display.h"
#include "support/fake_window.h"
#include "support/file_size_limit.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

// Recording every received byte to a file, and timestamps on what arrives.
class TestLongSessions : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    const QDateTime tickTime{QDate(2026, 12, 7), QTime(9, 5, 3)};

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    QString recordPath() { return dir->path() + "/rec/rx-20261207-090503.log"; }
    // Deliveries come at most every 10 ms; this waits for the one that
    // brings these bytes.
    void receive(const QByteArray &bytes, qint64 msecs = -1)
    {
        comm->receive(bytes, msecs);
        QTRY_COMPARE(comm->queuedBytes(), 0); // delivered, and shown in the same call
    }
    static qint64 at(int h, int m, int s, int ms)
    {
        return QDateTime(QDate(2026, 12, 7), QTime(h, m, s, ms)).toMSecsSinceEpoch();
    }
    QByteArray recorded()
    {
        QFile f(recordPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(no record)");
    }
    void tickHex(bool on) { w<QCheckBox>("ChkHexReceive")->setChecked(on); }

private slots:
    void init()
    {
        makeWindow();
        form->setClock([this] { return tickTime; });
        form->formLoad();
        form->show();
        dir = std::make_unique<QTemporaryDir>();
        w<QLineEdit>("TxtSavePath")->setText(dir->path() + "/rec");
    }
    void cleanup() { closeWindow(); }

    // The menu key opens the menu; the arrow keys and Enter tick an item.
    void menuByKeyboard()
    {
        QStringList texts;
        display()->setFocus();
        QTimer::singleShot(200, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction *a : menu->actions())
                texts << (a->isSeparator() ? QStringLiteral("|")
                                           : a->text() + (a->isChecked() ? "+" : ""));
            QTest::keyClick(menu, Qt::Key_Up); // from the top, up wraps to the last item
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QTest::keyClick(display(), Qt::Key_Menu);
        QCOMPARE(texts, (QStringList{"剪切", "复制", "粘贴", "删除", "|", "全选", "查找…", "绘图…",
                                     "|", "记录到文件", "记录收发", "显示时间戳", "显示发送数据"}));
        QVERIFY(display()->showSentAction()->isChecked());
        QVERIFY(!display()->stampAction()->isChecked());
        QVERIFY(!display()->recordAction()->isChecked());
    }

    // Assistive technology reads every item of every opening of the menu (the
    // menu is made anew each time), the switches with their state, and ticks
    // them through the item's own action.
    void menuReadByAssistiveTechnology()
    {
        for (const char *expected : {"记录到文件 - 记录收发 - 显示时间戳 - 显示发送数据 - ",
                                     "记录到文件 - 记录收发 - 显示时间戳 - 显示发送数据 + "}) {
            const std::unique_ptr<QMenu> menu = display()->contextMenu();
            menu->popup(QPoint(0, 0));
            QAccessibleInterface *list = QAccessible::queryAccessibleInterface(menu.get());
            QString read;
            for (int i = 0; i < list->childCount(); ++i) {
                QAccessibleInterface *item = list->child(i);
                QVERIFY(item->isValid() && item->parent() == list);
                if (item->role() == QAccessible::CheckBox && item->state().checkable)
                    read += item->text(QAccessible::Name) + (item->state().checked ? " + " : " - ");
            }
            QCOMPARE(read, QString::fromUtf8(expected));
            // The last item, 显示发送数据, ticked (then unticked) as a screen reader does it.
            list->child(list->childCount() - 1)
                ->actionInterface()
                ->doAction(QAccessibleActionInterface::pressAction());
            QCOMPARE(display()->showSentAction()->isChecked(), read.endsWith("- "));
            menu->hide();
        }
    }

    // A name that is taken (here by a planted link) gets a suffix: nothing is
    // written through the link, and the record is for this user's eyes only.
    void recordNeverFollowsALink()
    {
        QVERIFY(QDir().mkpath(dir->path() + "/rec"));
        const QString victim = dir->path() + "/victim";
        QFile(victim).open(QIODevice::WriteOnly);
        QVERIFY(QFile::link(victim, recordPath()));
        display()->recordAction()->trigger();
        receive("secret");
        display()->recordAction()->trigger();
        QCOMPARE(QFileInfo(victim).size(), 0);
        QFile record(dir->path() + "/rec/rx-20261207-090503-1.log");
        QVERIFY(record.open(QIODevice::ReadOnly));
        QCOMPARE(record.readAll(), QByteArray("secret"));
        QCOMPARE(record.permissions() & 0x7077,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner); // owner, group, others
    }

    void emptySaveFolder()
    {
        w<QLineEdit>("TxtSavePath")->clear();
        display()->recordAction()->trigger();
        QVERIFY(!display()->recordAction()->isChecked());
        QCOMPARE(dialogs->messages.value(0).text,
                 QStringLiteral("无法写入记录文件：rx-20261207-090503.log"));
    }

    // Every byte, as received, whatever the display does with it.
    void recordEqualsWhatArrived_data()
    {
        QTest::addColumn<bool>("hex");
        QTest::newRow("text display") << false;
        QTest::newRow("hex display") << true;
    }
    void recordEqualsWhatArrived()
    {
        QFETCH(bool, hex);
        tickHex(hex);
        display()->recordAction()->trigger();
        QVERIFY(display()->recordAction()->isChecked());
        QRandomGenerator rng(hex ? 7 : 8);
        QByteArray sent;
        for (int i = 0; i < 200; ++i) {
            QByteArray piece(rng.bounded(1, 700), Qt::Uninitialized);
            for (char &b : piece)
                b = char(rng.bounded(256));
            if (i == 60 || i == 120) {
                QTRY_COMPARE(comm->queuedBytes(), 0);
                QTest::mouseClick(w<QPushButton>("CmdStopdisp"), Qt::LeftButton);
            }
            comm->receive(piece); // several reads to an event, as under a flood
            sent += piece;
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE(w<QLineEdit>("TxtRXCount")->text(), "RX:" + QString::number(sent.size()));
        QTRY_COMPARE(recorded().size(), sent.size()); // on the disk without unticking
        QVERIFY(recorded() == sent);
        display()->recordAction()->trigger();
        QVERIFY(!display()->recordAction()->isChecked());
        receive("after");
        QVERIFY(recorded() == sent);
        QVERIFY(dialogs->messages.isEmpty());
    }

    void recordGoesOnAcrossCloseAndOpen()
    {
        display()->recordAction()->trigger();
        receive("one ");
        QTest::mouseClick(w<QPushButton>("CmdSwitch"), Qt::LeftButton);
        QVERIFY(!comm->isOpen());
        QTest::mouseClick(w<QPushButton>("CmdSwitch"), Qt::LeftButton);
        QVERIFY(comm->isOpen());
        receive("two");
        QTest::mouseClick(w<QPushButton>("CmdQuit"), Qt::LeftButton); // quitting closes the record
        QCOMPARE(recorded(), QByteArray("one two"));
    }

    void recordThatCannotBeMade()
    {
        QFile blocker(dir->path() + "/rec");
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        display()->recordAction()->trigger();
        QVERIFY(!display()->recordAction()->isChecked());
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("无法写入记录文件：") + recordPath());
        QCOMPARE(dialogs->messages[0].icon, Dialogs::Icon::Exclamation);
        QCOMPARE(dialogs->messages[0].buttons, Dialogs::Buttons::Ok);
    }

    // A file that can grow no further (a full disk): the recording stops with
    // the message, and what was written stays.
    void recordThatStopsGrowing()
    {
        {
            FileSizeLimit full(4096);
            display()->recordAction()->trigger();
            receive(QByteArray(3000, 'a'));
            QTRY_COMPARE(recorded().size(), 3000);
            receive(QByteArray(3000, 'b'));
            QTRY_COMPARE(dialogs->messages.size(), 1);
        }
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("无法写入记录文件：") + recordPath());
        QVERIFY(!display()->recordAction()->isChecked());
        QVERIFY(recorded().startsWith(QByteArray(3000, 'a')));
    }

    // The stamping rules, piece by piece as the reads bring them.
    void stamps_data()
    {
        QTest::addColumn<bool>("hex");
        QTest::addColumn<bool>("emptyDisplay");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QList<int>>("readAtMs");
        QTest::addColumn<QString>("shown");
        const QString t0 = stampText(at(10, 0, 0, 0)), t1 = stampText(at(10, 0, 0, 19)),
                      t2 = stampText(at(10, 0, 0, 40));
        QTest::newRow("text: a line split across reads")
            << false << true << QList<QByteArray>{"ab", "c\r\n"} << QList<int>{0, 19}
            << t0 + "abc\r\n";
        QTest::newRow("text: a line begun after a line feed")
            << false << true << QList<QByteArray>{"a\r\n", "b\nc"} << QList<int>{0, 40}
            << t0 + "a\r\n" + t2 + "b\n" + t2 + "c";
        QTest::newRow("text: a line feed at the end waits for the next character")
            << false << true << QList<QByteArray>{"a\n", "", "b"} << QList<int>{0, 19, 40}
            << t0 + "a\n" + t2 + "b";
        QTest::newRow("text: switched on mid-line, the next line is the first stamped")
            << false << false << QList<QByteArray>{"rest\r\n", "next"} << QList<int>{0, 40}
            << "rest\r\n" + t2 + "next";
        QTest::newRow("hex: 19 ms is no silence, 21 ms is")
            << true << true << QList<QByteArray>{"\x01", "\x02", "\xff"} << QList<int>{0, 19, 40}
            << t0 + "01 02 \r\n" + t2 + "FF ";
        QTest::newRow("hex: switched on with something shown")
            << true << false << QList<QByteArray>{"\x0a"} << QList<int>{19} << "\r\n" + t1 + "0A ";
    }
    void stamps()
    {
        QFETCH(bool, hex);
        QFETCH(bool, emptyDisplay);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QList<int>, readAtMs);
        QFETCH(QString, shown);
        LineStamper stamper;
        stamper.restart(emptyDisplay);
        QString out;
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            const qint64 t = at(10, 0, 0, 0) + readAtMs[i];
            out +=
                hex ? stamper.hex(pieces[i], t) : stamper.text(QString::fromLatin1(pieces[i]), t);
        }
        QCOMPARE(out, shown);
    }

    void stampFormat()
    {
        QCOMPARE(stampText(at(9, 5, 3, 7)), QStringLiteral("[09:05:03.007] "));
        QCOMPARE(stampText(at(23, 59, 59, 999)), QStringLiteral("[23:59:59.999] "));
    }

    // Through the window: read times from the port, stamps not counted, the
    // text decoded stretch by stretch, and unticking leaves what is shown.
    void stampsInTheWindow()
    {
        display()->stampAction()->trigger();
        receive("x\xd6", at(8, 0, 0, 1));
        receive("\xd0y\r\nz", at(8, 0, 0, 250));
        const QString first = stampText(at(8, 0, 0, 1)) + QString::fromUtf8("x中y\r\n") +
                              stampText(at(8, 0, 0, 250)) + "z";
        QCOMPARE(display()->text(), first);
        QTRY_COMPARE(w<QLineEdit>("TxtRXCount")->text(), QStringLiteral("RX:7"));

        tickHex(true);
        receive("\x01\x02", at(8, 0, 1, 0));
        receive("\x03", at(8, 0, 1, 30));
        const QString second = first + "\r\n" + stampText(at(8, 0, 1, 0)) + "01 02 \r\n" +
                               stampText(at(8, 0, 1, 30)) + "03 ";
        QCOMPARE(display()->text(), second);

        display()->stampAction()->trigger();
        receive("\x04", at(8, 0, 2, 0));
        QCOMPARE(display()->text(), second + "04 ");
        QTRY_COMPARE(w<QLineEdit>("TxtRXCount")->text(), QStringLiteral("RX:11"));

        QTest::mouseClick(w<QPushButton>("CmdClearReceive"), Qt::LeftButton);
        display()->stampAction()->trigger();
        receive("\x05", at(8, 0, 3, 0)); // an empty display: no line break first
        QCOMPARE(display()->text(), stampText(at(8, 0, 3, 0)) + "05 ");

        tickHex(false);
        receive("ok\r\n", at(8, 0, 4, 0));
        tickHex(true);
        receive("\x06", at(8, 0, 5, 0)); // the text's line is ended: no empty line between
        QCOMPARE(display()->text(), stampText(at(8, 0, 3, 0)) + "05 \r\n" +
                                        stampText(at(8, 0, 4, 0)) + "ok\r\n" +
                                        stampText(at(8, 0, 5, 0)) + "06 "); // each on its own line
    }
};

QTEST_MAIN(TestLongSessions)
#include "test_long_sessions.moc"
