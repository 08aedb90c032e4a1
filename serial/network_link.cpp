#include "serial/network_link.h"

#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <utility>

namespace
{
// RFC 2217's codes for the line settings.
std::uint8_t parityCode(QSerialPort::Parity p)
{
    switch (p) {
    case QSerialPort::OddParity:
        return TelnetClient::ParityOdd;
    case QSerialPort::EvenParity:
        return TelnetClient::ParityEven;
    case QSerialPort::MarkParity:
        return TelnetClient::ParityMark;
    case QSerialPort::SpaceParity:
        return TelnetClient::ParitySpace;
    default:
        return TelnetClient::ParityNone;
    }
}

std::uint8_t stopCode(QSerialPort::StopBits s)
{
    return s == QSerialPort::TwoStop          ? TelnetClient::StopTwo
           : s == QSerialPort::OneAndHalfStop ? TelnetClient::StopOneAndHalf
                                              : TelnetClient::StopOne;
}

// NOTIFY-MODEMSTATE's bits.
Port::ModemLines modemLines(std::uint32_t state)
{
    return {bool(state & 0x10), bool(state & 0x20), bool(state & 0x80), bool(state & 0x40)};
}

Port::Fault faultOf(QAbstractSocket::SocketError e)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return Port::Fault::Refused;
    case QAbstractSocket::HostNotFoundError:
        return Port::Fault::HostNotFound;
    case QAbstractSocket::RemoteHostClosedError:
        return Port::Fault::Closed;
    case QAbstractSocket::SocketTimeoutError:
        return Port::Fault::TimedOut;
    default:
        return Port::Fault::Network;
    }
}

constexpr unsigned kAllConfirmed = 0xF;
} // namespace

NetworkConnection::NetworkConnection(Port::Reports reports, std::atomic<qint64> &pending,
                                     std::atomic<bool> &carried)
    : pending(pending), m_carried(carried), m_reports(reports), m_timeout(new QTimer(this)),
      m_breakEnd(new QTimer(this)), m_readLater(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] {
        failed(Port::Fault::TimedOut, QStringLiteral("the connection took too long"));
    });
    m_breakEnd->setSingleShot(true);
    connect(m_breakEnd, &QTimer::timeout, this, [this] {
        send(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOff), true);
    });
    m_readLater->setSingleShot(true);
    connect(m_readLater, &QTimer::timeout, this, &NetworkConnection::readSome);
}

void NetworkConnection::connectTo(const NetworkAddress &address, const LineSettings &settings,
                                  quint64 session)
{
    close();
    m_session = session;
    m_settings = settings;
    m_rfc2217 = address.rfc2217;
    m_telnet = TelnetClient(true);
    m_confirmed = 0;
    m_served = Port::Served{};
    m_socket = new QTcpSocket(this);
    // Read no further ahead than the port can take: the rest waits in the
    // network, held back by TCP.
    m_socket->setReadBufferSize(kReadChunk);
    connect(m_socket, &QTcpSocket::connected, this, &NetworkConnection::connected);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetworkConnection::readSome);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        failed(faultOf(e), m_socket->errorString());
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, &NetworkConnection::written);
    m_stage = Stage::Connecting;
    m_timeout->start(kConnectMs);
    m_socket->connectToHost(address.host, address.port);
}

// RFC 2217: binary both ways and the COM port option, then the line settings
// of the five selectors. The port is open once the server has confirmed all
// four (it opens the device when the connection comes in, and drops what is
// sent before that), or has said it has no COM port option; raw TCP at once.
void NetworkConnection::connected()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!m_rfc2217) {
        opened(Port::Served{});
        return;
    }
    m_stage = Stage::Confirming;
    send(m_telnet.greeting() +
             TelnetClient::command(TelnetClient::SetBaud, quint32(m_settings.baud), 4) +
             TelnetClient::command(TelnetClient::SetDataSize, quint32(m_settings.dataBits)) +
             TelnetClient::command(TelnetClient::SetParity, parityCode(m_settings.parity)) +
             TelnetClient::command(TelnetClient::SetStopSize, stopCode(m_settings.stopBits)) +
             TelnetClient::command(TelnetClient::SetModemStateMask, 0xF0),
         true);
}

void NetworkConnection::opened(const Port::Served &served)
{
    m_stage = Stage::Open;
    m_timeout->stop();
    m_carried = served.carried;
    m_reports.opened(m_session, served);
}

// One read buffer at a time, and only while the port has room for it.
void NetworkConnection::readSome()
{
    if (!m_socket || m_stage == Stage::Idle)
        return;
    if (m_reports.queuedBytes() >= Port::kMaxQueued) {
        if (!m_readLater->isActive())
            m_readLater->start(kBacklogPauseMs);
        return;
    }
    // readAll takes at most the read buffer, and has the socket read on.
    take(m_socket->readAll());
    if (m_socket && m_socket->bytesAvailable() > 0 && !m_readLater->isActive())
        m_readLater->start(0); // the rest after other events had their turn
}

void NetworkConnection::take(const QByteArray &in)
{
    if (in.isEmpty())
        return;
    if (!m_rfc2217) {
        m_reports.received(m_session, in);
    } else {
        const TelnetClient::Result r =
            m_telnet.feed(std::string_view(in.constData(), size_t(in.size())));
        // Delivered before the opening is: the port keeps them until it is open.
        if (!r.data.empty())
            m_reports.received(m_session, QByteArray(r.data.data(), qsizetype(r.data.size())));
        if (!r.reply.empty() && !send(r.reply, true))
            return;
        if (r.failed) {
            failed(Port::Fault::Broken, QStringLiteral("the server broke the Telnet protocol"));
            return;
        }
        takeNotices(r.notices);
        if (m_stage == Stage::Confirming && m_telnet.comPortRefused())
            opened(Port::Served{}); // settings cannot travel: bytes only, as raw TCP
    }
}

void NetworkConnection::takeNotices(const std::vector<TelnetClient::Notice> &notices)
{
    for (const TelnetClient::Notice &n : notices) {
        switch (n.command) {
        case TelnetClient::NotifyModemState:
            if (m_watching && m_stage == Stage::Open)
                m_reports.modemLines(m_session, modemLines(n.value));
            continue;
        case TelnetClient::SetBaud:
            m_served.baud = n.value;
            m_confirmed |= 1;
            break;
        case TelnetClient::SetDataSize:
            m_served.dataBits = quint8(n.value);
            m_confirmed |= 2;
            break;
        case TelnetClient::SetParity:
            m_served.parity = quint8(n.value);
            m_confirmed |= 4;
            break;
        case TelnetClient::SetStopSize:
            m_served.stopBits = quint8(n.value);
            m_confirmed |= 8;
            break;
        default:
            continue;
        }
        if (m_stage == Stage::Confirming && m_confirmed == kAllConfirmed) {
            m_served.carried = true;
            m_served.matches = m_served.baud == quint32(m_settings.baud) &&
                               m_served.dataBits == quint8(m_settings.dataBits) &&
                               m_served.parity == parityCode(m_settings.parity) &&
                               m_served.stopBits == stopCode(m_settings.stopBits);
            opened(m_served);
        }
    }
}

// Before the port is open: the opening failed. After: the port is lost.
void NetworkConnection::failed(Port::Fault fault, const QString &why)
{
    if (!m_socket || m_failing)
        return;
    const bool wasOpen = m_stage == Stage::Open;
    if (wasOpen) { // what came before the end is the device's too
        m_failing = true;
        take(m_socket->readAll());
        m_failing = false;
    }
    const quint64 session = m_session;
    close();
    if (wasOpen)
        m_reports.lost(session);
    else
        m_reports.openFailed(session, fault, why);
}

void NetworkConnection::close()
{
    m_timeout->stop();
    m_readLater->stop();
    const bool breakOn = m_breakEnd->isActive() && m_stage == Stage::Open;
    m_breakEnd->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        if (breakOn) {
            // A break is not left on at the server: this connection ends it,
            // then goes as soon as that is sent, or after kLingerMs.
            const std::string off =
                TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOff);
            m_socket->write(off.data(), qint64(off.size()));
            connect(m_socket, &QTcpSocket::disconnected, m_socket, &QObject::deleteLater);
            QTimer::singleShot(kLingerMs, m_socket, &QObject::deleteLater);
            m_socket->disconnectFromHost();
        } else {
            m_socket->abort();
            m_socket->deleteLater();
        }
        m_socket = nullptr;
    }
    m_stage = Stage::Idle;
    m_queue.clear();
    m_protocolQueued = m_portQueued = m_portInFlight = 0;
    pending = 0;
}

// False when the server has stopped reading: the connection is lost then.
bool NetworkConnection::send(const std::string &bytes, bool ours)
{
    if (!m_socket || m_stage < Stage::Confirming || bytes.empty())
        return m_socket != nullptr;
    const auto n = qint64(bytes.size());
    if (ours && m_protocolQueued + n > kMaxProtocolQueued) {
        failed(Port::Fault::NotReading, QStringLiteral("the server does not read"));
        return false;
    }
    if (m_socket->write(bytes.data(), n) != n) {
        failed(Port::Fault::Network, m_socket->errorString());
        return false;
    }
    (ours ? m_protocolQueued : m_portQueued) += n;
    if (!m_queue.empty() && m_queue.back().second == ours)
        m_queue.back().first += n;
    else
        m_queue.emplace_back(n, ours);
    return true;
}

// The socket has handed n more bytes to the network; once all the port's own
// writes are out, the port has drained (the protocol's writes are no sends).
void NetworkConnection::written(qint64 n)
{
    while (n > 0 && !m_queue.empty()) {
        auto &[size, ours] = m_queue.front();
        const qint64 took = std::min(n, size);
        (ours ? m_protocolQueued : m_portQueued) -= took;
        size -= took;
        n -= took;
        if (size == 0)
            m_queue.pop_front();
    }
    if (m_portQueued == 0 && m_portInFlight > 0) {
        pending -= std::exchange(m_portInFlight, 0);
        m_reports.drained(m_session);
    }
}

void NetworkConnection::write(const QByteArray &bytes)
{
    if (m_stage != Stage::Open) {
        pending -= bytes.size();
        return;
    }
    const std::string_view data(bytes.constData(), size_t(bytes.size()));
    if (send(m_rfc2217 ? TelnetClient::escape(data) : std::string(data), false))
        m_portInFlight += bytes.size();
}

void NetworkConnection::lines(bool dtr, bool rts)
{
    if (m_rfc2217 && m_stage == Stage::Open)
        send(TelnetClient::command(TelnetClient::SetControl,
                                   dtr ? TelnetClient::DtrOn : TelnetClient::DtrOff) +
                 TelnetClient::command(TelnetClient::SetControl,
                                       rts ? TelnetClient::RtsOn : TelnetClient::RtsOff),
             true);
}

void NetworkConnection::breakFor(int ms)
{
    if (!m_rfc2217 || m_stage != Stage::Open)
        return;
    if (send(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOn), true))
        m_breakEnd->start(ms);
}

namespace
{
// The connection's operations are only posted: its I/O thread may be busy with
// a flood, and the port's thread never waits for it. What they answer is known
// without asking (a port whose settings travel has control lines), and
// sessions keep anything that comes back from a closed connection away.
template <typename F> void post(QObject *target, F &&f)
{
    QMetaObject::invokeMethod(target, std::forward<F>(f), Qt::QueuedConnection);
}
} // namespace

NetworkLink::NetworkLink(Port::Reports reports, QThread *io)
    : m_connection(new NetworkConnection(reports, pending, m_carried))
{
    m_connection->moveToThread(io);
}

// Closed and destroyed on the thread it lives on.
NetworkLink::~NetworkLink()
{
    QMetaObject::invokeMethod(
        m_connection,
        [c = m_connection] {
            c->close();
            delete c;
        },
        Qt::BlockingQueuedConnection);
}

bool NetworkLink::open(const QString &path, const LineSettings &settings, quint64 session,
                       QString *error, Port::Fault *fault)
{
    m_carried = false;
    const auto address = networkAddress(path);
    if (!address) {
        *error = QStringLiteral("not a network address: ") + path;
        *fault = Port::Fault::BadAddress;
        return false;
    }
    post(m_connection, [c = m_connection, a = *address, settings, session] {
        c->connectTo(a, settings, session);
    });
    return true;
}

void NetworkLink::close()
{
    m_carried = false;
    post(m_connection, [c = m_connection] { c->close(); });
}

void NetworkLink::write(const QByteArray &bytes)
{
    pending += bytes.size();
    post(m_connection, [c = m_connection, bytes] { c->write(bytes); });
}

bool NetworkLink::setLines(bool dtr, bool rts)
{
    post(m_connection, [c = m_connection, dtr, rts] { c->lines(dtr, rts); });
    return m_carried;
}

bool NetworkLink::sendBreak(int ms)
{
    post(m_connection, [c = m_connection, ms] { c->breakFor(ms); });
    return m_carried;
}

void NetworkLink::watchLines(bool on)
{
    post(m_connection, [c = m_connection, on] { c->watchLines(on); });
}
