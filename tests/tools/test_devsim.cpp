#include "app/app_setup.h"
#include "app/main_window.h"
#include "devsim/modbus.h"
#include "receive/receive_display.h"
#include "serial/device_port.h"
#include "support/port_helpers.h"
#include "support/recording_dialogs.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

Q_DECLARE_METATYPE(devsim::Bytes)

// The device simulator: its Modbus answers, and the process on a real
// pseudo-terminal, alone and behind the program.
class TestDevsim : public QObject
{
    Q_OBJECT

    static devsim::Bytes hex(const char *text) { return *devsim::parseHex(text); }
    static QByteArray qbytes(const devsim::Bytes &b)
    {
        return QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size()));
    }

    struct Simulator {
        QProcess process;
        QString path;
        explicit Simulator(const QStringList &args = {})
        {
            process.start(QStringLiteral(DEVSIM_PATH), args);
            if (process.waitForReadyRead(5000))
                path = QString::fromLocal8Bit(process.readLine()).trimmed();
        }
        ~Simulator()
        {
            process.terminate();
            process.waitForFinished(3000);
        }
    };

    static bool open(DevicePort &c, const QString &path)
    {
        return c.open(path, line("9600,N,8,1"));
    }
    // What arrives within ms, up to n bytes or a little more.
    static QByteArray collect(ReceivedBytes &got, qsizetype n, int ms = 2000)
    {
        QElapsedTimer t;
        t.start();
        while (got.size() < n && t.elapsed() < ms)
            QTest::qWait(5);
        return got.take();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // never the user's own files
        configureApplication();
    }

    void crc()
    {
        const devsim::Bytes request = hex("01 03 00 00 00 0A");
        QCOMPARE(devsim::crc16(request.data(), request.size()), std::uint16_t(0xCDC5));
        QCOMPARE(devsim::withCrc(request), hex("01 03 00 00 00 0A C5 CD"));
    }

    void answers_data()
    {
        QTest::addColumn<devsim::Bytes>("request");
        QTest::addColumn<int>("kind");
        QTest::addColumn<devsim::Bytes>("reply");
        using K = devsim::ModbusSlave::Kind;
        QTest::newRow("read 2 holding")
            << devsim::withCrc(hex("01 03 00 04 00 02")) << int(K::Reply)
            << devsim::withCrc(hex("01 03 04 00 04 00 05"));
        QTest::newRow("read input") << devsim::withCrc(hex("01 04 00 00 00 01")) << int(K::Reply)
                                    << devsim::withCrc(hex("01 04 02 00 EB"));
        QTest::newRow("write single") << devsim::withCrc(hex("01 06 00 07 12 34")) << int(K::Reply)
                                      << devsim::withCrc(hex("01 06 00 07 12 34"));
        QTest::newRow("unknown function") << devsim::withCrc(hex("01 05 00 00 FF 00"))
                                          << int(K::Reply) << devsim::withCrc(hex("01 85 01"));
        QTest::newRow("past the registers") << devsim::withCrc(hex("01 03 00 63 00 02"))
                                            << int(K::Reply) << devsim::withCrc(hex("01 83 02"));
        QTest::newRow("zero registers") << devsim::withCrc(hex("01 03 00 00 00 00"))
                                        << int(K::Reply) << devsim::withCrc(hex("01 83 03"));
        QTest::newRow("another slave")
            << devsim::withCrc(hex("02 03 00 00 00 01")) << int(K::Silence) << devsim::Bytes{};
        QTest::newRow("bad CRC") << hex("01 03 00 00 00 0A C5 CE") << int(K::NotModbus)
                                 << devsim::Bytes{};
        QTest::newRow("text") << devsim::unescape("hello\\r\\n") << int(K::NotModbus)
                              << devsim::Bytes{};
        QTest::newRow("too short") << hex("01 03 40") << int(K::NotModbus) << devsim::Bytes{};
    }
    void answers()
    {
        QFETCH(devsim::Bytes, request);
        QFETCH(int, kind);
        QFETCH(devsim::Bytes, reply);
        devsim::ModbusSlave slave;
        const auto a = slave.handle(request);
        QCOMPARE(int(a.kind), kind);
        QCOMPARE(a.reply, reply);
    }

    void broadcastWritesWithoutAnswer()
    {
        devsim::ModbusSlave slave;
        QCOMPARE(slave.handle(devsim::withCrc(hex("00 06 00 02 AB CD"))).kind,
                 devsim::ModbusSlave::Kind::Silence);
        QCOMPARE(slave.holding[2], 0xABCD);
    }

    void frameGap()
    {
        QVERIFY(qAbs(devsim::frameGapMs(9600) - 4.01) < 0.01);
        QCOMPARE(devsim::frameGapMs(115200), 1.75);
    }

    void processAnswersEchoesAndEnds()
    {
        Simulator sim;
        QVERIFY(sim.path.startsWith("/dev/"));
        DevicePort c;
        QVERIFY(open(c, sim.path));
        ReceivedBytes got(c);
        QVERIFY(c.write(qbytes(hex("01 03 00 00 00 0A C5 CD"))));
        const devsim::Bytes expected = devsim::withCrc(
            hex("01 03 14 00 00 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09"));
        QCOMPARE(collect(got, qsizetype(expected.size())), qbytes(expected));
        QVERIFY(c.write(qbytes(hex("01 03 00 00 00 0A C5 CE")))); // bad CRC: echoed, not answered
        QCOMPARE(collect(got, 8), qbytes(hex("01 03 00 00 00 0A C5 CE")));
        QVERIFY(c.write(QByteArray("AT+GMR\r\n")));
        QCOMPARE(collect(got, 8), QByteArray("AT+GMR\r\n"));

        sim.process.terminate();
        QVERIFY(sim.process.waitForFinished(2000));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
    }

    void streaming()
    {
        Simulator sim({"--stream-text", "T=23.5\\r\\n", "--every", "50"});
        DevicePort c;
        QVERIFY(open(c, sim.path));
        ReceivedBytes got(c);
        QCoreApplication::processEvents();
        got.take();
        const QByteArray streamed = collect(got, 1 << 20, 1000);
        const int lines = int(streamed.count("T=23.5\r\n"));
        QVERIFY2(lines >= 17 && lines <= 22, qPrintable(QString::number(lines)));
    }

    void badOptions()
    {
        QProcess p;
        p.start(QStringLiteral(DEVSIM_PATH), {"--stream-hex", "0G"});
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitCode(), 2);
        p.start(QStringLiteral(DEVSIM_PATH), {"--every"});
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitCode(), 2);
    }

    // The demo: the program opens COM1 on the simulator at start-up and reads
    // its registers with a hexadecimal send.
    void demoEndToEnd()
    {
        Simulator sim;
        qputenv("QUORVEX_COM1", sim.path.toLocal8Bit());
        DevicePort port;
        RecordingDialogs dialogs;
        MainForm form(&port, &dialogs);
        form.formLoad();
        QVERIFY(port.isOpen());
        form.findChild<QCheckBox *>("ChkHexSend")->setCheckState(Qt::Checked);
        form.findChild<QCheckBox *>("ChkHexReceive")->setCheckState(Qt::Checked);
        form.findChild<QPlainTextEdit *>("TxtSend")->setPlainText("01 04 00 00 00 02 71 CB");
        form.findChild<QPushButton *>("CmdSend")->click();
        const devsim::Bytes reply = devsim::withCrc(hex("01 04 04 00 EB 00 29"));
        QString shown;
        for (auto b : reply)
            shown += QStringLiteral("%1 ").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        QTRY_COMPARE(form.findChild<ReceiveDisplay *>("TxtReceive")->text(), shown);
        QVERIFY(dialogs.messages.isEmpty());
    }
};

QTEST_MAIN(TestDevsim)
#include "test_devsim.moc"
