#pragma once

#include <QObject>
#include <QTimer>

// A timer with a period of 0 to 65,535 ms that fires while it is enabled and its
// period is above 0. It starts enabled with period 0, so it is idle until given
// a period. Changing the period or enabling it starts a full period afresh.
class IntervalTimer : public QObject
{
    Q_OBJECT

public:
    explicit IntervalTimer(QObject *parent = nullptr);

    // Refuses periods outside 0 to 65,535 and keeps the old one.
    bool setInterval(qint64 ms);
    int interval() const { return m_interval; }
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    bool isFiring() const { return m_timer.isActive(); }

signals:
    void timeout();

private:
    void apply();

    QTimer m_timer;
    int m_interval = 0;
    bool m_enabled = true;
};
