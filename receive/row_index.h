#pragma once

#include "receive/spill_store.h"

#include <QtGlobal>
#include <memory>
#include <vector>

// Where each row of the receive box starts, for histories of any length. New
// starts fill an open block of 65,536; a full block goes to a SpillStore of its
// own, which keeps only a few in memory. The index is a list of runs, each a
// stretch of one stored block plus a shift added to every start in it, with
// its first start in memory, so finding the row of a position reads one block,
// and moving every row after an edit (appendKept) costs a few runs however many
// rows there are.
class RowIndex
{
public:
    static constexpr std::size_t kBlock = std::size_t(1) << 16;

    RowIndex();
    std::size_t size() const { return m_size; }
    void push_back(qint64 start);
    qint64 operator[](std::size_t i) const;
    qint64 back() const { return (*this)[m_size - 1]; }
    // Keeps the first n starts.
    void truncate(std::size_t n);
    void clear();
    // The index of the last start <= v (0 when none); the starts are ascending.
    std::size_t lastNotAbove(qint64 v) const;
    qint64 memoryBytes() const;
    qint64 fileBytes() const { return m_store->fileBytes(); }
    // Stored blocks that came back damaged (and were made again) since the last clear.
    int damagedPages() const { return m_store->damagedPages(); }
    // Waits until every full block is written out (tests).
    void settle() { m_store->settle(); }

    // The index as it is now, to be read while the index itself is cut back and
    // built again (the blocks stay in the store until clear()).
    struct Run {
        SpillStore::Id page;
        quint32 begin, count; // the stretch of the page
        qint64 shift;         // added to every start in it
        qint64 first;         // its first start, shift included
    };
    struct Kept {
        std::vector<Run> runs;
        std::vector<std::size_t> ends; // starts in runs [0, r]
        std::vector<qint64> open;
        std::size_t size = 0;
    };
    Kept keep() const;
    qint64 at(const Kept &kept, std::size_t i) const;
    // Appends starts [from, kept.size) of kept, each shifted by shift.
    void appendKept(const Kept &kept, std::size_t from, qint64 shift);

private:
    const qint64 *page(SpillStore::Id id) const;
    qint64 inRuns(const std::vector<Run> &runs, const std::vector<std::size_t> &ends,
                  std::size_t i) const;
    void seal();
    void addRun(const Run &run);
    std::size_t sealedSize() const { return m_ends.empty() ? 0 : m_ends.back(); }

    // Each stored block's first and last start, by its id in the store.
    std::shared_ptr<std::vector<std::pair<qint64, qint64>>> m_bounds;
    mutable std::unique_ptr<SpillStore> m_store;
    std::vector<Run> m_runs;
    std::vector<std::size_t> m_ends;
    std::unique_ptr<qint64[]> m_open;
    std::size_t m_openUsed = 0;
    std::size_t m_size = 0;
};
