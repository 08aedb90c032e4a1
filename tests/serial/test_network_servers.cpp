#include "app/app_setup.h"
#include "app/main_window.h"
#include "serial/device_port.h"
#include "serial/network_link.h"
#include "support/loopback_server.h"
#include "support/port_helpers.h"
#include "support/recording_dialogs.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QThread>

namespace
{
using Play = LoopbackServer::Play;
constexpr char IAC = char(0xFF);

std::string iac(std::initializer_list<int> list)
{
    std::string s;
    for (int v : list)
        s += char(v);
    return s;
}

// A pattern a flood carries, known at every offset.
QByteArray pattern(qsizetype from, qsizetype n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char((from + i) * 7 + (from + i) / 251);
    return b;
}

// What a server received, read on the test's thread.
struct Heard {
    QMutex lock;
    QByteArray bytes;
    void add(const QByteArray &b)
    {
        QMutexLocker l(&lock);
        bytes += b;
    }
    bool has(const std::string &s)
    {
        QMutexLocker l(&lock);
        return bytes.contains(QByteArray::fromStdString(s));
    }
};

// The status line when a message box comes up.
class StatusAtMessage : public RecordingDialogs
{
public:
    QLineEdit *status = nullptr;
    QStringList seen;
    void message(const QString &text, Icon icon, Buttons buttons) override
    {
        seen << status->text();
        RecordingDialogs::message(text, icon, buttons);
    }
};
} // namespace

Q_DECLARE_METATYPE(Play)
Q_DECLARE_METATYPE(Port::Fault)
Q_DECLARE_METATYPE(std::string)

// The network port against servers that misbehave: silent, closing, flooding,
// not reading, confirming something else. Each server runs on loopback on a
// thread of its own.
class TestNetworkServers : public QObject
{
    Q_OBJECT

    static bool opened(DevicePort &port, const QString &address, const LineSettings &ls = {})
    {
        QSignalSpy finished(&port, &Port::openFinished);
        return port.open(address, ls) && finished.wait(NetworkLink::kConnectMs + 2000) &&
               finished.first().first().toBool();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // never the user's own files
        configureApplication();
    }

    // However the server fails to confirm the settings, the opening ends
    // within the one limit, and says why.
    void openingEnds_data()
    {
        QTest::addColumn<Play>("play");
        QTest::addColumn<Port::Fault>("fault");
        QTest::newRow("silent once connected")
            << Play([](LoopbackServer &s, int fd) { s.hold(fd); }) << Port::Fault::TimedOut;
        QTest::newRow("closes before confirming") << Play([](LoopbackServer &s, int fd) {
            s.send(fd, iac({255, 251, 3}) + "Device open failure\r\n");
        }) << Port::Fault::Closed;
        QTest::newRow("other notices and a part of the settings")
            << Play([](LoopbackServer &s, int fd) {
                   s.send(fd, TelnetClient::command(TelnetClient::ComCommand(106), 0x60) +
                                  TelnetClient::command(TelnetClient::ComCommand(107), 0x30) +
                                  TelnetClient::command(TelnetClient::ComCommand(101), 9600, 4) +
                                  TelnetClient::command(TelnetClient::ComCommand(111), 0xF0));
                   s.hold(fd);
               })
            << Port::Fault::TimedOut;
    }
    void openingEnds()
    {
        QFETCH(Play, play);
        QFETCH(Port::Fault, fault);
        LoopbackServer server(play);
        DevicePort port;
        QSignalSpy finished(&port, &Port::openFinished);
        QVERIFY(port.open(server.address(true), {}));
        QVERIFY(finished.wait(NetworkLink::kConnectMs + 2000));
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(port.fault(), fault);
        QVERIFY(!port.isOpen() && !port.isOpening());
    }

    // The window tells a failed connection as it tells a device that cannot
    // be opened, with the reason in the status line, which no longer says it
    // connects while the message is up.
    void windowTellsWhy_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("note");
        quint16 unused;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            unused = probe.serverPort();
        }
        QTest::newRow("refused") << QStringLiteral("tcp://127.0.0.1:%1").arg(unused)
                                 << "（连接被拒绝）";
        QTest::newRow("port out of range") << "tcp://127.0.0.1:99999"
                                           << "（地址无效）";
        QTest::newRow("no such kind") << "ftp://127.0.0.1:21"
                                      << "（地址无效）";
        QTest::newRow("closed before confirming") << ""
                                                  << "（服务器断开了连接）";
    }
    void windowTellsWhy()
    {
        QFETCH(QString, address);
        QFETCH(QString, note);
        LoopbackServer server([](LoopbackServer &s, int fd) { s.receive(fd, 100); });
        if (address.isEmpty())
            address = server.address(true);
        DevicePort port;
        StatusAtMessage dialogs;
        MainForm form(&port, &dialogs);
        dialogs.status = form.findChild<QLineEdit *>("TxtStatus");
        form.findChild<QComboBox *>("CboCom")->setEditText(address);
        form.findChild<QPushButton *>("CmdSwitch")->click();
        QTRY_COMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有成功，请重试"));
        QCOMPARE(dialogs.status->text(), "STATUS：COM Port Cloced" + note);
        if (!address.startsWith(u"ftp") &&
            !address.endsWith(u"99999")) // those fail before connecting
            QCOMPARE(dialogs.seen, QStringList{"STATUS：COM Port Cloced" + note});
    }

    // What the server confirmed shows after the settings; raw TCP says the
    // settings do not travel; the values asked for, confirmed, say nothing more.
    void windowShowsServedSettings_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::addColumn<std::string>("confirmation");
        QTest::addColumn<QString>("note");
        QTest::newRow("other values")
            << true << LoopbackServer::confirm(115200, 7, 3, 2) << "（服务器：115200,E,7,2）";
        QTest::newRow("as asked") << true << LoopbackServer::confirm9600() << "";
        QTest::newRow("no COM port option")
            << true << iac({255, 254, 44}) << "（设置不经网络传送）";
        QTest::newRow("raw TCP") << false << std::string() << "（设置不经网络传送）";
    }
    void windowShowsServedSettings()
    {
        QFETCH(bool, rfc2217);
        QFETCH(std::string, confirmation);
        QFETCH(QString, note);
        LoopbackServer server([&](LoopbackServer &s, int fd) {
            s.send(fd, confirmation);
            s.hold(fd);
        });
        DevicePort port;
        RecordingDialogs dialogs;
        MainForm form(&port, &dialogs);
        auto *status = form.findChild<QLineEdit *>("TxtStatus");
        form.findChild<QComboBox *>("CboCom")->setEditText(server.address(rfc2217));
        form.findChild<QPushButton *>("CmdSwitch")->click();
        QTRY_VERIFY(port.isOpen());
        QCOMPARE(status->text(),
                 "STATUS：" + server.address(rfc2217) + " OPEND，9600,N,8,1" + note);
        QVERIFY(dialogs.messages.isEmpty());
    }

    // Bytes that come with the confirmation, or after the server refused the
    // COM port option, are the device's: all of them arrive, in order, also
    // when the server closes right after them.
    void bytesWithTheOpening_data()
    {
        QTest::addColumn<std::string>("opening");
        QTest::addColumn<bool>("closes");
        QTest::newRow("in the confirmation's segment") << LoopbackServer::confirm9600() << false;
        QTest::newRow("after DONT COM-PORT") << iac({255, 254, 44}) << false;
        QTest::newRow("then the server closes") << LoopbackServer::confirm9600() << true;
    }
    void bytesWithTheOpening()
    {
        QFETCH(std::string, opening);
        QFETCH(bool, closes);
        LoopbackServer server([&](LoopbackServer &s, int fd) {
            if (s.connections() > 1)
                return;
            s.send(fd, opening + "first line\r\n");
            if (closes) {
                s.send(fd, std::string("second\r\n"));
                s.finish(fd);
                return;
            }
            s.receive(fd, 300);
            s.send(fd, std::string("second\r\n"));
            s.hold(fd);
        });
        DevicePort port;
        ReceivedBytes got(port);
        QSignalSpy lost(&port, &Port::lost);
        QVERIFY(opened(port, server.address(true)));
        QTRY_COMPARE(got.size(), 20);
        QCOMPARE(got.take(), QByteArray("first line\r\nsecond\r\n"));
        if (closes)
            QTRY_COMPARE(lost.size(), 1);
    }

    // A flood from a window that does not take it, from a server that then
    // closes: the port reads no further ahead than its queue's bound, and
    // everything arrives once it is taken.
    void floodIsBounded_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("raw") << false;
        QTest::newRow("rfc2217, every byte FF") << true;
    }
    void floodIsBounded()
    {
        QFETCH(bool, rfc2217);
        constexpr qsizetype total = 64 << 20, chunk = 1 << 20;
        LoopbackServer server([&](LoopbackServer &s, int fd) {
            if (rfc2217)
                s.send(fd, LoopbackServer::confirm9600());
            if (s.connections() > 1)
                return;
            for (qsizetype at = 0; at < total; at += chunk)
                if (!s.send(fd, rfc2217 ? QByteArray(2 * chunk, IAC) : pattern(at, chunk)))
                    return;
            s.finish(fd); // and goes: what it sent is all the device's, read or not yet
        });
        DevicePort port;
        qsizetype size = 0;
        bool same = true;
        connect(&port, &Port::received, this,
                [&](const QByteArray &b, const std::vector<Port::Arrival> &) {
                    same = same && (rfc2217 ? b == QByteArray(b.size(), IAC)
                                            : b == pattern(size, b.size()));
                    size += b.size();
                });
        QVERIFY(opened(port, server.address(rfc2217)));
        qsizetype most = 0;
        for (int i = 0; i < 15; ++i) { // the window's thread busy for 1.5 s
            QThread::msleep(100);
            most = std::max(most, port.queuedBytes());
        }
        QVERIFY2(most <= Port::kMaxQueued + 2 * NetworkLink::kReadChunk,
                 qPrintable(QString::number(most)));
        QTRY_COMPARE_WITH_TIMEOUT(size, total, 60000);
        QVERIFY(same);
    }

    // A server that asks and asks but never reads: our answers wait for it
    // up to a bound, and then the port is lost.
    void serverThatDoesNotRead()
    {
        LoopbackServer server([](LoopbackServer &s, int fd) {
            s.send(fd, LoopbackServer::confirm9600());
            QByteArray toggles;
            for (int i = 0; i < 65536; ++i)
                toggles += QByteArray::fromStdString(iac({255, 254, 0, 255, 253, 0}));
            for (int i = 0; i < 2000 && s.send(fd, toggles); ++i) { // 768 MB at the most
            }
            s.hold(fd);
        });
        DevicePort port;
        QSignalSpy lost(&port, &Port::lost);
        QVERIFY(opened(port, server.address(true)));
        QVERIFY(lost.wait(60000));
    }

    // Modem state notices at full speed: the lamps hear the latest levels, at
    // most once a frame.
    void modemStateFlood()
    {
        LoopbackServer server([](LoopbackServer &s, int fd) {
            s.send(fd, LoopbackServer::confirm9600());
            std::string burst;
            for (int i = 0; i < 4096; ++i)
                burst += TelnetClient::command(TelnetClient::ComCommand(107), i % 2 ? 0x10 : 0x80);
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 1500 && s.send(fd, burst)) {
            }
            s.send(fd, TelnetClient::command(TelnetClient::ComCommand(107), 0x30));
            s.hold(fd);
        });
        DevicePort port;
        QList<Port::ModemLines> told;
        connect(&port, &Port::modemLinesChanged, this,
                [&](const Port::ModemLines &l) { told << l; });
        port.watchModemLines(true);
        QElapsedTimer t;
        t.start();
        QVERIFY(opened(port, server.address(true)));
        QTRY_COMPARE_WITH_TIMEOUT(told.isEmpty() ? Port::ModemLines{} : told.last(),
                                  (Port::ModemLines{true, true, false, false}), 10000);
        QTest::qWait(100);
        QVERIFY2(told.size() <= t.elapsed() / Port::kLinesSpacingMs + 2,
                 qPrintable(QString::number(told.size())));
        QCOMPARE(told.last(), (Port::ModemLines{true, true, false, false}));
    }

    // A break under way when the port closes or opens again ends at the server.
    void breakEndsWithTheConnection_data()
    {
        QTest::addColumn<bool>("reopen");
        QTest::newRow("closed") << false;
        QTest::newRow("opened again") << true;
    }
    void breakEndsWithTheConnection()
    {
        QFETCH(bool, reopen);
        Heard heard;
        LoopbackServer server([&](LoopbackServer &s, int fd) {
            s.send(fd, LoopbackServer::confirm9600());
            QElapsedTimer t;
            t.start();
            while (!s.stopping() && t.elapsed() < 3000) {
                const QByteArray in = s.receive(fd, 50);
                heard.add(in);
            }
        });
        DevicePort port;
        QVERIFY(opened(port, server.address(true)));
        QVERIFY(port.sendBreak());
        QTRY_VERIFY(
            heard.has(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOn)));
        port.close();
        if (reopen)
            QVERIFY(port.open(server.address(true), line("115200,N,8,1")));
        QTRY_VERIFY(
            heard.has(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOff)));
    }

    // Closing and opening a network port never waits for its I/O thread, which
    // may be busy with a flood.
    void windowNeverWaitsForTheIoThread()
    {
        LoopbackServer server([](LoopbackServer &s, int fd) {
            s.send(fd, LoopbackServer::confirm9600());
            s.hold(fd);
        });
        DevicePort port;
        QVERIFY(opened(port, server.address(true)));
        auto *busy = new QObject;
        busy->moveToThread(port.ioThread());
        QMetaObject::invokeMethod(busy, [busy] {
            QThread::msleep(1500);
            delete busy;
        });
        QElapsedTimer t;
        t.start();
        QVERIFY(port.sendBreak());
        port.setDtr(false);
        port.close();
        QVERIFY(port.open(server.address(true), {}));
        port.close();
        QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
    }
};

QTEST_MAIN(TestNetworkServers)
#include "test_network_servers.moc"
