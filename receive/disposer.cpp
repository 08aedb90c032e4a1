#include "receive/disposer.h"

#include <pthread.h>

Disposer &Disposer::instance()
{
    static Disposer disposer;
    return disposer;
}

Disposer::~Disposer()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void Disposer::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
        if (!m_thread.joinable())
            m_thread = std::thread(&Disposer::loop, this);
    }
    m_wake.notify_one();
}

void Disposer::loop()
{
    pthread_setname_np(pthread_self(), "disposer");
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty()) // stopping, with nothing left to do
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
    }
}
