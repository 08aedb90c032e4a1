#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Pages of held content that need not stay in memory. They go to a temporary
// file in the system's temporary folder (or /tmp when that is missing) that is
// unlinked from the start (so it vanishes with the process, even a killed one)
// and readable by this user only; every page is sealed (AES-256-GCM, OpenSSL,
// a tag per page) under a key that exists only in this process's memory, kept
// out of core dumps and swap, and a new key is drawn whenever the store is
// emptied, so nothing readable is ever left on the disk. A few pages stay in
// memory, most recently used first. A page that cannot be written (disk full,
// no temporary folder, or less free space on the file system than
// roomToSpill() asks) simply stays in memory: nothing is lost. A store whose
// file could not be made tries again at the next clear, and otherwise at most
// once every kRetryAfter.
//
// A page that comes back damaged (the file truncated, an I/O error, anything
// changed on the disk) is detected by its tag and never shown as noise: get()
// says so, hands back zeros of the page's size (or what the mender set at
// construction makes of them), and the page stays damaged.
//
// Pages are encrypted and written by a thread of the store's own, so the
// caller never waits for the disk (a write of a megabyte takes 4 ms, and up to
// 20 while the system writes back a flood); a page stays in memory until it is
// written, and a put waits only when kMaxWriting pages are still being written.
class SpillStore
{
public:
    using Id = quint32;
    static constexpr int kMaxWriting = 4;

    static constexpr std::chrono::seconds kRetryAfter{60};
    // Fills a damaged page, handed over as zeros of its size, with something
    // its reader can live with.
    using Mender = std::function<void(Id id, QByteArray &page)>;

    // cachePages: how many pages stay in memory besides those that could not
    // be written out. folder: where the file goes (tests pass a small one).
    explicit SpillStore(int cachePages, QString folder = QString(), Mender mend = {});
    ~SpillStore();
    SpillStore(const SpillStore &) = delete;
    SpillStore &operator=(const SpillStore &) = delete;

    // Takes a page that will not change any more.
    Id put(QByteArray page);
    // The page's bytes. The reference holds until the next put or get.
    // damaged, when given, tells whether the page could not be read back.
    const QByteArray &get(Id id, bool *damaged = nullptr);
    // Forgets every page; the file is let go (the next page goes to a new one)
    // and a new key drawn.
    void clear();

    // Waits until every page put so far is written or found unwritable.
    void settle();

    // Memory let go by a page that left the cache, for the next page to be
    // made in (empty when there is none; its size is arbitrary).
    QByteArray takeSpare();

    qint64 memoryBytes() const { return m_memoryBytes + m_spare.capacity(); }
    qint64 fileBytes() const { return m_fileEnd; }
    int pageCount() const { return int(m_pages.size()); }
    // Pages kept in memory because the file could not take them (known once
    // the writer has tried).
    int pinnedPages() const { return m_pinned; }
    // Pages found damaged since the last clear.
    int damagedPages() const { return m_damaged; }

    // Whether a page may go to a file system with freeBytes of totalBytes free:
    // not while less than a tenth of it, or 1 GiB if that is less, is free.
    static bool roomToSpill(quint64 freeBytes, quint64 totalBytes);

    // Marks the memory of a page of plain content to be left out of core dumps.
    static void keepOutOfDumps(const QByteArray &bytes);

    // Where the file went, or goes next (tests).
    QString folder() const { return m_usedFolder; }

    struct File; // a descriptor and its key, shared with the writer

    // The pages as they are now, for reading on any thread while the store
    // goes on: pages still in memory are shared (never changed again), the
    // others are read back from the file, which stays open while this lives.
    // A clear of the store does not touch it.
    class Pages
    {
    public:
        Pages() = default;
        // The page's bytes, read into buffer when it is only on disk (buffer's
        // memory is used again from call to call). damaged: it could not be read
        // back whole; its bytes are then zeros of its size.
        QByteArrayView read(Id id, QByteArray &buffer, bool *damaged) const;

    private:
        friend class SpillStore;
        struct Entry {
            QByteArray bytes; // null while only on disk
            qint64 offset = -1;
            qint32 size = 0;
            bool damaged = false;
        };
        std::vector<Entry> m_pages;
        std::shared_ptr<File> m_file;
    };
    Pages pages();

    // While readers of Pages hold pages of their own in memory, the cache keeps
    // that many fewer (0 gives them back).
    void lend(int pages);

private:
    struct Page {
        qint64 offset = -1; // in the file; -1 while only in memory
        qint32 size = 0;
        QByteArray bytes; // empty while only on disk
        std::list<Id>::iterator lru;
        bool cached = false;
        bool damaged = false;
    };
    struct Job {
        Id id;
        quint64 generation; // of the store's content: a clear makes it stale
        qint64 at;
        QByteArray bytes;
        std::shared_ptr<File> file;
    };
    struct Done {
        Id id;
        quint64 generation;
        qint64 at;
        bool written;
    };
    bool openFile();
    int openIn(const QString &folder);
    static bool readSealed(const File &file, qint64 offset, qint32 size, QByteArray &bytes);
    void touch(Id id);
    void evict();
    void collect(); // takes in what the writer has finished
    void writerLoop();
    void startWriter();
    static bool writeSealed(const File &file, const QByteArray &bytes, qint64 at,
                            QByteArray &buffer);
    static constexpr qint64 kTag = 16;
    std::shared_ptr<File> newFile();

    int m_cachePages;
    int m_lent = 0;
    QString m_folder;
    QString m_usedFolder;
    Mender m_mend;
    std::shared_ptr<File> m_file;
    bool m_fileFailed = false;
    std::chrono::steady_clock::time_point m_failedAt;
    int m_damaged = 0;
    qint64 m_fileEnd = 0; // written or being written
    quint64 m_generation = 0;
    int m_writing = 0; // pages handed to the writer whose outcome is not yet taken in
    std::vector<Page> m_pages;
    std::list<Id> m_lru; // cached pages that are also on disk, most recent first
    qint64 m_memoryBytes = 0;
    int m_pinned = 0;
    QByteArray m_spare;

    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_wake;     // for the writer: a job, or stop
    std::condition_variable m_finished; // for the store: a job done
    std::deque<Job> m_jobs;             // guarded by m_mutex
    std::vector<Done> m_done;           // guarded by m_mutex
    int m_inFlight = 0;                 // guarded by m_mutex: queued or being written
    bool m_stop = false;                // guarded by m_mutex
};
