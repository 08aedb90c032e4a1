#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <vector>

// Paces the repaints that streaming data causes: everything asked for during one
// frame (the receive box, the counters) is done together at the frame's end, so
// the window is painted and flushed once per frame, at most every kFrameMs. A
// request after a quiet spell is done once the current event is handled, in the
// same wake-up, so the data it shows is not held back.
class FrameClock : public QObject
{
public:
    static constexpr int kFrameMs = 30;

    static FrameClock &instance();

    // Runs f at the end of the current frame, once however often it is asked
    // for; nothing runs if owner is gone by then.
    void request(QObject *owner, std::function<void()> f);
    bool pending(const QObject *owner) const;
    // Runs the frame now when it is due now (a request after a quiet spell),
    // instead of from the event loop a moment later.
    void runDue();

private:
    FrameClock();
    void tick();

    struct Request {
        QPointer<QObject> owner;
        std::function<void()> run;
    };
    std::vector<Request> m_requests;
    QTimer m_timer;
    QElapsedTimer m_lastFrame;
    bool m_ticking = false;
    bool m_dueNow = false;
};
