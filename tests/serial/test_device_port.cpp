#include "serial/codepage936.h"
#include "serial/device_port.h"
#include "serial/modem_lines.h"
#include "support/port_helpers.h"
#include "support/pty_pair.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The port on a device, over pseudo-terminals: the test plays the device.
class TestDevicePort : public QObject
{
    Q_OBJECT

    static bool openOn(DevicePort &c, const PtyPair &pty, const QString &settings = "9600,N,8,1")
    {
        return c.open(pty.devicePath(), line(settings));
    }

    static double processCpuSeconds()
    {
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }

private slots:
    void textOutputIsCodePage936()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty));
        QSignalSpy drained(&c, &Port::drained);
        QVERIFY(c.write(cp936::encode(QString::fromUtf8(" 中文AB\r\n"))));
        QCOMPARE(pty.read(9), QByteArray(" \xd6\xd0\xce\xc4"
                                         "AB\r\n"));
        QTRY_VERIFY(drained.count() >= 1);
    }

    void receivedBytesAreDelivered()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty));
        ReceivedBytes got(c);
        QVERIFY(pty.write(QByteArray("\x01\x03\x00\xff", 4)));
        QTRY_COMPARE(got.size(), 4);
        QCOMPARE(got.take(), QByteArray("\x01\x03\x00\xff", 4));
        QVERIFY(!got.lastArrivals.empty());
        QCOMPARE(got.lastArrivals.back().end, 4);
    }

    // A responder answers on the reading thread: the answer is on the wire
    // while the window's thread is not even running its loop; wrote() tells it
    // afterwards, in order with what it answered. Once the responder is taken
    // away, reads get no answer.
    void responderAnswersOnTheReadingThread()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty));
        c.setEagerReads(true);
        c.setDeliverBeforeWrite(true);
        std::atomic<int> refused{0};
        c.setResponder([&](const QByteArray &bytes) {
            if (!c.answer("ack:" + bytes))
                ++refused;
        });
        QStringList order;
        connect(&c, &Port::received, this,
                [&](const QByteArray &b) { order << QString::fromLatin1("rx " + b); });
        connect(&c, &Port::wrote, this,
                [&](const QByteArray &b, qint64) { order << QString::fromLatin1("tx " + b); });
        for (const QByteArray ping : {"one", "two"}) {
            QVERIFY(pty.write(ping));
            QCOMPARE(pty.read(4 + ping.size()), "ack:" + ping); // no events handled meanwhile
        }
        QTRY_COMPARE(order.size(), 4);
        QCOMPARE(order, QStringList({"rx one", "tx ack:one", "rx two", "tx ack:two"}));
        QCOMPARE(refused.load(), 0);
        c.setResponder({});
        QVERIFY(pty.write("three"));
        QTRY_COMPARE(order.size(), 5);
        QCOMPARE(pty.read(1, 100), QByteArray());
    }

    // With parity on, the driver marks errors and doubles a real FF; the
    // control undoes the doubling, so FF arrives once. Without parity nothing
    // is marked.
    void ffWithAndWithoutParity_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::newRow("even parity") << "9600,E,8,1";
        QTest::newRow("no parity") << "9600,N,8,1";
    }
    void ffWithAndWithoutParity()
    {
        QFETCH(QString, settings);
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty, settings));
        ReceivedBytes got(c);
        const QByteArray sent("\xff\x00\xff\xff"
                              "A",
                              5);
        QVERIFY(pty.write(sent));
        QTRY_COMPARE(got.size(), sent.size());
        QCOMPARE(got.take(), sent);
    }

    // What the driver is set to (a pseudo-terminal keeps the stop bits; it
    // always reports 8 data bits). 1.5 stop bits exist only with 5 data bits
    // (the flag for two stop bits makes 1.5 there); otherwise the line cannot be set.
    void lineSettingsOnAPseudoTerminal_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("twoStopFlag");
        QTest::newRow("115200,N,8,1") << "115200,N,8,1" << true << false;
        QTest::newRow("2400,E,7,2") << "2400,E,7,2" << true << true;
        QTest::newRow("9600,O,5,1") << "9600,O,5,1" << true << false;
        QTest::newRow("1.5 stop bits on 5 data bits") << "9600,N,5,1.5" << true << true;
        QTest::newRow("1.5 stop bits on 6 data bits") << "9600,N,6,1.5" << false << false;
        QTest::newRow("1.5 stop bits on 8 data bits") << "9600,N,8,1.5" << false << false;
        QTest::newRow("four data bits") << "9600,N,4,1" << false << false;
    }
    void lineSettingsOnAPseudoTerminal()
    {
        QFETCH(QString, settings);
        QFETCH(bool, opens);
        QFETCH(bool, twoStopFlag);
        PtyPair pty;
        DevicePort c;
        QCOMPARE(openOn(c, pty, settings), opens);
        QCOMPARE(c.isOpen(), opens);
        if (!opens)
            return;
        const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDONLY | O_NOCTTY);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStopFlag);
    }

    // A pseudo-terminal has no control lines: said so, nothing pulsed, broken
    // or watched, and the data goes on; the kernel's line wait is refused too.
    void pseudoTerminalHasNoControlLines()
    {
        PtyPair pty;
        DevicePort c;
        c.watchModemLines(true);
        QVERIFY(openOn(c, pty));
        QVERIFY(!c.hasControlLines());
        QVERIFY(!c.pulseReset());
        QVERIFY(!c.sendBreak());
        ReceivedBytes got(c);
        QVERIFY(pty.write("x"));
        QTRY_COMPARE(got.size(), 1);

        const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY);
        QCOMPARE(modemLineBits(fd), -1);
        std::atomic<bool> refused{false};
        {
            ModemLineWaiter waiter(
                fd, [](int) {}, [&] { refused = true; });
            QTRY_VERIFY(refused);
        }
        ::close(fd);
    }

    void missingDeviceFailsToOpen()
    {
        DevicePort c;
        QVERIFY(!c.open("/dev/quorvex-no-such-device", line("9600,N,8,1")));
        QVERIFY(!c.isOpen());
        QVERIFY(!c.errorString().isEmpty());
    }

    // In use: by another control, by the same device under another name (a
    // link), or by another terminal's advisory lock. Free again once let go.
    void deviceInUseFailsToOpen()
    {
        PtyPair pty;
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyUSB0");
        QVERIFY(QFile::link(pty.devicePath(), link));
        DevicePort second;
        for (const QString &path : {pty.devicePath(), link}) {
            DevicePort first;
            QVERIFY(first.open(path, line("9600,N,8,1")));
            QVERIFY(!openOn(second, pty));
        }
        const int locked =
            ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDONLY | O_NOCTTY);
        QCOMPARE(::flock(locked, LOCK_EX | LOCK_NB), 0);
        QVERIFY(!openOn(second, pty));
        ::close(locked);
        QVERIFY(openOn(second, pty));
    }

    // Pulling the device closes the port, without spinning on the dead descriptor,
    // and the control opens a device again afterwards.
    void deviceLoss()
    {
        auto pty = std::make_unique<PtyPair>();
        DevicePort c;
        QVERIFY(openOn(c, *pty));
        QSignalSpy lost(&c, &Port::lost);
        pty.reset();
        QTRY_COMPARE(lost.count(), 1);
        QVERIFY(!c.isOpen());

        const double before = processCpuSeconds();
        QTest::qWait(1000);
        QVERIFY2(processCpuSeconds() - before < 0.3, "the control keeps working after the loss");

        PtyPair again;
        QVERIFY(openOn(c, again));
        QVERIFY(c.write(QByteArray("ok")));
        QCOMPARE(again.read(2), QByteArray("ok"));
    }

    // A device that stops reading cannot make the transmit queue grow without
    // end; a single large write into an empty queue still goes out whole.
    void transmitQueueIsBounded()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty));
        const QByteArray chunk(1024, 'x');
        int refused = 0;
        for (int i = 0; i < 2000; ++i) {
            if (!c.write(chunk))
                ++refused;
            QCoreApplication::processEvents();
        }
        QVERIFY(refused > 0);
        QVERIFY(c.pendingOutput() <= DevicePort::kTransmitQueue + 1024);

        pty.read(1 << 22, 200); // the device reads what was let through
        QTRY_COMPARE(c.pendingOutput(), 0);
        QByteArray big(5 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char(i % 253);
        QVERIFY(c.write(big));
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < big.size() && t.elapsed() < 20000) {
            got += pty.read(big.size() - got.size(), 0);
            QCoreApplication::processEvents();
        }
        QCOMPARE(got.size(), big.size());
        QVERIFY(got == big);
    }

    // A window thread that is busy for two seconds loses nothing: the I/O thread
    // keeps draining the device.
    void nothingLostWhileTheWindowIsBusy()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty, "921600,N,8,1"));
        ReceivedBytes got(c);
        QByteArray sent(512 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char((i * 7 + i / 251) & 0xff);

        bool wrote = false;
        std::thread device([&] { wrote = pty.write(sent); });
        QThread::sleep(2); // the window thread is blocked; nothing is processed
        device.join();
        QVERIFY(wrote);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 5000);
        QCOMPARE(got.take(), sent);
    }

    // A flood far larger than the queue while the window's thread is busy: the
    // I/O thread stops reading at the bound (the device waits) instead of
    // holding everything, and every byte arrives once the window goes on.
    void queueStaysBoundedBehindABusyWindow()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty, "921600,N,8,1"));
        ReceivedBytes got(c);
        QByteArray sent(2 * Port::kMaxQueued, Qt::Uninitialized);
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char((i * 5 + i / 241) & 0xff);
        bool wrote = false;
        std::thread device([&] { wrote = pty.write(sent); });
        QThread::sleep(2);
        const qsizetype queued = c.queuedBytes();
        QVERIFY2(queued >= Port::kMaxQueued / 2, "the I/O thread did not read meanwhile");
        QVERIFY2(queued < Port::kMaxQueued + 64 * 1024, qPrintable(QString::number(queued)));
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 20000);
        device.join();
        QVERIFY(wrote);
        QVERIFY(got.take() == sent);
    }

    // Reading passes between the window's thread (a trickle) and the I/O thread
    // (a flood) and back; every byte arrives once, in order.
    void trickleFloodTrickle()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty, "921600,N,8,1"));
        QByteArray sent;
        auto piece = [&sent](qsizetype n) {
            QByteArray b(n, Qt::Uninitialized);
            for (qsizetype i = 0; i < n; ++i)
                b[i] = char((sent.size() + i) * 13 / 7);
            sent += b;
            return b;
        };
        ReceivedBytes got(c);
        auto device = [&](qsizetype size, int times, int gapMs) {
            for (int i = 0; i < times; ++i) {
                QVERIFY(pty.write(piece(size)));
                QTest::qWait(gapMs);
            }
        };
        device(100, 15, 20);
        device(256 * 1024, 2, 0);
        device(100, 15, 20);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 5000);
        QVERIFY(got.take() == sent);
    }

    // The window's thread reads a trickle; when it is busy, the I/O thread takes
    // the reading back and the device is never kept waiting for long.
    void busyWindowDuringATrickle()
    {
        PtyPair pty;
        DevicePort c;
        QVERIFY(openOn(c, pty, "921600,N,8,1"));
        ReceivedBytes got(c);
        QVERIFY(pty.write("start"));
        QTRY_COMPARE(got.size(), 5);
        QCOMPARE(got.take(), QByteArray("start"));
        QTest::qWait(200); // reading on the window's thread by now

        QByteArray sent(300 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 31 / 3);
        QElapsedTimer clock;
        clock.start();
        qint64 doneAt = -1;
        std::thread device([&] {
            for (qsizetype at = 0; at < sent.size(); at += 2048) {
                if (!pty.write(sent.mid(at, 2048)))
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            doneAt = clock.elapsed();
        });
        QThread::msleep(4000); // the window's thread handles nothing meanwhile
        const qint64 unblocked = clock.elapsed();
        device.join();
        QVERIFY2(doneAt >= 0 && doneAt < unblocked, "the device waited for the window");
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 5000);
        QVERIFY(got.take() == sent);
    }
};

QTEST_GUILESS_MAIN(TestDevicePort)
#include "test_device_port.moc"
