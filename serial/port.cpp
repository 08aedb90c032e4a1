#include "serial/port.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <chrono>
#include <utility>

qint64 Port::nowUsecs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

Port::Port(QObject *parent) : QObject(parent)
{
    m_deliveryDelay.setSingleShot(true);
    connect(&m_deliveryDelay, &QTimer::timeout, this, &Port::deliverQueued);
    m_linesDelay.setSingleShot(true);
    connect(&m_linesDelay, &QTimer::timeout, this, &Port::showModemLines);
    m_pulseEnd.setSingleShot(true);
    m_pulseEnd.setTimerType(Qt::PreciseTimer);
    connect(&m_pulseEnd, &QTimer::timeout, this, [this] {
        if (hasControlLines())
            setDeviceLines(m_dtr, m_rts);
    });
}

Port::~Port() = default;

// Runs what the device side reported on the port's thread, unless it belongs to
// an earlier opening.
template <typename F> void Port::onSession(quint64 session, F &&f)
{
    QMetaObject::invokeMethod(
        this,
        [this, session, f = std::forward<F>(f)]() mutable {
            if (session == m_session.load())
                f();
        },
        Qt::QueuedConnection);
}

bool Port::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool Port::open(const QString &device, const LineSettings &settings)
{
    if (m_open || m_opening)
        return fail(tr("the port is already open"));
    m_device = device;
    m_line = settings;
    m_fault = Fault::Other;
    m_served.reset();
    if (device.isEmpty())
        return fail(tr("no device is named"));
    startSession();
    QString error;
    if (!openDevice(device, settings, &error))
        return fail(error);
    if (connectsLater(device)) {
        m_opening = true;
        return true;
    }
    finishOpening();
    return true;
}

void Port::finishOpening()
{
    m_open = true;
    // A board held in reset by a line at opening is let go at once.
    m_hasLines = setDeviceLines(m_dtr, m_rts);
    if (m_watchingLines && m_hasLines)
        watchDeviceLines(true);
    emit opened();
    // What came while the connection was under way follows.
    QMutexLocker lock(&m_rxLock);
    if (!m_arrived.empty() && !m_deliveryPosted)
        postDelivery();
}

void Port::deliverOpened(quint64 session, const std::optional<Served> &served)
{
    onSession(session, [this, served] {
        if (!m_opening)
            return;
        m_opening = false;
        m_served = served;
        finishOpening();
        emit openFinished(true);
    });
}

void Port::deliverOpenFailed(quint64 session, Fault fault, const QString &why)
{
    onSession(session, [this, fault, why] {
        if (!m_opening)
            return;
        m_opening = false;
        closeDevice();
        startSession();
        m_error = why;
        m_fault = fault;
        emit openFinished(false);
    });
}

void Port::close()
{
    m_pulseEnd.stop();
    const bool wasOpen = m_open;
    if (m_opening) { // given up: no answer comes
        closeDevice();
        m_opening = false;
    }
    if (m_open) {
        if (m_watchingLines && m_hasLines)
            watchDeviceLines(false);
        closeDevice();
        m_open = false;
    }
    m_hasLines = false;
    m_served.reset();
    startSession();
    if (wasOpen)
        emit closed();
}

void Port::deliverBeforeAction()
{
    if (m_deliverBeforeWrite && m_open) {
        tellAnswers();
        deliverAll();
    }
}

void Port::setDtr(bool on)
{
    if (on != m_dtr)
        deliverBeforeAction();
    const bool changed = std::exchange(m_dtr, on) != on;
    applyLines();
    if (changed) {
        emit controlled(Control::Dtr, on, nowUsecs());
        emit linesChosen(m_dtr, m_rts);
    }
}

void Port::setRts(bool on)
{
    if (on != m_rts)
        deliverBeforeAction();
    const bool changed = std::exchange(m_rts, on) != on;
    applyLines();
    if (changed) {
        emit controlled(Control::Rts, on, nowUsecs());
        emit linesChosen(m_dtr, m_rts);
    }
}

void Port::setTap(Tap tap)
{
    QMutexLocker lock(&m_rxLock);
    m_tap = std::move(tap);
}

void Port::setResponder(Tap responder)
{
    QMutexLocker lock(&m_responderLock);
    m_responder = std::move(responder);
}

// The device side's write is safe from the reading thread: the links queue
// what they are given for their own thread.
bool Port::answer(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return true;
    const qint64 at = nowUsecs();
    QString error;
    if (!writeDevice(bytes, &error))
        return false;
    // Told in one go with the delivery of what was read (which is on its way:
    // an answer follows a read), however many answers came meanwhile; a post
    // of their own only if that delivery was already made.
    QMutexLocker lock(&m_rxLock);
    m_answers.push_back({bytes, at, m_queuedTotal});
    if (!m_deliveryPosted && !std::exchange(m_answersPosted, true))
        QMetaObject::invokeMethod(this, &Port::tellAnswers, Qt::QueuedConnection);
    return true;
}

// Each answer after what came before it, as a write would be.
void Port::tellAnswers()
{
    std::vector<Answer> answers;
    {
        QMutexLocker lock(&m_rxLock);
        answers.swap(m_answers);
        m_answersPosted = false;
    }
    const quint64 session = m_session.load();
    for (const Answer &a : answers) {
        if (m_deliverBeforeWrite && m_open && session == m_session.load())
            deliverAll(a.after);
        emit wrote(a.bytes, a.usecs);
    }
}

// A pulse under way takes the chosen levels at its end.
void Port::applyLines()
{
    if (hasControlLines() && !m_pulseEnd.isActive())
        setDeviceLines(m_dtr, m_rts);
}

// The levels chosen meanwhile are the ones the pulse ends on.
bool Port::pulseReset(int ms)
{
    if (!hasControlLines())
        return fail(tr("the device has no control lines"));
    deliverBeforeAction();
    if (!hasControlLines())
        return fail(tr("the port is not open")); // a receiver closed it
    setDeviceLines(false, false);
    m_pulseEnd.start(ms);
    emit controlled(Control::Pulse, ms, nowUsecs());
    return true;
}

bool Port::sendBreak(int ms)
{
    if (!hasControlLines())
        return fail(tr("the device has no control lines"));
    deliverBeforeAction();
    if (!hasControlLines())
        return fail(tr("the port is not open"));
    const qint64 at = nowUsecs();
    if (!breakDevice(ms))
        return fail(tr("the device cannot send a break"));
    emit controlled(Control::Break, ms, at);
    return true;
}

void Port::watchModemLines(bool on)
{
    if (on == m_watchingLines)
        return;
    m_watchingLines = on;
    if (hasControlLines())
        watchDeviceLines(on);
}

bool Port::write(const QByteArray &bytes)
{
    if (!m_open)
        return fail(tr("the port is not open"));
    if (bytes.isEmpty())
        return true;
    deliverBeforeAction();
    if (!m_open)
        return fail(tr("the port is not open")); // a receiver closed it
    const qint64 at = nowUsecs();
    QString error;
    if (!writeDevice(bytes, &error))
        return fail(error);
    emit wrote(bytes, at);
    return true;
}

void Port::dropWaiting()
{
    m_arrived.clear();
    m_arrivedBytes = 0;
    m_queuedTotal = m_takenTotal = 0;
    for (Answer &a : m_answers)
        a.after = 0; // told without waiting for anything of the new opening
    if (!m_answers.empty() && !std::exchange(m_answersPosted, true))
        QMetaObject::invokeMethod(this, &Port::tellAnswers, Qt::QueuedConnection);
}

// Whatever belonged to the previous opening is dropped, and data still on its
// way from it is ignored.
void Port::startSession()
{
    ++m_session;
    m_deliveryDelay.stop();
    QMutexLocker lock(&m_rxLock);
    dropWaiting();
    m_deliveryPosted = false;
    m_backlog = false;
}

void Port::postDelivery()
{
    m_deliveryPosted = true;
    QMetaObject::invokeMethod(this, &Port::deliverQueued, Qt::QueuedConnection);
}

void Port::takePortion(QByteArray &out, std::vector<Arrival> &times, qsizetype limit)
{
    qsizetype moved = 0;
    while (!m_arrived.empty() && moved < limit) {
        Piece &front = m_arrived.front();
        const qsizetype room = limit - moved;
        if (front.bytes.size() > room) {
            out.append(front.bytes.first(room));
            front.bytes.remove(0, room);
            times.push_back({out.size(), front.usecs / 1000, front.usecs});
            moved += room;
            break;
        }
        moved += front.bytes.size();
        if (out.isEmpty())
            out = std::move(front.bytes);
        else
            out.append(front.bytes);
        // Reads close together may share an entry: only the time of each
        // stretch matters, and a flood brings thousands of reads a second.
        // The stretch keeps the time of its first read.
        if (!times.empty() && times.back().msecs == front.usecs / 1000)
            times.back().end = out.size();
        else
            times.push_back({out.size(), front.usecs / 1000, front.usecs});
        m_arrived.pop_front();
    }
    m_arrivedBytes -= moved;
    m_takenTotal += moved;
    m_backlog = !m_arrived.empty();
}

bool Port::queueArrival(quint64 session, const QByteArray &bytes, qint64 usecs)
{
    if (session != m_session.load() || bytes.isEmpty())
        return false;
    if (m_tap)
        m_tap(bytes);
    m_arrived.push_back({bytes, usecs});
    m_arrivedBytes += bytes.size();
    m_queuedTotal += bytes.size();
    if (m_deliveryPosted)
        return false;
    m_deliveryPosted = true; // the caller delivers or posts the delivery
    return true;
}

void Port::deliverReceived(quint64 session, const QByteArray &bytes, qint64 usecs)
{
    if (usecs < 0)
        usecs = nowUsecs();
    {
        QMutexLocker lock(&m_rxLock);
        if (queueArrival(session, bytes, usecs))
            postDelivery();
    }
    respond(session, bytes);
}

bool Port::queueReceived(quint64 session, const QByteArray &bytes, qint64 usecs)
{
    bool deliver = false;
    {
        QMutexLocker lock(&m_rxLock);
        deliver = queueArrival(session, bytes, usecs);
    }
    respond(session, bytes);
    return deliver;
}

// Outside m_rxLock: the port's thread delivers meanwhile, whatever the
// responder takes. Reads come one at a time, so answers go in their order.
void Port::respond(quint64 session, const QByteArray &bytes)
{
    QMutexLocker lock(&m_responderLock);
    if (m_responder && session == m_session.load() && !bytes.isEmpty())
        m_responder(bytes);
}

void Port::deliverQueued()
{
    QByteArray bytes;
    // The read times' vector is used again from one delivery to the next (a
    // delivery made while a receiver handles this one gets a fresh one).
    std::vector<Arrival> arrivals;
    arrivals.swap(m_spareTimes);
    arrivals.clear();
    {
        QMutexLocker lock(&m_rxLock);
        if (m_opening) { // kept until the port is open
            m_deliveryPosted = false;
            return;
        }
        if (!m_prompt && !m_backlog && m_lastDelivery.isValid() &&
            m_lastDelivery.elapsed() < kReceiveSpacingMs) {
            // Still marked as posted, so the device side does not post again meanwhile.
            m_deliveryDelay.start(int(kReceiveSpacingMs - m_lastDelivery.elapsed()));
            return;
        }
        if (!m_answers.empty()) {
            lock.unlock();
            tellAnswers(); // each after what it answered
            lock.relock();
        }
        m_deliveryPosted = false;
        // An answer not told yet is told in its place (tellAnswers is on its way).
        qint64 limit = kMaxPerDelivery;
        if (m_deliverBeforeWrite && !m_answers.empty())
            limit = std::min(limit, m_answers.front().after - m_takenTotal);
        if (limit > 0)
            takePortion(bytes, arrivals, qsizetype(limit));
        else
            m_backlog = !m_arrived.empty(); // what follows the answer, after it
        if (m_backlog)
            postDelivery(); // the rest follows once other pending events had their turn
    }
    if (m_open && !bytes.isEmpty()) {
        m_lastDelivery.start();
        emit received(bytes, arrivals);
    }
    m_spareTimes.swap(arrivals);
}

// One report on its way at a time: a drain after every block of a transfer
// would wake the port's thread for each.
void Port::deliverDrained(quint64 session)
{
    if (m_drainPosted.exchange(session) == session)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            quint64 posted = session;
            m_drainPosted.compare_exchange_strong(posted, 0);
            if (session == m_session.load() && m_open)
                emit drained();
        },
        Qt::QueuedConnection);
}

// What the device sent before it went is delivered first, all of it: a lost
// device drops nothing it had sent.
void Port::deliverLost(quint64 session)
{
    onSession(session, [this] {
        if (!m_open)
            return;
        deliverAll();
        if (!m_open)
            return; // a receiver closed it meanwhile
        m_losing = true;
        close();
        m_losing = false;
        emit lost();
    });
}

void Port::deliverAll(qint64 upTo)
{
    const quint64 session = m_session.load();
    for (;;) {
        QByteArray bytes;
        std::vector<Arrival> arrivals;
        {
            QMutexLocker lock(&m_rxLock);
            const qint64 due = std::min<qint64>(upTo - m_takenTotal, kMaxPerDelivery);
            if (due > 0)
                takePortion(bytes, arrivals, qsizetype(due));
        }
        if (bytes.isEmpty() || !m_open || session != m_session.load())
            return;
        emit received(bytes, arrivals);
    }
}

// Only the latest levels wait: a device side that reports thousands of
// changes a second posts one event at a time, and the window hears of them
// once a frame.
void Port::deliverModemLines(quint64 session, const ModemLines &lines)
{
    QMutexLocker lock(&m_linesLock);
    m_latestLines = lines;
    m_linesSession = session;
    if (std::exchange(m_linesPosted, true))
        return;
    QMetaObject::invokeMethod(this, &Port::showModemLines, Qt::QueuedConnection);
}

void Port::showModemLines()
{
    if (m_linesShown.isValid() && m_linesShown.elapsed() < kLinesSpacingMs) {
        m_linesDelay.start(int(kLinesSpacingMs - m_linesShown.elapsed()));
        return;
    }
    ModemLines lines;
    quint64 session;
    {
        QMutexLocker lock(&m_linesLock);
        lines = m_latestLines;
        session = m_linesSession;
        m_linesPosted = false;
    }
    if (session != m_session.load() || !m_open || !m_watchingLines)
        return;
    m_linesShown.start();
    emit modemLinesChanged(lines);
}

void Port::deliverError(quint64 session, const QString &what)
{
    onSession(session, [this, what] {
        if (m_open)
            emit errorOccurred(what);
    });
}
