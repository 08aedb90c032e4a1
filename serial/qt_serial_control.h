#pragma once

#include "serial/serial_control.h"

#include <QThread>
#include <QTimer>
#include <memory>

class DeviceReader;
class SerialWorker;

// The serial control over QSerialPort. The port lives on an I/O thread of its
// own. Received bytes are taken off the device by the window's thread under a
// trickle (in the wake-up that shows them) and by the I/O thread under a flood or
// while the window's thread is busy, so a busy window never lets the operating
// system's buffer overflow; the communication events reach the window on its
// own thread.
class QtSerialControl : public SerialControl
{
    Q_OBJECT

public:
    explicit QtSerialControl(QObject *parent = nullptr);
    ~QtSerialControl() override;

    // Bytes handed to the device side and not yet written to the device.
    qint64 pendingOutput() const;

    void setExactReadTimes(bool exact) override;

protected:
    bool openDevice(const QString &path, const LineSettings &settings, QString *error) override;
    void closeDevice() override;
    bool configureDevice(const LineSettings &settings, QString *error) override;
    bool writeDevice(const QByteArray &bytes, QString *error) override;
    void discardDeviceOutput() override;

private:
    friend class SerialWorker;
    void readOnWindowThread(quint64 session, int pause);
    void readNow();

    std::unique_ptr<DeviceReader> m_in;
    QTimer m_windowRead;
    QThread m_thread;
    SerialWorker *m_worker = nullptr;
};
