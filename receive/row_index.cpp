#include "receive/row_index.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int kCachedBlocks = 8;
}

RowIndex::RowIndex()
    : m_store(std::make_unique<SpillStore>(kCachedBlocks)),
      m_open(std::make_unique_for_overwrite<qint64[]>(kBlock))
{
}

const qint64 *RowIndex::block(std::size_t b) const
{
    if (b < m_sealed.size())
        return reinterpret_cast<const qint64 *>(m_store->get(m_sealed[b]).constData());
    return m_open.get();
}

void RowIndex::push_back(qint64 start)
{
    if (m_openUsed == kBlock) {
        QByteArray page = m_store->takeSpare(); // no new memory while the stream goes on
        page.resize(qsizetype(kBlock * sizeof(qint64)));
        std::memcpy(page.data(), m_open.get(), kBlock * sizeof(qint64));
        m_sealed.push_back(m_store->put(std::move(page)));
        m_firsts.push_back(m_open[0]);
        m_openUsed = 0;
    }
    m_open[m_openUsed++] = start;
    ++m_size;
}

qint64 RowIndex::operator[](std::size_t i) const
{
    return block(i / kBlock)[i % kBlock];
}

void RowIndex::truncate(std::size_t n)
{
    if (n >= m_size)
        return;
    const std::size_t b = n / kBlock;
    if (b < m_sealed.size()) {
        // The block holding the new end becomes the open one again; the blocks
        // after it are forgotten (their pages stay unused in the store).
        std::memcpy(m_open.get(), block(b), kBlock * sizeof(qint64));
        m_sealed.resize(b);
        m_firsts.resize(b);
    }
    m_openUsed = n - b * kBlock;
    m_size = n;
}

void RowIndex::clear()
{
    m_sealed.clear();
    m_sealed.shrink_to_fit();
    m_firsts.clear();
    m_firsts.shrink_to_fit();
    m_store->clear();
    m_openUsed = 0;
    m_size = 0;
}

std::size_t RowIndex::lastNotAbove(qint64 v) const
{
    if (m_size == 0)
        return 0;
    // The block: the last whose first start is <= v.
    std::size_t b;
    if (m_openUsed > 0 && m_open[0] <= v)
        b = m_sealed.size();
    else {
        const auto it = std::upper_bound(m_firsts.begin(), m_firsts.end(), v);
        if (it == m_firsts.begin())
            return 0;
        b = std::size_t(it - m_firsts.begin()) - 1;
    }
    const qint64 *data = block(b);
    const std::size_t n = b < m_sealed.size() ? kBlock : m_openUsed;
    const std::size_t in = std::size_t(std::upper_bound(data, data + n, v) - data);
    return in == 0 ? b * kBlock : b * kBlock + in - 1;
}

qint64 RowIndex::memoryBytes() const
{
    return qint64(kBlock * sizeof(qint64) + m_firsts.capacity() * sizeof(qint64) +
                  m_sealed.capacity() * sizeof(SpillStore::Id)) +
           m_store->memoryBytes();
}

RowIndex::Kept RowIndex::keep() const
{
    Kept k{m_sealed, std::make_unique_for_overwrite<qint64[]>(m_openUsed + 1), m_size};
    std::memcpy(k.open.get(), m_open.get(), m_openUsed * sizeof(qint64));
    return k;
}

qint64 RowIndex::at(const Kept &kept, std::size_t i) const
{
    const std::size_t b = i / kBlock;
    if (b < kept.sealed.size())
        return reinterpret_cast<const qint64 *>(m_store->get(kept.sealed[b]).constData())[i % kBlock];
    return kept.open[i % kBlock];
}
