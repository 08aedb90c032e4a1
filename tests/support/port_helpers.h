#pragma once

#include "serial/port.h"
#include "serial/port_settings.h"

#include <QStringList>
#include <utility>

// Line settings written as the status line shows them, "9600,N,8,1".
inline LineSettings line(const QString &text)
{
    const QStringList f = text.split(u',');
    const auto ls =
        lineSettings({1, {}, f.value(0), f.value(1), f.value(2).toInt(), f.value(3).toDouble()});
    if (!ls)
        qFatal("unreadable line settings %s", qPrintable(text));
    return *ls;
}

// Everything a port delivered, in order, kept until taken.
class ReceivedBytes : public QObject
{
public:
    explicit ReceivedBytes(Port &port)
    {
        connect(&port, &Port::received, this,
                [this](const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals) {
                    m_bytes += bytes;
                    ++deliveries;
                    lastArrivals = arrivals;
                });
    }
    qsizetype size() const { return m_bytes.size(); }
    QByteArray take() { return std::exchange(m_bytes, QByteArray()); }

    int deliveries = 0;
    std::vector<Port::Arrival> lastArrivals;

private:
    QByteArray m_bytes;
};
