#include "receive/spill_store.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

struct SpillStore::File {
    int fd = -1;
    unsigned char key[32];
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
        OPENSSL_cleanse(key, sizeof key);
    }
};

SpillStore::SpillStore(int cachePages, QString folder)
    : m_cachePages(std::max(cachePages, 2)),
      m_folder(folder.isEmpty() ? QDir::tempPath() : std::move(folder))
{
    // A file size limit makes a write fail (and the page stay in memory)
    // instead of ending the program.
    static const bool ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)ignored;
    m_file = newFile();
}

SpillStore::~SpillStore()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

std::shared_ptr<SpillStore::File> SpillStore::newFile()
{
    auto file = std::make_shared<File>();
    if (RAND_bytes(file->key, sizeof file->key) != 1)
        m_fileFailed = true; // no key, no file: everything stays in memory
    return file;
}

bool SpillStore::openFile()
{
    if (m_file->fd >= 0)
        return true;
    if (m_fileFailed)
        return false;
    const QByteArray dir = QFile::encodeName(m_folder);
    // Unlinked from birth where the file system allows it; else named for an
    // instant and unlinked at once.
    int fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        QByteArray name = dir + "/quorvex-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::unlink(name.constData());
        }
    }
    if (fd < 0)
        m_fileFailed = true;
    m_file->fd = fd;
    return fd >= 0;
}

// The counter block starts at the page's byte offset in the file, so no two
// pages written under one key share a key stream.
void SpillStore::crypt(const File &file, const char *in, char *out, qsizetype n, qint64 offset)
{
    unsigned char iv[16] = {};
    const quint64 block = quint64(offset) / 16;
    for (int i = 0; i < 8; ++i)
        iv[15 - i] = static_cast<unsigned char>(block >> (8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int done = 0;
    const bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, file.key, iv) == 1 &&
                    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out), &done,
                                      reinterpret_cast<const unsigned char *>(in), int(n)) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        qFatal("the temporary store's cipher failed");
}

// On the writer's thread; buffer is kept between pages (no allocation per page).
bool SpillStore::writeSealed(const File &file, const QByteArray &bytes, qint64 at, QByteArray &buffer)
{
    buffer.resize(bytes.size());
    crypt(file, bytes.constData(), buffer.data(), bytes.size(), at);
    qint64 done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pwrite(file.fd, buffer.constData() + done, size_t(buffer.size() - done), at + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // disk full, file too large: the page stays in memory
        done += n;
    }
    return true;
}

void SpillStore::writerLoop()
{
    pthread_setname_np(pthread_self(), "spill-writer");
    QByteArray buffer;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_stop)
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        const Done done{job.id, job.generation, job.at, writeSealed(*job.file, job.bytes, job.at, buffer)};
        // The page's bytes are let go before the store hears of it, so it can
        // reuse them once the page leaves the cache.
        job = Job{};
        lock.lock();
        m_done.push_back(done);
        --m_inFlight;
        m_finished.notify_all();
    }
}

SpillStore::Id SpillStore::put(QByteArray page)
{
    const Id id = Id(m_pages.size());
    Page p;
    p.size = qint32(page.size());
    p.bytes = std::move(page);
    m_memoryBytes += p.size;
    m_pages.push_back(p);
    if (!openFile()) {
        ++m_pinned;
        return id;
    }
    // Pages start on 16-byte boundaries, so their counters never overlap.
    const qint64 at = (m_fileEnd + 15) / 16 * 16;
    m_fileEnd = at + p.size;
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [this] { return m_inFlight < kMaxWriting; });
        m_jobs.push_back({id, m_generation, at, std::move(p.bytes), m_file});
        ++m_inFlight;
    }
    ++m_writing;
    if (!m_writer.joinable())
        m_writer = std::thread(&SpillStore::writerLoop, this);
    m_wake.notify_one();
    collect();
    evict();
    return id;
}

void SpillStore::collect()
{
    std::vector<Done> done;
    {
        std::lock_guard lock(m_mutex);
        if (m_done.empty())
            return;
        done.swap(m_done);
    }
    for (const Done &d : done) {
        if (d.generation != m_generation)
            continue; // written before a clear
        --m_writing;
        Page &p = m_pages[d.id];
        if (!d.written) {
            ++m_pinned;
            continue;
        }
        p.offset = d.at;
        m_lru.push_front(d.id);
        p.lru = m_lru.begin();
        p.cached = true;
    }
    evict();
}

void SpillStore::settle()
{
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [this] { return m_inFlight == 0; });
    }
    collect();
}

void SpillStore::touch(Id id)
{
    Page &p = m_pages[id];
    if (p.cached)
        m_lru.splice(m_lru.begin(), m_lru, p.lru);
}

void SpillStore::evict()
{
    // Pages being written count against the cache, so a page put makes room
    // at once (and its memory is there for the next page to be made in); the
    // page used last always stays.
    while (int(m_lru.size()) > std::max(1, m_cachePages - m_writing)) {
        Page &old = m_pages[m_lru.back()];
        m_memoryBytes -= old.bytes.size();
        // The largest page let go is kept for the next page to be made, so a
        // long stream reuses the same memory instead of asking for new.
        if (old.bytes.isDetached() && old.bytes.capacity() > m_spare.capacity())
            m_spare = std::move(old.bytes);
        old.bytes = QByteArray();
        old.cached = false;
        m_lru.pop_back();
    }
}

const QByteArray &SpillStore::get(Id id)
{
    collect();
    Page &p = m_pages[id];
    if (!p.bytes.isEmpty() || p.size == 0) {
        touch(id);
        return p.bytes;
    }
    QByteArray bytes = takeSpare();
    bytes.resize(p.size);
    qint64 done = 0;
    while (done < p.size) {
        const ssize_t n = ::pread(m_file->fd, bytes.data() + done, size_t(p.size - done), p.offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The file failed under us (an I/O error): what cannot be read back
            // shows as blanks rather than taking the program down.
            bytes.fill('\0', p.size);
            break;
        }
        done += n;
    }
    crypt(*m_file, bytes.constData(), bytes.data(), bytes.size(), p.offset);
    p.bytes = std::move(bytes);
    m_memoryBytes += p.size;
    m_lru.push_front(id);
    p.lru = m_lru.begin();
    p.cached = true;
    evict();
    return m_pages[id].bytes;
}

QByteArray SpillStore::takeSpare()
{
    return std::exchange(m_spare, QByteArray());
}

void SpillStore::clear()
{
    {
        // What is queued is not written; what is being written is dropped
        // when done (its generation is gone).
        std::lock_guard lock(m_mutex);
        m_inFlight -= int(m_jobs.size());
        m_jobs.clear();
        m_done.clear();
    }
    ++m_generation;
    m_writing = 0;
    m_spare = QByteArray();
    m_pages.clear();
    m_lru.clear();
    m_memoryBytes = 0;
    m_pinned = 0;
    m_fileEnd = 0;
    if (m_file->fd >= 0) {
        // The file is closed aside (closing it frees it): giving back
        // gigabytes keeps the file system busy for a while. The next page
        // goes to a new file.
        std::thread([file = std::move(m_file)]() mutable { file.reset(); }).detach();
    }
    m_file = newFile();
}
