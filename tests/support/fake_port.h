#pragma once

#include "serial/port.h"

#include <QElapsedTimer>
#include <QSet>
#include <QStringList>

// A port whose device is memory: tests say which devices exist or are busy,
// push received bytes in and read back what was written.
class FakePort : public Port
{
    Q_OBJECT

public:
    using Port::Port;

    QSet<QString> available; // devices that open
    QSet<QString> busy;      // devices that exist but are in use
    QStringList log;         // "open <path> <baud>", "close"
    QByteArray written;
    LineSettings deviceSettings; // what the device was last opened with

    void receive(const QByteArray &bytes, qint64 msecs = -1)
    {
        deliverReceived(session(), bytes, msecs < 0 ? -1 : msecs * 1000);
    }
    void receiveAtUsecs(const QByteArray &bytes, qint64 usecs)
    {
        deliverReceived(session(), bytes, usecs);
    }
    void drain() { deliverDrained(session()); }
    void lose() { deliverLost(session()); }
    void fault(const QString &what) { deliverError(session(), what); }

    // Control lines: whether the device has them, and what was done to them.
    bool hasLines = true;
    struct LineChange {
        qint64 ms; // since the port was made
        bool dtr, rts;
    };
    QList<LineChange> lineChanges;
    QList<int> breaks; // their lengths in ms
    bool watching = false;
    void modemLines(const ModemLines &lines) { deliverModemLines(session(), lines); }

protected:
    bool openDevice(const QString &path, const LineSettings &settings, QString *error) override;
    void closeDevice() override { log << QStringLiteral("close"); }
    bool writeDevice(const QByteArray &bytes, QString *) override
    {
        written += bytes;
        return true;
    }
    bool setDeviceLines(bool dtr, bool rts) override
    {
        if (hasLines)
            lineChanges.append({m_clock.elapsed(), dtr, rts});
        return hasLines;
    }
    bool breakDevice(int ms) override
    {
        breaks.append(ms);
        return hasLines;
    }
    void watchDeviceLines(bool on) override { watching = on; }

private:
    QElapsedTimer m_clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
};
