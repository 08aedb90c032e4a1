#include "receive/receive_display.h"
#include "support/pty_window.h"
#include "transmit/interval_timer.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

// Sending the send box, once and automatically, through the window to a
// pseudo-terminal whose other end the test reads.
class TestSendFlows : public PtyWindowTest
{
    Q_OBJECT

    void setSendBox(const QString &text) { w<QPlainTextEdit>("TxtSend")->setPlainText(text); }
    void send() { QTest::mouseClick(w("CmdSend"), Qt::LeftButton); }
    void closePort() { QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton); }
    IntervalTimer *autoTimer() { return form->findChild<IntervalTimer *>("TmrAutoSend"); }

private slots:
    void init()
    {
        openWindow();
        QVERIFY(comm->isOpen());
    }
    void cleanup() { closeWindow(); }

    void startUpTextGoesOutAtOnce()
    {
        send();
        const QByteArray url = MainForm::startupSendText().toLatin1();
        QCOMPARE(device->read(url.size()), url);
        QTRY_COMPARE(tx(), "TX:" + QString::number(url.size()));
    }

    // The port is checked before the content.
    void checksBeforeSending_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("message");
        QTest::newRow("closed, empty") << false << ""
                                       << "串口没有打开，请打开串口";
        QTest::newRow("closed, text") << false << "AB"
                                      << "串口没有打开，请打开串口";
        QTest::newRow("open, empty") << true << ""
                                     << "发送数据不能为空";
    }
    void checksBeforeSending()
    {
        QFETCH(bool, open);
        QFETCH(QString, box);
        QFETCH(QString, message);
        if (!open)
            closePort();
        setSendBox(box);
        send();
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, message);
        QCOMPARE(dialogs->messages[0].icon,
                 open ? Dialogs::Icon::Critical : Dialogs::Icon::Exclamation);
        QCOMPARE(device->read(1, 100), QByteArray());
    }

    // Text goes out in code page 936 without its outer spaces; the count, at the
    // send event, is the bytes that went out.
    void textBytesOnTheWire_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<int>("counted");
        QTest::newRow("spaces trimmed") << " AB " << QByteArray("AB") << 2;
        QTest::newRow("chinese, spaces trimmed")
            << QString::fromUtf8("   中文   ") << QByteArray("\xd6\xd0\xce\xc4") << 4;
        QTest::newRow("chinese") << QString::fromUtf8("中文") << QByteArray("\xd6\xd0\xce\xc4")
                                 << 4;
        QTest::newRow("two lines") << "AT\nOK" << QByteArray("AT\r\nOK") << 6;
        QTest::newRow("not in code page 936")
            << QString::fromUtf8("A\u0E01B") << QByteArray("A?B") << 3;
    }
    void textBytesOnTheWire()
    {
        QFETCH(QString, box);
        QFETCH(QByteArray, wire);
        QFETCH(int, counted);
        setSendBox(box);
        send();
        QCOMPARE(device->read(wire.size()), wire);
        QTRY_COMPARE(tx(), "TX:" + QString::number(counted));
    }

    void spacesOnly()
    {
        setSendBox("   ");
        send(); // as text: nothing goes out, no message
        tick("ChkHexSend", true);
        send(); // as hex: nothing, and nothing added
        QVERIFY(dialogs->messages.isEmpty());
        QCOMPARE(device->read(1, 200), QByteArray());
        QCOMPARE(tx(), QStringLiteral("TX:0"));
    }

    void hexSend()
    {
        tick("ChkHexSend", true);
        setSendBox("01 03 00 00 00 0a c5 cd\n41");
        send();
        QCOMPARE(device->read(8), QByteArray("\x01\x03\x00\x00\x00\x0a\xc5\xcd", 8));
        QCOMPARE(tx(), QStringLiteral("TX:8")); // counted at once, the send event adds nothing
        QTest::qWait(100);
        QCOMPARE(tx(), QStringLiteral("TX:8"));
        QCOMPARE(device->read(1, 100), QByteArray()); // the second line was not sent
    }

    // A text send while hex display is ticked: the reply shows as pairs, and
    // as text again once it is unticked.
    void replyFollowsHexDisplay()
    {
        tick("ChkHexReceive", true);
        setSendBox("x");
        send();
        QCOMPARE(device->read(1), QByteArray("x"));
        QVERIFY(device->write("AB"));
        auto *display = w<ReceiveDisplay>("TxtReceive");
        QTRY_COMPARE(display->text(), QStringLiteral("41 42 "));
        tick("ChkHexReceive", false);
        send();
        QVERIFY(device->write("C"));
        QTRY_COMPARE(display->text(), QStringLiteral("41 42 C"));
    }

    // More than 32,767 characters of hex go out whole.
    void longHexText()
    {
        tick("ChkHexSend", true);
        QString box;
        QByteArray expected;
        for (int i = 0; i < 20000; ++i) {
            box += QStringLiteral("%1 ").arg(i % 251, 2, 16, QLatin1Char('0'));
            expected += char(i % 251);
        }
        setSendBox(box);
        send();
        QCOMPARE(device->read(expected.size(), 5000), expected);
        QCOMPARE(tx(), QStringLiteral("TX:20000"));
    }

    void clearSendBox()
    {
        QTest::mouseClick(w("CmdClearSend"), Qt::LeftButton);
        QCOMPARE(w<QPlainTextEdit>("TxtSend")->toPlainText(), QString());
        QVERIFY(comm->isOpen());
        QVERIFY(dialogs->messages.isEmpty());
    }

    void automaticSending()
    {
        w<QLineEdit>("TxtAutoSendTime")->setText("100");
        setSendBox("ping");
        QElapsedTimer t;
        t.start();
        tick("ChkAutoSend", true);
        QCOMPARE(device->readWithEvents(4, 1000), QByteArray("ping"));
        QVERIFY2(t.elapsed() >= 90, "the first send comes a full period after ticking");
        QCOMPARE(device->readWithEvents(8, 1000), QByteArray("pingping"));
        // A new period takes effect only when the box is ticked again.
        w<QLineEdit>("TxtAutoSendTime")->setText("&H1E"); // 30 ms
        QCOMPARE(autoTimer()->interval(), 100);
        tick("ChkAutoSend", false);
        QVERIFY(!autoTimer()->isFiring());
        tick("ChkAutoSend", true);
        QCOMPARE(autoTimer()->interval(), 30);
        // Ticking hex on while running switches the next ticks.
        setSendBox("41 42");
        tick("ChkHexSend", true);
        device->readWithEvents(1 << 16, 50); // whatever text went out before the switch
        QTRY_VERIFY(tx() != QStringLiteral("TX:0"));
        const QByteArray more = device->readWithEvents(4, 1000);
        QCOMPARE(more, QByteArray("ABAB"));
        tick("ChkAutoSend", false);
        QVERIFY(dialogs->messages.isEmpty());
    }

    void emptySendBoxStopsAutomaticSending()
    {
        w<QLineEdit>("TxtAutoSendTime")->setText("20");
        tick("ChkAutoSend", true);
        QTest::mouseClick(w("CmdClearSend"), Qt::LeftButton);
        QTRY_COMPARE(w<QCheckBox>("ChkAutoSend")->checkState(), Qt::Unchecked);
        QTest::qWait(100);
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("发送数据不能为空"));
        QVERIFY(!autoTimer()->isFiring());
    }

    void badPeriods_data()
    {
        QTest::addColumn<QString>("period");
        QTest::newRow("letters") << "abc";
        QTest::newRow("nothing") << "";
        QTest::newRow("minus 5") << "-5";
        QTest::newRow("70000") << "70000";
        QTest::newRow("zero") << "0";
    }
    void badPeriods()
    {
        QFETCH(QString, period);
        w<QLineEdit>("TxtAutoSendTime")->setText(period);
        tick("ChkAutoSend", true);
        QCOMPARE(w<QCheckBox>("ChkAutoSend")->checkState(), Qt::Checked);
        QCOMPARE(device->readWithEvents(1, 300), QByteArray());
        QVERIFY(dialogs->messages.isEmpty());
    }

    void tickingWithThePortClosed()
    {
        closePort();
        tick("ChkAutoSend", true);
        QCOMPARE(w<QCheckBox>("ChkAutoSend")->checkState(), Qt::Unchecked);
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("串口没有打开，请打开串口"));
        QVERIFY(!autoTimer()->isFiring());
    }

    // Closing the port leaves the sender running; nothing goes out and, for hex,
    // nothing is counted any more.
    void portClosedWhileRunning_data()
    {
        QTest::addColumn<bool>("hex");
        QTest::newRow("text") << false;
        QTest::newRow("hex") << true;
    }
    void portClosedWhileRunning()
    {
        QFETCH(bool, hex);
        tick("ChkHexSend", hex);
        setSendBox("41");
        w<QLineEdit>("TxtAutoSendTime")->setText("20");
        tick("ChkAutoSend", true);
        QVERIFY(!device->readWithEvents(1, 1000).isEmpty());
        closePort();
        const QString count = tx();
        QTest::qWait(200);
        QVERIFY(autoTimer()->isFiring());
        QCOMPARE(tx(), count);
        QVERIFY(dialogs->messages.isEmpty());
    }
};

QTEST_MAIN(TestSendFlows)
#include "test_send_flows.moc"
