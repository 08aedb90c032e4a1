#include "receive/receive_recorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
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

bool ReceiveRecorder::start(const QString &path)
{
    stop();
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder))
        return false;
    // Not a device, a pipe or a folder: only an ordinary file (new or not).
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    ++m_generation;
    m_stopping = m_failed = false;
    m_waiting.clear();
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
    m_waiting.clear();
    m_waitingBytes = 0;
}

void ReceiveRecorder::record(const QByteArray &bytes)
{
    if (m_fd < 0 || bytes.isEmpty())
        return;
    bool tooMuch;
    {
        std::lock_guard lock(m_lock);
        if (m_failed)
            return;
        m_waiting.push_back(bytes);
        m_waitingBytes += bytes.size();
        tooMuch = m_waitingBytes > kMaxWaiting;
        if (tooMuch)
            m_failed = true;
    }
    if (tooMuch)
        writerFailed(m_generation);
}

namespace {
// Writes the chunks in order, as few calls as it takes; false when the file
// takes no more (no room, too large, I/O error).
bool writeAll(int fd, const std::vector<QByteArray> &chunks)
{
    std::size_t next = 0;  // first chunk not yet written whole
    qsizetype skip = 0;    // bytes of it already written
    while (next < chunks.size()) {
        iovec iov[256];
        int n = 0;
        for (std::size_t i = next; i < chunks.size() && n < 256; ++i, ++n) {
            const qsizetype from = i == next ? skip : 0;
            iov[n] = {const_cast<char *>(chunks[i].constData()) + from, size_t(chunks[i].size() - from)};
        }
        ssize_t done = ::writev(fd, iov, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        while (next < chunks.size() && done >= chunks[next].size() - skip) {
            done -= chunks[next].size() - skip;
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
        std::vector<QByteArray> out;
        out.swap(m_waiting);
        m_waitingBytes = 0;
        if (m_failed)
            return;
        lock.unlock();
        bool ok = writeAll(m_fd, out);
        const bool wrote = !out.empty();
        out.clear(); // the window's thread may still share these; dropped here, not under the lock
        if (ok && wrote)
            ok = ::fdatasync(m_fd) == 0 || errno == EINVAL || errno == EROFS;
        lock.lock();
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
