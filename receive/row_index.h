#pragma once

#include "receive/spill_store.h"

#include <QtGlobal>
#include <memory>
#include <vector>

// Where each row of the receive box starts, for histories of any length: the
// starts go in blocks of 65,536, full blocks to a SpillStore of their own with
// only a few kept in memory, and the first start of every block stays in
// memory, so finding the row of a position reads one block.
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

    // The index as it is now, to be read while the index itself is cut back and
    // built again (the blocks stay in the store until clear()).
    struct Kept {
        std::vector<SpillStore::Id> sealed;
        std::unique_ptr<qint64[]> open;
        std::size_t size = 0;
    };
    Kept keep() const;
    qint64 at(const Kept &kept, std::size_t i) const;

private:
    const qint64 *block(std::size_t b) const;

    mutable std::unique_ptr<SpillStore> m_store;
    std::vector<SpillStore::Id> m_sealed;
    std::vector<qint64> m_firsts; // first start of each sealed block
    std::unique_ptr<qint64[]> m_open;
    std::size_t m_openUsed = 0;
    std::size_t m_size = 0;
};
