// Transfers on a real port: a pseudo-terminal opened as the device, lrzsz at
// its far end. Files come out exact, are never kept half or over another
// file, and a port that goes away or a cancel ends a transfer at once.
#include "serial/device_port.h"
#include "support/lrzsz_peer.h"
#include "support/port_helpers.h"
#include "support/pty_pair.h"
#include "transfer/transfer_run.h"
#include "transmit/send_feed.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <random>
#include <sys/stat.h>

using Protocol = TransferRun::Protocol;
using Direction = TransferRun::Direction;

namespace
{
QByteArray randomBytes(qsizetype n, unsigned seed)
{
    std::mt19937 rng(seed);
    QByteArray b(n, '\0');
    for (char &c : b)
        c = char(rng());
    return b;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// What a folder holds, hidden files too.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A port on a pseudo-terminal, its send feed and a transfer on them.
struct Bench {
    PtyPair pty;
    DevicePort port;
    SendFeed send{&port};
    TransferRun run{&port, &send};
    QSignalSpy finished{&run, &TransferRun::finished};
    bool open()
    {
        return pty.isValid() && port.open(pty.devicePath(), line(QStringLiteral("115200,N,8,1")));
    }
    // Waits for the end; ok and the result.
    std::pair<bool, QString> result(int ms = 60000)
    {
        if (finished.isEmpty() && !finished.wait(ms))
            return {false, QStringLiteral("<no end>")};
        return {finished.first().at(0).toBool(), finished.first().at(1).toString()};
    }
};
} // namespace

class TestTransferRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("sx")).isEmpty())
            QSKIP("lrzsz is not installed");
    }

    void safeNames_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QByteArray("fw.bin") << "fw.bin";
        QTest::newRow("up and out") << QByteArray("../../.bashrc") << "bashrc";
        QTest::newRow("absolute") << QByteArray("/etc/passwd") << "passwd";
        QTest::newRow("backslashes") << QByteArray("C:\\boot\\x.img") << "x.img";
        QTest::newRow("control characters") << QByteArray("a\x1b[2Jb\r\n.txt") << "a[2Jb.txt";
        QTest::newRow("dots alone") << QByteArray("..") << "received";
        QTest::newRow("a folder") << QByteArray("dir/") << "received";
        QTest::newRow("UTF-8") << QByteArray("固件.bin") << QStringLiteral("固件.bin");
        QTest::newRow("code page 936")
            << QByteArray("\xb9\xcc\xbc\xfe.bin") << QStringLiteral("固件.bin");
        QTest::newRow("too long") << QByteArray(300, 'a') << QString(255, u'a');
    }
    void safeNames()
    {
        QFETCH(QByteArray, given);
        QFETCH(QString, name);
        QCOMPARE(transfer::safeName(given), name);
    }

    void sendsAndReceivesThroughThePort_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<Direction>("direction");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("YMODEM to rb")
            << Protocol::YModem << Direction::Send << "rb" << QStringList{"-b"};
        QTest::newRow("XMODEM-1K to rx")
            << Protocol::XModem1k << Direction::Send << "rx" << QStringList{"-b", "-c", "one.bin"};
        QTest::newRow("ZMODEM to rz")
            << Protocol::ZModem << Direction::Send << "rz" << QStringList{"-b"};
        QTest::newRow("YMODEM from sb") << Protocol::YModem << Direction::Receive << "sb"
                                        << QStringList{"-b", "one.bin", "two.bin"};
        QTest::newRow("XMODEM from sx -k") << Protocol::XModemCrc << Direction::Receive << "sx"
                                           << QStringList{"-b", "-k", "one.bin"};
        QTest::newRow("ZMODEM from sz") << Protocol::ZModem << Direction::Receive << "sz"
                                        << QStringList{"-b", "one.bin", "two.bin"};
    }
    void sendsAndReceivesThroughThePort()
    {
        QFETCH(Protocol, protocol);
        QFETCH(Direction, direction);
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        if (protocol == Protocol::ZModem && TransferRun::lrzszProgram(direction).isEmpty())
            QSKIP("no sz/rz");
        QTemporaryDir ours, theirs;
        const QByteArray one = randomBytes(200000, 1), two = randomBytes(1025, 2);
        const QString from = direction == Direction::Send ? ours.path() : theirs.path();
        writeFile(from + "/one.bin", one);
        writeFile(from + "/two.bin", two);
        const QString into = direction == Direction::Send ? theirs.path() : ours.path() + "/in";
        // A file of the same name is there already: it stays as it is.
        QDir().mkpath(into);
        if (direction == Direction::Receive)
            writeFile(into + "/one.bin", "older");

        Bench b;
        QVERIFY(b.open());
        LrzszPeer peer(program, args, theirs.path(), b.pty.masterFd());
        QVERIFY(peer.started());
        TransferRun::Job job;
        job.protocol = protocol;
        job.direction = direction;
        job.files = {ours.filePath("one.bin"), ours.filePath("two.bin")};
        job.folder = into;
        job.name = "one.bin";
        QString why;
        QVERIFY2(b.run.start(job, &why), qPrintable(why));
        const auto [ok, result] = b.result();
        QVERIFY2(ok, qPrintable(result));
        QVERIFY(result.startsWith("成功"));
        QCOMPARE(peer.wait(10000), 0);
        peer.stopRelay();

        const bool batch = protocol != Protocol::XModem1k && protocol != Protocol::XModemCrc;
        if (direction == Direction::Send) {
            const QByteArray got = readFile(into + "/one.bin");
            QVERIFY(batch ? got == one : got.startsWith(one) && got.size() - one.size() < 1024);
            if (batch)
                QVERIFY(readFile(into + "/two.bin") == two);
            QVERIFY(b.send.count() > one.size());
            return;
        }
        QCOMPARE(readFile(into + "/one.bin"), QByteArray("older"));
        const QStringList kept = entries(into);
        QCOMPARE(kept.size(), batch ? 3 : 2); // nothing else, no leftovers
        const QString renamed =
            into + "/" + kept.filter(QRegularExpression("^one.*bin.+|^one-1")).value(0);
        const QByteArray got = readFile(renamed);
        QVERIFY2(batch ? got == one : got.startsWith(one) && got.size() - one.size() < 1024,
                 qPrintable(kept.join(',')));
        QCOMPARE(b.run.received().size(), batch ? 2 : 1);
        if (protocol != Protocol::ZModem) {
            struct stat st {
            };
            QCOMPARE(::stat(QFile::encodeName(renamed).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
    }

    // The device goes away, or the user cancels, in the middle: the transfer
    // fails at once with the reason, and nothing half-received is left.
    void endsAtOnce_data()
    {
        QTest::addColumn<bool>("lose");
        QTest::addColumn<Protocol>("protocol");
        QTest::newRow("lost, YMODEM") << true << Protocol::YModem;
        QTest::newRow("cancelled, YMODEM") << false << Protocol::YModem;
        QTest::newRow("cancelled, ZMODEM") << false << Protocol::ZModem;
    }
    void endsAtOnce()
    {
        QFETCH(bool, lose);
        QFETCH(Protocol, protocol);
        QTemporaryDir ours, theirs;
        writeFile(theirs.filePath("big.bin"), randomBytes(4 << 20, 3));
        Bench b;
        QVERIFY(b.open());
        const QString sender = protocol == Protocol::ZModem ? "sz" : "sb";
        LrzszPeer peer(sender, {"-b", "big.bin"}, theirs.path(), b.pty.masterFd());
        TransferRun::Job job{protocol, Direction::Receive, {}, ours.path(), {}};
        QString why;
        QVERIFY2(b.run.start(job, &why), qPrintable(why));
        QSignalSpy progressed(&b.run, &TransferRun::progressed);
        QTRY_VERIFY_WITH_TIMEOUT(b.run.figures().sent > 100000 || !b.finished.isEmpty(), 20000);
        QVERIFY(b.run.running());
        QElapsedTimer clock;
        clock.start();
        if (lose) {
            peer.stopRelay();
            b.pty.closeDevice();
        } else {
            b.run.cancel();
        }
        const auto [ok, result] = b.result(5000);
        QVERIFY(!ok);
        QVERIFY2(result.contains(lose ? "串口" : "已取消"), qPrintable(result));
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(!b.run.running());
        QVERIFY(!progressed.isEmpty());
        QVERIFY2(QDir(ours.path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                     .isEmpty(),
                 qPrintable(entries(ours.path()).join(',')));
        if (!lose) { // the far end was told, and gives up at once
            QElapsedTimer told;
            told.start();
            QVERIFY(peer.wait(10000) > 0);
            qInfo("%s ended %lld ms after the cancel", qPrintable(sender), told.elapsed());
        }
    }
};

QTEST_GUILESS_MAIN(TestTransferRun)
#include "test_transfer_run.moc"
