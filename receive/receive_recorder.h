#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Writes every received byte, as received, to a record file. The window's
// thread only copies the bytes into a buffer (buffers are used again); a thread of its own
// writes them out and has the system put them on the disk at least every
// kFlushMs, so the file is never more than a second behind the data.
class ReceiveRecorder : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFlushMs = 500;
    // Bytes waiting for the disk beyond this (a disk that cannot keep up with a
    // flood) end the recording as a write failure would.
    static constexpr qsizetype kMaxWaiting = 256 * 1024 * 1024;

    explicit ReceiveRecorder(QObject *parent = nullptr);
    ~ReceiveRecorder() override;

    // "rx-YYYYMMDD-HHMMSS.log" in folder, the local time now.
    static QString recordFilePath(const QString &folder, const QDateTime &now);

    // Starts recording into a new file at path (mode 0600), creating its folder
    // (with parents) when missing. When the name is taken (by a file, a link or
    // anything else), "-1" to "-99" is added before its extension; path() tells
    // the name used. Nothing is ever written through a link.
    bool start(const QString &path);
    static constexpr int kMaxSuffix = 99;
    static QString suffixed(const QString &path, int n);
    // Writes what is still waiting and closes the file.
    void stop();
    bool recording() const { return m_fd >= 0; }
    QString path() const { return m_path; }

    void record(QByteArrayView bytes);

signals:
    // Writing failed (no room, the disk gone); the recording has stopped, and
    // what was written before stays in the file. Raised on the window's thread.
    void failed(const QString &path);

private:
    void writer();
    void writerFailed(int generation);

    int m_fd = -1;
    int m_generation = 0; // which recording a failure report belongs to
    QString m_path;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    static constexpr qsizetype kBufferBytes = 1 << 20;
    static constexpr std::size_t kSpareBuffers = 8;
    struct Buffer {
        std::unique_ptr<char[]> data;
        qsizetype used = 0;
    };
    // All guarded by m_lock: buffers waiting for the writer, the one being
    // filled, and written ones kept for reuse.
    std::vector<Buffer> m_full;
    Buffer m_filling;
    std::vector<Buffer> m_spare;
    qsizetype m_waitingBytes = 0;
    bool m_stopping = false; // guarded by m_lock
    bool m_failed = false;   // guarded by m_lock
};
