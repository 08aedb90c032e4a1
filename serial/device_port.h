#pragma once

#include "serial/port.h"

#include <QThread>
#include <QTimer>
#include <memory>

class DeviceReader;
class NetworkLink;
class SerialWorker;

// A port on a serial device, over QSerialPort on an I/O thread of its own, or
// served on the network (rfc2217:// and tcp:// addresses) over the same thread.
// Received bytes are taken off the device by the window's thread under a
// trickle (in the wake-up that shows them) and by the I/O thread under a flood or
// while the window's thread is busy, so a busy window never lets the operating
// system's buffer overflow; what happened reaches the window on its own thread.
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
    friend class SerialWorker;
    friend class NetworkLink;
    void readOnWindowThread(quint64 session, int pause);
    void readNow();
    bool remoteLines() const;

    std::unique_ptr<DeviceReader> m_in;
    QTimer m_windowRead;
    QThread m_thread;
    SerialWorker *m_worker = nullptr;
    NetworkLink *m_network = nullptr; // on the I/O thread too
    bool m_remote = false;            // the opening is a network port's
};
