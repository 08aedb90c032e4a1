#include "receive/frame_clock.h"

#include <algorithm>

FrameClock &FrameClock::instance()
{
    static FrameClock clock;
    return clock;
}

FrameClock::FrameClock()
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kFrameMs);
    connect(&m_timer, &QTimer::timeout, this, &FrameClock::tick);
}

bool FrameClock::pending(const QObject *owner) const
{
    return std::any_of(m_requests.begin(), m_requests.end(),
                       [owner](const Request &r) { return r.owner == owner; });
}

void FrameClock::request(QObject *owner, std::function<void()> f)
{
    if (pending(owner))
        return;
    m_requests.push_back({owner, std::move(f)});
    if (!m_timer.isActive())
        m_timer.start();
}

void FrameClock::tick()
{
    std::vector<Request> due;
    due.swap(m_requests);
    for (Request &r : due)
        if (r.owner)
            r.run();
}
