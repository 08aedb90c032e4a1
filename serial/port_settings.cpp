#include "serial/port_settings.h"

#include "serial/numeric_value.h"
#include "serial/port_names.h"

#include <QStringList>
#include <algorithm>

std::optional<PortSettings> parsePortSettings(const SelectorTexts &t)
{
    PortSettings s;
    if (t.com.startsWith(u'/') || isNetworkAddress(t.com)) {
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

QString portDevice(const PortSettings &s)
{
    return s.devicePath.isEmpty() ? devicePathForPort(s.portNumber) : s.devicePath;
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

std::optional<LineSettings> lineSettings(const PortSettings &s)
{
    LineSettings ls;

    bool ok = false;
    const bool digitsOnly =
        !s.baud.isEmpty() &&
        std::all_of(s.baud.begin(), s.baud.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const qlonglong baud = s.baud.toLongLong(&ok);
    if (!digitsOnly || !ok || baud <= 0 || baud > 0x7fffffff)
        return std::nullopt;
    ls.baud = qint32(baud);

    if (s.parity.size() != 1)
        return std::nullopt;
    switch (s.parity[0].toUpper().unicode()) {
    case u'N':
        ls.parity = QSerialPort::NoParity;
        break;
    case u'O':
        ls.parity = QSerialPort::OddParity;
        break;
    case u'E':
        ls.parity = QSerialPort::EvenParity;
        break;
    case u'M':
        ls.parity = QSerialPort::MarkParity;
        break;
    case u'S':
        ls.parity = QSerialPort::SpaceParity;
        break;
    default:
        return std::nullopt;
    }

    if (s.dataBits < 4 || s.dataBits > 8)
        return std::nullopt;
    ls.dataBits =
        QSerialPort::DataBits(s.dataBits); // 4 has no enumerator and is refused at opening

    // As the number reads in plain decimals: 1.0 is 1.
    const QString stop = numeric::plainDecimal(s.stopBits);
    if (stop == u"1")
        ls.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        ls.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
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
