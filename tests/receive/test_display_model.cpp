#include "receive/display_document.h"
#include "receive/display_layout.h"
#include "receive/hex_format.h"

#include <QRandomGenerator>
#include <QTest>

// The receive box's content and rows, checked against a plain QString and a
// layout made from scratch after every change.
namespace
{

// Every character is as wide as its code's last digit plus one, spaces 1.
int width(char16_t c)
{
    return c == u' ' ? 1 : (c % 10) + 1;
}

std::vector<qint64> rowsFromScratch(const QString &text, int w)
{
    DisplayDocument doc;
    doc.appendText(text);
    DisplayLayout layout(width);
    layout.setWidth(doc, w);
    std::vector<qint64> rows;
    for (qint64 r = 0; r < layout.rowCount(); ++r)
        rows.push_back(layout.rowStart(r));
    return rows;
}

std::vector<qint64> rowsOf(const DisplayLayout &l)
{
    std::vector<qint64> rows;
    for (qint64 r = 0; r < l.rowCount(); ++r)
        rows.push_back(l.rowStart(r));
    return rows;
}

} // namespace

class TestDisplayModel : public QObject
{
    Q_OBJECT

private slots:
    void hexHeldAsBytes()
    {
        DisplayDocument doc;
        doc.appendText(u"ab");
        doc.appendHex(QByteArray("\x00\x0f\xff", 3));
        doc.appendText(u"\n");
        QCOMPARE(doc.size(), 12);
        QCOMPARE(doc.toString(), QStringLiteral("ab00 0F FF \n"));
        QCOMPARE(doc.text(3, 7), QStringLiteral("0 0F"));
        QCOMPARE(doc.at(9), u'F');
    }

    // Edits that cut into a byte's "0F " keep the text exact.
    void editsInsideHex_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("with");
        QTest::addColumn<QString>("expected");
        QTest::newRow("insert mid pair") << 1 << 1 << "x"
                                         << "0x1 0A FF ";
        QTest::newRow("delete a digit") << 4 << 5 << ""
                                        << "01 0 FF ";
        QTest::newRow("replace across pairs") << 2 << 7 << "-"
                                              << "01-F ";
        QTest::newRow("insert at a pair boundary") << 3 << 3 << "|"
                                                   << "01 |0A FF ";
        QTest::newRow("delete all") << 0 << 9 << ""
                                    << "";
    }
    void editsInsideHex()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, with);
        QFETCH(QString, expected);
        DisplayDocument doc;
        doc.appendHex(QByteArray("\x01\x0a\xff", 3));
        doc.replace(from, to, with);
        QCOMPARE(doc.toString(), expected);
        QCOMPARE(doc.size(), expected.size());
    }

    void wrapping_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<QList<qint64>>("rows");
        // "a" is 8 wide ('a' is 97), "0" is 9, "1" is 10, space 1.
        QTest::newRow("fits") << "aa" << 16 << QList<qint64>{0};
        QTest::newRow("anywhere") << "aaa" << 16 << QList<qint64>{0, 2};
        QTest::newRow("after a space") << "a aa" << 17 << QList<qint64>{0, 2};
        QTest::newRow("spaces hang") << "aa    a" << 16 << QList<qint64>{0, 6};
        QTest::newRow("line breaks") << "a\n\naa" << 100 << QList<qint64>{0, 2, 3};
        QTest::newRow("too narrow for one") << "aa" << 3 << QList<qint64>{0, 1};
        QTest::newRow("hex pairs") << "01 01 01 " << 40 << QList<qint64>{0, 6};
        // However wide the box, hanging spaces end a row after 1024 characters.
        QTest::newRow("a run of spaces ends a row at 1024")
            << "a" + QString(2100, u' ') << 1'000'000 << QList<qint64>{0, 1024, 2048};
    }
    void wrapping()
    {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(QList<qint64>, rows);
        const auto got = rowsFromScratch(text, width);
        QCOMPARE(QList<qint64>(got.begin(), got.end()), rows);
    }

    // Appends in any pieces give the rows of the whole text laid out at once.
    void appendsMatchScratch()
    {
        DisplayDocument doc;
        DisplayLayout layout(width);
        layout.setWidth(doc, 37);
        QString all;
        QRandomGenerator rng(7);
        const QString alphabet = QStringLiteral("ab c\n0 1\r中");
        for (int step = 0; step < 300; ++step) {
            const qint64 old = doc.size();
            if (rng.bounded(3) == 0) {
                QByteArray b;
                for (int i = rng.bounded(6); i > 0; --i)
                    b += char(rng.bounded(256));
                doc.appendHex(b);
                all += hexPairs(b);
                layout.appendedHex(old, b); // laid out from the bytes, not their text
                continue;
            } else {
                QString t;
                for (int i = rng.bounded(8); i > 0; --i)
                    t += alphabet[rng.bounded(int(alphabet.size()))];
                doc.appendText(t);
                all += t;
            }
            layout.appended(doc, old);
        }
        QCOMPARE(doc.toString(), all);
        QCOMPARE(rowsOf(layout), rowsFromScratch(all, 37));
    }

    // Random edits anywhere keep content and rows equal to a layout from scratch.
    void editsMatchScratch()
    {
        QRandomGenerator rng(11);
        for (int round = 0; round < 20; ++round) {
            DisplayDocument doc;
            DisplayLayout layout(width);
            const int w = 20 + rng.bounded(40);
            layout.setWidth(doc, w);
            QString ref;
            QByteArray seed;
            for (int i = 0; i < 200; ++i)
                seed += char(rng.bounded(256));
            doc.appendHex(seed);
            doc.appendText(QStringLiteral("text and more\nrows"));
            ref = hexPairs(seed) + QStringLiteral("text and more\nrows");
            layout.appended(doc, 0);
            for (int step = 0; step < 60; ++step) {
                const qint64 from = rng.bounded(int(ref.size()) + 1);
                const qint64 to = std::min<qint64>(ref.size(), from + rng.bounded(12));
                QString with;
                for (int i = rng.bounded(5); i > 0; --i)
                    with += QStringLiteral(" a\n1")[rng.bounded(4)];
                doc.replace(from, to, with);
                ref.replace(from, to - from, with);
                layout.edited(doc, from, to - from, with.size());
                QCOMPARE(doc.toString(), ref);
                QCOMPARE(rowsOf(layout), rowsFromScratch(ref, w));
            }
            // Appending after edits still continues the last row correctly.
            const qint64 old = doc.size();
            doc.appendText(QStringLiteral("tail tail tail"));
            ref += QStringLiteral("tail tail tail");
            layout.appended(doc, old);
            QCOMPARE(rowsOf(layout), rowsFromScratch(ref, w));
        }
    }

    // What was appended as sent stays marked as sent, character for
    // character, through appends of every kind and edits anywhere (typed text
    // never is), and any stretch asked for gets exactly its sent runs.
    void sentStretchesFollowEdits()
    {
        QRandomGenerator rng(23);
        DisplayDocument doc;
        std::vector<bool> ref; // per character: sent
        const auto runsOf = [&ref](qint64 from, qint64 to) {
            std::vector<std::pair<qint64, qint64>> runs;
            for (qint64 i = from; i < to; ++i) {
                if (!ref[size_t(i)])
                    continue;
                if (!runs.empty() && runs.back().second == i)
                    ++runs.back().second;
                else
                    runs.emplace_back(i, i + 1);
            }
            return runs;
        };
        for (int step = 0; step < 400; ++step) {
            const int what = rng.bounded(4);
            if (what == 0) {
                QByteArray bytes;
                for (int i = rng.bounded(1, 6); i > 0; --i)
                    bytes += char(rng.bounded(256));
                doc.appendHex(bytes);
                ref.insert(ref.end(), size_t(bytes.size() * 3), false);
            } else if (what == 1) {
                const QString text =
                    rng.bounded(2) ? QStringLiteral("→ 01 03\r\n") : QStringLiteral("→ 你好\r\n");
                doc.appendText(text, true);
                ref.insert(ref.end(), size_t(text.size()), true);
            } else if (what == 2) {
                const QString text =
                    rng.bounded(2) ? QStringLiteral("ok ") : QStringLiteral("中文");
                doc.appendText(text);
                ref.insert(ref.end(), size_t(text.size()), false);
            } else {
                const qint64 from = rng.bounded(int(ref.size()) + 1);
                const qint64 to = std::min<qint64>(qint64(ref.size()), from + rng.bounded(10));
                const QString with = QString(rng.bounded(3), u'x');
                doc.replace(from, to, with);
                ref.erase(ref.begin() + from, ref.begin() + to);
                ref.insert(ref.begin() + from, size_t(with.size()), false);
            }
            QCOMPARE(doc.size(), qint64(ref.size()));
            const qint64 a = rng.bounded(int(ref.size()) + 1);
            const qint64 b = a + rng.bounded(int(ref.size() - a) + 1);
            QCOMPARE(doc.sentRuns(a, b), runsOf(a, b));
        }
        QCOMPARE(doc.sentRuns(0, doc.size()), runsOf(0, qint64(ref.size())));
        doc.clear();
        QVERIFY(doc.sentRuns(0, 10).empty());
    }

    // A width change over a long history is laid out step by step: until the
    // new rows reach the end the old ones serve, appends and edits meanwhile
    // reach both, and the new rows are those of a layout made from scratch.
    void widthChangeLaidOutInSteps()
    {
        QRandomGenerator rng(5);
        for (int round = 0; round < 10; ++round) {
            DisplayDocument doc;
            DisplayLayout layout(width);
            layout.setQuickRelayout(50);
            layout.setWidth(doc, 30);
            QString ref;
            for (int i = 0; i < 40; ++i)
                ref += QStringLiteral("word %1 ").arg(rng.bounded(100000)) + (i % 7 ? "" : "\n");
            doc.appendText(ref);
            layout.appended(doc, 0);
            layout.setWidth(doc, 47);
            QVERIFY(layout.relayoutPending());
            QCOMPARE(rowsOf(layout), rowsFromScratch(ref, 30));
            bool done = false;
            for (int step = 0; !done; ++step) {
                QVERIFY(step < 1000);
                if (step < 30 && step % 3 == 0) {
                    const qint64 old = doc.size();
                    doc.appendText(QStringLiteral("more text\n"));
                    ref += QStringLiteral("more text\n");
                    layout.appended(doc, old);
                } else if (step < 30 && step % 3 == 1) {
                    const qint64 from = rng.bounded(int(ref.size()) + 1);
                    const qint64 to = std::min<qint64>(ref.size(), from + rng.bounded(6));
                    doc.replace(from, to, QStringLiteral("a b"));
                    ref.replace(from, to - from, QStringLiteral("a b"));
                    layout.edited(doc, from, to - from, 3);
                }
                done = layout.relayoutStep(doc, 1 + rng.bounded(40));
                if (!done)
                    QCOMPARE(rowsOf(layout), rowsFromScratch(ref, 30));
            }
            QCOMPARE(rowsOf(layout), rowsFromScratch(ref, 47));
        }
    }

    // One endless line: an edit that moves a pair to the next row lays out a
    // bounded number of rows again; after them one row ends early and the old
    // rows follow, moved. Every row still fits and nothing is lost.
    void editsInAnEndlessLineStayBounded()
    {
        QRandomGenerator rng(3);
        DisplayDocument doc;
        // Every pair as wide as every other: rows shifted by a pair never meet
        // the old ones again.
        auto same = [](char16_t c) { return c == u' ' ? 1 : 2; };
        DisplayLayout layout(same);
        const int w = 31;
        layout.setWidth(doc, w);
        layout.setRelayoutRows(8);
        QByteArray bytes;
        for (int i = 0; i < 3000; ++i)
            bytes += char(rng.bounded(256));
        doc.appendHex(bytes);
        layout.appendedHex(0, bytes);
        QString ref = hexPairs(bytes);
        for (int step = 0; step < 40; ++step) {
            const qint64 from = rng.bounded(60);
            const QString with = QStringLiteral("ABC").left(1 + rng.bounded(3));
            const std::vector<qint64> before = rowsOf(layout);
            doc.replace(from, from, with);
            ref.insert(from, with);
            layout.edited(doc, from, 0, with.size());
            QCOMPARE(doc.toString(), ref);
            const std::vector<qint64> rows = rowsOf(layout);
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const qint64 end = r + 1 < rows.size() ? rows[r + 1] : ref.size();
                QVERIFY(end > rows[r]);
                qint64 shown = end; // spaces at the end may hang
                while (shown > rows[r] && ref[shown - 1] == u' ')
                    --shown;
                int used = 0;
                for (qint64 i = rows[r]; i < shown; ++i)
                    used += same(ref[i].unicode());
                QVERIFY2(used <= w || end - rows[r] == 1, qPrintable(QString::number(r)));
            }
            // Beyond the rows laid out again, the old rows, moved.
            QCOMPARE(rows.back(), before.back() + with.size());
            QVERIFY(rows.size() <= before.size() + 2); // a row more for the text, one ending early
        }
        DisplayDocument whole;
        whole.appendText(ref);
        DisplayLayout scratch(same);
        scratch.setWidth(whole, w);
        QVERIFY(rowsOf(layout) != rowsOf(scratch)); // some rows did end early
    }

    void rowOfPositions()
    {
        DisplayDocument doc;
        doc.appendText(u"aa\nbbb");
        DisplayLayout layout(width);
        layout.setWidth(doc, 1000);
        QCOMPARE(layout.rowOf(0), 0);
        QCOMPARE(layout.rowOf(2), 0); // the line break belongs to its row
        QCOMPARE(layout.rowOf(3), 1);
        QCOMPARE(layout.rowOf(6), 1);
        QCOMPARE(layout.rowEnd(0, doc.size()), 3);
    }
};

QTEST_GUILESS_MAIN(TestDisplayModel)
#include "test_display_model.moc"
