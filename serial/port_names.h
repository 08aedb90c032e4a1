#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// The device that port number n stands for: the path in QUORVEX_COM<n> when that
// is set, else /dev/ttyS<n-1> (COMn on Windows). Empty for port 0 and below.
QString devicePathForPort(int n);

// A port served on the network: "rfc2217://HOST:PORT" (Telnet with the COM port
// control option) or "tcp://HOST:PORT" (bytes only). HOST is a name, an IPv4
// address or an IPv6 address in brackets; PORT is 1 to 65535.
struct NetworkAddress {
    bool rfc2217 = false;
    QString host;
    quint16 port = 0;
};
std::optional<NetworkAddress> networkAddress(QStringView text);
// Whether text names a network port at all (well formed or not).
bool isNetworkAddress(QStringView text);
