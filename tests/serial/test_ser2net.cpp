#include "app/app_setup.h"
#include "app/main_window.h"
#include "receive/receive_display.h"
#include "serial/device_port.h"
#include "serial/telnet_client.h"
#include "support/choose_item.h"
#include "support/pty_pair.h"
#include "support/recording_dialogs.h"
#include "support/ser2net_server.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// The Telnet client against a real ser2net on loopback, serving a
// pseudo-terminal that the test plays.
class TestSer2Net : public QObject
{
    Q_OBJECT

    struct Session {
        QTcpSocket socket;
        TelnetClient client;
        std::vector<TelnetClient::Notice> notices;

        bool connect(quint16 port)
        {
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(3000))
                return false;
            return send(client.greeting());
        }
        bool send(const std::string &bytes)
        {
            return socket.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()) &&
                   socket.waitForBytesWritten(3000);
        }
        // Takes what came within ms, answering the server's negotiation.
        void take(int ms)
        {
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < ms) {
                if (!socket.waitForReadyRead(int(std::max<qint64>(1, ms - t.elapsed()))))
                    continue;
                const QByteArray in = socket.readAll();
                const TelnetClient::Result r =
                    client.feed(std::string_view(in.constData(), size_t(in.size())));
                QVERIFY(!r.failed);
                notices.insert(notices.end(), r.notices.begin(), r.notices.end());
                if (!r.reply.empty())
                    send(r.reply);
            }
        }
    };

    static QByteArray randomBytes(int n, quint32 seed)
    {
        QByteArray b(n, Qt::Uninitialized);
        QRandomGenerator rng(seed);
        for (char &c : b)
            c = char(rng.bounded(256));
        b[n / 2] = char(0xFF); // at least one, and a pair
        b[n / 2 + 1] = char(0xFF);
        return b;
    }

    static termios deviceSettings(const PtyPair &pty)
    {
        termios tio{};
        const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(),
                              O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ::tcgetattr(fd, &tio);
        ::close(fd);
        return tio;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // never the user's own files
        configureApplication();
        if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty())
            QFAIL("ser2net is not installed (test.sh installs it)");
    }

    // RFC 2217 as ser2net speaks it: settings reach the device and come back
    // confirmed. (Bytes both ways: portBothWays.)
    void rfc2217()
    {
        PtyPair pty;
        Ser2NetServer server(pty.devicePath(), true);
        QVERIFY(server.start());
        Session s;
        QVERIFY(s.connect(server.port()));
        s.take(300);
        QVERIFY(s.send(TelnetClient::command(TelnetClient::SetBaud, 115200, 4)));
        QVERIFY(s.send(TelnetClient::command(TelnetClient::SetStopSize, TelnetClient::StopTwo)));
        s.take(300);
        auto confirmed = [&](TelnetClient::ComCommand c) {
            for (const auto &n : s.notices)
                if (n.command == c)
                    return qint64(n.value);
            return qint64(-1);
        };
        QCOMPARE(confirmed(TelnetClient::SetBaud), 115200);
        QCOMPARE(confirmed(TelnetClient::SetStopSize), qint64(TelnetClient::StopTwo));
        const termios tio = deviceSettings(pty);
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QVERIFY(tio.c_cflag & CSTOPB);
    }

    // The window on a remote port: typed into the port selector, opened by the
    // switch without freezing, shown as a device port is; bytes both ways; a
    // new baud reaches the device; a server that goes away is waited for and
    // taken up again; one that is not there fails as a missing device does.
    void windowOnARemotePort()
    {
        PtyPair local, remote;
        qputenv("QUORVEX_COM1", local.devicePath().toLocal8Bit());
        Ser2NetServer server(remote.devicePath(), true);
        QVERIFY(server.start());
        DevicePort port;
        RecordingDialogs dialogs;
        MainForm form(&port, &dialogs);
        form.formLoad();
        form.show();
        auto *sw = form.findChild<QPushButton *>("CmdSwitch");
        auto *com = form.findChild<QComboBox *>("CboCom");
        auto *status = form.findChild<QLineEdit *>("TxtStatus");
        sw->click(); // closed
        const QString address = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port());
        com->setEditText(address);
        sw->click();
        QVERIFY(status->text().endsWith(QStringLiteral("（正在连接）")));
        QTRY_COMPARE(status->text(), "STATUS：" + address + " OPEND，9600,N,8,1");
        QCOMPARE(sw->text(), QStringLiteral("关闭串口"));
        QTest::qWait(300);
        QCOMPARE(form.findChild<QLineEdit *>("TxtTXCount")->text(),
                 QStringLiteral("TX:0")); // the protocol's bytes are not sends
        form.findChild<QCheckBox *>("ChkHexSend")->setCheckState(Qt::Checked);
        form.findChild<QPlainTextEdit *>("TxtSend")->setPlainText("68 69 FF");
        form.findChild<QPushButton *>("CmdSend")->click();
        QCOMPARE(remote.read(3), QByteArray("hi\xff"));
        form.findChild<QCheckBox *>("ChkHexReceive")->setCheckState(Qt::Checked);
        QVERIFY(remote.write(QByteArray("\x01\xff\x02", 3)));
        QTRY_COMPARE(form.findChild<ReceiveDisplay *>("TxtReceive")->text(),
                     QStringLiteral("01 FF 02 "));
        QVERIFY(chooseFromList(form.findChild<QComboBox *>("CboBaudrate"), "115200"));
        QCOMPARE(sw->text(), QStringLiteral("打开串口")); // not open while it connects again
        QTRY_COMPARE(status->text(), "STATUS：" + address + " OPEND，115200,N,8,1");
        const auto speed = [&] {
            const termios tio = deviceSettings(remote);
            return cfgetospeed(&tio);
        };
        QTRY_COMPARE(speed(), speed_t(B115200));
        QVERIFY(dialogs.messages.isEmpty());

        // The server goes away and comes back: the window waits, then opens again.
        server.stop();
        QTRY_COMPARE(status->text(), QStringLiteral("STATUS：COM Port Cloced（等待设备）"));
        QCOMPARE(sw->text(), QStringLiteral("打开串口"));
        QTest::qWait(1500); // a try or two find nobody
        QVERIFY(server.start());
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), "STATUS：" + address + " OPEND，115200,N,8,1",
                                  10000);
        QCOMPARE(sw->text(), QStringLiteral("关闭串口"));
        QVERIFY(remote.write(QByteArray("\x03", 1)));
        QTRY_COMPARE(form.findChild<ReceiveDisplay *>("TxtReceive")->text(),
                     QStringLiteral("01 FF 02 03 "));

        server.stop();
        QTRY_VERIFY(status->text().endsWith(QStringLiteral("（等待设备）")));
        sw->click(); // the user decides: the wait ends, and opening fails now
        QTRY_COMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有成功，请重试"));
        QCOMPARE(sw->text(), QStringLiteral("打开串口"));
        QCOMPARE(status->text(), QStringLiteral("STATUS：COM Port Cloced（连接被拒绝）"));
    }

    // The server stays while its device goes away: each try meets a server
    // that negotiates, cannot open the device and drops the connection, and
    // the window tries again until the device is back.
    void deviceGoneBehindTheServer()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("board");
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(pty->devicePath(), link));
        Ser2NetServer server(link, true);
        QVERIFY(server.start());
        DevicePort port;
        RecordingDialogs dialogs;
        MainForm form(&port, &dialogs);
        auto *status = form.findChild<QLineEdit *>("TxtStatus");
        const QString address = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port());
        form.findChild<QComboBox *>("CboCom")->setEditText(address);
        form.findChild<QPushButton *>("CmdSwitch")->click();
        QTRY_COMPARE(status->text(), "STATUS：" + address + " OPEND，9600,N,8,1");

        pty.reset(); // unplugged
        QFile::remove(link);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(),
                                  QStringLiteral("STATUS：COM Port Cloced（等待设备）"), 5000);
        QTest::qWait(3500); // tries at 1 s and 3 s meet the server without its device
        pty = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(pty->devicePath(), link));
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), "STATUS：" + address + " OPEND，9600,N,8,1",
                                  15000);
        for (int i = 0; i < 50 && form.findChild<ReceiveDisplay *>("TxtReceive")->text().isEmpty();
             ++i) {
            QVERIFY(pty->write("back\n"));
            QTest::qWait(100);
        }
        QVERIFY(form.findChild<ReceiveDisplay *>("TxtReceive")
                    ->text()
                    .startsWith(QStringLiteral("back")));
        QVERIFY(dialogs.messages.isEmpty());
    }

    // The port itself over both kinds of server: 64 KB of random bytes each way,
    // FF included, exact; a single large write goes out whole.
    void portBothWays_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("rfc2217") << true;
        QTest::newRow("raw") << false;
    }
    void portBothWays()
    {
        QFETCH(bool, rfc2217);
        PtyPair pty;
        Ser2NetServer server(pty.devicePath(), rfc2217);
        QVERIFY(server.start());
        DevicePort port;
        QByteArray got;
        connect(&port, &Port::received, this,
                [&](const QByteArray &bytes, const std::vector<Port::Arrival> &) { got += bytes; });
        QSignalSpy finished(&port, &Port::openFinished);
        const QString address =
            QStringLiteral("%1://127.0.0.1:%2").arg(rfc2217 ? "rfc2217" : "tcp").arg(server.port());
        LineSettings settings;
        QVERIFY(port.open(address, settings));
        QVERIFY(port.isOpening() && !port.isOpen());
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(finished.first().first().toBool() && port.isOpen());
        QCOMPARE(port.hasControlLines(), rfc2217);
        if (!rfc2217) {
            // ser2net opens the device for each connection and drops what the
            // client sends before that: a byte from the device, once through,
            // says it is open.
            for (int i = 0; i < 50 && got.isEmpty(); ++i) {
                QVERIFY(pty.write("!"));
                QTest::qWait(100);
            }
            QVERIFY(!got.isEmpty());
            QTest::qWait(300); // any marker still on its way
            got.clear();
        }
        const QByteArray out = randomBytes(64 * 1024, 5);
        QVERIFY(port.write(out));
        QCOMPARE(pty.read(out.size(), 5000), out);
        const QByteArray in = randomBytes(64 * 1024, 6);
        QVERIFY(pty.write(in));
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), in.size(), 10000);
        QVERIFY(got == in);
    }
};

QTEST_MAIN(TestSer2Net)
#include "test_ser2net.moc"
