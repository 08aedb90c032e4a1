#include "receive/display_document.h"
#include "receive/spill_store.h"
#include "support/open_files.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
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

    // The store's open file, found through /proc by its folder.
    static QString openFileIn(const QString &folder)
    {
        for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
            const QString target = fd.symLinkTarget();
            if (target.startsWith(folder + "/"))
                return fd.absoluteFilePath();
        }
        return {};
    }

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
                QCOMPARE(store.get(ids[size_t(i / 2)]), pages[size_t(i / 2)]); // maybe from the file
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
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 3 * 64 * 1024 + 100;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        SpillStore store(2, dir.path());
        std::vector<SpillStore::Id> ids;
        for (int i = 0; i < 8; ++i)
            ids.push_back(store.put(page(i)));
        store.settle();
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(store.pinnedPages() >= 4);
        for (int i = 7; i >= 0; --i)
            QCOMPARE(store.get(ids[size_t(i)]), page(i));
    }

    // Pages that cannot be read back as they were written (the file cut short,
    // a byte changed on the disk) are found by their tag: zeros, never noise,
    // and counted until the next clear.
    void damagedPagesAreDetected()
    {
        QTemporaryDir dir;
        SpillStore store(2, dir.path());
        std::vector<SpillStore::Id> ids;
        for (int i = 0; i < 6; ++i)
            ids.push_back(store.put(page(i)));
        store.settle();
        QFile raw(openFileIn(dir.path()));
        QVERIFY(raw.open(QIODevice::ReadWrite));
        QVERIFY(raw.seek(100)); // inside page 0
        QVERIFY(raw.write("x") == 1);
        QVERIFY(raw.resize(3 * 64 * 1024)); // pages 3 on are cut off
        raw.close();
        for (int i : {0, 1, 4}) {
            bool damaged = false;
            const QByteArray back = store.get(ids[size_t(i)], &damaged);
            QCOMPARE(damaged, i != 1);
            QCOMPARE(back, i == 1 ? page(1) : QByteArray(64 * 1024, '\0'));
        }
        bool damaged = false;
        store.get(ids[0], &damaged); // stays damaged
        QVERIFY(damaged);
        QCOMPARE(store.damagedPages(), 2);
        store.clear();
        QCOMPARE(store.damagedPages(), 0);
    }

    // The same through a document: a gap of marks of the damaged block's length.
    void damageInADocument()
    {
        QTemporaryDir dir;
        const std::unique_ptr<DisplayDocument> made(
            madeWithTemporaryFolder<DisplayDocument>([] { return new DisplayDocument; }, dir.path()));
        DisplayDocument &doc = *made;
        const QByteArray bytes = page(2, 1 << 20);
        for (int i = 0; i < 30; ++i)
            doc.appendHex(bytes); // 30 blocks, 24 stay in memory
        const_cast<SpillStore &>(doc.spill()).settle(); // every block written
        QVERIFY(truncateFilesIn(dir.path()));
        QCOMPARE(doc.text(0, 6), QString(6, DisplayDocument::kGapMark));
        QCOMPARE(doc.text(3 * 29 * (1 << 20), 3 * 29 * (1 << 20) + 6),
                 QString::fromLatin1(bytes.left(2).toHex(' ').toUpper()) + ' ');
        QCOMPARE(doc.size(), 30 * 3 * (1 << 20));
        QVERIFY(doc.spill().damagedPages() > 0);
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

    void roomToSpill_data()
    {
        QTest::addColumn<double>("freeGiB");
        QTest::addColumn<double>("totalGiB");
        QTest::addColumn<bool>("room");
        QTest::newRow("small disk, 10 % free") << 0.8 << 8.0 << true;
        QTest::newRow("small disk, under 10 %") << 0.79 << 8.0 << false;
        QTest::newRow("large disk, 1 GiB free") << 1.0 << 500.0 << true;
        QTest::newRow("large disk, under 1 GiB") << 0.99 << 500.0 << false;
    }
    void roomToSpill()
    {
        QFETCH(double, freeGiB);
        QFETCH(double, totalGiB);
        QFETCH(bool, room);
        QCOMPARE(SpillStore::roomToSpill(quint64(freeGiB * (1 << 30)), quint64(totalGiB * (1 << 30))), room);
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
