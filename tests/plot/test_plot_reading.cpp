#include "plot/number_reader.h"
#include "plot/plot_feed.h"
#include "plot/series_store.h"
#include "serial/codepage936.h"

#include <QBuffer>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTest>
#include <charconv>
#include <cmath>

// Reading numbers out of lines, keeping them in bounded memory, and the
// views and exports made from them.
class TestPlotReading : public QObject
{
    Q_OBJECT

    static QString readingsText(const plot::NumberReader &r, const QByteArray &line)
    {
        std::vector<plot::Reading> out;
        r.read(line, out);
        QStringList parts;
        for (const plot::Reading &x : out)
            parts << x.label + u'=' + QString::number(x.value, 'g', 10);
        return parts.join(u' ');
    }

    static QString csv(const plot::SeriesStore &store)
    {
        QBuffer buf;
        buf.open(QIODevice::WriteOnly);
        QString why;
        if (!store.writeCsv(&buf, &why))
            return why;
        return cp936::StreamDecoder().decode(buf.data());
    }
    static qint64 eight()
    {
        return QDateTime(QDate(2026, 12, 11), QTime(8, 0)).toMSecsSinceEpoch();
    }

private slots:
    void linesWithoutSetup_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("read");
        QTest::newRow("pairs, units") << QByteArray("T=23.5 RH=41%") << "T=23.5 RH=41";
        QTest::newRow("colons, commas") << QByteArray("temp:23.5,hum:41") << "temp=23.5 hum=41";
        QTest::newRow("unit after colon") << QByteArray("U:3.30V;I: -0.25A") << "U=3.3 I=-0.25";
        QTest::newRow("spaces round =") << QByteArray("T = 23.5\tP = 1e3") << "T=23.5 P=1000";
        QTest::newRow("plain numbers") << QByteArray("23.5,41.0,1013") << "1=23.5 2=41 3=1013";
        QTest::newRow("plain, spaces and tabs")
            << QByteArray("  +1.5e-3 \t -2 ;3 ") << "1=0.0015 2=-2 3=3";
        QTest::newRow("nan, inf and words skipped") << QByteArray("a=nan b=inf c=x d=7") << "d=7";
        QTest::newRow("text with a number is not plain") << QByteArray("boot v1 at 0x80") << "";
        QTest::newRow("a time is no pair") << QByteArray("12:30:05") << "";
        QTest::newRow("no numbers") << QByteArray("hello world") << "";
        QTest::newRow("plain nan is not a line of numbers") << QByteArray("1,nan,3") << "";
        QTest::newRow("GBK label") << cp936::encode(u"温度=21.5 湿度:40") << "温度=21.5 湿度=40";
        QTest::newRow("a log line's words before the pair")
            << QByteArray("\x1b[0;32mI (1234) app: T=23.5 U: 3.3V\x1b[0m") << "T=23.5 U=3.3";
        QTest::newRow("noise names nothing") << QByteArray("\x01\x9f\x02=5 x\x1f:6") << "";
        QTest::newRow("too long") << QByteArray("T=1 ") + QByteArray(4096, ' ') << "";
    }
    void linesWithoutSetup()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, read);
        QCOMPARE(readingsText(plot::NumberReader(), line), read);
    }

    // Numbers read as C reads them, whatever way is taken to read them:
    // every prefix of random number-like text, against from_chars.
    void numbersAsCReadsThem()
    {
        QRandomGenerator rng(35);
        const char alphabet[] = "0123456789000.-+eE x";
        for (int round = 0; round < 200000; ++round) {
            QByteArray text;
            const int length = 1 + int(rng.bounded(24));
            for (int k = 0; k < length; ++k)
                text += alphabet[rng.bounded(int(sizeof alphabet - 1))];
            const char *p = text.constData(), *end = p + text.size();
            if (*p == '+' && (p + 1 == end || p[1] != '-'))
                ++p;
            double expected = 0;
            const auto [stop, ec] = std::from_chars(p, end, expected);
            const bool ok = ec == std::errc() && std::isfinite(expected);
            double v = 0;
            qsizetype used = 0;
            const bool read = plot::NumberReader::number(text, &v, &used);
            QVERIFY2(read == ok, text.constData());
            if (ok) {
                QVERIFY2(v == expected && std::signbit(v) == std::signbit(expected),
                         text.constData());
                QCOMPARE(used, qsizetype(stop - text.constData()));
            }
        }
    }

    void linesByPattern_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("read");
        QTest::newRow("captures by place")
            << "ADC (\\d+) (\\d+)" << QByteArray("ADC 512 1023 mV") << "1=512 2=1023";
        QTest::newRow("named captures") << "V(?<volt>[0-9.]+) A(?<amp>[0-9.]+)"
                                        << QByteArray("V3.3 A0.5") << "volt=3.3 amp=0.5";
        QTest::newRow("label names each match's series")
            << "(?<label>\\w+)->(?<value>\\S+)" << QByteArray("x->1 y->2.5 z->bad") << "x=1 y=2.5";
        QTest::newRow("no match") << "ADC (\\d+)" << QByteArray("T=1") << "";
    }
    void linesByPattern()
    {
        QFETCH(QString, pattern);
        QFETCH(QByteArray, line);
        QFETCH(QString, read);
        plot::NumberReader r;
        QString why;
        QVERIFY2(r.setPattern(pattern, &why), qPrintable(why));
        QCOMPARE(readingsText(r, line), read);
    }

    void badPatternsAreRefused()
    {
        plot::NumberReader r;
        QString why;
        QVERIFY(r.setPattern("(\\d+)", &why));
        QVERIFY(!r.setPattern("(unclosed", &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(!r.setPattern("no captures", &why));
        QCOMPARE(readingsText(r, "12"), "1=12"); // the reader is as it was
    }

    // More than the values kept whole: the oldest become stretches, memory
    // stays bounded, the newest are exact, and a view of everything gives at
    // most two points a column.
    void longRunsStayBounded()
    {
        plot::SeriesStore store;
        const qint64 total = plot::SeriesStore::kFullValues + 40 * plot::SeriesStore::kChunk;
        std::vector<plot::Reading> r(2);
        r[0].label = "a";
        r[1].label = "b";
        for (qint64 i = 0; i < total / 2; ++i) {
            r[0].value = double(i % 1000);
            r[1].value = -double(i % 7);
            store.add(quint32(i / 10), r);
        }
        QVERIFY(store.folded());
        QVERIFY(store.fullValues() >= plot::SeriesStore::kFullValues);
        QVERIFY(store.fullValues() <=
                plot::SeriesStore::kFullValues + 3 * plot::SeriesStore::kChunk);
        QCOMPARE(store.count(0), total / 2);
        QCOMPARE(store.latest(0), double((total / 2 - 1) % 1000));
        double first = 0, last = 0;
        QVERIFY(store.span(0, plot::Axis::Sample, &first, &last));
        QCOMPARE(first, 0.0); // the stretches still reach back to the start
        QCOMPARE(last, double(total / 2 - 1));

        std::vector<plot::Point> pts;
        const int columns = 800;
        store.view(0, plot::Axis::Sample, first, last, columns, pts);
        QVERIFY(pts.size() <= std::size_t(2 * columns));
        QVERIFY(pts.size() >= std::size_t(columns)); // every column has values
        double lo = 1e9, hi = -1e9;
        for (const plot::Point &p : pts)
            lo = std::min(lo, p.y), hi = std::max(hi, p.y);
        QCOMPARE(lo, 0.0);
        QCOMPARE(hi, 999.0);
        for (std::size_t i = 1; i < pts.size(); ++i)
            QVERIFY(pts[i].x >= pts[i - 1].x);

        // Zoomed in on the newest: each value where it is, and one beyond each end.
        store.view(0, plot::Axis::Sample, last - 9.5, last - 0.5, columns, pts);
        QCOMPARE(pts.size(), std::size_t(11));
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const qint64 n = qint64(last) - 10 + qint64(i);
            QCOMPARE(pts[i].x, double(n));
            QCOMPARE(pts[i].y, double(n % 1000));
        }
    }

    // A row per arrival (arrivals in one millisecond share a row where no
    // series comes twice), series that came later as later columns, values as sent.
    void csvRowsPerArrival()
    {
        plot::SeriesStore store(eight());
        store.add(0, {{"T", 23.5}, {"RH", 41}});
        store.add(100, {{"T", 23.47}});
        store.add(100, {{"T", 23.46}, {"x,y", 1e-5}});
        QCOMPARE(csv(store), QStringLiteral("时间,T,RH,\"x,y\"\r\n"
                                            "2026-12-11 08:00:00.000,23.5,41,\r\n"
                                            "2026-12-11 08:00:00.100,23.47,,1e-05\r\n"
                                            "2026-12-11 08:00:00.100,23.46,,\r\n"));
    }

    // Lines split across reads and by CR, LF or CR LF, each at the read time of
    // its last byte; the line a restart cuts is dropped.
    void feedSplitsLines()
    {
        const qint64 start = eight();
        const auto at = [start](qsizetype end, qint64 ms) {
            return Port::Arrival{end, start + ms, (start + ms) * 1000};
        };
        PlotFeed feed(start);
        feed.take("T=1\r\nT=", {at(5, 10), at(7, 20)});
        feed.take("2\rT=3\nnoise\nT=4", {at(16, 30)});
        feed.restart();
        feed.take("5\n", {at(2, 40)});
        QTRY_VERIFY(feed.idle());
        QString text;
        feed.read([&](const plot::SeriesStore &s) { text = csv(s); });
        // "T=4" never met its "5": that is a line of its own, a plain number.
        QCOMPARE(text, QStringLiteral("时间,T,1\r\n"
                                      "2026-12-11 08:00:00.010,1,\r\n"
                                      "2026-12-11 08:00:00.030,2,\r\n"
                                      "2026-12-11 08:00:00.030,3,\r\n"
                                      "2026-12-11 08:00:00.040,,5\r\n"));
    }

    // What the reading thread cannot keep up with is counted, line by line,
    // and the line it cut into is not read as if whole.
    void linesBeyondTheQueueAreCounted()
    {
        PlotFeed feed(eight());
        QByteArray flood;
        while (flood.size() <= PlotFeed::kMaxWaiting)
            flood += "T=1\r\nT=2\rT=3\n";
        const qint64 lines = flood.count("T=");
        feed.take(flood, {});
        feed.take("4\nT=5\n", {});
        QTRY_VERIFY(feed.idle());
        QCOMPARE(feed.skippedLines(), lines);
        feed.read([&](const plot::SeriesStore &s) {
            QCOMPARE(s.size(), 1);
            QCOMPARE(s.count(0), 1);
            QCOMPARE(s.latest(0), 5.0); // "4" ended a line whose start was skipped
        });
    }
};

QTEST_GUILESS_MAIN(TestPlotReading)
#include "test_plot_reading.moc"
