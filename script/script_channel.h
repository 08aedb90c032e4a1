#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Between a script's thread and the port's: what was received (handed in by
// the thread that read it), what became of the port, the answers to what the
// script asked of the port, and a request to stop. The script's thread waits
// here for any of them.
class ScriptChannel
{
public:
    // At most this much waits to be taken (a script busy computing while the
    // device floods): the oldest goes first, and is counted as skipped.
    static constexpr qsizetype kMaxWaiting = 2 << 20;

    enum class PortState { Closed, Open, Awaiting };
    enum class Stop { None, User, Time };

    // Any thread.
    void received(const QByteArray &bytes);
    void restarted(); // the port was opened again: a new stream begins
    void portChanged(PortState state, const QString &lostWhy = {});
    void stop(Stop why);

    // A request's answer, filled on the port's thread and waited for on the script's.
    struct Answer {
        bool done = false;
        QString error; // empty: it went well
        bool flag = false;
    };
    using Reply = std::function<void(const QString &error, bool flag)>;
    std::shared_ptr<Answer> newAnswer() { return std::make_shared<Answer>(); }
    Reply replyTo(const std::shared_ptr<Answer> &answer);

    // The script's thread.
    struct Piece {
        QByteArray bytes;
        bool restart = false; // the stream began again before these bytes
    };
    struct Taken {
        std::deque<Piece> pieces;
        qint64 skipped = 0;
    };
    Taken take();
    // Waits until something was received, the port changed, a stop was asked
    // for, or deadline (a steady-clock time in ms; -1: none) passed.
    void wait(qint64 deadline);
    // Waits until answer is done (true, with its error and flag) or a stop
    // was asked for (false).
    bool waitFor(const Answer &answer, QString *error, bool *flag);
    Stop stopped() const { return m_stopNow.load(std::memory_order_relaxed); }
    PortState portState() const;
    // How many times the port was lost, and why the last time.
    int losses() const;
    QString lostWhy() const;
    static qint64 now(); // steady clock, ms

private:
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Piece> m_pieces;
    qsizetype m_waiting = 0;
    qint64 m_skipped = 0;
    bool m_restartNext = false;
    bool m_news = false;
    PortState m_state = PortState::Closed;
    int m_losses = 0;
    QString m_lostWhy;
    Stop m_stop = Stop::None;
    std::atomic<Stop> m_stopNow{Stop::None}; // m_stop, read without the lock
};
