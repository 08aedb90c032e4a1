#include "support/fake_port.h"
#include "support/port_helpers.h"

#include <QSignalSpy>
#include <QTest>

// The port's own rules, with a device that lives in memory.
class TestPort : public QObject
{
    Q_OBJECT

    const QString dev1 = QStringLiteral("/dev/fake1");

private slots:
    void openingHandsTheSettingsToTheDevice()
    {
        FakePort c;
        c.available << dev1;
        QSignalSpy opened(&c, &Port::opened);
        QVERIFY(c.open(dev1, line("115200,E,7,2")));
        QCOMPARE(c.log, QStringList{"open /dev/fake1 115200"});
        QCOMPARE(c.deviceSettings, line("115200,E,7,2"));
        QCOMPARE(opened.count(), 1);
        QVERIFY(!c.open(dev1, line("9600,N,8,1"))); // already open
        QVERIFY(c.isOpen());
        QCOMPARE(c.lineSettings(), line("115200,E,7,2"));
        c.close();
        c.close(); // closing a closed port is no fault
        QCOMPARE(c.log, (QStringList{"open /dev/fake1 115200", "close"}));
    }

    void openingFailures_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("busy");
        QTest::newRow("no device named") << "" << false;
        QTest::newRow("missing device") << "/dev/fake-missing" << false;
        QTest::newRow("busy device") << "/dev/fake1" << true;
    }
    void openingFailures()
    {
        QFETCH(QString, device);
        QFETCH(bool, busy);
        FakePort c;
        QSignalSpy opened(&c, &Port::opened);
        (busy ? c.busy : c.available) << dev1;
        QVERIFY(!c.open(device, line("9600,N,8,1")));
        QVERIFY(!c.isOpen());
        QVERIFY(!c.errorString().isEmpty());
        QCOMPARE(c.device(), device);
        QCOMPARE(opened.count(), 0);
    }

    // Several arrivals before the window gets to them make one delivery, after
    // the call that handed them in, with the read time of each stretch.
    void arrivalsGatherIntoOneDelivery()
    {
        FakePort c;
        c.available << dev1;
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        ReceivedBytes got(c);
        c.receive("AB", 1000);
        c.receive("CD", 1000);
        c.receive("E", 2000);
        QCOMPARE(got.deliveries, 0); // through the event queue, not inside receive()
        QTRY_COMPARE(got.deliveries, 1);
        QCOMPARE(got.take(), QByteArray("ABCDE"));
        QCOMPARE(got.lastArrivals.size(), 2u);
        QCOMPARE(got.lastArrivals[0].end, 4);
        QCOMPARE(got.lastArrivals[0].msecs, 1000);
        QCOMPARE(got.lastArrivals[1].end, 5);
        QCOMPARE(got.lastArrivals[1].msecs, 2000);
    }

    // A flood is delivered in bounded portions, in order.
    void floodInPortions()
    {
        FakePort c;
        c.available << dev1;
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QByteArray all;
        for (int i = 0; i < 40; ++i) {
            const QByteArray chunk(16 * 1024, char('a' + i % 26));
            c.receive(chunk);
            all += chunk;
        }
        QByteArray got;
        int deliveries = 0;
        connect(&c, &Port::received, this,
                [&](const QByteArray &bytes, const std::vector<Port::Arrival> &) {
                    ++deliveries;
                    QVERIFY(bytes.size() <= Port::kMaxPerDelivery);
                    got += bytes;
                });
        QTRY_COMPARE(got.size(), all.size());
        QCOMPARE(got, all);
        QVERIFY(deliveries >= 5);
    }

    void writesDrainAndFaultsReportOnlyWhileOpen()
    {
        FakePort c;
        c.available << dev1;
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QSignalSpy drained(&c, &Port::drained);
        QSignalSpy faults(&c, &Port::errorOccurred);
        QVERIFY(c.write(QByteArray("\xd6\xd0"
                                   "A")));
        QCOMPARE(c.written, QByteArray("\xd6\xd0"
                                       "A"));
        c.drain();
        c.fault("overrun");
        QTRY_COMPARE(drained.count(), 1);
        QTRY_COMPARE(faults.count(), 1);
        QCOMPARE(faults.first().first().toString(), QStringLiteral("overrun"));
        // Reports of an earlier opening are dropped.
        c.drain();
        c.fault("late");
        c.close();
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QTest::qWait(20);
        QCOMPARE(drained.count(), 1);
        QCOMPARE(faults.count(), 1);
        // A report of the earlier opening still on its way holds none of this one's back.
        c.drain();
        c.close();
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        c.drain();
        QTRY_COMPARE(drained.count(), 2);
    }

    void closedPortRefusesOutputAndDropsLateData()
    {
        FakePort c;
        c.available << dev1;
        QVERIFY(!c.write(QByteArray("x")));
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        ReceivedBytes got(c);
        c.receive("late");
        c.close();
        QCOMPARE(c.queuedBytes(), 0);
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        c.receive("new");
        QTRY_COMPARE(got.deliveries, 1);
        QCOMPARE(got.take(), QByteArray("new"));
        QVERIFY(c.written.isEmpty());
    }

    // DTR and RTS as chosen (DTR on, RTS off at first): applied at every
    // opening, at once while open, and after a reset pulse of 100 ms, whose
    // end brings back what was chosen meanwhile.
    void controlLines()
    {
        FakePort c;
        c.available << dev1;
        c.setRts(true); // while closed: held for the opening
        QVERIFY(c.lineChanges.isEmpty());
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QVERIFY(c.hasControlLines());
        c.setDtr(false);
        QVERIFY(c.pulseReset());
        c.setDtr(true); // during the pulse: taken at its end
        QTRY_COMPARE(c.lineChanges.size(), 4);
        const auto &l = c.lineChanges;
        QCOMPARE((QList<bool>{l[0].dtr, l[0].rts, l[1].dtr, l[1].rts, l[2].dtr, l[2].rts, l[3].dtr,
                              l[3].rts}),
                 (QList<bool>{true, true, false, true, false, false, true, true}));
        QVERIFY2(l[3].ms - l[2].ms >= Port::kResetPulseMs - 1 &&
                     l[3].ms - l[2].ms < 3 * Port::kResetPulseMs,
                 qPrintable(QString::number(l[3].ms - l[2].ms)));
        QVERIFY(c.sendBreak());
        QCOMPARE(c.breaks, QList<int>{Port::kBreakMs});
        c.lose(); // the device returns: the lines as chosen again
        QTRY_VERIFY(!c.isOpen());
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QCOMPARE(c.lineChanges.size(), 5);
        QVERIFY(c.lineChanges.last().dtr && c.lineChanges.last().rts);
        c.close();
        QVERIFY(!c.pulseReset() && !c.sendBreak()); // closed
    }

    // A device without control lines: nothing to pulse, break or watch.
    void noControlLines()
    {
        FakePort c;
        c.available << dev1;
        c.hasLines = false;
        c.watchModemLines(true);
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QVERIFY(!c.hasControlLines());
        QVERIFY(!c.pulseReset());
        QVERIFY(!c.sendBreak());
        QVERIFY(!c.watching);
        QVERIFY(c.breaks.isEmpty());
    }

    // The modem lines are watched only while asked for and open.
    void modemLinesWhileWatched()
    {
        FakePort c;
        c.available << dev1;
        QSignalSpy seen(&c, &Port::modemLinesChanged);
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QVERIFY(!c.watching);
        c.modemLines({true, false, false, false});
        QTest::qWait(10); // not told: unwatched
        c.watchModemLines(true);
        QVERIFY(c.watching);
        c.modemLines({false, true, true, false});
        QTRY_COMPARE(seen.count(), 1);
        QCOMPARE(seen.first().first().value<Port::ModemLines>(),
                 (Port::ModemLines{false, true, true, false}));
        c.close();
        QVERIFY(!c.watching);
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QVERIFY(c.watching); // again at the opening
        c.watchModemLines(false);
        QVERIFY(!c.watching);
    }

    void deviceLossClosesThePort()
    {
        FakePort c;
        c.available << dev1;
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
        QSignalSpy lost(&c, &Port::lost);
        c.lose();
        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!c.isOpen());
        QVERIFY(c.open(dev1, line("9600,N,8,1")));
    }
};

QTEST_GUILESS_MAIN(TestPort)
#include "test_port.moc"
