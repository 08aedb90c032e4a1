#include "serial/device_port.h"
#include "serial/port_session.h"
#include "support/fake_port.h"
#include "support/fake_port_lister.h"
#include "support/pty_pair.h"
#include "transmit/saved_commands.h"
#include "transmit/send_feed.h"

#include <QSignalSpy>
#include <QTest>

// The port's session and the send path without a window: what the session
// tells, in the order it tells it, and what goes on the wire and is counted.
class TestPortSession : public QObject
{
    Q_OBJECT

    // Everything the session tells, as one line each.
    struct Told : QObject {
        QStringList log;
        explicit Told(PortSession &s)
        {
            connect(&s, &PortSession::lookChanged, this,
                    [this](bool open) { log << (open ? "look open" : "look closed"); });
            connect(&s, &PortSession::statusChanged, this,
                    [this](const QString &line, qsizetype from, qsizetype n) {
                        log << "status " + line +
                                   (from < 0 ? QString()
                                             : QStringLiteral(" @%1+%2").arg(from).arg(n));
                    });
            connect(&s, &PortSession::noteAdded, this,
                    [this](const QString &n) { log << "note " + n; });
            connect(&s, &PortSession::openFailed, this, [this](PortSession::Failure f) {
                log << (f == PortSession::Failure::AtStart ? "message at start" : "message retry");
            });
        }
    };

    static SelectorTexts texts(const QString &com) { return {com, "9600", "NONE", "8", "1"}; }

private slots:
    // The switch's look, the status line and the message, in order: the
    // message of a failed opening comes before the port is shown closed.
    void openingsTellInOrder_data()
    {
        QTest::addColumn<bool>("atStart");
        QTest::addColumn<QString>("com");
        QTest::addColumn<QStringList>("told");
        const QString open = QStringLiteral("status STATUS：/dev/null OPEND，9600,N,8,1 @7+9");
        const QString closed = QStringLiteral("status STATUS：COM Port Cloced");
        QTest::newRow("start") << true << "/dev/null" << QStringList{open};
        QTest::newRow("start, missing")
            << true << "/dev/nothing" << QStringList{"message at start", closed, "look closed"};
        QTest::newRow("apply") << false << "/dev/null" << QStringList{"look open", open};
        QTest::newRow("apply, missing")
            << false << "/dev/nothing" << QStringList{"message retry", closed, "look closed"};
        QTest::newRow("apply, another kind of address")
            << false << "ftp://host:1"
            << QStringList{"message retry", closed, "look closed", "note （地址无效）"};
    }
    void openingsTellInOrder()
    {
        QFETCH(bool, atStart);
        QFETCH(QString, com);
        QFETCH(QStringList, told);
        FakePort port;
        port.available = {"/dev/null"};
        FakePortLister lister;
        PortSession session(&port, &lister);
        Told t(session);
        const auto s = parsePortSettings(texts(com));
        QVERIFY(s);
        atStart ? session.OpenPortAtStart(*s, texts(com))
                : session.ApplyPortSettings(*s, texts(com));
        QCOMPARE(t.log, told);
        QCOMPARE(session.isOpen(), com == "/dev/null");
    }

    // A lost device closes the port, the status line says it is awaited, and
    // it is opened again with the last opening's texts once it is back; a
    // fault is told once an opening.
    void lostDeviceReturns()
    {
        FakePort port;
        port.available = {"/dev/null"};
        FakePortLister lister;
        PortSession session(&port, &lister);
        session.ApplyPortSettings(*parsePortSettings(texts("/dev/null")), texts("/dev/null"));
        Told t(session);
        port.fault("EIO");
        port.fault("EIO");
        port.available.clear();
        port.lose();
        QTRY_VERIFY(!port.isOpen());
        QCOMPARE(t.log.mid(0, 3), (QStringList{"note （串口出错：EIO）",
                                               "status STATUS：COM Port Cloced", "look closed"}));
        QVERIFY(session.isWaiting());
        QTest::qWait(2 * 250); // looked at, not there yet
        QVERIFY(!port.isOpen());
        port.available = {"/dev/null"};
        QTRY_VERIFY(port.isOpen());
        QCOMPARE(t.log.mid(4),
                 (QStringList{"look open", "status STATUS：/dev/null OPEND，9600,N,8,1 @7+9"}));
        port.fault("EIO"); // a new opening tells again
        QTRY_COMPARE(t.log.last(), "note （串口出错：EIO）");
    }

    // On a real device: hexadecimal with its checksum counted when written;
    // text, commands and files when the port has drained; while the send box
    // sends hexadecimal a drain counts no text (but a command's).
    void sendsAndCountsOnADevice()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        DevicePort port;
        FakePortLister lister;
        PortSession session(&port, &lister);
        SendFeed send(&port);
        QSignalSpy counted(&send, &SendFeed::countChanged);
        QSignalSpy drained(&port, &Port::drained); // each write drains before the next is made
        const SelectorTexts t{pty.devicePath(), "115200", "NONE", "8", "1"};
        session.ApplyPortSettings(*parsePortSettings(t), t);
        QVERIFY(session.isOpen());

        QVERIFY(send.sendHex("01 03 00 00 00 0A", Checksum::Crc16Modbus));
        QCOMPARE(pty.read(8).toHex(' '), "01 03 00 00 00 0a c5 cd");
        QCOMPARE(send.count(), 8);
        QTRY_COMPARE(drained.count(), 1); // a drain after a hex send counts nothing more

        QVERIFY(send.sendText(QString::fromUtf8("  中A  "), LineEnding::CRLF));
        QCOMPARE(pty.readWithEvents(5), QByteArray("\xd6\xd0"
                                                   "A\r\n"));
        QTRY_COMPARE(send.count(), 8 + 5);

        send.setHexSend(true);
        QVERIFY(send.sendText("B", LineEnding::None));
        QCOMPARE(pty.readWithEvents(1), "B");
        QTRY_COMPARE(drained.count(), 3);
        QCOMPARE(send.count(), 13);
        QVERIFY(send.sendCommand({"cmd", "x\ny", false, LineEnding::CR, Checksum::None}));
        QCOMPARE(pty.readWithEvents(4), "x\ny\r");
        QTRY_COMPARE(send.count(), 13 + 4); // the command's, not the text's
        send.setHexSend(false);
        QVERIFY(send.sendFile(" file "));
        QCOMPARE(pty.readWithEvents(4), "file");
        QTRY_COMPARE(send.count(), 17 + 6); // the file as it is on disk

        session.ClosePort();
        QVERIFY(!send.sendHex("01", Checksum::None));
        QVERIFY(!send.sendText("A", LineEnding::None));
        QCOMPARE(send.count(), 23);
        send.clearCount();
        QCOMPARE(counted.last(), (QVariantList{qint64(0), true}));
    }
};

QTEST_GUILESS_MAIN(TestPortSession)
#include "test_port_session.moc"
