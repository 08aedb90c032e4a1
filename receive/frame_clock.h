#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <vector>

// Paces the repaints that streaming data causes: everything asked for during one
// frame (the receive box, the counters) is done together at the frame's end, so
// the window is painted and flushed once per frame, at most 20 times a second.
class FrameClock : public QObject
{
public:
    static constexpr int kFrameMs = 50;

    static FrameClock &instance();

    // Runs f at the end of the current frame, once however often it is asked
    // for; nothing runs if owner is gone by then.
    void request(QObject *owner, std::function<void()> f);
    bool pending(const QObject *owner) const;

private:
    FrameClock();
    void tick();

    struct Request {
        QPointer<QObject> owner;
        std::function<void()> run;
    };
    std::vector<Request> m_requests;
    QTimer m_timer;
};
