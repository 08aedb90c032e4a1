#include "receive/row_index.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace
{
constexpr int kCachedBlocks = 8;
}

// A stored block that comes back damaged is made again as starts spread
// evenly between its first and last ones: rows of about the right length, in
// order, so the rows around it are found and drawn as before.
static void spreadStarts(const std::pair<qint64, qint64> &bounds, QByteArray &page)
{
    auto *starts = reinterpret_cast<qint64 *>(page.data());
    const auto n = qint64(page.size() / qsizetype(sizeof(qint64)));
    const auto [first, last] = bounds;
    for (qint64 i = 0; i < n; ++i)
        starts[i] = n == 1 ? first : first + (last - first) * i / (n - 1);
}

RowIndex::RowIndex()
    : m_bounds(std::make_shared<std::vector<std::pair<qint64, qint64>>>()),
      m_store(
          std::make_unique<SpillStore>(kCachedBlocks, QString(),
                                       [bounds = m_bounds](SpillStore::Id id, QByteArray &page) {
                                           if (id < bounds->size())
                                               spreadStarts((*bounds)[id], page);
                                       })),
      m_open(std::make_unique_for_overwrite<qint64[]>(kBlock))
{
}

const qint64 *RowIndex::page(SpillStore::Id id) const
{
    return reinterpret_cast<const qint64 *>(m_store->get(id).constData());
}

void RowIndex::addRun(const Run &run)
{
    if (run.count == 0)
        return;
    m_runs.push_back(run);
    m_ends.push_back(sealedSize() + run.count);
}

// The open block's starts become a run of their own.
void RowIndex::seal()
{
    if (m_openUsed == 0)
        return;
    QByteArray bytes = m_store->takeSpare(); // no new memory while the stream goes on
    bytes.resize(qsizetype(m_openUsed * sizeof(qint64)));
    std::memcpy(bytes.data(), m_open.get(), m_openUsed * sizeof(qint64));
    const qint64 first = m_open[0];
    const auto count = quint32(m_openUsed);
    m_bounds->emplace_back(first, m_open[m_openUsed - 1]);
    m_openUsed = 0;
    addRun({m_store->put(std::move(bytes)), 0, count, 0, first});
}

void RowIndex::push_back(qint64 start)
{
    if (m_openUsed == kBlock)
        seal();
    m_open[m_openUsed++] = start;
    ++m_size;
}

// The run holding start i, and how many starts come before it.
static std::pair<std::size_t, std::size_t> runOf(const std::vector<std::size_t> &ends,
                                                 std::size_t i)
{
    const std::size_t r = std::size_t(std::upper_bound(ends.begin(), ends.end(), i) - ends.begin());
    return {r, r == 0 ? 0 : ends[r - 1]};
}

qint64 RowIndex::inRuns(const std::vector<Run> &runs, const std::vector<std::size_t> &ends,
                        std::size_t i) const
{
    const auto [r, before] = runOf(ends, i);
    const Run &run = runs[r];
    return page(run.page)[run.begin + (i - before)] + run.shift;
}

qint64 RowIndex::operator[](std::size_t i) const
{
    const std::size_t sealed = sealedSize();
    return i >= sealed ? m_open[i - sealed] : inRuns(m_runs, m_ends, i);
}

void RowIndex::truncate(std::size_t n)
{
    if (n >= m_size)
        return;
    const std::size_t sealed = sealedSize();
    if (n >= sealed) {
        m_openUsed = n - sealed;
    } else {
        // The runs are cut back; their pages stay unused in the store.
        const auto [r, before] = runOf(m_ends, n);
        m_runs.resize(r + 1);
        m_ends.resize(r + 1);
        m_runs[r].count = quint32(n - before);
        m_ends[r] = n;
        if (m_runs[r].count == 0) {
            m_runs.pop_back();
            m_ends.pop_back();
        }
        m_openUsed = 0;
    }
    m_size = n;
}

void RowIndex::clear()
{
    m_runs.clear();
    m_runs.shrink_to_fit();
    m_ends.clear();
    m_ends.shrink_to_fit();
    m_bounds->clear();
    m_store->clear();
    m_openUsed = 0;
    m_size = 0;
}

std::size_t RowIndex::lastNotAbove(qint64 v) const
{
    if (m_size == 0)
        return 0;
    const std::size_t sealed = sealedSize();
    if (m_openUsed > 0 && m_open[0] <= v) {
        const qint64 *data = m_open.get();
        return sealed + std::size_t(std::upper_bound(data, data + m_openUsed, v) - data) - 1;
    }
    // The run: the last whose first start is <= v.
    const auto it =
        std::upper_bound(m_runs.begin(), m_runs.end(), v,
                         [](qint64 value, const Run &run) { return value < run.first; });
    if (it == m_runs.begin())
        return 0;
    const std::size_t r = std::size_t(it - m_runs.begin()) - 1;
    const Run &run = m_runs[r];
    const qint64 *data = page(run.page) + run.begin;
    const std::size_t in =
        std::size_t(std::upper_bound(data, data + run.count, v - run.shift) - data);
    return (r == 0 ? 0 : m_ends[r - 1]) + in - 1;
}

qint64 RowIndex::memoryBytes() const
{
    return qint64(kBlock * sizeof(qint64) + m_runs.capacity() * sizeof(Run) +
                  m_ends.capacity() * sizeof(std::size_t)) +
           m_store->memoryBytes();
}

RowIndex::Kept RowIndex::keep() const
{
    return {m_runs, m_ends, std::vector<qint64>(m_open.get(), m_open.get() + m_openUsed), m_size};
}

qint64 RowIndex::at(const Kept &kept, std::size_t i) const
{
    const std::size_t sealed = kept.ends.empty() ? 0 : kept.ends.back();
    return i >= sealed ? kept.open[i - sealed] : inRuns(kept.runs, kept.ends, i);
}

void RowIndex::appendKept(const Kept &kept, std::size_t from, qint64 shift)
{
    if (from >= kept.size)
        return;
    seal(); // what was pushed so far comes before
    const std::size_t sealed = kept.ends.empty() ? 0 : kept.ends.back();
    if (from < sealed) {
        for (std::size_t r = runOf(kept.ends, from).first; r < kept.runs.size(); ++r) {
            Run run = kept.runs[r];
            const std::size_t before = r == 0 ? 0 : kept.ends[r - 1];
            if (from > before) { // the run is entered part way
                const auto skip = quint32(from - before);
                run.begin += skip;
                run.count -= skip;
                run.first = page(run.page)[run.begin] + run.shift;
            }
            run.shift += shift;
            run.first += shift;
            addRun(run);
            m_size += run.count;
        }
        from = sealed;
    }
    for (std::size_t i = from - sealed; i < kept.open.size(); ++i)
        push_back(kept.open[i] + shift);
}
