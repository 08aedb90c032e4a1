#include "serial/port_lister.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QtSerialPort/QSerialPortInfo>
#include <algorithm>

struct QtPortLister::Watch {
    QFileSystemWatcher dev;
    bool changed = true;
    QList<PortInfo> cached;
};

QtPortLister::QtPortLister() : m_watch(new Watch)
{
    // Devices come and go as entries of /dev; without a watch, list every time.
    if (m_watch->dev.addPath(QStringLiteral("/dev")))
        QObject::connect(&m_watch->dev, &QFileSystemWatcher::directoryChanged, &m_watch->dev,
                         [w = m_watch] { w->changed = true; });
}

QtPortLister::~QtPortLister()
{
    delete m_watch;
}

QList<PortInfo> QtPortLister::ports()
{
    if (!m_watch->changed && !m_watch->dev.directories().isEmpty())
        return m_watch->cached;
    m_watch->changed = false;
    QList<PortInfo> list;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString path = info.systemLocation();
        if (path.startsWith(QStringLiteral("/dev/pts/"))) // pseudo-terminals are no devices
            continue;
        PortInfo p{path, info.description(), info.manufacturer(), info.serialNumber(), {}, {}};
        if (info.hasVendorIdentifier())
            p.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            p.productId = info.productIdentifier();
        list << p;
    }
    m_watch->cached = list;
    return list;
}

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            // Compare as numbers without converting: strip leading zeros, then
            // the longer run is larger, then digit by digit.
            QStringView x = QStringView(a).sliced(i, ie - i), y = QStringView(b).sliced(j, je - j);
            while (x.size() > 1 && x.front() == u'0')
                x = x.sliced(1);
            while (y.size() > 1 && y.front() == u'0')
                y = y.sliced(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int c = x.compare(y); c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b; // equal as numbers ("01" and "1"): any fixed order
}

void sortPorts(QList<PortInfo> &ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo &x, const PortInfo &y) {
        return naturalLess(x.path, y.path);
    });
}

QString portDetails(const PortInfo &port)
{
    QStringList lines;
    if (!port.description.isEmpty())
        lines << QStringLiteral("描述：") + port.description;
    if (!port.manufacturer.isEmpty())
        lines << QStringLiteral("制造商：") + port.manufacturer;
    if (!port.serialNumber.isEmpty())
        lines << QStringLiteral("序列号：") + port.serialNumber;
    if (port.isUsb()) {
        const auto hex = [](quint16 v) {
            return QString::number(v, 16).toUpper().rightJustified(4, u'0');
        };
        lines
            << QStringLiteral("USB：VID %1，PID %2").arg(hex(*port.vendorId), hex(*port.productId));
    }
    return lines.join(u'\n');
}

std::optional<PortInfo> findPort(const QList<PortInfo> &ports, const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const PortInfo &p : ports)
        if (p.path == path ||
            (!target.isEmpty() && QFileInfo(p.path).canonicalFilePath() == target))
            return p;
    return std::nullopt;
}
