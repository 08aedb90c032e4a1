#include "receive/counters.h"
#include "receive/hex_format.h"
#include "receive/line_stamps.h"
#include "receive/receive_feed.h"
#include "receive/receive_recorder.h"
#include "receive/receive_view.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

// What received bytes become in a view, fed straight in, without a window.
class TestReceiveFeed : public QObject
{
    Q_OBJECT

    struct TextView : ReceiveView {
        QString text;  // sent text between braces, so a test sees which is which
        QString plain; // what the box would hold
        void appendReceivedText(QStringView t) override
        {
            text += t;
            plain += t;
        }
        void appendReceivedHex(QByteArrayView bytes) override
        {
            text += hexPairs(bytes);
            plain += hexPairs(bytes);
        }
        void appendSentText(QStringView t) override
        {
            text += u'{';
            text += t;
            text += u'}';
            plain += t;
        }
        void clear() override
        {
            text.clear();
            plain.clear();
        }
        qint64 length() const override { return plain.size(); }
        QString textRange(qint64 from, qint64 to) const override
        {
            return plain.mid(from, to - from);
        }
    };

    struct Feed {
        TextView display;
        ReceiveRecorder recorder;
        ReceiveFeed feed{&display, &recorder};
        QSignalSpy counted{&feed, &ReceiveFeed::countChanged};

        void deliver(const QByteArray &bytes) { feed.take(bytes, {{bytes.size(), 0, 0}}); }
        qint64 shownCount() const { return counted.last().at(0).toLongLong(); }
    };

private slots:

    // Script steps: "t:<hex>" bytes while text is shown, "h:<hex>" while hex is
    // shown, "r" a new opening. (Stopping the display is tried through the
    // window, with its button.)
    void decoding_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("count");
        QTest::newRow("a character split across deliveries")
            << "t:d6|t:d0" << QString::fromUtf8("中") << 2;
        // D6 41 is a character of its own: the half before hex is dropped, not completed.
        QTest::newRow("hex between the halves") << "t:d6|h:41|t:41"
                                                << "41 A" << 3;
        QTest::newRow("a new opening") << "t:d6|r|t:41"
                                       << "A" << 2;
        QTest::newRow("invalid bytes shown as such")
            << "t:8120|t:5a" << QString::fromUtf8("\xEF\xBF\xBD Z") << 3;
    }
    void decoding()
    {
        QFETCH(QString, script);
        QFETCH(QString, shown);
        QFETCH(int, count);
        Feed f;
        for (const QString &step : script.split(u'|')) {
            if (step == u"r") {
                f.feed.restart();
            } else {
                f.feed.setHex(step.startsWith(u'h'));
                f.deliver(QByteArray::fromHex(step.mid(2).toLatin1()));
            }
        }
        QCOMPARE(f.display.text, shown);
        QCOMPARE(f.feed.count(), count);
        QCOMPARE(f.shownCount(), count);
    }

    // Sends among received data. Steps: "t:<hex>" / "h:<hex>" received while
    // text / hex is shown, "s:<hex>" / "H:<hex>" sent while text / hex is
    // shown, "d:<n>" DTR set to n, "x" the display stopped. The view puts
    // sent text between braces.
    void sentAmongReceived_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("shown");
        QTest::newRow("a text send cuts a line, which goes on after it")
            << "t:68656c|s:41540d0a|t:6c6f0d0a"
            << "hel\r\n{→ AT\r\n}lo\r\n";
        QTest::newRow("a character split by a send comes out whole after it")
            << "t:d6|s:41|t:d0" << QString::fromUtf8("{→ A\r\n}中");
        QTest::newRow("modbus request and reply as hex") << "H:01030000000ac5cd|h:0103"
                                                         << "{→ 01 03 00 00 00 0A C5 CD\r\n}01 03 ";
        QTest::newRow("after hex pairs, a send starts a new line") << "h:0103|H:06"
                                                                   << "01 03 \r\n{→ 06\r\n}";
        QTest::newRow("binary bytes show as pairs in the text form too")
            << "s:01030000000ac5cd"
            << "{→ 01 03 00 00 00 0A C5 CD\r\n}";
        QTest::newRow("a lead byte at the end is not text") << "s:41c4"
                                                            << "{→ 41 C4\r\n}";
        QTest::newRow("chinese text as text") << "s:c4e3bac3" << QString::fromUtf8("{→ 你好\r\n}");
        QTest::newRow("control lines, one line each") << "t:41|d:0|d:1"
                                                      << "A\r\n{→ DTR 0\r\n}{→ DTR 1\r\n}";
        QTest::newRow("text display stopped: sends are not shown either") << "x|t:41|s:42"
                                                                          << "";
        QTest::newRow("hex display stopped: both shown") << "x|h:41|H:42"
                                                         << "41 \r\n{→ 42\r\n}";
    }
    void sentAmongReceived()
    {
        QFETCH(QString, script);
        QFETCH(QString, shown);
        Feed f;
        f.feed.setShowSent(true);
        for (const QString &step : script.split(u'|')) {
            const QByteArray bytes = QByteArray::fromHex(step.mid(2).toLatin1());
            if (step == u"x") {
                f.feed.setStopped(true);
                continue;
            }
            f.feed.setHex(step[0] == u'h' || step[0] == u'H');
            if (step[0] == u't' || step[0] == u'h')
                f.deliver(bytes);
            else if (step[0] == u'd')
                f.feed.showControl(Port::Control::Dtr, step.mid(2).toInt(), 0);
            else
                f.feed.showSentBytes(bytes, 0);
        }
        QCOMPARE(f.display.text, shown);
        // Sends are not received bytes.
        qint64 received = 0;
        for (const QString &step : script.split(u'|'))
            if (step[0] == u't' || step[0] == u'h')
                received += step.size() / 2 - 1;
        QCOMPARE(f.feed.count(), received);
    }

    void sentLinesStampedAndBounded()
    {
        Feed f;
        f.feed.setShowSent(true);
        f.feed.setStamps(true);
        const qint64 usecs =
            QDateTime(QDate(2026, 12, 9), QTime(18, 20, 1, 123)).toMSecsSinceEpoch() * 1000;
        f.deliver("ab");
        f.feed.showSentBytes(QByteArray(3000, 'z'), usecs);
        f.feed.take("cd", {{2, usecs / 1000 + 5, usecs + 5000}});
        QCOMPARE(f.display.text,
                 QStringLiteral(
                     "[%1] ab\r\n{[18:20:01.123] → %2 …（共 3000 字节）\r\n}[18:20:01.128] cd")
                     .arg(stampText(0).mid(1, 12), QString(1024, u'z')));
        // Off: nothing is shown.
        Feed off;
        off.feed.showSentBytes("A", 0);
        off.feed.showControl(Port::Control::Break, 250, 0);
        QCOMPARE(off.display.text, QString());
    }
};

QTEST_GUILESS_MAIN(TestReceiveFeed)
#include "test_receive_feed.moc"
