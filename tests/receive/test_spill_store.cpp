#include "receive/display_document.h"
#include "receive/row_index.h"
#include "receive/spill_store.h"
#include "support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <sys/resource.h>

// The store behind long histories: pages come back as they went in, the file
// has no name and holds nothing readable, and a file that cannot grow loses
// nothing.
class TestSpillStore : public QObject
{
    Q_OBJECT

    static QByteArray page(int i, int size = 64 * 1024)
    {
        QByteArray p(size, Qt::Uninitialized);
        QRandomGenerator rng{quint32(i)};
        for (char &c : p)
            c = "SECRET-password-"[rng.bounded(16)];
        return p;
    }

    // The stores' open files, found through /proc by their folder.
    static QStringList openFilesIn(const QString &folder)
    {
        QStringList files;
        for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files))
            if (fd.symLinkTarget().startsWith(folder + "/"))
                files << fd.absoluteFilePath();
        return files;
    }
    static QString openFileIn(const QString &folder) { return openFilesIn(folder).value(0); }

private slots:
    void pagesComeBackAndNothingIsReadable()
    {
        QTemporaryDir dir;
        SpillStore store(2, dir.path());
        std::vector<SpillStore::Id> ids;
        for (int i = 0; i < 12; ++i)
            ids.push_back(store.put(page(i)));
        store.settle();
        QVERIFY(store.memoryBytes() <= 3 * 64 * 1024); // two cached, one let go kept for reuse
        QCOMPARE(store.pinnedPages(), 0);
        for (int i : {0, 11, 5, 0, 7})
            QCOMPARE(store.get(ids[size_t(i)]), page(i));

        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
        const QString file = openFileIn(dir.path());
        QVERIFY(!file.isEmpty());
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        const QByteArray onDisk = raw.readAll();
        QVERIFY(onDisk.size() >= 12 * 64 * 1024);
        QVERIFY(!onDisk.contains("password"));
        QVERIFY(!onDisk.contains(page(3).left(64)));
        raw.close();

        // Clearing closes the file, which gives its space back.
        store.clear();
        QCOMPARE(store.fileBytes(), 0);
        QTRY_VERIFY(openFileIn(dir.path()).isEmpty());
        const SpillStore::Id again = store.put(page(99));
        QCOMPARE(store.get(again), page(99));
    }

    // Pages are written on a thread of the store's own: one read back at once
    // comes from memory, older ones come back from the file while others are
    // being written, a clear drops what is still being written, and the pages
    // waiting to be written stay bounded.
    void writesInFlight()
    {
        QTemporaryDir dir;
        SpillStore store(2, dir.path());
        constexpr int kPage = 1 << 20; // a few milliseconds to write each
        for (int round = 0; round < 3; ++round) {
            std::vector<QByteArray> pages;
            for (int i = 0; i < 12; ++i)
                pages.push_back(page(100 * round + i, kPage));
            std::vector<SpillStore::Id> ids;
            for (int i = 0; i < 12; ++i) {
                ids.push_back(store.put(pages[size_t(i)]));
                QCOMPARE(store.get(ids.back()), pages[size_t(i)]);
                QCOMPARE(store.get(ids[size_t(i / 2)]),
                         pages[size_t(i / 2)]); // maybe from the file
                QVERIFY(store.memoryBytes() <= qint64(2 + SpillStore::kMaxWriting + 2) * kPage);
            }
            if (round < 2) {
                store.clear(); // with pages still queued or being written
                continue;
            }
            store.settle();
            QCOMPARE(store.pinnedPages(), 0);
            for (int i = 11; i >= 0; --i)
                QCOMPARE(store.get(ids[size_t(i)]), pages[size_t(i)]);
        }
    }

    // The file stops growing (a size limit, as on a full disk): the pages it
    // could not take stay in memory, every page comes back.
    void fullFileLosesNothing()
    {
        QTemporaryDir dir;
        SpillStore store(2, dir.path());
        std::vector<SpillStore::Id> ids;
        {
            FileSizeLimit full(3 * 64 * 1024 + 100);
            for (int i = 0; i < 8; ++i)
                ids.push_back(store.put(page(i)));
            store.settle();
        }
        QVERIFY(store.pinnedPages() >= 4);
        for (int i = 7; i >= 0; --i)
            QCOMPARE(store.get(ids[size_t(i)]), page(i));
    }

    // Pages that cannot be read back as they were written (a byte changed on
    // the disk, the file cut short) are found by their tag, never shown as
    // noise: a document shows a gap of marks of the block's length, a row
    // index makes the block's rows again, in order. Counted until a clear.
    void damagedPages()
    {
        QTemporaryDir dir;
        const QByteArray tmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", dir.path().toLocal8Bit());
        DisplayDocument doc;
        RowIndex rows;
        qputenv("TMPDIR", tmp);
        const QByteArray bytes = page(2, 1 << 20);
        for (int i = 0; i < 30; ++i)
            doc.appendHex(bytes); // 30 blocks, 24 stay in memory
        for (qint64 r = 0; r < qint64(RowIndex::kBlock) * 10; ++r)
            rows.push_back(r * 3);
        const_cast<SpillStore &>(doc.spill()).settle(); // every block written
        rows.settle();
        for (const QString &name : openFilesIn(dir.path())) { // the document's and the rows'
            QFile file(name);
            char c = 0; // one byte flipped: whatever it was, the page is no longer whole
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(100) && file.getChar(&c) &&
                    file.seek(100) && file.putChar(char(~c)));
            QVERIFY(file.resize(3 << 20)); // the document's blocks from 3 on
        }
        QCOMPARE(doc.text(0, 6), QString(6, DisplayDocument::kGapMark)); // a byte changed
        QCOMPARE(doc.text(3 * 4 * (1 << 20), 3 * 4 * (1 << 20) + 3),
                 QString(3, DisplayDocument::kGapMark)); // cut off
        QCOMPARE(doc.text(3 * 29 * (1 << 20), 3 * 29 * (1 << 20) + 6),
                 QString::fromLatin1(bytes.left(2).toHex(' ').toUpper()) + ' ');
        QCOMPARE(doc.size(), 30 * 3 * (1 << 20));
        QCOMPARE(rows[5], 15);
        QCOMPARE(rows.lastNotAbove(16), 5u);
        QCOMPARE(rows.back(), (qint64(RowIndex::kBlock) * 10 - 1) * 3);
        QVERIFY(doc.spill().damagedPages() >= 2 && rows.damagedPages() > 0);
        doc.clear();
        QCOMPARE(doc.spill().damagedPages(), 0);
    }

    // A temporary folder that does not exist gives way to /tmp; one that cannot
    // take a file keeps pages in memory, and is tried again after a clear.
    void temporaryFolders()
    {
        SpillStore nowhere(2, "/nonexistent/quorvex-tmp");
        for (int i = 0; i < 4; ++i)
            nowhere.put(page(i));
        nowhere.settle();
        QCOMPARE(nowhere.folder(), QStringLiteral("/tmp"));
        QVERIFY(nowhere.fileBytes() > 0);
        QCOMPARE(nowhere.pinnedPages(), 0);

        QTemporaryDir dir;
        SpillStore store(2, dir.path());
        rlimit old{};
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit none = old;
        none.rlim_cur = 0;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0); // no descriptor left for the file
        const SpillStore::Id first = store.put(page(1));
        setrlimit(RLIMIT_NOFILE, &old);
        store.put(page(2)); // not tried again so soon
        QCOMPARE(store.pinnedPages(), 2);
        QCOMPARE(store.get(first), page(1));
        store.clear();
        store.put(page(3));
        store.settle();
        QVERIFY(store.fileBytes() > 0);
        QCOMPARE(store.pinnedPages(), 0);
    }

    // A tenth of the file system kept free, or 1 GiB if that is less.
    void roomToSpill()
    {
        constexpr quint64 GiB = quint64(1) << 30;
        QVERIFY(SpillStore::roomToSpill(8 * GiB / 10, 8 * GiB));
        QVERIFY(!SpillStore::roomToSpill(8 * GiB / 10 - 1, 8 * GiB));
        QVERIFY(SpillStore::roomToSpill(GiB, 500 * GiB));
        QVERIFY(!SpillStore::roomToSpill(GiB - 1, 500 * GiB));
    }

    // A document far larger than the blocks kept in memory reads back whole,
    // through edits at both ends, in its one-byte, wide and hexadecimal pieces.
    void documentBeyondMemory()
    {
        DisplayDocument doc;
        QString reference;
        const QByteArray bytes = page(1, 1 << 20);
        const QString hexShown = QString::fromLatin1(bytes.toHex(' ').toUpper()) + u' ';
        for (int round = 0; round < 20; ++round) {
            doc.appendHex(bytes);
            reference += hexShown;
            const QString wide = QString::fromUtf8("温度=23.5℃ ").repeated(20000);
            doc.appendText(wide);
            reference += wide;
            doc.appendText(QString::fromLatin1(bytes.mid(round, 300000)));
            reference += QString::fromLatin1(bytes.mid(round, 300000));
        }
        doc.replace(1, 4, QStringLiteral("|edit|"));
        reference.replace(1, 3, QStringLiteral("|edit|"));
        doc.replace(doc.size() - 10, doc.size() - 2, QString::fromUtf8("尾"));
        reference.replace(reference.size() - 10, 8, QString::fromUtf8("尾"));
        QCOMPARE(doc.size(), reference.size());
        QVERIFY(doc.spill().pageCount() > 24);
        QVERIFY(doc.memoryBytes() < 64 << 20);
        QVERIFY(doc.toString() == reference);
        QCOMPARE(doc.text(reference.size() / 2, reference.size() / 2 + 50),
                 reference.mid(reference.size() / 2, 50));
        doc.clear();
        QCOMPARE(doc.spill().pageCount(), 0);
        QVERIFY(doc.memoryBytes() < 1 << 20);
    }
};

QTEST_GUILESS_MAIN(TestSpillStore)
#include "test_spill_store.moc"
