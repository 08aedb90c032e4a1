#pragma once

#include "serial/serial_control.h"

#include <QThread>

class SerialWorker;

// The serial control over QSerialPort. The port lives on an I/O thread of its
// own that takes received bytes off the device as soon as they arrive, so a busy
// window never lets the operating system's buffer overflow; the communication
// events still reach the window on its own thread.
class QtSerialControl : public SerialControl
{
    Q_OBJECT

public:
    explicit QtSerialControl(QObject *parent = nullptr);
    ~QtSerialControl() override;

    // Bytes handed to the device side and not yet written to the device.
    qint64 pendingOutput() const;

protected:
    bool openDevice(const QString &path, const LineSettings &settings, QString *error) override;
    void closeDevice() override;
    bool configureDevice(const LineSettings &settings, QString *error) override;
    bool writeDevice(const QByteArray &bytes, QString *error) override;
    void discardDeviceOutput() override;

private:
    friend class SerialWorker;
    QThread m_thread;
    SerialWorker *m_worker = nullptr;
};
