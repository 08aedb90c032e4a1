#include "receive/counters.h"
#include "receive/hex_format.h"
#include "receive/receive_feed.h"
#include "receive/receive_recorder.h"
#include "receive/receive_view.h"

#include <QSignalSpy>
#include <QTest>

// What received bytes become in a view, fed straight in, without a window.
class TestReceiveFeed : public QObject
{
    Q_OBJECT

    struct TextView : ReceiveView {
        QString text;
        void appendReceivedText(QStringView t) override { text += t; }
        void appendReceivedHex(QByteArrayView bytes) override { text += hexPairs(bytes); }
        // Sent text between braces, so a test sees which is which.
        void appendSentText(QStringView t) override
        {
            text += u'{';
            text += t;
            text += u'}';
        }
        void clear() override { text.clear(); }
        qint64 length() const override { return text.size(); }
        QString textRange(qint64 from, qint64 to) const override
        {
            return text.mid(from, to - from);
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
};

QTEST_GUILESS_MAIN(TestReceiveFeed)
#include "test_receive_feed.moc"
