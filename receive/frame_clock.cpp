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
    m_timer.setTimerType(Qt::PreciseTimer);
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
    if (m_timer.isActive() || m_ticking)
        return;
    const qint64 since = m_lastFrame.isValid() ? m_lastFrame.elapsed() : kFrameMs;
    m_dueNow = since >= kFrameMs;
    m_timer.start(int(std::max<qint64>(0, kFrameMs - since)));
}

void FrameClock::runDue()
{
    if (!m_dueNow || m_ticking)
        return;
    m_timer.stop();
    tick();
}

void FrameClock::tick()
{
    m_ticking = true;
    m_dueNow = false;
    m_lastFrame.start();
    // What the frame's own work asks for (a scroll bar looking at its new
    // range) belongs to the same frame.
    for (int round = 0; round < 4 && !m_requests.empty(); ++round) {
        std::vector<Request> due;
        due.swap(m_requests);
        for (Request &r : due)
            if (r.owner)
                r.run();
    }
    m_ticking = false;
    if (!m_requests.empty())
        m_timer.start(kFrameMs);
}
