#include "receive/spill_store.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace
{

// The pages of bytes wholly inside [data, data + n).
std::pair<void *, size_t> wholePages(const void *data, size_t n)
{
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr from = (quintptr(data) + page - 1) / page * page;
    const quintptr to = (quintptr(data) + n) / page * page;
    return {reinterpret_cast<void *>(from), to > from ? size_t(to - from) : 0};
}

} // namespace

void SpillStore::keepOutOfDumps(const QByteArray &bytes)
{
#ifdef MADV_DONTDUMP
    const auto [at, n] = wholePages(bytes.constData(), size_t(bytes.capacity()));
    if (n > 0)
        ::madvise(at, n, MADV_DONTDUMP); // a hint: a refusal changes nothing else
#else
    (void)bytes;
#endif
}

// The key lives in a page of its own, locked in memory where the limit allows
// (never swapped out) and left out of core dumps.
struct SpillStore::File {
    int fd = -1;
    unsigned char *key = nullptr;
    File()
    {
        void *page = ::mmap(nullptr, size_t(sysconf(_SC_PAGESIZE)), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED)
            return;
#ifdef MADV_DONTDUMP
        ::madvise(page, size_t(sysconf(_SC_PAGESIZE)), MADV_DONTDUMP);
#endif
        ::mlock(page, size_t(sysconf(_SC_PAGESIZE)));
        key = static_cast<unsigned char *>(page);
    }
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
        if (key) {
            OPENSSL_cleanse(key, 32);
            ::munmap(key, size_t(sysconf(_SC_PAGESIZE)));
        }
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
};

SpillStore::SpillStore(int cachePages, QString folder, Mender mend)
    : m_cachePages(std::max(cachePages, 2)),
      m_folder(folder.isEmpty() ? QDir::tempPath() : std::move(folder)), m_usedFolder(m_folder),
      m_mend(std::move(mend))
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
    if (!file->key || RAND_bytes(file->key, 32) != 1) {
        m_fileFailed = true; // no key, no file: everything stays in memory
        m_failedAt = std::chrono::steady_clock::now();
    }
    return file;
}

bool SpillStore::roomToSpill(quint64 freeBytes, quint64 totalBytes)
{
    const quint64 reserve = std::min<quint64>(totalBytes / 10, quint64(1) << 30);
    return freeBytes >= reserve;
}

// Unlinked from birth where the file system allows it; else named for an
// instant and unlinked at once.
int SpillStore::openIn(const QString &folder)
{
    const QByteArray dir = QFile::encodeName(folder);
    int fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
        QByteArray name = dir + "/quorvex-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::unlink(name.constData());
        }
    }
    return fd;
}

bool SpillStore::openFile()
{
    if (m_file->fd >= 0)
        return true;
    if (m_fileFailed) {
        if (std::chrono::steady_clock::now() - m_failedAt < kRetryAfter)
            return false;
        m_fileFailed = false;
        if (!m_file->key) // the key's page could not be had: try again with a new one
            m_file = newFile();
        if (m_fileFailed)
            return false;
    }
    // A temporary folder that does not exist ($TMPDIR pointing nowhere) is
    // passed over for /tmp, never for the working folder or the root.
    int fd = openIn(m_folder);
    m_usedFolder = m_folder;
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) && m_folder != QStringLiteral("/tmp")) {
        fd = openIn(QStringLiteral("/tmp"));
        m_usedFolder = QStringLiteral("/tmp");
    }
    if (fd < 0) {
        m_fileFailed = true;
        m_failedAt = std::chrono::steady_clock::now();
        m_usedFolder = m_folder;
    }
    m_file->fd = fd;
    return fd >= 0;
}

// A context that seals (or opens) the page at offset under key, or null. The
// offset makes the nonce: offsets never repeat under one key (the file only
// grows, and a new file has a new key).
static EVP_CIPHER_CTX *pageCipher(bool seal, const unsigned char *key, qint64 offset)
{
    unsigned char iv[12] = {};
    for (int i = 0; i < 8; ++i)
        iv[11 - i] = static_cast<unsigned char>(quint64(offset) >> (8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, seal) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, sizeof iv, nullptr) == 1 &&
        EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, seal) == 1)
        return ctx;
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
}

// On the writer's thread; buffer is kept between pages (no allocation per page).
bool SpillStore::writeSealed(const File &file, const QByteArray &bytes, qint64 at,
                             QByteArray &buffer)
{
    // Not while the file system runs short of room (checked here, off the
    // window's thread): the page stays in memory.
    struct statvfs fs {
    };
    if (::fstatvfs(file.fd, &fs) == 0 &&
        !roomToSpill(quint64(fs.f_bavail) * fs.f_frsize, quint64(fs.f_blocks) * fs.f_frsize))
        return false;
    buffer.resize(bytes.size() + kTag);
    EVP_CIPHER_CTX *ctx = pageCipher(true, file.key, at);
    int done = 0, last = 0;
    auto *out = reinterpret_cast<unsigned char *>(buffer.data());
    const bool ok =
        ctx &&
        EVP_CipherUpdate(ctx, out, &done,
                         reinterpret_cast<const unsigned char *>(bytes.constData()),
                         int(bytes.size())) == 1 &&
        EVP_CipherFinal_ex(ctx, out + done, &last) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, int(kTag), out + bytes.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        qFatal("the temporary store's cipher failed");
    qint64 written = 0;
    while (written < buffer.size()) {
        const ssize_t n = ::pwrite(file.fd, buffer.constData() + written,
                                   size_t(buffer.size() - written), at + written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // disk full, file too large: the page stays in memory
        written += n;
    }
    return true;
}

// Reads the sealed page at offset back into bytes (its size) and opens it;
// false when it cannot be read whole or its tag does not match. Any thread.
bool SpillStore::readSealed(const File &file, qint64 offset, qint32 size, QByteArray &bytes)
{
    // The sealed page straight into bytes, its tag beside it; opened in place.
    unsigned char tag[kTag];
    qint64 done = 0;
    while (done < size + kTag) {
        iovec parts[2];
        int count = 0;
        if (done < size)
            parts[count++] = {bytes.data() + done, size_t(size - done)};
        const qint64 intoTag = std::max<qint64>(done - size, 0);
        parts[count++] = {tag + intoTag, size_t(kTag - intoTag)};
        const ssize_t n = ::preadv(file.fd, parts, count, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // truncated, or an I/O error
        done += n;
    }
    EVP_CIPHER_CTX *ctx = pageCipher(false, file.key, offset);
    int out = 0, last = 0;
    auto *data = reinterpret_cast<unsigned char *>(bytes.data());
    const bool ok = ctx && EVP_CipherUpdate(ctx, data, &out, data, size) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, int(kTag), tag) == 1 &&
                    EVP_CipherFinal_ex(ctx, data + out, &last) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

void SpillStore::lend(int pages)
{
    m_lent = std::clamp(pages, 0, m_cachePages - 2);
    evict();
}

SpillStore::Pages SpillStore::pages()
{
    collect();
    Pages out;
    out.m_file = m_file;
    out.m_pages.reserve(m_pages.size());
    for (const Page &p : m_pages)
        out.m_pages.push_back({p.bytes, p.offset, p.size, p.damaged});
    return out;
}

QByteArrayView SpillStore::Pages::read(Id id, QByteArray &buffer, bool *damaged) const
{
    const Entry &e = m_pages[id];
    *damaged = e.damaged;
    if (!e.bytes.isNull() || e.size == 0)
        return e.bytes;
    if (buffer.size() != e.size) {
        buffer.resize(e.size);
        keepOutOfDumps(buffer);
    }
    if (e.offset < 0 || !m_file || m_file->fd < 0 ||
        !readSealed(*m_file, e.offset, e.size, buffer)) {
        buffer.fill('\0');
        *damaged = true;
    }
    return buffer;
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
        // A job without bytes only brings a file let go by a clear: it is
        // closed here, with the job (closing frees it, which can take a while).
        const bool written =
            !job.bytes.isNull() && writeSealed(*job.file, job.bytes, job.at, buffer);
        const Done done{job.id, job.generation, job.at, written};
        // The page's bytes are let go before the store hears of it, so it can
        // reuse them once the page leaves the cache.
        job = Job{};
        lock.lock();
        m_done.push_back(done);
        --m_inFlight;
        m_finished.notify_all();
    }
}

// Wakes the writer for a job just queued, starting it the first time.
void SpillStore::startWriter()
{
    if (!m_writer.joinable())
        m_writer = std::thread(&SpillStore::writerLoop, this);
    m_wake.notify_one();
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
    const qint64 at = m_fileEnd;
    m_fileEnd = at + p.size + kTag;
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [this] { return m_inFlight < kMaxWriting; });
        m_jobs.push_back({id, m_generation, at, std::move(p.bytes), m_file});
        ++m_inFlight;
    }
    ++m_writing;
    startWriter();
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
    while (int(m_lru.size()) > std::max(1, m_cachePages - m_lent - m_writing)) {
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

const QByteArray &SpillStore::get(Id id, bool *damaged)
{
    collect();
    Page &p = m_pages[id];
    if (damaged)
        *damaged = p.damaged;
    if (!p.bytes.isEmpty() || p.size == 0) {
        touch(id);
        return p.bytes;
    }
    QByteArray bytes = takeSpare();
    bytes.resize(p.size);
    keepOutOfDumps(bytes);
    if (!readSealed(*m_file, p.offset, p.size, bytes)) {
        // Whatever came back is not the page: never shown, as zeros (or what
        // the mender makes of them), and reported.
        bytes.fill('\0', p.size);
        if (!p.damaged)
            ++m_damaged;
        p.damaged = true;
        if (m_mend)
            m_mend(id, bytes);
        if (damaged)
            *damaged = true;
    }
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
    m_damaged = 0;
    m_fileEnd = 0;
    if (m_file->fd >= 0) {
        // The writer closes the file (closing it frees it): giving back
        // gigabytes keeps the file system busy for a while. The next page
        // goes to a new file.
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back({0, m_generation - 1, 0, QByteArray(), std::move(m_file)});
            ++m_inFlight;
        }
        startWriter();
    }
    // A store whose file failed tries again with the new one.
    m_fileFailed = false;
    m_file = newFile();
}
