#include "serial/serial_link.h"

#include "serial/modem_lines.h"
#include "serial/parity_marks.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QMutex>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtSerialPort/QSerialPort>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// The received bytes are read from a descriptor of our own (QSerialPort sets the
// line up and writes), so that reading can be paced: under a trickle the device
// is read at most every kReadPauseMs (the driver keeps what arrives meanwhile),
// which spares the machine hundreds of wake-ups a second at the usual rates;
// under a flood it is read as fast as data comes.
//
// Who reads: under a trickle the window's thread, on a timer, so the bytes are
// shown in the same wake-up that reads them; a flood is read by the I/O thread.
// The I/O thread also takes the reading back when the window's thread has not
// read for kWatchdogMs (a window busy with something else must not let the
// driver's buffer overflow).
class DeviceReader
{
public:
    static constexpr int kReadPauseMs = 45;
    // The driver hands over at most 4095 bytes a read (its line buffer) and keeps more
    // behind it, which it passes on moments after a read has made room. A read
    // that filled the line buffer is followed by up to kFollowReads more, each
    // after a wait of at most kFollowWaitMs for what was behind, so that 45 ms of
    // 921600 Bd (4.1 KB) is taken in one wake-up. The pause is cut short so that
    // no more than kPauseFill is expected to gather meanwhile, at the rate seen
    // so far; a read that still found the line buffer full (a flood) is followed
    // by no pause.
    static constexpr ssize_t kLineBuffer = 4095;
    static constexpr int kFollowReads = 2;
    static constexpr int kFollowWaitMs = 2;
    static constexpr qsizetype kPauseFill = 7168;
    static constexpr qint64 kFloodBytesPerSecond = 256 * 1024;
    static constexpr qint64 kRateWindowMs = 50;
    static constexpr int kWatchdogMs = 200;
    // With exact read times wanted, the I/O thread reads as data comes, but not
    // more often than this (a byte's time is then off by at most this much).
    static constexpr int kExactPauseMs = 2;

    struct Outcome {
        QByteArray bytes;
        qint64 usecs = 0;   // when they were read, in microseconds since the epoch
        bool gone = false;  // the device went away
        int pause = -1;     // before the next read; -1: read as data comes (a flood)
        bool exact = false; // exact read times wanted: the I/O thread keeps reading
    };

    // Everything below is guarded by lock.
    QMutex lock;
    int fd = -1;
    quint64 session = 0;
    bool exactTimes = false;     // short pauses only, on the I/O thread
    bool eager = false;          // no pauses at all, on the I/O thread
    bool windowReads = false;    // the window's thread holds the reading
    bool handOverPosted = false; // the window's thread has been asked to take it
    qint64 lastWindowRead = 0;
    bool marking = false;
    parity::MarkReader marks;

    qint64 now() const { return m_clock.elapsed(); }

    void start(int descriptor, quint64 s, bool mark)
    {
        fd = descriptor;
        session = s;
        windowReads = handOverPosted = false;
        marking = mark;
        marks.reset();
        m_clock.start();
        m_lastRead = m_windowStart = m_windowBytes = m_rate = 0;
    }

    // Takes what the driver holds; with lock held.
    Outcome read()
    {
        Outcome out;
        bool full = false; // the last read emptied a full line buffer
        int follows = 0;
        for (;;) {
            const ssize_t n = ::read(fd, m_chunk, sizeof m_chunk);
            if (n > 0)
                out.bytes.append(m_chunk, n);
            full = n >= kLineBuffer;
            if (n == ssize_t(sizeof m_chunk))
                continue; // there may be more
            if (full && follows < kFollowReads) {
                ++follows;
                if (waitForMore())
                    continue;
                full = false; // nothing was behind it
            }
            if (n > 0)
                break; // all that was there; what comes now waits for the next read
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                out.gone = true; // EIO: the far end of a pseudo-terminal closed, a device unplugged
            else if (out.bytes.isEmpty())
                out.gone = hungUp(); // woken with nothing to read: hung up, or nothing at all
            break;
        }
        out.usecs = Port::nowUsecs();
        if (marking && !out.bytes.isEmpty())
            out.bytes = marks.take(out.bytes);
        const qint64 t = now();
        const qint64 since = std::max<qint64>(1, t - m_lastRead);
        m_lastRead = t;
        // The rate over the last stretch of at least kRateWindowMs.
        m_windowBytes += out.bytes.size();
        if (t - m_windowStart >= kRateWindowMs) {
            m_rate = m_windowBytes * 1000 / (t - m_windowStart);
            m_windowStart = t;
            m_windowBytes = 0;
        }
        // A flood (a full read, or a rate no pause could keep up with) is read
        // as it comes.
        if (out.gone || full || m_rate >= kFloodBytesPerSecond || eager)
            return out;
        if (exactTimes && !out.bytes.isEmpty()) {
            out.pause = kExactPauseMs;
            out.exact = true;
            return out;
        }
        out.pause =
            out.bytes.isEmpty()
                ? kReadPauseMs
                : int(std::clamp<qint64>(kPauseFill * since / out.bytes.size(), 1, kReadPauseMs));
        return out;
    }

    // With lock held.
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        windowReads = false;
    }

private:
    // What the driver held behind a full read arrives moments later.
    bool waitForMore() const
    {
        pollfd p{fd, POLLIN, 0};
        int r;
        do
            r = ::poll(&p, 1, kFollowWaitMs);
        while (r < 0 && errno == EINTR);
        return r > 0 && (p.revents & POLLIN);
    }

    bool hungUp() const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

    QElapsedTimer m_clock;
    qint64 m_lastRead = 0;
    qint64 m_windowStart = 0;
    qint64 m_windowBytes = 0;
    qint64 m_rate = 0;
    char m_chunk[64 * 1024];
};

// Lives on the I/O thread; every member but pending is touched there only.
class SerialWorker : public QObject
{
public:
    // The window's thread takes the reading over (session, pause before its first read).
    using HandOver = std::function<void(quint64, int)>;

    // Created before the move to the I/O thread: its timers, children, move along.
    SerialWorker(Port::Reports reports, DeviceReader *reader, std::atomic<qint64> &pending,
                 HandOver handOver)
        : pending(pending), m_reports(reports), m_in(reader), m_handOver(std::move(handOver)),
          m_pause(new QTimer(this)), m_watchdog(new QTimer(this)), m_breakEnd(new QTimer(this)),
          m_linePoll(new QTimer(this))
    {
        m_breakEnd->setSingleShot(true);
        m_breakEnd->setTimerType(Qt::PreciseTimer);
        connect(m_breakEnd, &QTimer::timeout, this, [this] {
            if (m_port && m_port->isOpen())
                ::ioctl(int(m_port->handle()), TIOCCBRK);
        });
        m_linePoll->setInterval(kLinePollMs);
        connect(m_linePoll, &QTimer::timeout, this, [this] { tellLines(); });
        m_pause->setSingleShot(true);
        m_pause->setTimerType(Qt::PreciseTimer);
        connect(m_pause, &QTimer::timeout, this, [this] {
            if (!m_reader)
                return;
            if (backlogFull())
                m_pause->start(kBacklogPauseMs); // the window has not caught up yet
            else
                m_reader->setEnabled(true);
        });
        m_watchdog->setInterval(DeviceReader::kWatchdogMs);
        connect(m_watchdog, &QTimer::timeout, this, [this] { watch(); });
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
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            *error = QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        // The advisory lock other serial terminals take too: a device one of
        // them holds (or this program, under another of the device's names) is
        // busy. It goes with the descriptor, at close or at the end of the process.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = QStringLiteral("the device is in use by another program");
            ::close(fd);
            return false;
        }
        if (!m_port->open(QIODevice::WriteOnly)) {
            *error = m_port->errorString();
            m_port->clearError();
            ::close(fd);
            return false;
        }
        // Opened for writing only, QSerialPort leaves the receiver off (CREAD).
        termios tio{};
        if (::tcgetattr(fd, &tio) == 0 && !(tio.c_cflag & CREAD)) {
            tio.c_cflag |= CREAD;
            ::tcsetattr(fd, TCSANOW, &tio);
        }
        m_reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_reader, &QSocketNotifier::activated, this, [this] { readAll(); });
        // The control lines are set by the port right after this.
        m_port->clearError();
        m_session = session;
        pending = 0;
        // QSerialPort leaves parity unchecked; the driver's own marking lets a
        // byte with a parity error show as "?".
        const bool marking =
            parity::setMarking(int(m_port->handle()), ls.parity != QSerialPort::NoParity);
        QMutexLocker lock(&m_in->lock);
        m_in->start(fd, session, marking);
        return true;
    }

    bool apply(const LineSettings &ls, QString *error)
    {
        if (ls.dataBits < QSerialPort::Data5) {
            *error = QStringLiteral("unsupported number of data bits");
            return false;
        }
        const auto stopBits = driverStopBits(ls);
        if (!stopBits) {
            *error = QStringLiteral("1.5 stop bits need 5 data bits");
            return false;
        }
        const bool ok = m_port->setBaudRate(ls.baud) && m_port->setDataBits(ls.dataBits) &&
                        m_port->setParity(ls.parity) && m_port->setStopBits(*stopBits);
        if (!ok) {
            *error = m_port->errorString();
            m_port->clearError();
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

    // The control lines, through the descriptor QSerialPort holds: a device
    // without them (a pseudo-terminal, some drivers) answers ENOTTY, which is
    // no error to report.
    bool lines(bool dtr, bool rts)
    {
        if (!m_port || !m_port->isOpen() || modemLineBits(int(m_port->handle())) < 0)
            return false;
        int set = 0, clear = 0;
        (dtr ? set : clear) |= TIOCM_DTR;
        (rts ? set : clear) |= TIOCM_RTS;
        const int fd = int(m_port->handle());
        return (!set || ::ioctl(fd, TIOCMBIS, &set) == 0) &&
               (!clear || ::ioctl(fd, TIOCMBIC, &clear) == 0);
    }

    bool breakFor(int ms)
    {
        if (!m_port || !m_port->isOpen() || ::ioctl(int(m_port->handle()), TIOCSBRK) != 0)
            return false;
        m_breakEnd->start(ms);
        return true;
    }

    // Tells the modem lines now and at every change: the kernel's wait where
    // the driver has it, else a look every kLinePollMs.
    void watchLines(bool on)
    {
        stopWatchingLines();
        if (!on || !m_port || !m_port->isOpen())
            return;
        m_lastLines = -1;
        tellLines();
        const quint64 session = m_session;
        const int watch = ++m_lineWatch;
        m_lineWaiter = std::make_unique<ModemLineWaiter>(
            int(m_port->handle()),
            [r = m_reports, session](int bits) { r.modemLines(session, modemLines(bits)); },
            [this, watch] {
                QMetaObject::invokeMethod(this, [this, watch] {
                    if (watch == m_lineWatch && m_lineWaiter)
                        m_linePoll->start();
                });
            });
    }
    static constexpr int kLinePollMs = 100;
    void write(const QByteArray &bytes)
    {
        if (!m_port || !m_port->isOpen()) {
            pending -= bytes.size();
            return;
        }
        if (m_port->write(bytes) != bytes.size())
            pending -= bytes.size();
    }
    // The same, and on to the device now rather than at the next turn of the loop.
    void writeNow(const QByteArray &bytes)
    {
        write(bytes);
        if (m_port && m_port->isOpen())
            m_port->flush();
    }

    std::atomic<qint64> &pending;

private:
    void stopWatchingLines()
    {
        ++m_lineWatch;
        m_lineWaiter.reset();
        m_linePoll->stop();
    }

    static Port::ModemLines modemLines(int bits)
    {
        return {bool(bits & TIOCM_CTS), bool(bits & TIOCM_DSR), bool(bits & TIOCM_CD),
                bool(bits & TIOCM_RI)};
    }

    void tellLines()
    {
        const int bits = m_port && m_port->isOpen() ? modemLineBits(int(m_port->handle())) : -1;
        if (bits < 0 || bits == m_lastLines)
            return;
        m_lastLines = bits;
        m_reports.modemLines(m_session,
                             modemLines(bits & (TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI)));
    }

    void stopReading()
    {
        stopWatchingLines();
        if (m_breakEnd->isActive()) { // a break is not left on the line
            m_breakEnd->stop();
            if (m_port && m_port->isOpen())
                ::ioctl(int(m_port->handle()), TIOCCBRK);
        }
        m_pause->stop();
        m_watchdog->stop();
        delete m_reader;
        m_reader = nullptr;
        QMutexLocker lock(&m_in->lock);
        m_in->close();
    }

    void readAll()
    {
        QMutexLocker lock(&m_in->lock);
        if (m_in->windowReads || m_in->fd < 0)
            return;
        const DeviceReader::Outcome got = m_in->read();
        // Queued before the reading can pass to the other thread: what that
        // thread reads next is queued after these bytes, never before them.
        if (!got.bytes.isEmpty())
            m_reports.received(m_session, got.bytes, got.usecs);
        if (!got.gone && got.pause >= 0) {
            m_reader->setEnabled(false);
            if (m_in->handOverPosted || got.bytes.isEmpty() || got.exact) {
                // The window's thread has not yet taken the last hand-over (it
                // is busy), woken with nothing to read, or exact read times are
                // wanted: the reading stays here, paced.
                m_pause->start(got.pause);
            } else {
                // A trickle: the window's thread reads from now on.
                m_in->windowReads = true;
                m_in->lastWindowRead = m_in->now();
                m_in->handOverPosted = true;
                QMetaObject::invokeMethod(
                    m_reports.port(), [h = m_handOver, s = m_session, p = got.pause] { h(s, p); },
                    Qt::QueuedConnection);
                m_watchdog->start();
            }
        }
        lock.unlock();
        if (got.gone) {
            lost();
            return;
        }
        if (m_reader && backlogFull()) {
            // The window is behind a flood: the driver holds what comes until
            // it has caught up.
            m_reader->setEnabled(false);
            m_pause->start(kBacklogPauseMs);
        }
    }
    static constexpr int kBacklogPauseMs = 5;
    bool backlogFull() const { return m_reports.queuedBytes() >= Port::kMaxQueued; }

    // The window's thread has not read for a while: the reading comes back here.
    void watch()
    {
        QMutexLocker lock(&m_in->lock);
        if (!m_in->windowReads) {
            m_watchdog->stop();
            return;
        }
        if (m_in->now() - m_in->lastWindowRead < DeviceReader::kWatchdogMs)
            return;
        m_in->windowReads = false;
        m_watchdog->stop();
        if (m_reader)
            m_reader->setEnabled(true);
    }

public:
    // The window's thread hands the reading back (a flood, or the device went away).
    void readHere(quint64 session)
    {
        if (session != m_session || !m_reader)
            return;
        m_watchdog->stop();
        m_pause->stop();
        m_reader->setEnabled(true);
    }

private:
    void written(qint64 n)
    {
        pending -= n;
        if (m_port->bytesToWrite() == 0)
            m_reports.drained(m_session);
    }

    void failed(QSerialPort::SerialPortError e)
    {
        // A device that went away fails the writes too; close at once so nothing
        // spins on it.
        if (e == QSerialPort::NoError || !m_port->isOpen())
            return;
        if (e == QSerialPort::ResourceError || e == QSerialPort::WriteError) {
            lost();
        } else {
            // During an opening the session is still the previous one: its
            // faults are the opening's answer, not news.
            m_reports.error(m_session, m_port->errorString());
            m_port->clearError();
        }
    }

    void lost()
    {
        stopReading();
        if (m_port->isOpen())
            m_port->close();
        pending = 0;
        m_reports.lost(m_session);
    }

    Port::Reports m_reports;
    DeviceReader *m_in;
    HandOver m_handOver;
    QSerialPort *m_port = nullptr;
    QSocketNotifier *m_reader = nullptr;
    QTimer *m_pause;
    QTimer *m_watchdog;
    QTimer *m_breakEnd;
    QTimer *m_linePoll;
    std::unique_ptr<ModemLineWaiter> m_lineWaiter;
    int m_lastLines = -1;
    int m_lineWatch = 0; // which watch a fallback to looking belongs to
    quint64 m_session = 0;
};

namespace
{
template <typename F> void runOn(QObject *target, F &&f)
{
    QMetaObject::invokeMethod(target, std::forward<F>(f), Qt::BlockingQueuedConnection);
}
} // namespace

SerialLink::SerialLink(Port::Reports reports, QThread *io)
    : m_in(std::make_unique<DeviceReader>()),
      m_worker(new SerialWorker(
          reports, m_in.get(), pending,
          [this](quint64 session, int pause) { readOnWindowThread(session, pause); })),
      m_reports(reports)
{
    m_windowRead.setSingleShot(true);
    m_windowRead.setTimerType(Qt::PreciseTimer);
    connect(&m_windowRead, &QTimer::timeout, this, &SerialLink::readNow);
    m_worker->moveToThread(io);
}

// Closed and destroyed on the thread it lives on.
SerialLink::~SerialLink()
{
    m_windowRead.stop();
    runOn(m_worker, [w = m_worker] {
        w->close();
        delete w;
    });
}

bool SerialLink::open(const QString &path, const LineSettings &settings, quint64 session,
                      QString *error, Port::Fault *)
{
    bool ok = false;
    runOn(m_worker, [&] { ok = m_worker->open(path, settings, session, error); });
    return ok;
}

void SerialLink::close()
{
    m_windowRead.stop();
    runOn(m_worker, [&] { m_worker->close(); });
}

void SerialLink::write(const QByteArray &bytes)
{
    // On the I/O thread itself (an answer to what it just read) with nothing
    // queued ahead of it, the bytes go to the device without a turn of its loop.
    if (pending.fetch_add(bytes.size()) == 0 && QThread::currentThread() == m_worker->thread()) {
        m_worker->writeNow(bytes);
        return;
    }
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, bytes] { w->write(bytes); }, Qt::QueuedConnection);
}

bool SerialLink::setLines(bool dtr, bool rts)
{
    bool ok = false;
    runOn(m_worker, [&] { ok = m_worker->lines(dtr, rts); });
    return ok;
}

bool SerialLink::sendBreak(int ms)
{
    bool ok = false;
    runOn(m_worker, [&] { ok = m_worker->breakFor(ms); });
    return ok;
}

void SerialLink::watchLines(bool on)
{
    runOn(m_worker, [&] { m_worker->watchLines(on); });
}

void SerialLink::setExactReadTimes(bool exact)
{
    QMutexLocker lock(&m_in->lock);
    m_in->exactTimes = exact;
    // The window's thread hands the reading over at its next read.
}

void SerialLink::setEagerReads(bool eager)
{
    QMutexLocker lock(&m_in->lock);
    m_in->eager = eager;
    // As with exact times, the window's thread hands the reading over at its next read.
}

void SerialLink::readOnWindowThread(quint64 session, int pause)
{
    {
        QMutexLocker lock(&m_in->lock);
        m_in->handOverPosted = false;
        if (session != m_in->session || !m_in->windowReads)
            return;
    }
    m_windowRead.start(pause);
}

void SerialLink::readNow()
{
    QMutexLocker lock(&m_in->lock);
    if (!m_in->windowReads || m_in->fd < 0)
        return; // the I/O thread took the reading back
    const DeviceReader::Outcome got = m_in->read();
    const quint64 session = m_in->session;
    m_in->lastWindowRead = m_in->now();
    const bool keep = !got.gone && got.pause >= 0 && !got.bytes.isEmpty() && !got.exact;
    // Queued while the reading is still ours, as on the I/O thread; delivered
    // once the lock is let go (what the receivers do may call back in here).
    const bool deliver = m_reports.queue(session, got.bytes, got.usecs);
    if (!keep) {
        // A flood, a quiet line (the I/O thread waits for the next byte without
        // waking anybody), or the device went away (the I/O thread finds out
        // again and closes the port).
        m_in->windowReads = false;
        QMetaObject::invokeMethod(
            m_worker, [w = m_worker, session] { w->readHere(session); }, Qt::QueuedConnection);
    }
    lock.unlock();
    if (deliver)
        m_reports.deliverQueued();
    if (keep)
        m_windowRead.start(got.pause);
}
