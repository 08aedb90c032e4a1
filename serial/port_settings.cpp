#include "serial/port_settings.h"

#include "serial/numeric_value.h"

#include <QStringList>
#include <algorithm>

std::optional<PortSettings> readPortSettings(const SelectorTexts &t)
{
    PortSettings s;
    if (t.com.startsWith(u'/')) {
        s.devicePath = t.com;
    } else {
        const double port = numeric::roundHalfEven(numeric::value(QStringView(t.com).mid(3, 2)));
        if (!(port >= 0 && port <= 255))
            return std::nullopt;
        s.portNumber = int(port);
    }
    s.baud = t.baud;
    s.parity = t.parity.left(1);
    const auto data = numeric::wholeInteger(t.dataBits, -32768, 32767);
    if (!data)
        return std::nullopt;
    s.dataBits = int(*data);
    const auto stop = numeric::wholeNumber(t.stopBits);
    if (!stop)
        return std::nullopt;
    s.stopBits = *stop;
    return s;
}

QString settingsString(const PortSettings &s)
{
    return s.baud + u',' + s.parity + u',' + QString::number(s.dataBits) + u',' +
           numeric::plainDecimal(s.stopBits);
}

QString openStatusLine(const SelectorTexts &t)
{
    return QStringLiteral("STATUS：") + t.com + QStringLiteral(" OPEND，") + t.baud + u',' +
           t.parity.left(1) + u',' + t.dataBits + u',' + t.stopBits;
}

QString closedStatusLine()
{
    return QStringLiteral("STATUS：COM Port Cloced");
}

QString awaitingStatusLine()
{
    return closedStatusLine() + QStringLiteral("（等待设备）");
}

std::optional<LineSettings> parseSettingsString(const QString &settings)
{
    const QStringList f = settings.split(u',');
    if (f.size() != 4)
        return std::nullopt;
    LineSettings ls;

    bool ok = false;
    const bool digitsOnly = !f[0].isEmpty() && std::all_of(f[0].begin(), f[0].end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    const qlonglong baud = f[0].toLongLong(&ok);
    if (!digitsOnly || !ok || baud <= 0 || baud > 0x7fffffff)
        return std::nullopt;
    ls.baud = qint32(baud);

    if (f[1].size() != 1)
        return std::nullopt;
    switch (f[1][0].toUpper().unicode()) {
    case u'N': ls.parity = QSerialPort::NoParity; break;
    case u'O': ls.parity = QSerialPort::OddParity; break;
    case u'E': ls.parity = QSerialPort::EvenParity; break;
    case u'M': ls.parity = QSerialPort::MarkParity; break;
    case u'S': ls.parity = QSerialPort::SpaceParity; break;
    default: return std::nullopt;
    }

    const int data = f[2].toInt(&ok);
    if (!ok || data < 4 || data > 8)
        return std::nullopt;
    ls.dataBits = QSerialPort::DataBits(data); // 4 has no enumerator and is refused at opening

    if (f[3] == u"1")
        ls.stopBits = QSerialPort::OneStop;
    else if (f[3] == u"1.5")
        ls.stopBits = QSerialPort::OneAndHalfStop;
    else if (f[3] == u"2")
        ls.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return ls;
}

std::optional<QSerialPort::StopBits> driverStopBits(const LineSettings &ls)
{
    if (ls.stopBits != QSerialPort::OneAndHalfStop)
        return ls.stopBits;
    if (ls.dataBits != QSerialPort::Data5)
        return std::nullopt;
    return QSerialPort::TwoStop;
}
