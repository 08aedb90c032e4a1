#include "receive/row_index.h"

#include <QRandomGenerator>
#include <QTest>
#include <algorithm>

// The receive box's row starts, most of them in the temporary file.
class TestRowIndex : public QObject
{
    Q_OBJECT

private slots:
    // Row starts beyond the blocks kept in memory, cut back and rebuilt as edits
    // do, against a plain vector.
    void rowIndexAgainstAVector()
    {
        RowIndex index;
        std::vector<qint64> plain;
        QRandomGenerator rng{5};
        qint64 at = 0;
        auto grow = [&](int n) {
            for (int i = 0; i < n; ++i) {
                at += 1 + rng.bounded(60);
                index.push_back(at);
                plain.push_back(at);
            }
        };
        grow(int(RowIndex::kBlock) * 12 + 77);
        for (int round = 0; round < 12; ++round) {
            const std::size_t keep = rng.bounded(quint32(plain.size()));
            const RowIndex::Kept kept = index.keep();
            const std::vector<qint64> before = plain;
            index.truncate(keep);
            QCOMPARE(index.at(kept, plain.size() - 1), plain.back());
            plain.resize(keep);
            at = plain.empty() ? 0 : plain.back();
            grow(int(rng.bounded(round % 2 ? 40 : 3 * quint32(RowIndex::kBlock))));
            if (round % 2) {
                // As after an edit: the rows after it come back, moved.
                const std::size_t from =
                    std::min(before.size(), keep + rng.bounded(quint32(RowIndex::kBlock / 2)));
                const qint64 shift = at + 1 - (from < before.size() ? before[from] : 0);
                index.appendKept(kept, from, shift);
                for (std::size_t i = from; i < before.size(); ++i)
                    plain.push_back(before[i] + shift);
                at = plain.back();
                grow(int(rng.bounded(100)));
            }
            QCOMPARE(index.size(), plain.size());
            for (int probe = 0; probe < 200; ++probe) {
                const std::size_t i = rng.bounded(quint32(plain.size()));
                QCOMPARE(index[i], plain[i]);
                const qint64 v = plain[i] + qint64(rng.bounded(3)) - 1;
                const auto want = std::upper_bound(plain.begin(), plain.end(), v);
                QCOMPARE(index.lastNotAbove(v),
                         want == plain.begin() ? 0 : std::size_t(want - plain.begin()) - 1);
            }
        }
        QVERIFY(index.memoryBytes() <=
                qint64(12 * RowIndex::kBlock * sizeof(qint64))); // bounded, whatever the size
    }
};

QTEST_GUILESS_MAIN(TestRowIndex)
#include "test_row_index.moc"
