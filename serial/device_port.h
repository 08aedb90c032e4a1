#pragma once

#include "serial/port.h"

#include <QThread>
#include <memory>

class PortLink;

// A port on a real device: a serial device, or a port served on the network
// (rfc2217:// and tcp:// addresses), each through a link of its own kind on
// one I/O thread. What happened reaches the window on its own thread.
class DevicePort : public Port
{
    Q_OBJECT

public:
    explicit DevicePort(QObject *parent = nullptr);
    ~DevicePort() override;

    // Bytes handed to the device side and not yet written to the device.
    qint64 pendingOutput() const;
    // Writes are refused while this much waits; a single write into an empty
    // queue goes out whole, however large.
    static constexpr qint64 kTransmitQueue = 4096;

    void setExactReadTimes(bool exact) override;
    void setEagerReads(bool eager) override;

    // The thread the device side runs on (tests keep it busy).
    QThread *ioThread() { return &m_thread; }

protected:
    bool openDevice(const QString &path, const LineSettings &settings, QString *error) override;
    bool connectsLater(const QString &device) const override;
    void closeDevice() override;
    bool writeDevice(const QByteArray &bytes, QString *error) override;
    bool setDeviceLines(bool dtr, bool rts) override;
    bool breakDevice(int ms) override;
    void watchDeviceLines(bool on) override;

private:
    PortLink *linkFor(const QString &path) const;

    QThread m_thread;
    std::unique_ptr<PortLink> m_serial;
    std::unique_ptr<PortLink> m_network;
    PortLink *m_link; // of the last opening
};
