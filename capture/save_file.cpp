#include "capture/save_file.h"

#include "serial/codepage936.h"

#include <QDir>
#include <QSaveFile>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

QString saveTimestamp(const QDateTime &now)
{
    const QDate d = now.date();
    const QTime t = now.time();
    return QStringLiteral("%1年%2月%3日%4时%5分%6秒")
        .arg(d.year())
        .arg(d.month())
        .arg(d.day())
        .arg(t.hour())
        .arg(t.minute())
        .arg(t.second());
}

QString resolveFolder(const QString &text, const QString &home)
{
    if (text.isEmpty())
        return text;
    if (text == u"~")
        return home;
    if (text.startsWith(u"~/"))
        return home + text.mid(1);
    if (QDir::isAbsolutePath(text))
        return text;
    return home + u'/' + text;
}

QString saveFilePath(const QString &folder)
{
    return folder + QStringLiteral("/1.txt");
}

namespace
{
// Writes the chunks it is given, in order, on a thread of its own: copying
// gigabytes into the file costs as much as reading them back and encoding
// them, and the two go on side by side. At most kDepth chunks wait; their
// buffers come back to be filled again.
class ChunkWriter
{
public:
    static constexpr std::size_t kDepth = 4;

    explicit ChunkWriter(QSaveFile &file) : m_file(file), m_thread([this] { run(); }) {}
    ~ChunkWriter() { finish(); }

    // A buffer to fill, of at least capacity bytes, empty.
    QByteArray spare(qsizetype capacity)
    {
        std::lock_guard lock(m_mutex);
        QByteArray b;
        if (!m_spares.empty()) {
            b = std::move(m_spares.back());
            m_spares.pop_back();
        }
        b.resize(0);
        b.reserve(capacity);
        return b;
    }
    void push(QByteArray chunk)
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [this] { return m_queue.size() < kDepth; });
        m_queue.push_back(std::move(chunk));
        m_ready.notify_one();
    }
    // Waits until everything is written; false when a write failed.
    bool finish()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_ready.notify_one();
        if (m_thread.joinable())
            m_thread.join();
        return m_ok;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [this] { return !m_queue.empty() || m_done; });
            if (m_queue.empty())
                return;
            QByteArray chunk = std::move(m_queue.front());
            m_queue.pop_front();
            m_room.notify_one();
            lock.unlock();
            if (m_ok && m_file.write(chunk) != chunk.size())
                m_ok = false; // the rest is not written; the save fails
            lock.lock();
            m_spares.push_back(std::move(chunk));
        }
    }

    QSaveFile &m_file; // written by the thread alone until it is joined
    bool m_ok = true;  // the same
    std::mutex m_mutex;
    std::condition_variable m_ready, m_room;
    std::deque<QByteArray> m_queue;   // guarded by m_mutex
    std::vector<QByteArray> m_spares; // guarded by m_mutex
    bool m_done = false;              // guarded by m_mutex
    std::thread m_thread;
};
} // namespace

bool writeSaveFile(const QString &folder, const QDateTime &now,
                   const std::function<void(const std::function<void(QStringView)> &)> &writeText)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    // A link at the file's name that another user made (a shared folder) is
    // not written through: the save fails as any save that cannot be made.
    const QByteArray target = QFile::encodeName(saveFilePath(folder));
    struct stat st {
    };
    const bool exists = ::lstat(target.constData(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
        return false;
    QSaveFile file(saveFilePath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // A new file is readable by this user only (serial data carries passwords);
    // one that is replaced keeps the permissions it had.
    if (!exists)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // One encoder for the whole file, so a character split between two pieces
    // of the display's text is encoded whole; written a megabyte at a time on
    // a thread of its own while the next megabyte is made.
    constexpr qsizetype kChunk = 1 << 20;
    cp936::StreamEncoder encoder;
    ChunkWriter writer(file);
    QByteArray bytes = writer.spare(kChunk + 4096);
    const auto put = [&](QStringView s) {
        while (!s.isEmpty()) {
            const QStringView part = s.first(std::min<qsizetype>(s.size(), kChunk / 2));
            encoder.encode(part, bytes);
            s = s.sliced(part.size());
            if (bytes.size() >= kChunk) {
                writer.push(std::move(bytes));
                bytes = writer.spare(kChunk + 4096);
            }
        }
    };
    put(saveTimestamp(now));
    put(u"\r\n");
    writeText(put);
    put(u"\r\n");
    encoder.finish(bytes);
    writer.push(std::move(bytes));
    if (!writer.finish()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
