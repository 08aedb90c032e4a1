#include "serial/parity_marks.h"

#include <QTest>

// The driver's parity marking read back: FF 00 X is a byte with a parity error
// (shown as "?"), FF FF a real FF, marks split anywhere across reads.
class TestParityMarks : public QObject
{
    Q_OBJECT

private slots:
    void marks_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QByteArray>("expected");
        using L = QList<QByteArray>;
        const QByteArray ff("\xff", 1), mark("\xff\x00", 2);
        QTest::newRow("plain") << L{"AB\x01"} << QByteArray("AB\x01");
        QTest::newRow("parity error") << L{"A" + mark + "B" + "C"} << QByteArray("A?C");
        QTest::newRow("error on a NUL or break")
            << L{mark + QByteArray(1, '\0')} << QByteArray("?");
        QTest::newRow("error on FF") << L{mark + ff} << QByteArray("?");
        QTest::newRow("real FF") << L{"A" + ff + ff + "B"} << "A" + ff + "B";
        QTest::newRow("two real FF") << L{ff + ff + ff + ff} << ff + ff;
        QTest::newRow("split after FF") << L{"A" + ff, ff + "B"} << "A" + ff + "B";
        QTest::newRow("split inside a mark")
            << L{"A" + ff, QByteArray(1, '\0'), "Z", "B"} << QByteArray("A?B");
        QTest::newRow("mark in three reads") << L{ff, QByteArray(1, '\0'), "x"} << QByteArray("?");
        QTest::newRow("stray FF kept") << L{ff + "A"} << ff + "A";
        QTest::newRow("nothing") << L{QByteArray()} << QByteArray();
    }
    void marks()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QByteArray, expected);
        parity::MarkReader reader;
        QByteArray got;
        for (const QByteArray &r : reads)
            got += reader.take(r);
        QCOMPARE(got, expected);
    }

    // A new session starts clean: a half mark from before is forgotten.
    void resetForgetsAHalfMark()
    {
        parity::MarkReader reader;
        QCOMPARE(reader.take(QByteArray("A\xff", 2)), QByteArray("A"));
        reader.reset();
        QCOMPARE(reader.take(QByteArray("\x00", 1)), QByteArray("\x00", 1));
    }
};

QTEST_GUILESS_MAIN(TestParityMarks)
#include "test_parity_marks.moc"
