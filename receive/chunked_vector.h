#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// A growable array kept in fixed-size blocks: appending never moves what is
// already held, so a long run of appends has no reallocation spikes.
template <typename T, std::size_t BlockBits = 16>
class ChunkedVector
{
    static constexpr std::size_t kBlock = std::size_t(1) << BlockBits;

public:
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    void push_back(const T &v)
    {
        if ((m_size >> BlockBits) == m_blocks.size())
            m_blocks.push_back(std::make_unique_for_overwrite<T[]>(kBlock));
        (*this)[m_size++] = v;
    }

    T &operator[](std::size_t i) { return m_blocks[i >> BlockBits][i & (kBlock - 1)]; }
    const T &operator[](std::size_t i) const { return m_blocks[i >> BlockBits][i & (kBlock - 1)]; }
    const T &back() const { return (*this)[m_size - 1]; }

    // Keeps the first n elements.
    void truncate(std::size_t n)
    {
        if (n >= m_size)
            return;
        m_size = n;
        m_blocks.resize((n + kBlock - 1) >> BlockBits);
    }
    void clear() { truncate(0); }

    std::size_t memoryBytes() const { return m_blocks.size() * kBlock * sizeof(T); }

    // The index of the last element <= v in a sorted vector (0 when none).
    std::size_t lastNotAbove(const T &v) const
    {
        std::size_t lo = 0, hi = m_size;
        while (hi - lo > 1) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if ((*this)[mid] <= v)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }

private:
    std::vector<std::unique_ptr<T[]>> m_blocks;
    std::size_t m_size = 0;
};
