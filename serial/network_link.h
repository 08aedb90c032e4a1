#pragma once

#include "serial/port.h"
#include "serial/port_link.h"
#include "serial/port_names.h"
#include "serial/port_settings.h"
#include "serial/telnet_client.h"

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <deque>

class NetworkConnection;
class QTcpSocket;
class QThread;
class QTimer;

// A port served on the network (rfc2217:// and tcp:// addresses): raw TCP
// (bytes only) or RFC 2217 (Telnet with the line settings, control lines and
// break). Nothing here ever waits: the answer to an opening is reported as
// opened or openFailed, after at most kConnectMs for the whole of it (name
// look-up, connecting and, for RFC 2217, the server's confirmation of the
// settings).
//
// The server is not trusted: what it sends is read only while the port's
// queue has room (TCP's flow control holds it back meanwhile), and a server
// that does not read what the protocol must tell it loses the connection once
// kMaxProtocolQueued of it waits.
class NetworkLink : public PortLink
{
public:
    static constexpr int kConnectMs = 5000;
    static constexpr qint64 kReadChunk = 64 * 1024;
    static constexpr qint64 kMaxProtocolQueued = 64 * 1024;
    static constexpr int kBacklogPauseMs = 5;
    // A connection closed during a break stays this long at most to end it.
    static constexpr int kLingerMs = 1000;

    // Lives on the port's thread; its connection on io, which must outlive it.
    NetworkLink(Port::Reports reports, QThread *io);
    ~NetworkLink() override;

    bool open(const QString &path, const LineSettings &settings, quint64 session, QString *error,
              Port::Fault *fault) override;
    bool connectsLater() const override { return true; }
    void close() override;
    void write(const QByteArray &bytes) override;
    // Known without asking the I/O thread: a port whose settings travel has
    // control lines.
    bool setLines(bool dtr, bool rts) override;
    bool sendBreak(int ms) override;
    void watchLines(bool on) override;

private:
    NetworkConnection *m_connection; // on the I/O thread
    std::atomic<bool> m_carried{false};
};

// The connection itself, on the I/O thread; everything but the two atomics
// it shares with its link is touched there only.
class NetworkConnection : public QObject
{
public:
    static constexpr int kConnectMs = NetworkLink::kConnectMs;
    static constexpr qint64 kReadChunk = NetworkLink::kReadChunk;
    static constexpr qint64 kMaxProtocolQueued = NetworkLink::kMaxProtocolQueued;
    static constexpr int kBacklogPauseMs = NetworkLink::kBacklogPauseMs;
    static constexpr int kLingerMs = NetworkLink::kLingerMs;

    NetworkConnection(Port::Reports reports, std::atomic<qint64> &pending,
                      std::atomic<bool> &carried);

    void connectTo(const NetworkAddress &address, const LineSettings &settings, quint64 session);
    void close();
    void write(const QByteArray &bytes);
    void lines(bool dtr, bool rts);
    void breakFor(int ms);
    void watchLines(bool on) { m_watching = on; }

    // Bytes of the port's writes not yet handed to the network.
    std::atomic<qint64> &pending;

private:
    enum class Stage { Idle, Connecting, Confirming, Open };
    void connected();
    void readSome();
    void take(const QByteArray &in);
    void takeNotices(const std::vector<TelnetClient::Notice> &notices);
    void opened(const Port::Served &served);
    void failed(Port::Fault fault, const QString &why);
    bool send(const std::string &bytes, bool ours);
    void written(qint64 n);

    std::atomic<bool> &m_carried; // the settings travel: there are control lines
    Port::Reports m_reports;
    QTcpSocket *m_socket = nullptr;
    QTimer *m_timeout;
    QTimer *m_breakEnd;
    QTimer *m_readLater;
    TelnetClient m_telnet;
    Stage m_stage = Stage::Idle;
    bool m_rfc2217 = false;
    bool m_watching = false;
    bool m_failing = false; // taking what is left before the connection goes
    LineSettings m_settings;
    quint64 m_session = 0;
    // The server's confirmations so far: a bit for each of baud, data size,
    // parity and stop size, and the values.
    unsigned m_confirmed = 0;
    Port::Served m_served;
    // What waits to be written, in order: sizes on the wire, and whether the
    // protocol wrote it (true) or the port (false).
    std::deque<std::pair<qint64, bool>> m_queue;
    qint64 m_protocolQueued = 0;
    qint64 m_portQueued = 0;
    qint64 m_portInFlight = 0; // the port's bytes (as written to it) in m_queue
};
