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
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

SpillStore::SpillStore(int cachePages, QString folder)
    : m_cachePages(std::max(cachePages, 2)),
      m_folder(folder.isEmpty() ? QDir::tempPath() : std::move(folder))
{
    // A file size limit makes a write fail (and the page stay in memory)
    // instead of ending the program.
    static const bool ignored = (std::signal(SIGXFSZ, SIG_IGN), true);
    (void)ignored;
    newKey();
}

SpillStore::~SpillStore()
{
    if (m_fd >= 0)
        ::close(m_fd);
    OPENSSL_cleanse(m_key, sizeof m_key);
}

void SpillStore::newKey()
{
    if (RAND_bytes(m_key, sizeof m_key) != 1)
        m_fileFailed = true; // no key, no file: everything stays in memory
}

bool SpillStore::openFile()
{
    if (m_fd >= 0)
        return true;
    if (m_fileFailed)
        return false;
    const QByteArray dir = QFile::encodeName(m_folder);
    // Unlinked from birth where the file system allows it; else named for an
    // instant and unlinked at once.
    m_fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        QByteArray name = dir + "/quorvex-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd >= 0) {
            ::fchmod(m_fd, 0600);
            ::unlink(name.constData());
        }
    }
    if (m_fd < 0)
        m_fileFailed = true;
    return m_fd >= 0;
}

// The counter block starts at the page's byte offset in the file, so no two
// pages written under one key share a key stream.
void SpillStore::crypt(const char *in, char *out, qsizetype n, qint64 offset) const
{
    unsigned char iv[16] = {};
    const quint64 block = quint64(offset) / 16;
    for (int i = 0; i < 8; ++i)
        iv[15 - i] = static_cast<unsigned char>(block >> (8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int done = 0;
    const bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, m_key, iv) == 1 &&
                    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(out), &done,
                                      reinterpret_cast<const unsigned char *>(in), int(n)) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        qFatal("the temporary store's cipher failed");
}

bool SpillStore::writeOut(Id id)
{
    Page &p = m_pages[id];
    if (p.offset >= 0)
        return true;
    if (!openFile())
        return false;
    // Pages start on 16-byte boundaries, so their counters never overlap.
    const qint64 at = (m_fileEnd + 15) / 16 * 16;
    QByteArray &sealed = m_sealBuffer; // kept between pages: no allocation per page
    sealed.resize(p.bytes.size());
    crypt(p.bytes.constData(), sealed.data(), p.bytes.size(), at);
    qint64 done = 0;
    while (done < sealed.size()) {
        const ssize_t n = ::pwrite(m_fd, sealed.constData() + done, size_t(sealed.size() - done), at + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // disk full, file too large: the page stays in memory
        done += n;
    }
    p.offset = at;
    m_fileEnd = at + sealed.size();
    return true;
}

SpillStore::Id SpillStore::put(QByteArray page)
{
    const Id id = Id(m_pages.size());
    Page p;
    p.size = qint32(page.size());
    p.bytes = std::move(page);
    m_memoryBytes += p.size;
    m_pages.push_back(std::move(p));
    if (writeOut(id)) {
        m_lru.push_front(id);
        m_pages[id].lru = m_lru.begin();
        m_pages[id].cached = true;
        evict();
    } else {
        ++m_pinned;
    }
    return id;
}

void SpillStore::touch(Id id)
{
    Page &p = m_pages[id];
    if (p.cached)
        m_lru.splice(m_lru.begin(), m_lru, p.lru);
}

void SpillStore::evict()
{
    while (int(m_lru.size()) > m_cachePages) {
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
    Page &p = m_pages[id];
    if (!p.bytes.isEmpty() || p.size == 0) {
        touch(id);
        return p.bytes;
    }
    QByteArray bytes = takeSpare();
    bytes.resize(p.size);
    qint64 done = 0;
    while (done < p.size) {
        const ssize_t n = ::pread(m_fd, bytes.data() + done, size_t(p.size - done), p.offset + done);
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
    crypt(bytes.constData(), bytes.data(), bytes.size(), p.offset);
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
    m_spare = QByteArray();
    m_pages.clear();
    m_lru.clear();
    m_memoryBytes = 0;
    m_pinned = 0;
    m_fileEnd = 0;
    if (m_fd >= 0) {
        // The file is closed aside (closing it frees it): giving back
        // gigabytes keeps the file system busy for a while. The next page
        // goes to a new file.
        std::thread([fd = m_fd] { ::close(fd); }).detach();
        m_fd = -1;
    }
    newKey();
}
