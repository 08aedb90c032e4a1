#include "transmit/hex_send.h"

#include <QTest>

class TestHexSend : public QObject
{
    Q_OBJECT

private slots:
    void bytes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("modbus request")
            << "01 03 00 00 00 0A C5 CD" << QByteArray("\x01\x03\x00\x00\x00\x0a\xc5\xcd", 8);
        QTest::newRow("lower case") << "0a ff" << QByteArray("\x0a\xff", 2);
        QTest::newRow("one pair") << "A5" << QByteArray("\xa5");
        QTest::newRow("odd digit dropped") << "1 2 3" << QByteArray("\x12");
        QTest::newRow("stops at G") << "12 3G 45" << QByteArray("\x12");
        QTest::newRow("0x prefix") << "0x12" << QByteArray();
        QTest::newRow("line break ends it") << "41 42\r\n43" << QByteArray("AB");
        QTest::newRow("tab ends it") << "41\t42" << QByteArray("A");
        QTest::newRow("spaces only") << "   " << QByteArray();
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("spaces inside a pair") << "4 1" << QByteArray("A");
        QTest::newRow("full-width digit ends it") << QString::fromUtf8("41１２") << QByteArray("A");
        QTest::newRow("full-width letter ends it") << QString::fromUtf8("4Ａ") << QByteArray();
        QTest::newRow("ideographic space ends it")
            << QString::fromUtf8("41\u300042") << QByteArray("A");
    }
    void bytes()
    {
        QFETCH(QString, box);
        QFETCH(QByteArray, bytes);
        QCOMPARE(hexSendBytes(box), bytes);
    }

    // Well past the 32,767 characters a 16-bit length could measure.
    void longText()
    {
        QString box;
        for (int i = 0; i < 20000; ++i)
            box += QStringLiteral("%1 ").arg(i & 0xff, 2, 16, QLatin1Char('0'));
        const QByteArray b = hexSendBytes(box);
        QCOMPARE(b.size(), 20000);
        QCOMPARE(uchar(b[19999]), uchar(19999 & 0xff));
    }

    void trimming_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("sent");
        QTest::newRow("spaces around") << " AB "
                                       << "AB";
        QTest::newRow("inner kept") << "  A B  "
                                    << "A B";
        QTest::newRow("line breaks kept") << " \r\nA\r\n "
                                          << "\r\nA\r\n";
        QTest::newRow("only spaces") << "    "
                                     << "";
        QTest::newRow("ideographic space kept")
            << QString::fromUtf8("\u3000A") << QString::fromUtf8("\u3000A");
    }
    void trimming()
    {
        QFETCH(QString, text);
        QFETCH(QString, sent);
        QCOMPARE(trimSpaces(text).toString(), sent);
    }
};

QTEST_GUILESS_MAIN(TestHexSend)
#include "test_hex_send.moc"
