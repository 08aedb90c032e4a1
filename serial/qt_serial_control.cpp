#include "serial/qt_serial_control.h"

#include "serial/parity_marks.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QtSerialPort/QSerialPort>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// Lives on the I/O thread; every member but pending is touched there only.
//
// QSerialPort sets the line up and writes; the received bytes are read here from
// a descriptor of our own, so that reading can be paced: under a trickle the
// device is read at most every kReadPauseMs (the driver keeps what arrives
// meanwhile), which spares the machine hundreds of wake-ups a second at the
// usual rates; under a flood it is read as fast as data comes.
class SerialWorker : public QObject
{
public:
    static constexpr int kReadPauseMs = 50;
    // The driver hands over at most 4 KB a read (and keeps up to 64 KB more
    // behind it). The pause is cut short so that no more than kPauseFill is
    // expected to gather meanwhile, at the rate seen so far, and a read of
    // kBusyRead or more (a flood) is followed by no pause.
    static constexpr qsizetype kPauseFill = 3072;
    static constexpr qsizetype kBusyRead = 3584;
    static constexpr qint64 kFloodBytesPerSecond = 256 * 1024;
    static constexpr qint64 kRateWindowMs = 50;

    // Created before the move to the I/O thread: its timer, a child, moves along.
    explicit SerialWorker(QtSerialControl *owner) : m_owner(owner), m_pause(new QTimer(this))
    {
        m_pause->setSingleShot(true);
        m_pause->setTimerType(Qt::PreciseTimer);
        connect(m_pause, &QTimer::timeout, this, [this] {
            if (m_reader)
                m_reader->setEnabled(true);
        });
    }

    bool open(const QString &path, const LineSettings &ls, quint64 session, QString *error)
    {
        if (!m_port) {
            m_port = new QSerialPort(this);
            connect(m_port, &QSerialPort::bytesWritten, this, [this](qint64 n) { written(n); });
            connect(m_port, &QSerialPort::errorOccurred, this,
                    [this](QSerialPort::SerialPortError e) { failed(e); });
        }
        m_port->setPortName(path);
        if (!apply(ls, error))
            return false;
        m_port->setFlowControl(QSerialPort::NoFlowControl);
        // Our descriptor first: QSerialPort makes the device exclusive once it
        // has it open, and then only root could open it again.
        m_readFd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_readFd < 0) {
            *error = QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        if (!m_port->open(QIODevice::WriteOnly)) {
            *error = m_port->errorString();
            m_port->clearError();
            ::close(m_readFd);
            m_readFd = -1;
            return false;
        }
        // Opened for writing only, QSerialPort leaves the receiver off (CREAD).
        termios tio{};
        if (::tcgetattr(m_readFd, &tio) == 0 && !(tio.c_cflag & CREAD)) {
            tio.c_cflag |= CREAD;
            ::tcsetattr(m_readFd, TCSANOW, &tio);
        }
        m_reader = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
        connect(m_reader, &QSocketNotifier::activated, this, [this] { readAll(); });
        // Pseudo-terminals and some adapters have no modem lines; that is no reason
        // to refuse the port.
        m_port->setDataTerminalReady(true);
        m_port->setRequestToSend(false);
        m_port->clearError();
        m_session = session;
        pending = 0;
        markParityErrors(ls);
        m_sinceOpen.start();
        m_lastRead = m_windowStart = m_windowBytes = m_rate = 0;
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
        stopReading();
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
    void stopReading()
    {
        m_pause->stop();
        delete m_reader;
        m_reader = nullptr;
        if (m_readFd >= 0)
            ::close(m_readFd);
        m_readFd = -1;
    }

    void readAll()
    {
        QByteArray got;
        bool gone = false;
        for (;;) {
            const ssize_t n = ::read(m_readFd, m_chunk, sizeof m_chunk);
            if (n > 0)
                got.append(m_chunk, n);
            if (n == ssize_t(sizeof m_chunk))
                continue; // there may be more
            if (n > 0)
                break; // all that was there; what comes now waits for the next read
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                gone = true; // EIO: the far end of a pseudo-terminal closed, a device unplugged
            else if (got.isEmpty())
                gone = hungUp(); // woken with nothing to read: hung up, or nothing at all
            break;
        }
        if (!got.isEmpty())
            m_owner->deliverReceived(m_session, m_marking ? m_marks.take(got) : got);
        if (gone) {
            lost();
            return;
        }
        const qint64 now = m_sinceOpen.elapsed();
        const qint64 since = std::max<qint64>(1, now - m_lastRead);
        m_lastRead = now;
        // The rate over the last stretch of at least kRateWindowMs.
        m_windowBytes += got.size();
        if (now - m_windowStart >= kRateWindowMs) {
            m_rate = m_windowBytes * 1000 / (now - m_windowStart);
            m_windowStart = now;
            m_windowBytes = 0;
        }
        // A flood (a full read, or a rate no pause could keep up with) is read
        // as it comes.
        if (got.size() >= kBusyRead || m_rate >= kFloodBytesPerSecond)
            return;
        const qint64 pause = got.isEmpty() ? kReadPauseMs
                                           : std::clamp<qint64>(kPauseFill * since / got.size(), 1,
                                                                kReadPauseMs);
        m_reader->setEnabled(false);
        m_pause->start(int(pause));
    }

    bool hungUp() const
    {
        pollfd p{m_readFd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

    void written(qint64 n)
    {
        pending -= n;
        if (m_port->bytesToWrite() == 0)
            m_owner->deliverDrained(m_session);
    }

    void failed(QSerialPort::SerialPortError e)
    {
        // A device that went away fails the writes too; close at once so nothing
        // spins on it.
        const bool gone = e == QSerialPort::ResourceError || e == QSerialPort::WriteError;
        if (gone && m_port->isOpen())
            lost();
    }

    void lost()
    {
        stopReading();
        if (m_port->isOpen())
            m_port->close();
        pending = 0;
        m_owner->deliverLost(m_session);
    }

    QtSerialControl *m_owner;
    QSerialPort *m_port = nullptr;
    int m_readFd = -1;
    QSocketNotifier *m_reader = nullptr;
    QTimer *m_pause;
    char m_chunk[64 * 1024];
    QElapsedTimer m_sinceOpen;
    qint64 m_lastRead = 0;
    qint64 m_windowStart = 0;
    qint64 m_windowBytes = 0;
    qint64 m_rate = 0;
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
