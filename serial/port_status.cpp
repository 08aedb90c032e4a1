#include "serial/port_status.h"

#include "serial/port_names.h"
#include "serial/telnet_client.h"

QString faultNote(Port::Fault fault)
{
    switch (fault) {
    case Port::Fault::BadAddress:
        return QStringLiteral("（地址无效）");
    case Port::Fault::Refused:
        return QStringLiteral("（连接被拒绝）");
    case Port::Fault::HostNotFound:
        return QStringLiteral("（找不到主机）");
    case Port::Fault::TimedOut:
        return QStringLiteral("（连接超时）");
    case Port::Fault::Closed:
        return QStringLiteral("（服务器断开了连接）");
    case Port::Fault::Broken:
        return QStringLiteral("（服务器违反协议）");
    case Port::Fault::NotReading:
        return QStringLiteral("（服务器不接收数据）");
    case Port::Fault::Network:
        return QStringLiteral("（网络错误）");
    case Port::Fault::Other:
        break;
    }
    return QString();
}

QString servedNote(const Port::Served &s)
{
    if (!s.carried)
        return QStringLiteral("（设置不经网络传送）");
    if (s.matches)
        return QString();
    static const char parity[] = "?NOEMS";
    const QChar letter = QLatin1Char(s.parity < sizeof parity - 1 ? parity[s.parity] : '?');
    const QString stop = s.stopBits == TelnetClient::StopOne          ? QStringLiteral("1")
                         : s.stopBits == TelnetClient::StopTwo        ? QStringLiteral("2")
                         : s.stopBits == TelnetClient::StopOneAndHalf ? QStringLiteral("1.5")
                                                                      : QStringLiteral("?");
    return QStringLiteral("（服务器：%1,%2,%3,%4）")
        .arg(s.baud)
        .arg(letter)
        .arg(s.dataBits)
        .arg(stop);
}

bool looksLikeOtherAddress(QStringView text)
{
    return text.contains(u"://") && !isNetworkAddress(text);
}
