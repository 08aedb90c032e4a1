#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Pages of held content that need not stay in memory. They go to a temporary
// file in the system's temporary folder that is unlinked from the start (so it
// vanishes with the process, even a killed one) and readable by this user
// only; every page is encrypted (AES-256-CTR, OpenSSL) under a key that exists
// only in this process's memory, and a new key is drawn whenever the store is
// emptied, so nothing readable is ever left on the disk. A few pages stay in
// memory, most recently used first. A page that cannot be written (disk full,
// no temporary folder) simply stays in memory: nothing is lost.
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

    // cachePages: how many pages stay in memory besides those that could not
    // be written out. folder: where the file goes (tests pass a small one).
    explicit SpillStore(int cachePages, QString folder = QString());
    ~SpillStore();
    SpillStore(const SpillStore &) = delete;
    SpillStore &operator=(const SpillStore &) = delete;

    // Takes a page that will not change any more.
    Id put(QByteArray page);
    // The page's bytes. The reference holds until the next put or get.
    const QByteArray &get(Id id);
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

private:
    struct File; // a descriptor and its key, shared with the writer
    struct Page {
        qint64 offset = -1; // in the file; -1 while only in memory
        qint32 size = 0;
        QByteArray bytes;   // empty while only on disk
        std::list<Id>::iterator lru;
        bool cached = false;
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
    void touch(Id id);
    void evict();
    void collect(); // takes in what the writer has finished
    void writerLoop();
    static bool writeSealed(const File &file, const QByteArray &bytes, qint64 at, QByteArray &buffer);
    static void crypt(const File &file, const char *in, char *out, qsizetype n, qint64 offset); // in may be out
    std::shared_ptr<File> newFile();

    int m_cachePages;
    QString m_folder;
    std::shared_ptr<File> m_file;
    bool m_fileFailed = false;
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
