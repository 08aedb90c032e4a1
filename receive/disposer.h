#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Lets go of things whose end is slow (a row index of gigabytes empties its
// temporary file when it goes: 160 ms for 2 GB of hex) on a thread of its own,
// so the window never waits for it. The thread belongs to the program: it
// finishes what it was given and is joined when the program ends.
class Disposer
{
public:
    static Disposer &instance();
    ~Disposer();

    template <typename T> void dispose(T &&thing)
    {
        auto held = std::make_shared<std::decay_t<T>>(std::forward<T>(thing));
        post([held]() mutable { held.reset(); });
    }

private:
    Disposer() = default;
    void post(std::function<void()> job);
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs; // guarded by m_mutex
    bool m_stop = false;                      // guarded by m_mutex
    std::thread m_thread;
};
