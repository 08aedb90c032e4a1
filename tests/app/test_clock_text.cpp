#include "app/clock_text.h"

#include <QTest>

class TestClockText : public QObject
{
    Q_OBJECT

private slots:
    void timeFormat_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("time");
        QTest::newRow("zh_CN") << "zh_CN"
                               << "09:07:02";
        QTest::newRow("en_US") << "en_US"
                               << "9:07:02 AM";
        QTest::newRow("de_DE") << "de_DE"
                               << "09:07:02";
        QTest::newRow("C") << "C"
                           << "09:07:02";
    }
    void timeFormat()
    {
        QFETCH(QString, locale);
        QFETCH(QString, time);
        const QLocale l(locale);
        QCOMPARE(clockTimeText(l, QTime(9, 7, 2)), time);
        QVERIFY(!timeFormatWithSeconds(l).contains(u't'));
    }

    void shortDate()
    {
        QCOMPARE(clockDateText(QLocale("zh_CN"), QDate(2024, 3, 5)), QStringLiteral("2024/3/5"));
        QCOMPARE(clockDateText(QLocale("en_US"), QDate(2024, 3, 5)), QStringLiteral("3/5/24"));
    }
};

QTEST_GUILESS_MAIN(TestClockText)
#include "test_clock_text.moc"
