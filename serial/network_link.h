#pragma once

#include "serial/port_names.h"
#include "serial/port_settings.h"
#include "serial/telnet_client.h"

#include <QByteArray>
#include <QObject>
#include <atomic>

class DevicePort;
class QTcpSocket;
class QTimer;

// A port served on the network, on the device port's I/O thread: raw TCP
// (bytes only) or RFC 2217 (Telnet with the line settings, control lines and
// break). Name look-up and connecting never wait: the answer to an opening
// comes through the port's deliverOpened or deliverOpenFailed, after at most
// kConnectMs. Everything but pending is touched on the I/O thread only.
class NetworkLink : public QObject
{
public:
    static constexpr int kConnectMs = 5000;

    explicit NetworkLink(DevicePort *owner);

    void connectTo(const NetworkAddress &address, const LineSettings &settings, quint64 session);
    void close();
    void write(const QByteArray &bytes);
    bool lines(bool dtr, bool rts);
    bool breakFor(int ms);
    void watchLines(bool on) { m_watching = on; }

    std::atomic<qint64> pending{0};

private:
    void connected();
    void readAll();
    void failed(const QString &why);
    void send(const std::string &bytes);

    DevicePort *m_owner;
    QTcpSocket *m_socket = nullptr;
    QTimer *m_timeout;
    QTimer *m_breakEnd;
    TelnetClient m_telnet;
    bool m_rfc2217 = false;
    bool m_connected = false;
    bool m_confirmed = false; // RFC 2217: the server has answered the settings
    bool m_watching = false;
    LineSettings m_settings;
    quint64 m_session = 0;
};
