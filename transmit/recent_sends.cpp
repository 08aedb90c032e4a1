#include "transmit/recent_sends.h"

void RecentSends::add(const Entry &e)
{
    m_entries.removeAll(e);
    m_entries.prepend(e);
    if (m_entries.size() > kMax)
        m_entries.resize(kMax);
    m_at = -1;
}

std::optional<RecentSends::Entry> RecentSends::older(const Entry &draft)
{
    if (m_at + 1 >= m_entries.size())
        return std::nullopt;
    if (m_at < 0)
        m_draft = draft;
    return m_entries[++m_at];
}

std::optional<RecentSends::Entry> RecentSends::newer()
{
    if (m_at < 0)
        return std::nullopt;
    --m_at;
    return m_at < 0 ? m_draft : m_entries[m_at];
}
