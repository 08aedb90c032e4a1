// The two-way log: its lines, how received bytes gather into bursts among
// what is sent, its file, and quorvex-txrx reading it back.
#include "receive/txrx_line.h"
#include "receive/txrx_log.h"
#include "support/fake_port.h"
#include "support/file_size_limit.h"
#include "support/port_helpers.h"
#include "txrx_print.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

namespace
{
// 2026-12-09 18:20:01 local time, in microseconds.
qint64 at(qint64 plusUs)
{
    return QDateTime(QDate(2026, 12, 9), QTime(18, 20, 1)).toMSecsSinceEpoch() * 1000 + plusUs;
}

QByteArrayList linesOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Each line without its time: "RX 41 42".
QByteArrayList withoutTimes(const QByteArrayList &lines)
{
    QByteArrayList out;
    for (const QByteArray &l : lines)
        out << l.mid(27);
    return out;
}
} // namespace

class TestTxRxLog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    struct Logged {
        FakePort port;
        TxRxLog log;
        QString path;
        explicit Logged(const QString &folder)
        {
            port.available << QStringLiteral("/dev/fake");
            port.open(QStringLiteral("/dev/fake"), line(QStringLiteral("115200,E,7,2")));
            path = folder + QStringLiteral("/t.log");
            port.setDeliverBeforeWrite(true); // as the window asks while logging
            log.start(path, &port);
        }
        QByteArrayList stop()
        {
            QCoreApplication::processEvents();
            log.stop();
            return withoutTimes(linesOf(log.path()));
        }
    };

private slots:
    void linesReadBack_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("valid");
        const QByteArray t = "2026-12-09 18:20:01.123456 ";
        QTest::newRow("tx") << t + "TX 01 03 00 00 00 0A C5 CD" << true;
        QTest::newRow("rx, lower case") << t + "RX ff 0a" << true;
        QTest::newRow("dtr") << t + "DTR 0" << true;
        QTest::newRow("break") << t + "BREAK 250" << true;
        QTest::newRow("open") << t + "OPEN 115200,N,8,1" << true;
        QTest::newRow("lost") << t + "LOST" << true;
        QTest::newRow("note, Chinese") << t + "NOTE 通过 boot" << true;
        QTest::newRow("tx without bytes") << t + "TX" << false;
        QTest::newRow("tx, odd digit") << t + "TX 01 0" << false;
        QTest::newRow("tx, pairs run together") << t + "TX 0103" << false;
        QTest::newRow("tx, not hex") << t + "TX 0G" << false;
        QTest::newRow("dtr 2") << t + "DTR 2" << false;
        QTest::newRow("break, no number") << t + "BREAK x" << false;
        QTest::newRow("close with words") << t + "CLOSE now" << false;
        QTest::newRow("unknown word") << t + "HELLO" << false;
        QTest::newRow("no microseconds") << QByteArray("2026-12-09 18:20:01 TX 01") << false;
        QTest::newRow("bad date") << QByteArray("2026-13-09 18:20:01.000000 TX 01") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void linesReadBack()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, valid);
        const auto e = txrx::parse(line + "\r\n");
        QCOMPARE(e.has_value(), valid);
        if (valid) // what is read back writes the same line (hex in upper case)
            QCOMPARE(txrx::format(*e),
                     line.toUpper().replace("NOTE 通过 BOOT", "NOTE 通过 boot") + '\n');
    }

    void timesToTheMicrosecond()
    {
        QCOMPARE(txrx::timeText(at(7)), QByteArray("2026-12-09 18:20:01.000007"));
        QCOMPARE(txrx::timeText(at(999999)), QByteArray("2026-12-09 18:20:01.999999"));
        QCOMPARE(txrx::parse(txrx::timeText(at(1234567)) + " LOST")->usecs, at(1234567));
    }

    // Received bytes make one line until a gap of 5 ms or 4096 bytes; a send,
    // a control line or a note ends the burst, so the lines keep their order.
    void burstsAmongSends()
    {
        Logged l(m_dir.path());
        l.port.receiveAtUsecs("AB", at(0));
        l.port.receiveAtUsecs("C", at(4999));  // joins
        l.port.receiveAtUsecs("D", at(10000)); // 5 ms after C: a new burst
        QCoreApplication::processEvents();
        l.port.write("\x01\x03");
        l.port.receiveAtUsecs("E", at(20000));
        QCoreApplication::processEvents();
        l.port.setDtr(false);
        l.port.sendBreak(250);
        l.log.note(QStringLiteral("第一行\n第二行"));
        l.port.receiveAtUsecs(QByteArray(5000, 'x'), at(30000));
        QCoreApplication::processEvents();
        l.port.lose();
        const QByteArrayList got = l.stop();
        QCOMPARE(got.size(), 11);
        QCOMPARE(got[0], QByteArray("OPEN 115200,E,7,2"));
        QCOMPARE(got[1], QByteArray("RX 41 42 43"));
        QCOMPARE(got[2], QByteArray("RX 44"));
        QCOMPARE(got[3], QByteArray("TX 01 03"));
        QCOMPARE(got[4], QByteArray("RX 45"));
        QCOMPARE(got[5], QByteArray("DTR 0"));
        QCOMPARE(got[6], QByteArray("BREAK 250"));
        QCOMPARE(got[7], QByteArray("NOTE 第一行 第二行"));
        QCOMPARE(got[8].size(), 3 + 4096 * 3 - 1);
        QCOMPARE(got[9].size(), 3 + (5000 - 4096) * 3 - 1);
        QCOMPARE(got[10], QByteArray("LOST")); // not CLOSE as well
        // Each burst has the time of its first byte.
        const QByteArrayList lines = linesOf(l.log.path());
        QCOMPARE(txrx::parse(lines[1])->usecs, at(0));
        QCOMPARE(txrx::parse(lines[2])->usecs, at(10000));
    }

    // Bytes read before a write are delivered and logged before it, even
    // when the port would still be holding them back.
    void readBeforeWriteComesFirst()
    {
        Logged l(m_dir.path());
        l.port.receive("early");
        l.port.write("W");
        const QByteArrayList got = l.stop();
        QCOMPARE(got.mid(1), (QByteArrayList{"RX 65 61 72 6C 79", "TX 57"}));
    }

    void aQuietLineWritesItsBurst()
    {
        Logged l(m_dir.path());
        l.port.receive("Q");
        QTRY_VERIFY_WITH_TIMEOUT(linesOf(l.log.path()).size() == 2 || !l.log.logging(), 3000);
        // Flushed to the file by the writer within its half second.
        QTRY_COMPARE_WITH_TIMEOUT(withoutTimes(linesOf(l.log.path())).value(1), QByteArray("RX 51"),
                                  3000);
    }

    void theFileIsNewAndPrivate()
    {
        QFile::link(QStringLiteral("/etc/passwd"), m_dir.filePath(QStringLiteral("link.log")));
        TxRxLog log;
        QVERIFY(log.start(m_dir.filePath(QStringLiteral("link.log"))));
        QCOMPARE(log.path(), m_dir.filePath(QStringLiteral("link-1.log")));
        struct stat st {
        };
        QCOMPARE(::stat(QFile::encodeName(log.path()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(TxRxLog::logFilePath(QStringLiteral("/f"),
                                      QDateTime(QDate(2026, 12, 9), QTime(18, 20, 1))),
                 QStringLiteral("/f/txrx-20261209-182001.log"));
    }

    void aFullDiskEndsTheLogKeepingWhatWasWritten()
    {
        FakePort port;
        port.available << QStringLiteral("/dev/fake");
        port.open(QStringLiteral("/dev/fake"), line(QStringLiteral("9600,N,8,1")));
        TxRxLog log;
        QSignalSpy failed(&log, &TxRxLog::failed);
        {
            FileSizeLimit full(4096);
            QVERIFY(log.start(m_dir.filePath(QStringLiteral("full.log")), &port));
            for (int i = 0; i < 200 && failed.isEmpty(); ++i) {
                port.write(QByteArray(64, 'z'));
                QTest::qWait(10);
            }
            QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 5000);
        }
        QVERIFY(!log.logging());
        const QByteArrayList lines = linesOf(m_dir.filePath(QStringLiteral("full.log")));
        QVERIFY(!lines.isEmpty());
        QVERIFY(txrx::parse(lines.first()).has_value()); // what was written stays
    }

    void printedForPeople_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii and breaks") << QByteArray("OK\r\n\t\\") << "OK\\r\\n\\t\\\\";
        QTest::newRow("chinese") << QByteArray("\xc4\xe3\xba\xc3") << "你好";
        QTest::newRow("control and high bytes")
            << QByteArray("\x01\x80\xff", 3) << "\\x01\\x80\\xFF";
        QTest::newRow("lead byte left alone") << QByteArray("a\xc4") << "a\\xC4";
        QTest::newRow("lead byte before ascii") << QByteArray("\xc4\x0d") << "\\xC4\\r";
    }
    void printedForPeople()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(txrx::escapedText(bytes), text);
    }

    void hexAndAsciiRows()
    {
        const QByteArray dump = txrx::hexDump(QByteArray("0123456789abcdefXY\x01", 19));
        QCOMPARE(dump.split('\n').value(1),
                 QByteArray("  0010  58 59 01                                         |XY.|"));
        QVERIFY(dump.startsWith("  0000  30 31 32"));
    }

    // quorvex-txrx gives back the bytes of one direction exactly, and names
    // the lines it cannot read.
    void theToolReadsTheLogBack()
    {
        const QString path = m_dir.filePath(QStringLiteral("tool.log"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all += char(i);
        QByteArray content;
        txrx::appendBytesLine(content, at(0), txrx::Kind::Tx, all.first(100));
        content += "2026-12-09 18:20:01.000001 RX 0D 0A\n";
        content += "garbage\n";
        txrx::appendBytesLine(content, at(2), txrx::Kind::Tx, all.sliced(100));
        f.write(content);
        f.close();
        const auto run = [&path](const QStringList &args, QByteArray *err = nullptr) {
            QProcess p;
            p.start(QStringLiteral(QUORVEX_TXRX), args + QStringList{path});
            p.waitForFinished(10000);
            if (err)
                *err = p.readAllStandardError();
            return std::make_pair(p.exitCode(), p.readAllStandardOutput());
        };
        QByteArray err;
        const auto raw = run({QStringLiteral("--raw"), QStringLiteral("tx")}, &err);
        QCOMPARE(raw.second, all);
        QCOMPARE(raw.first, 1);
        QVERIFY2(err.contains(":3: not a two-way log line"), err.constData());
        QCOMPARE(run({QStringLiteral("--raw"), QStringLiteral("rx")}).second, QByteArray("\r\n"));
        QVERIFY(run({}).second.contains(" RX \\r\\n\n"));
        QVERIFY(run({QStringLiteral("--hex")}).second.contains("RX (2 bytes)\n  0000  0D 0A"));
        QCOMPARE(run({QStringLiteral("--raw"), QStringLiteral("both")}).first, 2);
    }
};

QTEST_GUILESS_MAIN(TestTxRxLog)
#include "test_txrx_log.moc"
