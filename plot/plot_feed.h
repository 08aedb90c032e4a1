#pragma once

#include "plot/number_reader.h"
#include "plot/series_store.h"
#include "serial/port.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Feeds the plot from what the port received, off the receive path: take()
// only queues the bytes (a few microseconds), and a thread of the feed's own
// splits them into lines (LF, CR or CR LF end one), reads their numbers and
// keeps them in the store, each line at the read time of its last byte.
// When more than kMaxWaiting bytes wait, what comes is not queued: its lines
// are counted (skippedLines), and the line it cut is dropped whole.
class PlotFeed : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kMaxWaiting = 16 << 20;

    // startMs: the plot's beginning, in milliseconds since the epoch.
    explicit PlotFeed(qint64 startMs, QObject *parent = nullptr);
    ~PlotFeed() override;

    void take(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);
    // A new stream begins: the line under way is dropped.
    void restart();
    // As NumberReader's; lines read from now on use it.
    bool setPattern(const QString &pattern, QString *why);
    void clear();

    // The store, held while f runs (briefly: the reading thread waits).
    template <typename F> void read(F &&f) const
    {
        std::lock_guard<std::mutex> lock(m_storeLock);
        f(m_store);
    }
    // Grows whenever values are added or cleared.
    quint64 revision() const { return m_revision.load(); }
    qint64 skippedLines() const { return m_skipped.load(); }
    // Everything taken so far has been read (for tests and benchmarks).
    bool idle() const;

private:
    struct Piece {
        QByteArray bytes;
        std::vector<Port::Arrival> arrivals;
        bool cut = false; // what came before it was skipped
        bool restart = false;
    };
    void run();
    // What a batch of pieces held: every line's readings one after the
    // other, and for each line its time and where its readings end.
    struct Batch {
        std::vector<plot::Reading> readings;
        std::vector<std::pair<quint32, std::size_t>> lines;
    };
    void readPiece(const Piece &p, Batch &batch);

    const qint64 m_startMs;
    mutable std::mutex m_storeLock;
    plot::SeriesStore m_store; // guarded by m_storeLock

    mutable std::mutex m_queueLock;
    std::condition_variable m_wake;
    std::deque<Piece> m_queue; // guarded by m_queueLock
    qsizetype m_waiting = 0;   // guarded by m_queueLock
    bool m_busy = false;       // guarded by m_queueLock
    bool m_sleeping = false;   // guarded by m_queueLock: waiting for pieces
    bool m_cut = false;        // guarded by m_queueLock
    bool m_stop = false;       // guarded by m_queueLock
    plot::NumberReader m_next; // guarded by m_queueLock; taken by the thread
    bool m_newReader = false;  // guarded by m_queueLock

    // The reading thread's own.
    plot::NumberReader m_reader;
    QByteArray m_line;
    bool m_dropLine = false;
    bool m_lastWasCr = false;

    std::atomic<quint64> m_revision{0};
    std::atomic<qint64> m_skipped{0};
    std::thread m_thread;
};
