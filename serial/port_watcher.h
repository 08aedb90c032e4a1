#pragma once

#include "serial/port_lister.h"

#include <QObject>
#include <QTimer>
#include <functional>

// Takes a lost device up again when it returns. It remembers the device of
// every opening: its path and, for a USB device, its vendor and product ids and
// serial number, so that an adapter plugged back under another name is still
// found. While waiting it looks a few times a second (a stat of the path, and
// the port list, which is only listed anew when /dev changed). A network port
// has nothing to look at: it is tried after 1 s, then after twice as long each
// time, up to every 10 s, until an opening succeeds or the wait is stopped.
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    // Tries to open the device at path; true when it is open.
    using Opener = std::function<bool(const QString &path)>;

    explicit PortWatcher(PortLister *lister, QObject *parent = nullptr);
    void setLister(PortLister *lister) { m_lister = lister; }

    // The device just opened.
    void remember(const QString &path);
    // Waits for the remembered device; open is tried whenever a candidate is
    // there, until it succeeds or stop() is called.
    void waitForReturn(Opener open);
    void stop();
    bool isWaiting() const { return m_timer.isActive() || m_retry.isActive(); }
    // The device being waited for, or open now.
    QString path() const { return m_path; }

    static constexpr int kLookEveryMs = 250;
    static constexpr int kIdentifyAfterMs = 300;
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 10000;

private:
    void look();
    QString candidate();

    PortLister *m_lister;
    QString m_path;
    std::optional<PortInfo> m_identity;
    QTimer m_timer;
    QTimer m_retry;
    int m_retryMs = kFirstRetryMs;
    Opener m_open;
};
