#pragma once

#include <QList>
#include <QString>
#include <optional>

// A serial device the machine has, with what the system knows of it.
struct PortInfo {
    QString path; // /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId, productId;

    bool isUsb() const { return vendorId && productId; }
};

// Lists the machine's serial devices; tests put their own in its place.
class PortLister
{
public:
    virtual ~PortLister() = default;
    virtual QList<PortInfo> ports() = 0;
};

// Qt Serial Port's own enumeration. Listing again only after /dev has changed
// keeps asking cheap enough to do several times a second.
class QtPortLister : public PortLister
{
public:
    QtPortLister();
    ~QtPortLister() override;
    QList<PortInfo> ports() override;

private:
    struct Watch;
    Watch *m_watch;
};

// "ttyUSB2" before "ttyUSB10": runs of digits compare as numbers.
bool naturalLess(const QString &a, const QString &b);

// The list's order: natural order of the paths.
void sortPorts(QList<PortInfo> &ports);

// What the port list shows of a device beside its path (tooltip and accessible
// description): one line each for description, maker, serial number and USB ids,
// leaving out what the system does not know.
QString portDetails(const PortInfo &port);

// The entry for the device at path (a link such as /dev/serial/by-id/… counts
// as the device it points to), if ports has it.
std::optional<PortInfo> findPort(const QList<PortInfo> &ports, const QString &path);
