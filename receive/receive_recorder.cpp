#include "receive/receive_recorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

ReceiveRecorder::ReceiveRecorder(QObject *parent) : QObject(parent) {}

ReceiveRecorder::~ReceiveRecorder()
{
    stop();
}

QString ReceiveRecorder::recordFilePath(const QString &folder, const QDateTime &now)
{
    return folder + QStringLiteral("/rx-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".log");
}

// rx-20261207-090503.log with n: rx-20261207-090503-n.log.
QString ReceiveRecorder::suffixed(const QString &path, int n)
{
    const qsizetype dot = path.lastIndexOf(u'.');
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype at = dot > slash ? dot : path.size();
    return path.left(at) + u'-' + QString::number(n) + path.mid(at);
}

bool ReceiveRecorder::start(const QString &path)
{
    stop();
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder))
        return false;
    // Always a new file of its own, readable by this user only (serial data
    // carries passwords), and never through a link: a name that exists, be it a
    // file, a link planted in a shared folder or anything else, gets a suffix.
    QString name;
    int fd = -1;
    for (int n = 0; fd < 0 && n <= kMaxSuffix; ++n) {
        name = n == 0 ? path : suffixed(path, n);
        fd = ::open(QFile::encodeName(name).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_NOCTTY | O_CLOEXEC,
                    0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    m_fd = fd;
    m_path = name;
    ++m_generation;
    m_stopping = m_failed = false;
    m_waitingBytes = 0;
    m_thread = std::thread([this] { writer(); });
    return true;
}

void ReceiveRecorder::stop()
{
    if (m_fd < 0)
        return;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    ::close(m_fd);
    m_fd = -1;
    m_full.clear();
    m_filling = Buffer{};
    m_spare.clear();
    m_waitingBytes = 0;
}

void ReceiveRecorder::record(QByteArrayView bytes)
{
    if (m_fd < 0 || bytes.isEmpty())
        return;
    bool tooMuch;
    {
        std::lock_guard lock(m_lock);
        if (m_failed)
            return;
        for (qsizetype at = 0; at < bytes.size();) {
            if (!m_filling.data) {
                if (m_spare.empty()) {
                    m_filling.data = std::make_unique<char[]>(kBufferBytes);
                } else {
                    m_filling = std::move(m_spare.back());
                    m_spare.pop_back();
                }
                m_filling.used = 0;
            }
            const qsizetype n = std::min(bytes.size() - at, kBufferBytes - m_filling.used);
            std::memcpy(m_filling.data.get() + m_filling.used, bytes.data() + at, size_t(n));
            m_filling.used += n;
            at += n;
            if (m_filling.used == kBufferBytes)
                m_full.push_back(std::exchange(m_filling, Buffer{}));
        }
        m_waitingBytes += bytes.size();
        tooMuch = m_waitingBytes > kMaxWaiting;
        if (tooMuch)
            m_failed = true;
    }
    if (tooMuch)
        writerFailed(m_generation);
}

namespace
{
// Writes the buffers in order, as few calls as it takes; false when the file
// takes no more (no room, too large, I/O error).
template <typename Buffers> bool writeAll(int fd, const Buffers &buffers)
{
    std::size_t next = 0; // first buffer not yet written whole
    qsizetype skip = 0;   // bytes of it already written
    while (next < buffers.size()) {
        iovec iov[64];
        int n = 0;
        for (std::size_t i = next; i < buffers.size() && n < 64; ++i, ++n) {
            const qsizetype from = i == next ? skip : 0;
            iov[n] = {buffers[i].data.get() + from, size_t(buffers[i].used - from)};
        }
        ssize_t done = ::writev(fd, iov, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        while (next < buffers.size() && done >= buffers[next].used - skip) {
            done -= buffers[next].used - skip;
            skip = 0;
            ++next;
        }
        skip += done;
    }
    return true;
}
} // namespace

// Writes what has gathered, then has it put on the disk, every kFlushMs (at
// once when stopping).
void ReceiveRecorder::writer()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait_for(lock, std::chrono::milliseconds(kFlushMs), [this] { return m_stopping; });
        const bool last = m_stopping;
        if (m_failed)
            return;
        std::vector<Buffer> out;
        out.swap(m_full);
        if (m_filling.used > 0)
            out.push_back(std::exchange(m_filling, Buffer{}));
        m_waitingBytes = 0;
        lock.unlock();
        bool ok = writeAll(m_fd, out);
        if (ok && !out.empty())
            ok = ::fdatasync(m_fd) == 0 || errno == EINVAL || errno == EROFS;
        lock.lock();
        // Written buffers are used again, so a long recording does not keep
        // asking the system for fresh memory.
        for (Buffer &b : out)
            if (m_spare.size() < kSpareBuffers)
                m_spare.push_back(std::move(b));
        if (!ok) {
            m_failed = true;
            QMetaObject::invokeMethod(
                this, [this, g = m_generation] { writerFailed(g); }, Qt::QueuedConnection);
            return;
        }
        if (last)
            return;
    }
}

void ReceiveRecorder::writerFailed(int generation)
{
    if (m_fd < 0 || generation != m_generation)
        return; // a recording stopped meanwhile
    const QString path = m_path;
    stop();
    emit failed(path);
}
