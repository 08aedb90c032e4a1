#include "serial/serial_control.h"

#include "serial/port_names.h"

#include <QDateTime>
#include <QMetaObject>
#include <QMutexLocker>

SerialControl::SerialControl(QObject *parent) : QObject(parent)
{
    m_line = *parseSettingsString(m_settings);
    m_receiveDelay.setSingleShot(true);
    connect(&m_receiveDelay, &QTimer::timeout, this, &SerialControl::raiseReceiveEvent);
}

SerialControl::~SerialControl() = default;

bool SerialControl::fail(const QString &why)
{
    m_error = why;
    return false;
}

bool SerialControl::setPortOpen(bool open)
{
    if (!open) {
        if (m_open) {
            closeDevice();
            m_open = false;
        }
        startSession();
        return true;
    }
    if (m_open)
        return fail(tr("the port is already open"));
    const QString path = deviceName();
    if (path.isEmpty())
        return fail(tr("there is no port %1").arg(m_commPort));
    startSession();
    QString error;
    if (!openDevice(path, m_line, &error))
        return fail(error);
    m_open = true;
    return true;
}

bool SerialControl::setCommPort(int port)
{
    if (m_open)
        return fail(tr("the port number cannot change while the port is open"));
    if (port < 0 || port > 255)
        return fail(tr("invalid port number %1").arg(port));
    m_commPort = port;
    m_devicePath.clear();
    return true;
}

bool SerialControl::setDevicePath(const QString &path)
{
    if (m_open)
        return fail(tr("the device cannot change while the port is open"));
    m_devicePath = path;
    return true;
}

QString SerialControl::deviceName() const
{
    return m_devicePath.isEmpty() ? devicePathForPort(m_commPort) : m_devicePath;
}

bool SerialControl::setSettings(const QString &settings)
{
    const auto line = parseSettingsString(settings);
    if (!line)
        return fail(tr("invalid settings \"%1\"").arg(settings));
    if (m_open) {
        QString error;
        if (!configureDevice(*line, &error))
            return fail(error);
    }
    m_settings = settings;
    m_line = *line;
    return true;
}

qsizetype SerialControl::inBufferCount() const
{
    QMutexLocker lock(&m_rxLock);
    return m_rx.size();
}

void SerialControl::setInBufferCount(int count)
{
    if (count != 0)
        return;
    QMutexLocker lock(&m_rxLock);
    dropWaiting();
}

void SerialControl::dropWaiting()
{
    m_rx.clear();
    m_rxTimes.clear();
    m_arrived.clear();
    m_arrivedBytes = 0;
}

// Whatever belonged to the previous opening is dropped, and data still on its
// way from it is ignored.
void SerialControl::startSession()
{
    ++m_session;
    m_receiveDelay.stop();
    m_decoder.reset();
    QMutexLocker lock(&m_rxLock);
    dropWaiting();
    m_rxEventPosted = false;
    m_backlog = false;
}

void SerialControl::postReceiveEvent()
{
    m_rxEventPosted = true;
    QMetaObject::invokeMethod(this, &SerialControl::raiseReceiveEvent, Qt::QueuedConnection);
}

void SerialControl::handOver()
{
    qsizetype moved = 0;
    while (!m_arrived.empty() && moved < kMaxPerEvent) {
        Piece &front = m_arrived.front();
        const qsizetype room = kMaxPerEvent - moved;
        if (front.bytes.size() > room) {
            m_rx.append(front.bytes.first(room));
            front.bytes.remove(0, room);
            m_rxTimes.push_back({m_rx.size(), front.msecs});
            moved += room;
            break;
        }
        moved += front.bytes.size();
        if (m_rx.isEmpty())
            m_rx = std::move(front.bytes);
        else
            m_rx.append(front.bytes);
        // Reads close together may share an entry: only the time of each
        // stretch matters, and a flood brings thousands of reads a second.
        if (!m_rxTimes.empty() && m_rxTimes.back().msecs == front.msecs)
            m_rxTimes.back().end = m_rx.size();
        else
            m_rxTimes.push_back({m_rx.size(), front.msecs});
        m_arrived.pop_front();
    }
    m_arrivedBytes -= moved;
    m_backlog = !m_arrived.empty();
}

void SerialControl::setOutBufferCount(int count)
{
    if (count == 0 && m_open)
        discardDeviceOutput();
}

QByteArray SerialControl::takeWaiting(std::vector<Arrival> *arrivals)
{
    QMutexLocker lock(&m_rxLock);
    if (arrivals)
        arrivals->swap(m_rxTimes);
    m_rxTimes.clear();
    return std::exchange(m_rx, QByteArray());
}

// Bytes taken raw are gone for the text decoder: a character begun before them
// must not be completed by text that follows them.
QByteArray SerialControl::takeInput(std::vector<Arrival> *arrivals)
{
    QByteArray bytes = takeWaiting(arrivals);
    if (!bytes.isEmpty())
        m_decoder.reset();
    return bytes;
}

QByteArray SerialControl::takeInputForText(std::vector<Arrival> *arrivals)
{
    return takeWaiting(arrivals);
}

QString SerialControl::takeInputText(qsizetype *byteCount)
{
    const QByteArray bytes = takeWaiting();
    if (byteCount)
        *byteCount = bytes.size();
    return m_decoder.decode(bytes);
}

QVariant SerialControl::input()
{
    if (m_inputMode == BinaryMode)
        return takeInput();
    return takeInputText();
}

bool SerialControl::output(const QByteArray &bytes)
{
    if (!m_open)
        return fail(tr("the port is not open"));
    if (bytes.isEmpty())
        return true;
    QString error;
    return writeDevice(bytes, &error) || fail(error);
}

bool SerialControl::output(const QString &text)
{
    return output(cp936::encode(text));
}

bool SerialControl::queueArrival(quint64 session, const QByteArray &bytes, qint64 msecs)
{
    if (session != m_session.load() || bytes.isEmpty())
        return false;
    m_arrived.push_back({bytes, msecs});
    m_arrivedBytes += bytes.size();
    if (m_rxEventPosted)
        return false;
    m_rxEventPosted = true; // the caller raises or posts the event
    return true;
}

void SerialControl::deliverReceived(quint64 session, const QByteArray &bytes, qint64 msecs)
{
    if (msecs < 0)
        msecs = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker lock(&m_rxLock);
    if (queueArrival(session, bytes, msecs))
        postReceiveEvent();
}

bool SerialControl::queueReceived(quint64 session, const QByteArray &bytes, qint64 msecs)
{
    QMutexLocker lock(&m_rxLock);
    return queueArrival(session, bytes, msecs);
}

void SerialControl::raiseReceiveEvent()
{
    qsizetype waiting;
    {
        QMutexLocker lock(&m_rxLock);
        if (!m_backlog && m_lastReceiveEvent.isValid() &&
            m_lastReceiveEvent.elapsed() < kReceiveSpacingMs) {
            // Still marked as posted, so the I/O thread does not post again meanwhile.
            m_receiveDelay.start(int(kReceiveSpacingMs - m_lastReceiveEvent.elapsed()));
            return;
        }
        m_rxEventPosted = false;
        handOver();
        if (m_backlog)
            postReceiveEvent(); // the rest follows once other pending events had their turn
        waiting = m_rx.size();
    }
    if (m_open && m_rThreshold > 0 && waiting >= m_rThreshold) {
        m_lastReceiveEvent.start();
        raiseEvent(ReceiveEvent);
    }
}

void SerialControl::deliverDrained(quint64 session)
{
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (session == m_session.load() && m_open && m_sThreshold > 0)
                raiseEvent(SendEvent);
        },
        Qt::QueuedConnection);
}

void SerialControl::deliverLost(quint64 session)
{
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (session != m_session.load() || !m_open)
                return;
            setPortOpen(false);
            emit portLost();
        },
        Qt::QueuedConnection);
}

void SerialControl::raiseEvent(CommEventCode code)
{
    m_commEvent = code;
    emit comm();
}
