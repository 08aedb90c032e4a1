#pragma once

#include <QByteArray>
#include <QString>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

// Pages of held content that need not stay in memory. They go to a temporary
// file in the system's temporary folder that is unlinked from the start (so it
// vanishes with the process, even a killed one) and readable by this user
// only; every page is encrypted (AES-256-CTR, OpenSSL) under a key that exists
// only in this process's memory, and a new key is drawn whenever the store is
// emptied, so nothing readable is ever left on the disk. A few pages stay in
// memory, most recently used first. A page that cannot be written (disk full,
// no temporary folder) simply stays in memory: nothing is lost.
class SpillStore
{
public:
    using Id = quint32;

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

    // Memory let go by a page that left the cache, for the next page to be
    // made in (empty when there is none; its size is arbitrary).
    QByteArray takeSpare();

    qint64 memoryBytes() const { return m_memoryBytes + m_spare.capacity(); }
    qint64 fileBytes() const { return m_fileEnd; }
    int pageCount() const { return int(m_pages.size()); }
    // Pages kept in memory because the file could not take them.
    int pinnedPages() const { return m_pinned; }

private:
    struct Page {
        qint64 offset = -1; // in the file; -1 while only in memory
        qint32 size = 0;
        QByteArray bytes;   // empty while only on disk
        std::list<Id>::iterator lru;
        bool cached = false;
    };
    bool openFile();
    bool writeOut(Id id);
    void touch(Id id);
    void evict();
    void crypt(const char *in, char *out, qsizetype n, qint64 offset) const; // in may be out
    void newKey();

    int m_cachePages;
    QString m_folder;
    int m_fd = -1;
    bool m_fileFailed = false;
    qint64 m_fileEnd = 0;
    unsigned char m_key[32];
    std::vector<Page> m_pages;
    std::list<Id> m_lru; // cached pages that are also on disk, most recent first
    qint64 m_memoryBytes = 0;
    int m_pinned = 0;
    QByteArray m_sealBuffer;
    QByteArray m_spare;
};
