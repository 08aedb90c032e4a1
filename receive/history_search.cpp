#include "receive/history_search.h"

#include <QMetaObject>
#include <algorithm>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

using Kind = DocumentSnapshot::Kind;

// A match inside one piece: down, starting at or after from; up, starting at or
// before from. Positions in the piece's shown characters.
qint64 inPiece(const DocumentSnapshot::Reader::View &v, qint64 chars, const TextNeedle &needle,
               bool down, qint64 from)
{
    if (v.damaged) {
        if (!needle.matchesRunOf(DisplayDocument::kGapMark) || chars < needle.length())
            return -1;
        if (down)
            return from <= chars - needle.length() ? from : -1;
        return std::min(from, chars - needle.length());
    }
    switch (v.kind) {
    case Kind::Text: {
        const auto *s = static_cast<const char16_t *>(v.data);
        return down ? needle.forward(s, qsizetype(v.units), qsizetype(from))
                    : needle.backward(s, qsizetype(v.units), qsizetype(from));
    }
    case Kind::Latin1: {
        const auto *s = static_cast<const uchar *>(v.data);
        return down ? needle.forward(s, qsizetype(v.units), qsizetype(from))
                    : needle.backward(s, qsizetype(v.units), qsizetype(from));
    }
    case Kind::Hex: {
        const auto *s = static_cast<const uchar *>(v.data);
        return down ? needle.forwardHex(s, v.units, from) : needle.backwardHex(s, v.units, from);
    }
    }
    return -1;
}

// A match that starts in piece i at or after lo, at or before hi, and runs on
// past the piece's end: looked for in the few characters around that end.
qint64 acrossEnd(const DocumentSnapshot &s, DocumentSnapshot::Reader &reader,
                 const TextNeedle &needle, bool down, std::size_t i, qint64 lo, qint64 hi)
{
    const qint64 end = s.pieceEnd(i);
    lo = std::max({lo, s.pieceStart(i), end - needle.length() + 1});
    hi = std::min(hi, end - 1);
    if (needle.length() < 2 || i + 1 >= s.pieceCount() || lo > hi)
        return -1;
    const QString window = reader.text(lo, hi + needle.length());
    const auto *w = reinterpret_cast<const char16_t *>(window.utf16());
    const qsizetype k =
        down ? needle.forward(w, window.size(), 0) : needle.backward(w, window.size(), hi - lo);
    return k >= 0 ? lo + k : -1;
}

} // namespace

qint64 searchPieces(const DocumentSnapshot &s, DocumentSnapshot::Reader &reader,
                    const TextNeedle &needle, SearchFrom from, std::size_t first, std::size_t end,
                    const std::atomic<bool> &stop, std::atomic<qint64> &done)
{
    const qint64 length = needle.length();
    end = std::min(end, s.pieceCount());
    if (length == 0 || first >= end)
        return -1;
    for (std::size_t n = 0; n < end - first && !stop.load(std::memory_order_relaxed); ++n) {
        const std::size_t i = from.down ? first + n : end - 1 - n;
        const qint64 start = s.pieceStart(i), chars = s.pieceEnd(i) - start;
        if (from.down) {
            if (s.pieceEnd(i) > from.origin) {
                const qint64 at = inPiece(reader.piece(i), chars, needle, true,
                                          std::max<qint64>(0, from.origin - start));
                if (at >= 0)
                    return start + at;
            }
            const qint64 across = acrossEnd(s, reader, needle, true, i, from.origin, s.size());
            if (across >= 0)
                return across;
        } else {
            const qint64 across = acrossEnd(s, reader, needle, false, i, 0, from.origin - length);
            if (across >= 0)
                return across;
            const qint64 lastStart = std::min(s.pieceEnd(i), from.origin) - length - start;
            if (lastStart >= 0) {
                const qint64 at = inPiece(reader.piece(i), chars, needle, false, lastStart);
                if (at >= 0)
                    return start + at;
            }
        }
        done.fetch_add(chars, std::memory_order_relaxed);
    }
    return -1;
}

struct HistorySearch::Job {
    std::shared_ptr<const DocumentSnapshot> snapshot;
    TextNeedle needle;
    SearchFrom from;
    std::vector<std::pair<std::size_t, std::size_t>>
        stretches;               // piece ranges, nearest the origin first
    std::vector<qint64> results; // by stretch
    qint64 total = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> best{SIZE_MAX}; // the nearest stretch with a match so far
    std::atomic<bool> stop{false};
    std::atomic<qint64> done{0};
    std::atomic<int> working{0};
};

HistorySearch::HistorySearch(QObject *parent) : QObject(parent) {}

HistorySearch::~HistorySearch()
{
    stop();
}

void HistorySearch::start(std::shared_ptr<const DocumentSnapshot> snapshot,
                          const TextNeedle &needle, SearchFrom from, int threads,
                          qint64 stretchChars, std::shared_ptr<void> loan)
{
    stop();
    m_loan = std::move(loan);
    auto job = std::make_shared<Job>();
    const DocumentSnapshot &s = *snapshot;
    job->needle = needle;
    job->from = from;
    // The pieces that can hold a match, cut into stretches.
    std::size_t first = 0, end = 0;
    if (from.down && from.origin < s.size() && s.pieceCount() > 0) {
        first = s.pieceAt(std::max<qint64>(from.origin, 0));
        end = s.pieceCount();
    } else if (!from.down && from.origin > 0 && s.pieceCount() > 0) {
        end = s.pieceAt(std::min(from.origin, s.size()) - 1) + 1;
    }
    const qint64 range = first < end ? s.pieceEnd(end - 1) - s.pieceStart(first) : 0;
    stretchChars = std::min(stretchChars, std::max(kMinStretchChars, range / 16));
    std::size_t at = first;
    while (at < end) {
        std::size_t to = at;
        qint64 chars = 0;
        while (to < end && chars < stretchChars)
            chars += s.pieceEnd(to) - s.pieceStart(to), ++to;
        job->stretches.emplace_back(at, to);
        job->total += chars;
        at = to;
    }
    if (!from.down)
        std::reverse(job->stretches.begin(), job->stretches.end());
    job->results.assign(job->stretches.size(), -1);
    job->snapshot = std::move(snapshot);
    m_job = job;
    const quint64 generation = ++m_generation;
    const int count =
        int(std::clamp<std::size_t>(job->stretches.size(), 1, std::size_t(std::max(threads, 1))));
    job->working = count;
    for (int t = 0; t < count; ++t)
        m_threads.emplace_back([this, job, generation] {
            pthread_setname_np(pthread_self(), "history-search");
            // The window and the port go first.
            setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
            work(*job);
            if (job->working.fetch_sub(1, std::memory_order_acq_rel) == 1 && !job->stop.load())
                QMetaObject::invokeMethod(
                    this, [this, generation] { answer(generation); }, Qt::QueuedConnection);
        });
}

void HistorySearch::work(Job &job)
{
    DocumentSnapshot::Reader reader(*job.snapshot);
    for (;;) {
        const std::size_t k = job.next.fetch_add(1);
        if (k >= job.stretches.size() || k > job.best.load() || job.stop.load())
            return;
        const auto [first, end] = job.stretches[k];
        const qint64 at = searchPieces(*job.snapshot, reader, job.needle, job.from, first, end,
                                       job.stop, job.done);
        job.results[k] = at;
        if (at >= 0) {
            std::size_t best = job.best.load();
            while (k < best && !job.best.compare_exchange_weak(best, k)) {
            }
        }
    }
}

void HistorySearch::answer(quint64 generation)
{
    if (generation != m_generation || !m_job)
        return;
    const std::shared_ptr<Job> job = std::move(m_job);
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    m_loan.reset();
    const std::size_t best = job->best.load();
    emit finished(best < job->results.size() ? job->results[best] : -1);
}

void HistorySearch::stop()
{
    if (m_job)
        m_job->stop = true;
    for (std::thread &t : m_threads)
        t.join();
    m_threads.clear();
    m_job.reset();
    m_loan.reset();
    ++m_generation;
}

double HistorySearch::progress() const
{
    if (!m_job || m_job->total == 0)
        return 0;
    return std::min(1.0,
                    double(m_job->done.load(std::memory_order_relaxed)) / double(m_job->total));
}
