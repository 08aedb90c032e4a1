#include "receive/counters.h"
#include "receive/hex_format.h"

#include <QTest>
#include <limits>

class TestReceiveFormat : public QObject
{
    Q_OBJECT

private slots:
    void hex_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("00") << QByteArray(1, '\x00') << "00 ";
        QTest::newRow("0F") << QByteArray(1, '\x0f') << "0F ";
        QTest::newRow("10") << QByteArray(1, '\x10') << "10 ";
        QTest::newRow("FF") << QByteArray(1, '\xff') << "FF ";
        QTest::newRow("run") << QByteArray("\x01\x0a\xff", 3) << "01 0A FF ";
        QTest::newRow("none") << QByteArray() << "";
    }
    void hex()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QCOMPARE(hexPairs(bytes), shown);
    }

    // Counts run on past 32 bits and never wrap.
    void counting_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qint64>("amount");
        QTest::addColumn<QString>("shown");
        constexpr qint64 max = std::numeric_limits<qint64>::max();
        QTest::newRow("start") << qint64(0) << qint64(0) << "RX:0";
        QTest::newRow("past 32 bits") << qint64(2147483647) << qint64(1) << "RX:2147483648";
        QTest::newRow("saturates") << max - 1 << qint64(5) << "RX:" + QString::number(max);
    }
    void counting()
    {
        QFETCH(qint64, count);
        QFETCH(qint64, amount);
        QFETCH(QString, shown);
        QCOMPARE(counterText(u"RX:", addCount(count, amount)), shown);
    }
};

QTEST_GUILESS_MAIN(TestReceiveFormat)
#include "test_receive_format.moc"
