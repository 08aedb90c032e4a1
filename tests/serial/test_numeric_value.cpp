#include "serial/numeric_value.h"

#include <QTest>

class TestNumericValue : public QObject
{
    Q_OBJECT

private slots:
    void value_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << "1000" << 1000.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("trailing text") << "12ab" << 12.0;
        QTest::newRow("blanks everywhere") << " 1 2\t3\n" << 123.0;
        QTest::newRow("sign") << "-5" << -5.0;
        QTest::newRow("sign then blank") << "- 5" << -5.0;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("fraction") << "2.5" << 2.5;
        QTest::newRow("leading point") << ".25" << 0.25;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("exponent") << "1e3" << 1000.0;
        QTest::newRow("D exponent") << "15D-1" << 1.5;
        QTest::newRow("dangling exponent") << "7e" << 7.0;
        QTest::newRow("exponent sign only") << "7e+" << 7.0;
        QTest::newRow("hex") << "&H1F" << 31.0;
        QTest::newRow("hex lower") << "&hff" << 255.0;
        QTest::newRow("hex stops at G") << "&H1G" << 1.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("octal stops at 8") << "&O78" << 7.0;
        QTest::newRow("ampersand alone") << "&" << 0.0;
        QTest::newRow("comma stops") << "1,000" << 1.0;
        QTest::newRow("full-width digit") << QString::fromUtf8("１２") << 0.0;
        QTest::newRow("port digits") << QStringLiteral("COM16").mid(3, 2) << 16.0;
    }
    void value()
    {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(numeric::value(text), expected);
    }

    void roundHalfEven_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<double>("expected");
        QTest::newRow("0.5") << 0.5 << 0.0;
        QTest::newRow("1.5") << 1.5 << 2.0;
        QTest::newRow("2.5") << 2.5 << 2.0;
        QTest::newRow("2.51") << 2.51 << 3.0;
        QTest::newRow("-1.5") << -1.5 << -2.0;
        QTest::newRow("-2.5") << -2.5 << -2.0;
        QTest::newRow("-2.4") << -2.4 << -2.0;
    }
    void roundHalfEven()
    {
        QFETCH(double, x);
        QFETCH(double, expected);
        QCOMPARE(numeric::roundHalfEven(x), expected);
    }

    // Data bits and stop bits must be numbers as a whole; where reading stops matters.
    void wholeInteger_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("8") << "8" << true << qint64(8);
        QTest::newRow("leading zero") << "08" << true << qint64(8);
        QTest::newRow("blanks around") << " 7 " << true << qint64(7);
        QTest::newRow("half to even") << "6.5" << true << qint64(6);
        QTest::newRow("hex") << "&H8" << true << qint64(8);
        QTest::newRow("empty") << "" << false << qint64(0);
        QTest::newRow("letters") << "abc" << false << qint64(0);
        QTest::newRow("inner blank") << "1 2" << false << qint64(0);
        QTest::newRow("trailing letter") << "8x" << false << qint64(0);
        QTest::newRow("sign only") << "-" << false << qint64(0);
        QTest::newRow("too large") << "32768" << false << qint64(0);
        QTest::newRow("smallest") << "-32768" << true << qint64(-32768);
    }
    void wholeInteger()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, expected);
        const auto v = numeric::wholeInteger(text, -32768, 32767);
        QCOMPARE(v.has_value(), valid);
        if (valid)
            QCOMPARE(*v, expected);
    }

    void plainDecimal_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<QString>("expected");
        QTest::newRow("1") << 1.0 << "1";
        QTest::newRow("1.5") << 1.5 << "1.5";
        QTest::newRow("2") << 2.0 << "2";
        QTest::newRow("negative") << -1.0 << "-1";
        QTest::newRow("large") << 1e10 << "10000000000";
        QTest::newRow("small") << 0.0001 << "0.0001";
    }
    void plainDecimal()
    {
        QFETCH(double, x);
        QFETCH(QString, expected);
        QCOMPARE(numeric::plainDecimal(x), expected);
    }
};

QTEST_GUILESS_MAIN(TestNumericValue)
#include "test_numeric_value.moc"
