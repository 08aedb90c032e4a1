#pragma once

#include "serial/port.h"
#include "serial/port_settings.h"

#include <QByteArray>
#include <QString>
#include <atomic>

// One kind of device behind a DevicePort: a serial device, a port served on
// the network. The port calls these on its own thread; the link does the work
// on the port's I/O thread and reports through the port's Reports, tagged with
// the session of the opening they belong to.
class PortLink
{
public:
    virtual ~PortLink() = default;

    // Opens path for session. A link that connects (the network) only starts
    // here, true, and reports opened or openFailed later; connectsLater says so.
    // false: error and fault say why.
    virtual bool open(const QString &path, const LineSettings &settings, quint64 session,
                      QString *error, Port::Fault *fault) = 0;
    virtual bool connectsLater() const { return false; }
    virtual void close() = 0;
    // Queues bytes for the device; pending counts them until they are written.
    virtual void write(const QByteArray &bytes) = 0;
    // DTR and RTS, and a break of ms: false when the device has no control lines.
    virtual bool setLines(bool dtr, bool rts) = 0;
    virtual bool sendBreak(int ms) = 0;
    // Tells the modem lines' levels now and at every change, while on.
    virtual void watchLines(bool on) = 0;
    // Read as data comes, so that read times are exact to a few milliseconds.
    virtual void setExactReadTimes(bool) {}
    // Read the moment data comes, with no pause at all.
    virtual void setEagerReads(bool) {}

    // Bytes handed to write and not yet written to the device.
    std::atomic<qint64> pending{0};
};
