#pragma once

#include "serial/port_link.h"

#include <QObject>
#include <QTimer>
#include <memory>

class DeviceReader;
class QThread;
class SerialWorker;

// A serial device (or a pseudo-terminal): QSerialPort on the port's I/O thread
// sets the line up and writes; the received bytes are read from a descriptor
// of our own, so that reading can be paced. Under a trickle they are taken off
// the device by the port's own thread (in the wake-up that shows them), and by
// the I/O thread under a flood or while the port's thread is busy, so a busy
// window never lets the operating system's buffer overflow.
class SerialLink : public QObject, public PortLink
{
public:
    // Lives on the port's thread; its worker on io, which must outlive it.
    SerialLink(Port::Reports reports, QThread *io);
    ~SerialLink() override;

    bool open(const QString &path, const LineSettings &settings, quint64 session, QString *error,
              Port::Fault *fault) override;
    void close() override;
    void write(const QByteArray &bytes) override;
    bool setLines(bool dtr, bool rts) override;
    bool sendBreak(int ms) override;
    void watchLines(bool on) override;
    void setExactReadTimes(bool exact) override;
    void setEagerReads(bool eager) override;

private:
    void readOnWindowThread(quint64 session, int pause);
    void readNow();

    std::unique_ptr<DeviceReader> m_in;
    SerialWorker *m_worker; // on the I/O thread
    Port::Reports m_reports;
    QTimer m_windowRead;
};
