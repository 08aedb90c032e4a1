#include "transmit/interval_timer.h"

IntervalTimer::IntervalTimer(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &IntervalTimer::timeout);
}

bool IntervalTimer::setInterval(qint64 ms)
{
    if (ms < 0 || ms > 65535)
        return false;
    m_interval = int(ms);
    apply();
    return true;
}

void IntervalTimer::setEnabled(bool enabled)
{
    m_enabled = enabled;
    apply();
}

void IntervalTimer::apply()
{
    if (m_enabled && m_interval > 0)
        m_timer.start(m_interval);
    else
        m_timer.stop();
}
