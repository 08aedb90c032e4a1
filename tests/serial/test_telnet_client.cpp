#include "serial/telnet_client.h"

#include <QTest>

namespace
{
std::string b(std::initializer_list<int> list)
{
    std::string s;
    for (int v : list)
        s += char(v);
    return s;
}
constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
} // namespace

// What a serial server's bytes mean to the client, whole or cut anywhere.
class TestTelnetClient : public QObject
{
    Q_OBJECT

    // Fed whole and byte by byte: the same data, replies and notices.
    static TelnetClient::Result both(const std::string &in)
    {
        TelnetClient whole, split;
        whole.greeting();
        split.greeting();
        TelnetClient::Result a = whole.feed(in), c;
        for (char ch : in) {
            TelnetClient::Result r = split.feed(std::string_view(&ch, 1));
            c.data += r.data;
            c.reply += r.reply;
            c.notices.insert(c.notices.end(), r.notices.begin(), r.notices.end());
            c.failed = r.failed;
        }
        if (a.data != c.data || a.reply != c.reply || a.notices.size() != c.notices.size() ||
            a.failed != c.failed)
            qFatal("cut into bytes, the stream means something else");
        return a;
    }

private slots:
    void stream_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("reply");
        auto q = [](const std::string &s) { return QByteArray(s.data(), qsizetype(s.size())); };
        QTest::newRow("data with a doubled FF")
            << q("A" + b({IAC, IAC}) + "B") << q("A" + b({IAC}) + "B") << QByteArray();
        QTest::newRow("what we asked for, agreed")
            << q(b({IAC, DO, 0, IAC, WILL, 3, IAC, DO, 44})) << QByteArray() << QByteArray();
        // As ser2net 4.3 in RFC 2217 mode opens a connection.
        QTest::newRow("ser2net's greeting")
            << q(b({IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
                    1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44}))
            << QByteArray() << q(b({IAC, DONT, 1}));
        QTest::newRow("echo refused both ways") << q(b({IAC, DO, 1, IAC, WILL, 1})) << QByteArray()
                                                << q(b({IAC, WONT, 1, IAC, DONT, 1}));
        QTest::newRow("asked again and again: refused once")
            << q(b({IAC, DO, 1, IAC, WILL, 5, IAC, DO, 1, IAC, WILL, 5, IAC, DO, 1}))
            << QByteArray() << q(b({IAC, WONT, 1, IAC, DONT, 5}));
        QTest::newRow("binary withdrawn")
            << q(b({IAC, DONT, 0, IAC, DONT, 0})) << QByteArray() << q(b({IAC, WONT, 0}));
        QTest::newRow("commands without meaning")
            << q("x" + b({IAC, 241, IAC, 249}) + "y") << QByteArray("xy") << QByteArray();
        QTest::newRow("another option's sub-negotiation")
            << q(b({IAC, SB, 24, 1, IAC, SE}) + "z") << QByteArray("z") << QByteArray();
    }
    void stream()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, reply);
        const TelnetClient::Result r = both(in.toStdString());
        QCOMPARE(QByteArray::fromStdString(r.data), data);
        QCOMPARE(QByteArray::fromStdString(r.reply), reply);
        QVERIFY(!r.failed);
    }

    // The server's confirmations, an FF inside a value included.
    void comPortNotices()
    {
        const TelnetClient::Result r =
            both(b({IAC, SB,  44,  101, 0,   1,   0xC2, 0,   IAC, SE, IAC, SB,   44,  101, 0,
                    0,   IAC, IAC, IAC, IAC, IAC, SE,   IAC, SB,  44, 107, 0x30, IAC, SE}));
        QCOMPARE(r.notices.size(), 3u);
        QCOMPARE(r.notices[0].command, TelnetClient::SetBaud);
        QCOMPARE(r.notices[0].value, 115200u);
        QCOMPARE(r.notices[1].value, 0xFFFFu);
        QCOMPARE(r.notices[2].command, TelnetClient::NotifyModemState);
        QCOMPARE(r.notices[2].value, 0x30u);
    }

    void brokenStreams_data()
    {
        QTest::addColumn<QByteArray>("in");
        const std::string endless = b({IAC, SB, 44, 101}) + std::string(TelnetClient::kMaxSub, 'x');
        QTest::newRow("endless sub-negotiation") << QByteArray::fromStdString(endless);
        QTest::newRow("IAC inside one")
            << QByteArray::fromStdString(b({IAC, SB, 44, 101, IAC, 'x'}));
    }
    void brokenStreams()
    {
        QFETCH(QByteArray, in);
        TelnetClient c;
        QVERIFY(c.feed(in.toStdString()).failed);
        QVERIFY(c.feed("more").failed); // and it stays broken
        QVERIFY(c.feed("more").data.empty());
    }

    void whatTheClientSends()
    {
        QCOMPARE(TelnetClient::escape(b({1, IAC, 2})), b({1, IAC, IAC, 2}));
        QCOMPARE(TelnetClient::command(TelnetClient::SetBaud, 115200, 4),
                 b({IAC, SB, 44, 1, 0, 1, 0xC2, 0, IAC, SE}));
        QCOMPARE(TelnetClient::command(TelnetClient::SetControl, 255),
                 b({IAC, SB, 44, 5, IAC, IAC, IAC, SE}));
        TelnetClient raw(false);
        QCOMPARE(raw.greeting().find(char(44)), std::string::npos); // no COM port option asked for
    }
};

QTEST_GUILESS_MAIN(TestTelnetClient)
#include "test_telnet_client.moc"
