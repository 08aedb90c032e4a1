#include "support/fake_serial_control.h"

#include <QSignalSpy>
#include <QTest>

// The control's own rules, with a device that lives in memory.
class TestSerialControl : public QObject
{
    Q_OBJECT

    const QString dev1 = QStringLiteral("/dev/fake1");

    void mapCom1() { qputenv("QUORVEX_COM1", dev1.toLatin1()); }

private slots:
    void init() { mapCom1(); }

    void settingsWrittenWhileClosedApplyAtOpening()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setSettings("115200,E,7,2"));
        QVERIFY(c.log.isEmpty());
        QVERIFY(c.setPortOpen(true));
        QCOMPARE(c.log, QStringList{"open /dev/fake1 115200"});
        QCOMPARE(c.lineSettings.parity, QSerialPort::EvenParity);
        QCOMPARE(c.lineSettings.dataBits, QSerialPort::Data7);
    }

    void settingsWrittenWhileOpenApplyAtOnce()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setPortOpen(true));
        QVERIFY(c.setSettings("4800,N,8,1"));
        QCOMPARE(c.lineSettings.baud, 4800);
        QVERIFY(!c.setSettings("x,N,8,1"));
        QCOMPARE(c.settings(), QStringLiteral("4800,N,8,1"));
    }

    void openingFailures_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("busy");
        QTest::newRow("port 0") << 0 << false;
        QTest::newRow("missing device") << 2 << false;
        QTest::newRow("busy device") << 1 << true;
    }
    void openingFailures()
    {
        QFETCH(int, port);
        QFETCH(bool, busy);
        qputenv("QUORVEX_COM2", "/dev/fake-missing");
        FakeSerialControl c;
        (busy ? c.busy : c.available) << dev1;
        QVERIFY(c.setCommPort(port));
        QVERIFY(!c.setPortOpen(true));
        QVERIFY(!c.portOpen());
        QVERIFY(!c.errorString().isEmpty());
    }

    void portNumberFixedWhileOpen()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setPortOpen(true));
        QVERIFY(!c.setCommPort(2));
        QVERIFY(!c.setPortOpen(true)); // already open
        QVERIFY(c.portOpen());
        QCOMPARE(c.deviceName(), dev1);
    }

    void portNumbersMapToDevices()
    {
        qputenv("QUORVEX_COM7", "/dev/ttyUSB3");
        FakeSerialControl c;
        QVERIFY(c.setCommPort(7));
        QCOMPARE(c.deviceName(), QStringLiteral("/dev/ttyUSB3"));
        qunsetenv("QUORVEX_COM8");
        QVERIFY(c.setCommPort(8));
        QCOMPARE(c.deviceName(), QStringLiteral("/dev/ttyS7"));
        QVERIFY(c.setDevicePath("/dev/ttyACM0"));
        QCOMPARE(c.deviceName(), QStringLiteral("/dev/ttyACM0"));
        QVERIFY(!c.setCommPort(256));
        QVERIFY(!c.setCommPort(-1));
    }

    // Several arrivals before the window gets to them make one event that takes all.
    void receiveEventTakesEverythingWaiting()
    {
        FakeSerialControl c;
        c.available << dev1;
        c.setRThreshold(1);
        QVERIFY(c.setPortOpen(true));
        QSignalSpy spy(&c, &SerialControl::comm);
        c.receive("AB");
        c.receive("CD");
        QCOMPARE(spy.count(), 0); // delivered through the event queue, not inside receive()
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(c.commEvent(), int(SerialControl::ReceiveEvent));
        QCOMPARE(c.inBufferCount(), 4);
        QCOMPARE(c.input().toString(), QStringLiteral("ABCD"));
        QCOMPARE(c.inBufferCount(), 0);
    }

    void inputModes()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setPortOpen(true));
        // Bytes are handed to the program through the event queue.
        c.receive(QByteArray("\xd6", 1));
        QTRY_COMPARE(c.inBufferCount(), 1);
        QCOMPARE(c.input().toString(), QString());
        c.receive(QByteArray("\xd0", 1));
        QTRY_COMPARE(c.inBufferCount(), 1);
        QCOMPARE(c.input().toString(), QString::fromUtf8("中"));
        c.setInputMode(SerialControl::BinaryMode);
        c.receive(QByteArray("\x00\xff", 2));
        QTRY_COMPARE(c.inBufferCount(), 2);
        const QVariant v = c.input();
        QCOMPARE(v.typeId(), QMetaType::QByteArray);
        QCOMPARE(v.toByteArray(), QByteArray("\x00\xff", 2));
    }

    // A flood is handed over in bounded portions, one event each, in order.
    void floodInPortions()
    {
        FakeSerialControl c;
        c.available << dev1;
        c.setRThreshold(1);
        QVERIFY(c.setPortOpen(true));
        QByteArray all;
        for (int i = 0; i < 40; ++i) {
            const QByteArray chunk(16 * 1024, char('a' + i % 26));
            c.receive(chunk);
            all += chunk;
        }
        QByteArray got;
        int events = 0;
        connect(&c, &SerialControl::comm, this, [&] {
            ++events;
            const QByteArray part = c.takeInput();
            QVERIFY(part.size() <= 128 * 1024);
            got += part;
        });
        QTRY_COMPARE(got.size(), all.size());
        QCOMPARE(got, all);
        QVERIFY(events >= 5);
    }

    void thresholdZeroRaisesNothing()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setPortOpen(true));
        QSignalSpy spy(&c, &SerialControl::comm);
        c.receive("A");
        QVERIFY(c.output(QByteArray("x")));
        c.drain();
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(c.inBufferCount(), 1);
    }

    void sendEvent()
    {
        FakeSerialControl c;
        c.available << dev1;
        c.setSThreshold(1);
        QVERIFY(c.setPortOpen(true));
        QSignalSpy spy(&c, &SerialControl::comm);
        QVERIFY(c.output(QString::fromUtf8("中A")));
        QCOMPARE(c.written, QByteArray("\xd6\xd0" "A"));
        c.drain();
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(c.commEvent(), int(SerialControl::SendEvent));
    }

    void closedPortRefusesOutputAndDropsLateData()
    {
        FakeSerialControl c;
        c.available << dev1;
        c.setRThreshold(1);
        QVERIFY(!c.output(QByteArray("x")));
        QVERIFY(c.setPortOpen(true));
        c.receive("late");
        QVERIFY(c.setPortOpen(false));
        QCOMPARE(c.inBufferCount(), 0);
        QSignalSpy spy(&c, &SerialControl::comm);
        QTest::qWait(20);
        QCOMPARE(spy.count(), 0);
        QVERIFY(c.written.isEmpty());
    }

    void deviceLossClosesThePort()
    {
        FakeSerialControl c;
        c.available << dev1;
        QVERIFY(c.setPortOpen(true));
        QSignalSpy lost(&c, &SerialControl::portLost);
        c.lose();
        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!c.portOpen());
        QVERIFY(c.setPortOpen(true));
    }
};

QTEST_GUILESS_MAIN(TestSerialControl)
#include "test_serial_control.moc"
