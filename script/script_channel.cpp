#include "script/script_channel.h"

#include <chrono>

void ScriptChannel::received(const QByteArray &bytes)
{
    {
        std::lock_guard lock(m_lock);
        m_pieces.push_back({bytes, std::exchange(m_restartNext, false)});
        m_waiting += bytes.size();
        while (m_waiting > kMaxWaiting && m_pieces.size() > 1) {
            m_waiting -= m_pieces.front().bytes.size();
            m_skipped += m_pieces.front().bytes.size();
            m_pieces.pop_front();
        }
        m_news = true;
    }
    m_wake.notify_all();
}

void ScriptChannel::restarted()
{
    std::lock_guard lock(m_lock);
    m_restartNext = true;
}

void ScriptChannel::portChanged(PortState state, const QString &lostWhy)
{
    {
        std::lock_guard lock(m_lock);
        const bool lost = !lostWhy.isEmpty();
        m_state = state;
        if (lost) {
            ++m_losses;
            m_lostWhy = lostWhy;
        }
        m_news = true;
    }
    m_wake.notify_all();
}

void ScriptChannel::stop(Stop why)
{
    {
        std::lock_guard lock(m_lock);
        if (m_stop == Stop::None) {
            m_stop = why;
            m_stopNow = why;
        }
    }
    m_wake.notify_all();
}

ScriptChannel::Reply ScriptChannel::replyTo(const std::shared_ptr<Answer> &answer)
{
    return [this, answer](const QString &error, bool flag) {
        {
            std::lock_guard lock(m_lock);
            answer->error = error;
            answer->flag = flag;
            answer->done = true;
        }
        m_wake.notify_all();
    };
}

ScriptChannel::Taken ScriptChannel::take()
{
    std::lock_guard lock(m_lock);
    Taken t;
    t.pieces.swap(m_pieces);
    t.skipped = std::exchange(m_skipped, 0);
    m_waiting = 0;
    m_news = false;
    return t;
}

void ScriptChannel::wait(qint64 deadline)
{
    std::unique_lock lock(m_lock);
    const auto ready = [&] { return m_news || !m_pieces.empty() || m_stop != Stop::None; };
    if (deadline < 0) {
        m_wake.wait(lock, ready);
        return;
    }
    const auto until = std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline));
    m_wake.wait_until(lock, until, ready);
}

bool ScriptChannel::waitFor(const Answer &answer, QString *error, bool *flag)
{
    std::unique_lock lock(m_lock);
    m_wake.wait(lock, [&] { return answer.done || m_stop != Stop::None; });
    if (!answer.done)
        return false;
    *error = answer.error;
    *flag = answer.flag;
    return true;
}

ScriptChannel::PortState ScriptChannel::portState() const
{
    std::lock_guard lock(m_lock);
    return m_state;
}

int ScriptChannel::losses() const
{
    std::lock_guard lock(m_lock);
    return m_losses;
}

QString ScriptChannel::lostWhy() const
{
    std::lock_guard lock(m_lock);
    return m_lostWhy;
}

qint64 ScriptChannel::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
