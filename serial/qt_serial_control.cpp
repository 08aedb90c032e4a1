#include "serial/qt_serial_control.h"

#include "serial/parity_marks.h"

#include <QMetaObject>
#include <QtSerialPort/QSerialPort>
#include <algorithm>
#include <atomic>

// Lives on the I/O thread; every member but pending is touched there only.
class SerialWorker : public QObject
{
public:
    explicit SerialWorker(QtSerialControl *owner) : m_owner(owner) {}

    bool open(const QString &path, const LineSettings &ls, quint64 session, QString *error)
    {
        if (!m_port) {
            m_port = new QSerialPort(this);
            connect(m_port, &QSerialPort::readyRead, this, [this] { readAll(); });
            connect(m_port, &QSerialPort::bytesWritten, this, [this](qint64 n) { written(n); });
            connect(m_port, &QSerialPort::errorOccurred, this,
                    [this](QSerialPort::SerialPortError e) { failed(e); });
        }
        m_port->setPortName(path);
        m_port->setReadBufferSize(0);
        if (!apply(ls, error))
            return false;
        m_port->setFlowControl(QSerialPort::NoFlowControl);
        if (!m_port->open(QIODevice::ReadWrite)) {
            *error = m_port->errorString();
            m_port->clearError();
            return false;
        }
        // Pseudo-terminals and some adapters have no modem lines; that is no reason
        // to refuse the port.
        m_port->setDataTerminalReady(true);
        m_port->setRequestToSend(false);
        m_port->clearError();
        m_session = session;
        pending = 0;
        markParityErrors(ls);
        return true;
    }

    // QSerialPort leaves parity unchecked; the driver's own marking lets a byte
    // with a parity error show as "?".
    void markParityErrors(const LineSettings &ls)
    {
        m_marking = parity::setMarking(int(m_port->handle()), ls.parity != QSerialPort::NoParity);
        m_marks.reset();
    }

    bool apply(const LineSettings &ls, QString *error)
    {
        if (ls.dataBits < QSerialPort::Data5) {
            *error = QStringLiteral("unsupported number of data bits");
            return false;
        }
        const bool ok = m_port->setBaudRate(ls.baud) && m_port->setDataBits(ls.dataBits) &&
                        m_port->setParity(ls.parity) && m_port->setStopBits(ls.stopBits);
        if (!ok) {
            *error = m_port->errorString();
            m_port->clearError();
        } else if (m_port->isOpen()) {
            markParityErrors(ls);
        }
        return ok;
    }

    void close()
    {
        if (m_port && m_port->isOpen())
            m_port->close();
        pending = 0;
    }

    void write(const QByteArray &bytes)
    {
        if (!m_port || !m_port->isOpen()) {
            pending -= bytes.size();
            return;
        }
        if (m_port->write(bytes) != bytes.size())
            pending -= bytes.size();
    }

    void discardOutput()
    {
        if (m_port && m_port->isOpen())
            m_port->clear(QSerialPort::Output);
        pending = 0;
    }

    std::atomic<qint64> pending{0};

private:
    void readAll()
    {
        const QByteArray read = m_port->readAll();
        const QByteArray bytes = m_marking ? m_marks.take(read) : read;
        if (!bytes.isEmpty())
            m_owner->deliverReceived(m_session, bytes);
    }

    void written(qint64 n)
    {
        pending -= n;
        if (m_port->bytesToWrite() == 0)
            m_owner->deliverDrained(m_session);
    }

    void failed(QSerialPort::SerialPortError e)
    {
        // A device that went away (adapter pulled, far end of a pseudo-terminal
        // closed) keeps signalling, as a resource error or as reads that fail
        // (EIO); close at once so nothing spins on it.
        const bool gone = e == QSerialPort::ResourceError || e == QSerialPort::ReadError;
        if (!gone || !m_port->isOpen())
            return;
        m_port->close();
        pending = 0;
        m_owner->deliverLost(m_session);
    }

    QtSerialControl *m_owner;
    QSerialPort *m_port = nullptr;
    quint64 m_session = 0;
    bool m_marking = false;
    parity::MarkReader m_marks;
};

namespace {
template <typename F>
void runOn(QObject *target, F &&f)
{
    QMetaObject::invokeMethod(target, std::forward<F>(f), Qt::BlockingQueuedConnection);
}
} // namespace

QtSerialControl::QtSerialControl(QObject *parent) : SerialControl(parent)
{
    m_thread.setObjectName(QStringLiteral("serial-io"));
    m_worker = new SerialWorker(this);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

QtSerialControl::~QtSerialControl()
{
    // Close and destroy the port on the thread it lives on.
    runOn(m_worker, [w = m_worker] {
        w->close();
        delete w;
    });
    m_thread.quit();
    m_thread.wait();
}

qint64 QtSerialControl::pendingOutput() const
{
    return m_worker->pending.load();
}

bool QtSerialControl::openDevice(const QString &path, const LineSettings &settings, QString *error)
{
    bool ok = false;
    const quint64 s = session();
    runOn(m_worker, [&] { ok = m_worker->open(path, settings, s, error); });
    return ok;
}

void QtSerialControl::closeDevice()
{
    runOn(m_worker, [&] { m_worker->close(); });
}

bool QtSerialControl::configureDevice(const LineSettings &settings, QString *error)
{
    bool ok = false;
    runOn(m_worker, [&] { ok = m_worker->apply(settings, error); });
    return ok;
}

bool QtSerialControl::writeDevice(const QByteArray &bytes, QString *error)
{
    // The transmit queue holds at most the output buffer's size, so a sender that
    // outpaces the line cannot grow memory without end; a single write into an
    // empty queue goes out whole, however large.
    const qint64 pending = m_worker->pending.load();
    if (pending > 0 && pending + bytes.size() > std::max(outBufferSize(), 1)) {
        *error = QStringLiteral("the transmit buffer is full");
        return false;
    }
    m_worker->pending += bytes.size();
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, bytes] { w->write(bytes); }, Qt::QueuedConnection);
    return true;
}

void QtSerialControl::discardDeviceOutput()
{
    runOn(m_worker, [&] { m_worker->discardOutput(); });
}
