// File transfers from the window: the send box's 文件传输 menu, the 文件传输
// window, and the receive box, which leaves a transfer's bytes to it and says
// so on one line at the end.
#include "app/send_box_menu.h"
#include "app/transfer_window.h"
#include "receive/receive_display.h"
#include "support/fake_window.h"
#include "support/menu_probe.h"
#include "transfer/xmodem.h"

#include <QAccessible>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

class TestTransferWindow : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    QString shown() { return display()->textRange(0, display()->length()); }
    QByteArray bytes(const std::string &s) { return QByteArray(s.data(), qsizetype(s.size())); }
    // The 文件传输 submenu's items while the send box's menu is open: their
    // texts, and each handed to pick.
    QStringList transferItems(const std::function<void(QAction *)> &pick = {})
    {
        QStringList texts;
        QPlainTextEdit *box = w<QPlainTextEdit>("TxtSend");
        probeMenu([&] { form->sendBoxMenu()->showMenu(box->mapToGlobal(QPoint(5, 5))); },
                  [&](QMenu *m) {
                      for (QAction *a : m->actions())
                          if (a->menu() && a->text() == "文件传输")
                              for (QAction *i : a->menu()->actions())
                                  if (!i->isSeparator()) {
                                      texts << i->text();
                                      if (pick)
                                          pick(i);
                                  }
                  });
        return texts;
    }
    void choose(const QString &text)
    {
        bool found = false;
        transferItems([&](QAction *a) {
            if (a->text() == text) {
                found = true;
                a->trigger();
            }
        });
        QVERIFY(found);
    }
    void receive(const QByteArray &b)
    {
        QSignalSpy got(comm.get(), &Port::received);
        comm->receive(b);
        QVERIFY(got.wait(2000));
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        makeShownWindow(dir->filePath("commands.ini"));
        w<QLineEdit>("TxtSavePath")->setText(dir->filePath("save"));
    }
    void cleanup() { closeWindow(); }

    void menuOffersEachProtocolBothWays()
    {
        QCOMPARE(transferItems(),
                 (QStringList{"XMODEM 发送…", "XMODEM-1K 发送…", "YMODEM 发送…", "ZMODEM 发送…",
                              "XMODEM 接收…", "YMODEM 接收", "ZMODEM 接收"}));
        // Without lrzsz, ZMODEM stays in the menu, greyed, saying why.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", dir->path().toLocal8Bit());
        const QStringList without = transferItems([](QAction *a) {
            if (a->text().startsWith("ZMODEM")) {
                QVERIFY(!a->isEnabled());
                QVERIFY(a->text().endsWith("（未安装 lrzsz）"));
                QAccessibleInterface *ai = QAccessible::queryAccessibleInterface(a);
                QVERIFY(ai && ai->text(QAccessible::Name).contains("未安装 lrzsz"));
                QVERIFY(ai->state().disabled);
            } else {
                QVERIFY(a->isEnabled());
            }
        });
        qputenv("PATH", path);
        QCOMPARE(without.size(), 7);
    }

    // An XMODEM receive from the menu, the device played by hand: the blocks
    // go to the file, not to the box, which says so once at the end.
    void xmodemReceiveKeepsTheFileOutOfTheBox()
    {
        receive("before ");
        dialogs->saveFileAnswer = dir->filePath("save/fw.bin");
        comm->written.clear();
        choose("XMODEM 接收…");
        TransferWindow *win = form->transferWindow();
        QVERIFY(win && win->isVisible());
        QVERIFY(win->cancelButton()->isEnabled());
        QCOMPARE(comm->written, QByteArray("C"));
        const std::string data(200, 'Z');
        const QByteArray blocks =
            bytes(xmodem::block(1, data.substr(0, 128), 128, xmodem::Check::Crc)) +
            bytes(xmodem::block(2, data.substr(128), 128, xmodem::Check::Crc));
        receive(blocks.left(133));
        receive(blocks.mid(133));
        receive("\x04");
        receive("\x04");
        QTRY_VERIFY(!form->transferRun()->running());
        QCOMPARE(comm->written, QByteArray("C\x06\x06\x15\x06"));
        QFile f(dir->filePath("save/fw.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray(200, 'Z') + QByteArray(56, '\x1a'));
        QVERIFY(win->result()->text().startsWith("成功"));
        QVERIFY(!win->cancelButton()->isEnabled());
        QCOMPARE(win->bar()->value(), 1000);
        QVERIFY(!shown().contains("ZZZ"));
        QVERIFY2(shown().startsWith("before \r\n（文件传输 XMODEM-CRC 接收，成功"),
                 qPrintable(shown()));
        QVERIFY(shown().contains("传输中收到的 268 字节交给了传输"));
        QTRY_COMPARE(w<QLineEdit>("TxtRXCount")->text(), QStringLiteral("RX:275"));
        // Received data shows again.
        receive("after");
        QVERIFY(shown().endsWith("未显示）\r\nafter"));
    }

    // The device goes mid-YMODEM: the transfer fails at once, keeps nothing,
    // and the window goes on.
    void lostPortEndsTheTransfer()
    {
        choose("YMODEM 接收");
        QVERIFY(form->transferRun()->running());
        receive(bytes(xmodem::block(0,
                                    std::string("a.bin\0"
                                                "5000",
                                                10),
                                    128, xmodem::Check::Crc, '\0')));
        receive(bytes(xmodem::block(1, std::string(1024, 'q'), 1024, xmodem::Check::Crc)));
        comm->lose();
        QTRY_VERIFY(!form->transferRun()->running());
        QVERIFY(form->transferWindow()->result()->text().contains("串口断开了"));
        QVERIFY(shown().contains("失败：串口断开了"));
        QVERIFY(QDir(dir->filePath("save")).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }
};

QTEST_MAIN(TestTransferWindow)
#include "test_transfer_window.moc"
