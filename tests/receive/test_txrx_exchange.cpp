// A long exchange both ways with the simulator on a pseudo-terminal: Modbus
// requests every 10 ms while it streams a status line every 10 ms. The
// two-way log's TX bytes are exactly what the device read and its RX bytes
// exactly what it wrote. QUORVEX_EXCHANGE_SECONDS sets the length (15 s by
// default; 600 for the ten-minute run).
#include "receive/txrx_line.h"
#include "receive/txrx_log.h"
#include "serial/device_port.h"
#include "support/port_helpers.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>

class TestTxRxExchange : public QObject
{
    Q_OBJECT

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void logEqualsWhatTheDeviceSawBothWays()
    {
        const int seconds = qEnvironmentVariableIntValue("QUORVEX_EXCHANGE_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("QUORVEX_EXCHANGE_SECONDS")
                                : 15;
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("device"));
        QProcess sim;
        sim.start(QStringLiteral(DEVSIM_PATH),
                  {QStringLiteral("--stream-text"), QStringLiteral("status ok 温度 21.5\\r\\n"),
                   QStringLiteral("--every"), QStringLiteral("10"), QStringLiteral("--capture"),
                   capture});
        QVERIFY(sim.waitForReadyRead(5000));
        const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();

        DevicePort port;
        QVERIFY2(port.open(device, line(QStringLiteral("115200,N,8,1"))),
                 qPrintable(port.errorString()));
        port.setDeliverBeforeWrite(true); // as the window asks while logging
        port.setExactReadTimes(true);
        TxRxLog log;
        QVERIFY(log.start(dir.filePath(QStringLiteral("txrx.log")), &port));
        bool failed = false;
        connect(&log, &TxRxLog::failed, this, [&failed] { failed = true; });

        const QByteArray request = QByteArray::fromHex("01030000000AC5CD");
        QTimer every;
        every.setInterval(10);
        every.setTimerType(Qt::PreciseTimer);
        qint64 written = 0;
        connect(&every, &QTimer::timeout, &port, [&] {
            if (port.pendingOutput() == 0 && port.write(request))
                written += request.size();
        });
        every.start();
        QTest::qWait(seconds * 1000);
        every.stop();
        ::kill(pid_t(sim.processId()), SIGUSR1); // the device stops streaming
        QTest::qWait(500);                       // its last lines and replies
        port.close();
        log.stop();
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QVERIFY(!failed);

        QByteArray tx, rx;
        qint64 lastTx = 0, lastRx = 0;
        int lines = 0, bad = 0;
        for (const QByteArray &l : readAll(log.path()).split('\n')) {
            if (l.isEmpty())
                continue;
            ++lines;
            const auto e = txrx::parse(l);
            if (!e) {
                ++bad;
                continue;
            }
            // Each direction's lines are in the order of their times.
            if (e->kind == txrx::Kind::Tx) {
                QVERIFY(e->usecs >= lastTx);
                lastTx = e->usecs;
                tx += e->bytes;
            } else if (e->kind == txrx::Kind::Rx) {
                QVERIFY(e->usecs >= lastRx);
                QVERIFY(e->bytes.size() <= TxRxLog::kMaxBurst);
                lastRx = e->usecs;
                rx += e->bytes;
            }
        }
        QCOMPARE(bad, 0);
        const QByteArray deviceRead = readAll(capture + QStringLiteral(".in"));
        const QByteArray deviceWrote = readAll(capture + QStringLiteral(".out"));
        QVERIFY(written > seconds * 50 * request.size()); // at least half the sends went
        QCOMPARE(tx.size(), written);
        QVERIFY(tx == deviceRead);
        QCOMPARE(rx.size(), deviceWrote.size());
        QVERIFY(rx == deviceWrote);
        qInfo("%d s: %d lines, TX %lld bytes, RX %lld bytes", seconds, lines,
              static_cast<long long>(tx.size()), static_cast<long long>(rx.size()));
    }
};

int main(int argc, char *argv[])
{
    // A run longer than QtTest's five minutes for one function gets the time it needs.
    const int seconds = qEnvironmentVariableIntValue("QUORVEX_EXCHANGE_SECONDS");
    if (seconds > 0 && !qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((seconds + 120) * 1000));
    QCoreApplication app(argc, argv);
    TestTxRxExchange test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_txrx_exchange.moc"
