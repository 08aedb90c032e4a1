#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

// A figure from /proc/self/status in kB, such as "VmRSS:" or "VmHWM:".
inline qint64 procStatusKb(const char *key)
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    return 0;
}

// Starts a new peak for VmHWM.
inline void resetPeakRss()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}
