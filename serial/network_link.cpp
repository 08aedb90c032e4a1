#include "serial/network_link.h"

#include "serial/device_port.h"

#include <QTcpSocket>
#include <QTimer>

namespace {
// RFC 2217's codes for the line settings.
std::uint8_t parityCode(QSerialPort::Parity p)
{
    switch (p) {
    case QSerialPort::OddParity: return TelnetClient::ParityOdd;
    case QSerialPort::EvenParity: return TelnetClient::ParityEven;
    case QSerialPort::MarkParity: return TelnetClient::ParityMark;
    case QSerialPort::SpaceParity: return TelnetClient::ParitySpace;
    default: return TelnetClient::ParityNone;
    }
}

std::uint8_t stopCode(QSerialPort::StopBits s)
{
    return s == QSerialPort::TwoStop ? TelnetClient::StopTwo
         : s == QSerialPort::OneAndHalfStop ? TelnetClient::StopOneAndHalf
                                             : TelnetClient::StopOne;
}

// NOTIFY-MODEMSTATE's bits.
Port::ModemLines modemLines(std::uint32_t state)
{
    return {bool(state & 0x10), bool(state & 0x20), bool(state & 0x80), bool(state & 0x40)};
}
} // namespace

NetworkLink::NetworkLink(DevicePort *owner)
    : m_owner(owner), m_timeout(new QTimer(this)), m_breakEnd(new QTimer(this))
{
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] { failed(QStringLiteral("the connection took too long")); });
    m_breakEnd->setSingleShot(true);
    connect(m_breakEnd, &QTimer::timeout, this, [this] {
        send(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOff));
    });
}

void NetworkLink::connectTo(const NetworkAddress &address, const LineSettings &settings, quint64 session)
{
    close();
    m_session = session;
    m_settings = settings;
    m_rfc2217 = address.rfc2217;
    m_telnet = TelnetClient(true);
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &NetworkLink::connected);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetworkLink::readAll);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { failed(m_socket->errorString()); });
    // Drained is news only after the port's own writes, not the protocol's.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket->bytesToWrite() == 0 && pending > 0) {
            pending = 0;
            m_owner->deliverDrained(m_session);
        }
    });
    m_timeout->start(kConnectMs);
    m_socket->connectToHost(address.host, address.port);
}

// RFC 2217: binary both ways and the COM port option, then the line settings
// of the five selectors. The port is open once the server has confirmed them
// (it opens the device when the connection comes in, and drops what is sent
// before that), or has said it has no COM port option; raw TCP at once.
void NetworkLink::connected()
{
    m_connected = true;
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_rfc2217) {
        send(m_telnet.greeting() + TelnetClient::command(TelnetClient::SetBaud, quint32(m_settings.baud), 4) +
             TelnetClient::command(TelnetClient::SetDataSize, quint32(m_settings.dataBits)) +
             TelnetClient::command(TelnetClient::SetParity, parityCode(m_settings.parity)) +
             TelnetClient::command(TelnetClient::SetStopSize, stopCode(m_settings.stopBits)) +
             TelnetClient::command(TelnetClient::SetModemStateMask, 0xF0));
        return;
    }
    m_timeout->stop();
    m_owner->deliverOpened(m_session);
}

void NetworkLink::readAll()
{
    const QByteArray in = m_socket->readAll();
    if (!m_rfc2217) {
        m_owner->deliverReceived(m_session, in);
        return;
    }
    const TelnetClient::Result r = m_telnet.feed(std::string_view(in.constData(), size_t(in.size())));
    if (!r.data.empty())
        m_owner->deliverReceived(m_session, QByteArray(r.data.data(), qsizetype(r.data.size())));
    if (!r.reply.empty())
        send(r.reply);
    for (const TelnetClient::Notice &n : r.notices)
        if (n.command == TelnetClient::NotifyModemState && m_watching)
            m_owner->deliverModemLines(m_session, modemLines(n.value));
    if (r.failed) {
        failed(QStringLiteral("the server broke the Telnet protocol"));
        return;
    }
    if (!m_confirmed && (!r.notices.empty() || m_telnet.comPortRefused())) {
        m_confirmed = true;
        m_timeout->stop();
        m_owner->deliverOpened(m_session);
    }
}

// Before the connection is made: the opening failed. After: the port is lost.
void NetworkLink::failed(const QString &why)
{
    if (!m_socket)
        return;
    const bool wasConnected = m_connected;
    const quint64 session = m_session;
    close();
    if (wasConnected)
        m_owner->deliverLost(session);
    else
        m_owner->deliverOpenFailed(session, why);
}

void NetworkLink::close()
{
    m_timeout->stop();
    m_breakEnd->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    m_connected = false;
    m_confirmed = false;
    pending = 0;
}

void NetworkLink::send(const std::string &bytes)
{
    if (m_socket && m_connected)
        m_socket->write(bytes.data(), qint64(bytes.size()));
}

void NetworkLink::write(const QByteArray &bytes)
{
    if (!m_connected) {
        pending -= bytes.size();
        return;
    }
    const std::string_view data(bytes.constData(), size_t(bytes.size()));
    send(m_rfc2217 ? TelnetClient::escape(data) : std::string(data));
}

bool NetworkLink::lines(bool dtr, bool rts)
{
    if (!m_rfc2217 || !m_connected)
        return false;
    send(TelnetClient::command(TelnetClient::SetControl, dtr ? TelnetClient::DtrOn : TelnetClient::DtrOff) +
         TelnetClient::command(TelnetClient::SetControl, rts ? TelnetClient::RtsOn : TelnetClient::RtsOff));
    return true;
}

bool NetworkLink::breakFor(int ms)
{
    if (!m_rfc2217 || !m_connected)
        return false;
    send(TelnetClient::command(TelnetClient::SetControl, TelnetClient::BreakOn));
    m_breakEnd->start(ms);
    return true;
}
