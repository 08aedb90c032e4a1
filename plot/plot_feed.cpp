#include "plot/plot_feed.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>

namespace
{
// LF, CR and CR LF each end a line.
qint64 lineEnds(const QByteArray &bytes)
{
    qint64 n = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i)
        n += bytes[i] == '\n' ? (i == 0 || bytes[i - 1] != '\r') : bytes[i] == '\r';
    return n;
}
} // namespace

PlotFeed::PlotFeed(qint64 startMs, QObject *parent)
    : QObject(parent), m_startMs(startMs), m_store(startMs)
{
    m_thread = std::thread([this] { run(); });
}

PlotFeed::~PlotFeed()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void PlotFeed::take(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals)
{
    if (bytes.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        if (m_waiting + bytes.size() > kMaxWaiting) {
            m_skipped += lineEnds(bytes);
            m_cut = true;
            return;
        }
        m_queue.push_back({bytes, arrivals, std::exchange(m_cut, false), false});
        m_waiting += bytes.size();
        if (!m_sleeping)
            return; // busy: it takes everything queued when it next looks
    }
    m_wake.notify_one();
}

void PlotFeed::restart()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_queue.push_back({{}, {}, false, true});
    }
    m_wake.notify_one();
}

bool PlotFeed::setPattern(const QString &pattern, QString *why)
{
    plot::NumberReader reader;
    if (!reader.setPattern(pattern, why))
        return false;
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_next = reader;
    m_newReader = true;
    return true;
}

void PlotFeed::clear()
{
    {
        std::lock_guard<std::mutex> lock(m_storeLock);
        m_store.clear();
    }
    m_skipped = 0;
    ++m_revision;
}

bool PlotFeed::idle() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_queue.empty() && !m_busy;
}

void PlotFeed::run()
{
    pthread_setname_np(pthread_self(), "plot");
    Batch batch;
    for (;;) {
        std::deque<Piece> pieces;
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_busy = false;
            m_sleeping = true;
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            m_sleeping = false;
            if (m_stop)
                return;
            pieces.swap(m_queue);
            m_waiting = 0;
            m_busy = true;
            if (std::exchange(m_newReader, false))
                m_reader = m_next;
        }
        batch.readings.clear();
        batch.lines.clear();
        for (const Piece &p : pieces)
            readPiece(p, batch);
        if (batch.lines.empty())
            continue;
        // A few hundred lines at a time: the window's frames read the store
        // on the receive path's thread, which must never wait long for it.
        constexpr std::size_t kLinesPerLock = 256;
        std::size_t from = 0;
        for (std::size_t l = 0; l < batch.lines.size(); l += kLinesPerLock) {
            std::lock_guard<std::mutex> lock(m_storeLock);
            for (std::size_t k = l; k < std::min(batch.lines.size(), l + kLinesPerLock); ++k) {
                const auto &[ms, end] = batch.lines[k];
                m_store.add(ms, batch.readings.data() + from, end - from);
                from = end;
            }
        }
        ++m_revision;
    }
}

void PlotFeed::readPiece(const Piece &p, Batch &batch)
{
    if (p.restart || p.cut) {
        m_line.clear();
        m_dropLine = p.cut; // its beginning was skipped
        m_lastWasCr = false;
        if (p.restart)
            return;
    }
    const char *s = p.bytes.constData();
    const qsizetype n = p.bytes.size();
    std::size_t arrival = 0;
    // The next CR and LF, found a stretch at a time (memchr is fast).
    const char *nextLf = static_cast<const char *>(std::memchr(s, '\n', std::size_t(n)));
    const char *nextCr = static_cast<const char *>(std::memchr(s, '\r', std::size_t(n)));
    for (qsizetype i = 0; i < n; ++i) {
        if (nextLf && nextLf < s + i)
            nextLf = static_cast<const char *>(std::memchr(s + i, '\n', std::size_t(n - i)));
        if (nextCr && nextCr < s + i)
            nextCr = static_cast<const char *>(std::memchr(s + i, '\r', std::size_t(n - i)));
        const char *end = nextLf && (!nextCr || nextLf < nextCr) ? nextLf : nextCr;
        const qsizetype stop = end ? end - s : n;
        QByteArrayView line = m_line; // what ends at i
        if (stop > i) {
            if (end && m_line.isEmpty()) {
                line = QByteArrayView(s + i, stop - i); // whole in this piece: read in place
            } else {
                // A longer line is not read: no need to keep it all.
                const qsizetype room = plot::NumberReader::kMaxLine + 1 - m_line.size();
                if (room > 0)
                    m_line.append(s + i, std::min(room, stop - i));
                line = m_line;
            }
            m_lastWasCr = false;
            i = stop;
            if (i >= n)
                break;
        }
        const char c = s[i];
        const bool second = c == '\n' && m_lastWasCr; // the LF of a CR LF
        m_lastWasCr = c == '\r';
        if (second)
            continue;
        if (!m_dropLine && !line.isEmpty()) {
            const std::size_t before = batch.readings.size();
            m_reader.read(line, batch.readings);
            if (batch.readings.size() > before) {
                while (arrival + 1 < p.arrivals.size() && p.arrivals[arrival].end <= i)
                    ++arrival;
                const qint64 usecs =
                    p.arrivals.empty() ? Port::nowUsecs() : p.arrivals[arrival].usecs;
                const qint64 ms = std::clamp<qint64>(usecs / 1000 - m_startMs, 0, 0xffffffffLL);
                batch.lines.emplace_back(quint32(ms), batch.readings.size());
            }
        }
        m_line.clear();
        m_dropLine = false;
    }
}
