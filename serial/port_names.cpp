#include "serial/port_names.h"

#include <QtGlobal>

QString devicePathForPort(int n)
{
    if (n < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    const QString mapped = qEnvironmentVariable(QStringLiteral("QUORVEX_COM%1").arg(n).toLatin1());
    if (!mapped.isEmpty())
        return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

bool isNetworkAddress(QStringView text)
{
    return text.startsWith(u"rfc2217://", Qt::CaseInsensitive) ||
           text.startsWith(u"tcp://", Qt::CaseInsensitive);
}

std::optional<NetworkAddress> networkAddress(QStringView text)
{
    NetworkAddress a;
    a.rfc2217 = text.startsWith(u"rfc2217://", Qt::CaseInsensitive);
    if (!a.rfc2217 && !text.startsWith(u"tcp://", Qt::CaseInsensitive))
        return std::nullopt;
    QStringView rest = text.mid(a.rfc2217 ? 10 : 6);
    const qsizetype colon = rest.lastIndexOf(u':');
    if (colon <= 0)
        return std::nullopt;
    QStringView host = rest.first(colon);
    const QStringView port = rest.mid(colon + 1);
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number < 1 || number > 65535 || port.startsWith(u'+'))
        return std::nullopt;
    if (host.startsWith(u'[')) {
        if (!host.endsWith(u']') || host.size() < 3)
            return std::nullopt;
        host = host.sliced(1, host.size() - 2);
    } else if (host.contains(u':')) {
        return std::nullopt; // an IPv6 address without its brackets
    }
    for (QChar c : host)
        if (c.isSpace() || c == u'/' || c == u'@' || c == u'[' || c == u']')
            return std::nullopt;
    a.host = host.toString();
    a.port = quint16(number);
    return a;
}
