#include "serial/device_port.h"

#include "serial/network_link.h"
#include "serial/port_names.h"
#include "serial/serial_link.h"

DevicePort::DevicePort(QObject *parent) : Port(parent)
{
    m_thread.setObjectName(QStringLiteral("serial-io"));
    m_serial = std::make_unique<SerialLink>(reports(), &m_thread);
    m_network = std::make_unique<NetworkLink>(reports(), &m_thread);
    m_link = m_serial.get();
    m_thread.start();
}

// The links close on the I/O thread, which ends after them.
DevicePort::~DevicePort()
{
    m_serial.reset();
    m_network.reset();
    m_thread.quit();
    m_thread.wait();
}

PortLink *DevicePort::linkFor(const QString &path) const
{
    return isNetworkAddress(path) ? m_network.get() : m_serial.get();
}

qint64 DevicePort::pendingOutput() const
{
    return m_link->pending.load();
}

bool DevicePort::connectsLater(const QString &device) const
{
    return linkFor(device)->connectsLater();
}

bool DevicePort::openDevice(const QString &path, const LineSettings &settings, QString *error)
{
    m_link = linkFor(path);
    Fault fault = Fault::Other;
    const bool ok = m_link->open(path, settings, session(), error, &fault);
    if (!ok)
        setFault(fault);
    return ok;
}

void DevicePort::setEagerReads(bool eager)
{
    m_serial->setEagerReads(eager); // the network's reads come as they arrive anyway
}

void DevicePort::setExactReadTimes(bool exact)
{
    m_serial->setExactReadTimes(exact);
}

void DevicePort::closeDevice()
{
    m_link->close();
}

bool DevicePort::setDeviceLines(bool dtr, bool rts)
{
    return m_link->setLines(dtr, rts);
}

bool DevicePort::breakDevice(int ms)
{
    return m_link->sendBreak(ms);
}

void DevicePort::watchDeviceLines(bool on)
{
    m_link->watchLines(on);
}

// A sender that outpaces the line cannot grow memory without end.
bool DevicePort::writeDevice(const QByteArray &bytes, QString *error)
{
    const qint64 pending = m_link->pending.load();
    if (pending > 0 && pending + bytes.size() > kTransmitQueue) {
        *error = QStringLiteral("the transmit buffer is full");
        return false;
    }
    m_link->write(bytes);
    return true;
}
