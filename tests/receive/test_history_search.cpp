#include "receive/display_document.h"
#include "receive/history_search.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Searching the receive box's history, checked against QString's own search
// of the same text as shown.
namespace
{

constexpr qint64 kBlock = qint64(1) << 20; // the document's block, in units

qint64 findIn(const DisplayDocument &doc, const TextNeedle &needle, SearchFrom from)
{
    const auto snapshot = DocumentSnapshot::of(doc);
    DocumentSnapshot::Reader reader(*snapshot);
    std::atomic<bool> stop{false};
    std::atomic<qint64> done{0};
    return searchPieces(*snapshot, reader, needle, from, 0, snapshot->pieceCount(), stop, done);
}

// Through the threads, over stretches as small as given.
qint64 findByThreads(const DisplayDocument &doc, const TextNeedle &needle, SearchFrom from,
                     int threads, qint64 stretch)
{
    HistorySearch search;
    QSignalSpy finished(&search, &HistorySearch::finished);
    search.start(DocumentSnapshot::of(doc), needle, from, threads, stretch);
    if (!finished.wait(20000))
        return -2;
    return finished.first().first().toLongLong();
}

qint64 expected(const QString &shown, const QString &text, bool matchCase, SearchFrom from)
{
    const Qt::CaseSensitivity cs = matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    if (from.down)
        return from.origin > shown.size() ? -1 : shown.indexOf(text, from.origin, cs);
    return from.origin < text.size() ? -1 : shown.lastIndexOf(text, from.origin - text.size(), cs);
}

// A document whose blocks go to a temporary file in dir.
std::unique_ptr<DisplayDocument> documentIn(const QTemporaryDir &dir)
{
    const QByteArray tmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", dir.path().toLocal8Bit());
    auto doc = std::make_unique<DisplayDocument>();
    qputenv("TMPDIR", tmp);
    return doc;
}

// Flips one byte of every file of the document in folder, at offset.
bool damageFilesIn(const QString &folder, qint64 offset)
{
    bool any = false;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
        if (!fd.symLinkTarget().startsWith(folder + "/"))
            continue;
        QFile file(fd.absoluteFilePath());
        char c = 0;
        if (!file.open(QIODevice::ReadWrite) || !file.seek(offset) || !file.getChar(&c) ||
            !file.seek(offset) || !file.putChar(char(~c)))
            return false;
        any = true;
    }
    return any;
}

} // namespace

class TestHistorySearch : public QObject
{
    Q_OBJECT

private slots:
    // Random small histories of all three forms and of edits, every kind of
    // needle, both directions and either case, against QString.
    void againstPlainSearch_data()
    {
        QTest::addColumn<int>("form");
        QTest::newRow("text with Chinese and Greek") << 0;
        QTest::newRow("one-byte text with µ and ÿ") << 1;
        QTest::newRow("hex pairs") << 2;
        QTest::newRow("all mixed, with edits") << 3;
    }
    void againstPlainSearch()
    {
        QFETCH(int, form);
        QRandomGenerator rng(quint32(1234 + form));
        const QString wide = QStringLiteral("温度状态异常ΣσςΘθϑKkK"); // K is the Kelvin sign
        const QString narrow = QStringLiteral("aAbBµÿ0F 1\r\n");
        for (int trial = 0; trial < 1500; ++trial) {
            DisplayDocument doc;
            const int parts = 1 + int(rng.bounded(6));
            for (int p = 0; p < parts; ++p) {
                const int kind = form == 3 ? int(rng.bounded(3)) : form;
                const int n = 1 + int(rng.bounded(40));
                if (kind == 2) {
                    QByteArray bytes;
                    for (int i = 0; i < n; ++i)
                        bytes += char("\x01\x03\x0f\xf0\x14\xaa"[rng.bounded(6)]);
                    doc.appendHex(bytes);
                    continue;
                }
                QString t;
                const QString &from = kind == 0 ? wide + narrow : narrow;
                for (int i = 0; i < n; ++i)
                    t += from[qsizetype(rng.bounded(quint32(from.size())))];
                doc.appendText(t);
            }
            if (form == 3 && doc.size() > 2) { // an edit splits pieces, and hex pairs in two
                const qint64 at = rng.bounded(doc.size());
                doc.replace(at, std::min(doc.size(), at + rng.bounded(3)),
                            rng.bounded(2) ? QStringLiteral("Σx") : QString());
            }
            const QString shown = doc.toString();
            QString text;
            if (rng.bounded(4) != 0 && shown.size() > 0) {
                const qsizetype at = qsizetype(rng.bounded(quint32(shown.size())));
                text = shown.mid(at, 1 + qsizetype(rng.bounded(12)));
            } else {
                for (int i = 0, n = 1 + int(rng.bounded(3)); i < n; ++i)
                    text += (wide +
                             narrow)[qsizetype(rng.bounded(quint32(wide.size() + narrow.size())))];
            }
            if (rng.bounded(2))
                text = rng.bounded(2) ? text.toLower() : text.toUpper();
            const bool matchCase = rng.bounded(2);
            const TextNeedle needle(text, matchCase);
            for (const bool down : {true, false}) {
                const SearchFrom from{down, qint64(rng.bounded(quint32(shown.size() + 1)))};
                const qint64 want = expected(shown, text, matchCase, from);
                const qint64 got = findIn(doc, needle, from);
                if (got != want)
                    QFAIL(qPrintable(
                        QStringLiteral("trial %1: \"%2\" in \"%3\" %4 from %5, case %6: %7, not %8")
                            .arg(trial)
                            .arg(text, shown, down ? "down" : "up")
                            .arg(from.origin)
                            .arg(matchCase)
                            .arg(got)
                            .arg(want)));
            }
        }
    }

    // A history larger than the memory kept: the words planted across the
    // seams of blocks that went to the temporary file are found both ways, by
    // one thread and by three over stretches smaller than a block.
    void spilledHistory()
    {
        QTemporaryDir dir;
        const auto made = documentIn(dir);
        DisplayDocument &doc = *made;
        // One-byte text whose block ends inside "watchdog", then UTF-16 text whose
        // block ends inside "温状态", then hex whose block ends inside "01 03 14".
        doc.appendText(QString(kBlock - 3, u'.') + QStringLiteral("watchdog") + QString(100, u'.'));
        const qint64 watchdog = kBlock - 3;
        doc.appendText(QString(kBlock - 1, u'的') + QStringLiteral("温状态异常"));
        const qint64 state = doc.size() - 4;
        QByteArray filler(kBlock, '\x55');
        QByteArray seam = filler;
        seam.replace(kBlock - 2, 2, "\x01\x03");
        const qint64 hexStart = doc.size();
        doc.appendHex(seam);
        doc.appendHex(QByteArray("\x14", 1) + filler);
        const qint64 reply = hexStart + 3 * (kBlock - 2);
        for (int i = 0; i < 30; ++i) // the text's blocks leave the memory kept
            doc.appendHex(filler);
        doc.appendText(QStringLiteral("end"));
        const_cast<SpillStore &>(doc.spill()).settle();
        QVERIFY(doc.spill().fileBytes() > 30 * kBlock);

        struct Case {
            QString text;
            bool matchCase;
            qint64 at;
        };
        const Case cases[] = {{"WATCHDOG", false, watchdog},
                              {"状态异", true, state},
                              {"01 03 14", true, reply},
                              {"1 03 1", true, reply + 1},
                              {"55 end", false, doc.size() - 6}};
        for (const Case &c : cases) {
            const TextNeedle needle(c.text, c.matchCase);
            QCOMPARE(doc.text(c.at, c.at + c.text.size()).compare(c.text, Qt::CaseInsensitive), 0);
            for (qint64 origin : {qint64(0), c.at - 1, c.at, c.at + 1, doc.size()}) {
                const qint64 down = origin <= c.at ? c.at : -1;
                const qint64 up = origin >= c.at + c.text.size() ? c.at : -1;
                QCOMPARE(findIn(doc, needle, {true, origin}), down);
                QCOMPARE(findIn(doc, needle, {false, origin}), up);
            }
            QCOMPARE(findByThreads(doc, needle, {true, 0}, 3, kBlock / 2), c.at);
            QCOMPARE(findByThreads(doc, needle, {false, doc.size()}, 3, kBlock / 2), c.at);
        }
        // The first match wins, whichever thread gets there first: 55 is everywhere.
        QCOMPARE(findByThreads(doc, TextNeedle("55 55", true), {true, hexStart}, 3, kBlock / 2),
                 hexStart);
        QCOMPARE(
            findByThreads(doc, TextNeedle("55 55", true), {false, doc.size() - 3}, 3, kBlock / 2),
            doc.size() - 9);
    }

    // A block that comes back damaged is searched as the gap the box shows.
    void damagedBlock()
    {
        QTemporaryDir dir;
        const auto made = documentIn(dir);
        DisplayDocument &doc = *made;
        doc.appendText(QStringLiteral("panic") + QString(kBlock - 5, u'.'));
        doc.appendText(QStringLiteral("panic")); // the first block is full and put away
        for (int i = 0; i < 30; ++i)
            doc.appendHex(QByteArray(kBlock, '\x55'));
        const_cast<SpillStore &>(doc.spill()).settle();
        QVERIFY(damageFilesIn(dir.path(), 100));
        QCOMPARE(findIn(doc, TextNeedle("panic", true), {true, 0}), kBlock);
        const QString gap(3, QChar(DisplayDocument::kGapMark));
        QCOMPARE(findIn(doc, TextNeedle(gap, true), {true, 0}), 0);
        QCOMPARE(doc.text(0, 3), gap); // as the box shows it
    }

    // What arrives after the search began is left out; a stopped search
    // answers nothing. The search's loan is let go before its answer, when it
    // is stopped, and when another search replaces it.
    void snapshotAndStop()
    {
        auto loan = [](bool *held) {
            *held = true;
            return std::shared_ptr<void>(held, [](bool *h) { *h = false; });
        };
        bool held1 = false, held2 = false, held3 = false;
        DisplayDocument doc;
        doc.appendText(QStringLiteral("boot ok\r\n"));
        const auto snapshot = DocumentSnapshot::of(doc);
        doc.appendText(QStringLiteral("panic\r\n"));
        doc.clear();
        HistorySearch search;
        QSignalSpy finished(&search, &HistorySearch::finished);
        bool heldAtAnswer = true;
        connect(&search, &HistorySearch::finished, this, [&] { heldAtAnswer = held1; });
        search.start(snapshot, TextNeedle("ok", true), {true, 0}, 2, HistorySearch::kStretchChars,
                     loan(&held1));
        QVERIFY(held1);
        QVERIFY(finished.wait(5000));
        QVERIFY(!heldAtAnswer);
        QCOMPARE(finished.takeFirst().first().toLongLong(), 5);
        search.start(snapshot, TextNeedle("panic", true), {true, 0});
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().first().toLongLong(), -1);

        DisplayDocument big;
        for (int i = 0; i < 40; ++i)
            big.appendHex(QByteArray(kBlock, '\x55'));
        search.start(DocumentSnapshot::of(big), TextNeedle("AA", true), {true, 0}, 2, kBlock,
                     loan(&held2));
        search.start(DocumentSnapshot::of(big), TextNeedle("AA", true), {true, 0}, 2, kBlock,
                     loan(&held3));
        QVERIFY(!held2 && held3);
        search.stop();
        QVERIFY(!search.running() && !held3);
        QVERIFY(!finished.wait(200));
    }
};

QTEST_GUILESS_MAIN(TestHistorySearch)
#include "test_history_search.moc"
