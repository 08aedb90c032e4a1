#include "receive/receive_display.h"
#include "serial/codepage936.h"
#include "support/pty_window.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <thread>

// Received data through the real path: pseudo-terminal, control, handler, display.
class TestReceiveFlows : public PtyWindowTest
{
    Q_OBJECT

    ReceiveDisplay *display() { return w<ReceiveDisplay>("TxtReceive"); }
    // Sends from the device and waits until the window has counted it all.
    void feed(const QByteArray &bytes, qint64 countAfter)
    {
        QVERIFY(device->write(bytes));
        QTRY_COMPARE_WITH_TIMEOUT(rx(), "RX:" + QString::number(countAfter), 10000);
    }

private slots:

    void init()
    {
        openWindow();
        QVERIFY(comm->isOpen());
    }
    void cleanup() { closeWindow(); }

    void textAndHexDisplay()
    {
        feed(QByteArray("AB\xd6\xd0"), 4);
        QCOMPARE(display()->text(), QString::fromUtf8("AB中"));
        tick("ChkHexReceive", true); // read afresh at every event; earlier data stays text
        feed(QByteArray("\x00\x0f\x10\xff", 4), 8);
        QCOMPARE(display()->text(), QString::fromUtf8("AB中00 0F 10 FF "));
        QCOMPARE(display()->caretPosition(), display()->length());
        tick("ChkHexReceive", false);
        feed("C", 9);
        QCOMPARE(display()->text(), QString::fromUtf8("AB中00 0F 10 FF C"));
    }

    void stoppedDisplay()
    {
        auto *stop = w<QPushButton>("CmdStopdisp");
        feed("one ", 4);
        QTest::mouseClick(stop, Qt::LeftButton);
        QCOMPARE(stop->text(), QStringLiteral("继续显示"));
        feed("lost ", 9); // counted, never shown
        tick("ChkHexReceive", true);
        feed("A", 10); // hexadecimal display ignores the stop
        QCOMPARE(display()->text(), QStringLiteral("one 41 "));
        tick("ChkHexReceive", false);
        QTest::mouseClick(stop, Qt::LeftButton);
        QCOMPARE(stop->text(), QStringLiteral("停止显示"));
        feed("two", 13);
        QCOMPARE(display()->text(), QStringLiteral("one 41 two"));
    }

    void autoClear()
    {
        tick("ChkAutoClear", true);
        QByteArray lines;
        while (lines.size() < 65534)
            lines += "0123456789abcdef\n";
        lines.truncate(65534);
        feed(lines, 65534);
        QVERIFY(!display()->text().isEmpty());
        feed("!", 65535);
        QCOMPARE(display()->text(), QString());
        feed("more", 65539); // every later event ends empty until the counters are reset
        QCOMPARE(display()->text(), QString());
        QTest::mouseClick(w("CmdClearCounter"), Qt::LeftButton);
        QCOMPARE(rx(), QStringLiteral("RX:0"));
        QCOMPARE(tx(), QStringLiteral("TX:0"));
        feed("kept", 4);
        QCOMPARE(display()->text(), QStringLiteral("kept"));
    }

    void clearLeavesCounters()
    {
        feed("abc", 3);
        QTest::mouseClick(w("CmdClearReceive"), Qt::LeftButton);
        QCOMPARE(display()->text(), QString());
        QCOMPARE(rx(), QStringLiteral("RX:3"));
    }

    // A text send is counted when the send event comes, with the bytes it
    // wrote, whatever the box says by then; a hex send counted when it was made.
    void sendEventCountsWhatWasSent()
    {
        auto *send = w<QPlainTextEdit>("TxtSend");
        send->setPlainText("AB");
        QTest::mouseClick(w("CmdSend"), Qt::LeftButton);
        send->setPlainText(QString::fromUtf8("edited before the send event"));
        QTRY_COMPARE(tx(), QStringLiteral("TX:2"));
        send->setPlainText(QString::fromUtf8(" 中文 "));
        QTest::mouseClick(w("CmdSend"), Qt::LeftButton);
        QTRY_COMPARE(tx(), QStringLiteral("TX:6"));
        QCOMPARE(device->read(6), QByteArray("AB\xd6\xd0\xce\xc4"));

        tick("ChkHexSend", true);
        send->setPlainText("01");
        QTest::mouseClick(w("CmdSend"), Qt::LeftButton);
        QCOMPARE(device->read(1), QByteArray("\x01"));
        QTRY_COMPARE(tx(), QStringLiteral("TX:7"));
        QTest::qWait(200); // the send event adds nothing
        QCOMPARE(tx(), QStringLiteral("TX:7"));
    }

    void typedTextStaysAndDataFollows()
    {
        display()->setFocus();
        QTest::keyClicks(display(), "typed>");
        feed("data", 4);
        QCOMPARE(display()->text(), QStringLiteral("typed>data"));
        QCOMPARE(display()->caretPosition(), 10);
    }

    // The window thread is busy for two seconds while the device pours out 512 KB.
    void nothingLost()
    {
        QByteArray sent;
        for (int i = 0; sent.size() < 512 * 1024; ++i)
            sent += QByteArray::number(i) + '\n';
        sent.truncate(512 * 1024);
        bool wrote = false;
        std::thread writer([&] { wrote = device->write(sent); });
        QThread::sleep(2);
        writer.join();
        QVERIFY(wrote);
        QTRY_COMPARE_WITH_TIMEOUT(rx(), "RX:" + QString::number(sent.size()), 20000);
        QCOMPARE(display()->text(), QString::fromLatin1(sent));
    }

    // With timestamps on, bytes are read as they come: bursts 40 ms apart (less
    // than the pause between reads under a trickle) come out as lines of their
    // own, stamped with their read times; the record holds the bytes alone.
    void burstsOverARealPort()
    {
        tick("ChkHexReceive", true);
        QTemporaryDir folder;
        w<QLineEdit>("TxtSavePath")->setText(folder.path());
        display()->stampAction()->trigger();
        display()->recordAction()->trigger();
        QTest::qWait(100); // the reading has moved off the window's thread
        for (const char *burst : {"\x01\x02", "\x03", "\x04\x05"}) {
            QVERIFY(device->write(burst));
            QTest::qWait(40);
        }
        QTRY_COMPARE_WITH_TIMEOUT(rx(), QStringLiteral("RX:5"), 5000);
        const QStringList lines = display()->text().split("\r\n");
        QCOMPARE(lines.size(), 3);
        const QRegularExpression stamped(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] ([0-9A-F ]+)$)");
        QStringList pairs;
        for (const QString &line : lines) {
            const QRegularExpressionMatch m = stamped.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            pairs << m.captured(1);
        }
        QCOMPARE(pairs, (QStringList{"01 02 ", "03 ", "04 05 "}));
        display()->recordAction()->trigger();
        QFile record(QDir(folder.path()).entryInfoList({"rx-*.log"}).value(0).filePath());
        QVERIFY(record.open(QIODevice::ReadOnly));
        QCOMPARE(record.readAll(), QByteArray("\x01\x02\x03\x04\x05"));
    }
};

QTEST_MAIN(TestReceiveFlows)
#include "test_receive_flows.moc"
