// Both directions in the window: sends shown among what comes back, in a
// colour of their own, and the two-way log switched from the receive box's menu.
#include "app/send_box_menu.h"
#include "receive/receive_display.h"
#include "receive/txrx_line.h"
#include "support/fake_window.h"

#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

class TestTwoWay : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    // A Modbus reply of slave 1 with ten registers.
    const QByteArray reply = QByteArray::fromHex("010314000100020003000400050006000700080009000A") +
                             QByteArray::fromHex("1234");

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    void tick(const char *box, bool on)
    {
        w<QCheckBox>(box)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    void send(const QString &text)
    {
        w<QPlainTextEdit>("TxtSend")->setPlainText(text);
        w<QPushButton>("CmdSend")->click();
    }
    void receive(const QByteArray &bytes)
    {
        QSignalSpy got(comm.get(), &Port::received);
        comm->receive(bytes);
        QVERIFY(got.wait(2000));
    }
    // Pixels of the box drawn in the sent colour (blue on the light
    // background), edges of glyphs blended with it included.
    int sentPixels()
    {
        const QImage shot = display()->viewport()->grab().toImage();
        int n = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                n += c.blue() - c.red() > 60;
            }
        return n;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        makeShownWindow(dir->filePath("commands.ini"));
        w<QLineEdit>("TxtSavePath")->setText(dir->path());
        display()->clear();
    }
    void cleanup() { closeWindow(); }

    // The Modbus request with its CRC as a sent line, the reply on its own
    // line after it, in both forms; the counters count what they always did.
    void modbusRequestAndReply_data()
    {
        QTest::addColumn<bool>("hexShown");
        QTest::newRow("hex display") << true;
        QTest::newRow("text display") << false;
    }
    void modbusRequestAndReply()
    {
        QFETCH(bool, hexShown);
        tick("ChkHexReceive", hexShown);
        tick("ChkHexSend", true);
        form->sendBoxMenu()->checksumActions()[1]->trigger(); // CRC-16/MODBUS
        display()->showSentAction()->trigger();
        receive("x");
        send("01 03 00 00 00 0A");
        QCOMPARE(comm->written, QByteArray::fromHex("01030000000AC5CD"));
        receive(reply);
        const QString text = display()->text();
        const QString sentLine = QStringLiteral("→ 01 03 00 00 00 0A C5 CD\r\n");
        const qsizetype at = text.indexOf(sentLine);
        QVERIFY2(at > 0, qPrintable(text));
        QCOMPARE(text.left(at), hexShown ? QStringLiteral("78 \r\n") : QStringLiteral("x\r\n"));
        if (hexShown)
            QCOMPARE(text.mid(at + sentLine.size()), QString(reply.toHex(' ').toUpper() + ' '));
        QCOMPARE(display()->sentRuns(0, text.size()),
                 (std::vector<std::pair<qint64, qint64>>{{at, at + sentLine.size()}}));
        QTRY_COMPARE(w<QLineEdit>("TxtRXCount")->text(),
                     QStringLiteral("RX:%1").arg(reply.size() + 1));
        QTRY_COMPARE(w<QLineEdit>("TxtTXCount")->text(), QStringLiteral("TX:8"));
        // Drawn apart: the sent line in its colour, nothing else.
        QVERIFY(display()->sentColor().blue() > 150);
        QVERIFY(sentPixels() > 20);
        display()->showSentAction()->trigger();
        display()->clear();
        send("01 03 00 00 00 0A");
        receive(reply);
        QVERIFY(!display()->text().contains(u'→'));
        QCOMPARE(sentPixels(), 0);
    }

    // 记录收发 writes what was sent and received, and the control lines, into
    // txrx-*.log in the save folder; a folder that cannot be written is told
    // as a record's, and the switch goes off.
    void twoWayLog()
    {
        display()->txrxAction()->trigger();
        QVERIFY(display()->txrxAction()->isChecked());
        send("AT");
        receive("OK\r\n");
        comm->setRts(true);
        display()->txrxAction()->trigger();
        const QStringList logs = QDir(dir->path()).entryList({"txrx-*.log"});
        QCOMPARE(logs.size(), 1);
        QFile f(dir->filePath(logs[0]));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList words;
        for (const QByteArray &l : f.readAll().split('\n'))
            if (const auto e = txrx::parse(l))
                words << txrx::word(e->kind).toByteArray() + ' ' + e->bytes.toHex(' ');
        QCOMPARE(words, (QStringList{"OPEN ", "TX 41 54", "RX 4f 4b 0d 0a", "RTS "}));
        QVERIFY(dialogs->messages.isEmpty());

        w<QLineEdit>("TxtSavePath")->setText("/proc/quorvex-none");
        display()->txrxAction()->trigger();
        QVERIFY(!display()->txrxAction()->isChecked());
        QCOMPARE(dialogs->messages.size(), 1);
        QVERIFY(dialogs->messages[0].text.startsWith(QStringLiteral("无法写入记录文件：")));
    }
};

QTEST_MAIN(TestTwoWay)
#include "test_two_way.moc"
