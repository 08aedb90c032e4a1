#include "serial/port_watcher.h"

#include "serial/port_names.h"

#include <QFileInfo>
#include <algorithm>

PortWatcher::PortWatcher(PortLister *lister, QObject *parent) : QObject(parent), m_lister(lister)
{
    m_timer.setInterval(kLookEveryMs);
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::look);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        // An opening that answers later counts as taken; if it fails, the
        // window waits again and the next try comes later still.
        if (!m_open || !m_open(m_path))
            waitForReturn(m_open);
    });
}

void PortWatcher::remember(const QString &path)
{
    m_path = path;
    m_identity.reset();
    m_retryMs = kFirstRetryMs;
    if (isNetworkAddress(path))
        return;
    // Listing takes a few tens of milliseconds; it need not hold up the opening
    // or the window's first showing.
    QTimer::singleShot(kIdentifyAfterMs, this, [this, path] {
        if (m_path != path || !m_lister)
            return;
        if (auto found = findPort(m_lister->ports(), path); found && found->isUsb())
            m_identity = found;
    });
}

void PortWatcher::waitForReturn(Opener open)
{
    m_open = std::move(open);
    if (m_path.isEmpty())
        return;
    if (isNetworkAddress(m_path)) {
        m_retry.start(m_retryMs);
        m_retryMs = std::min(2 * m_retryMs, kLastRetryMs);
        return;
    }
    m_timer.start();
}

void PortWatcher::stop()
{
    m_timer.stop();
    m_retry.stop();
    m_retryMs = kFirstRetryMs;
}

// The same path, unless the list knows another device there; or the one
// device with the same USB identity (serial number included where it has one:
// two adapters of one model without serial numbers cannot be told apart, and
// then neither is taken).
QString PortWatcher::candidate()
{
    const bool there = QFileInfo::exists(m_path);
    if (!m_identity || !m_lister)
        return there ? m_path : QString();
    const QList<PortInfo> ports = m_lister->ports();
    const auto same = [this](const PortInfo &p) {
        return p.vendorId == m_identity->vendorId && p.productId == m_identity->productId &&
               p.serialNumber == m_identity->serialNumber;
    };
    if (there) {
        const auto at = findPort(ports, m_path);
        if (!at || same(*at))
            return m_path;
    }
    QStringList matches;
    for (const PortInfo &p : ports)
        if (same(p))
            matches << p.path;
    return matches.size() == 1 ? matches.first() : QString();
}

void PortWatcher::look()
{
    const QString path = candidate();
    if (path.isEmpty())
        return;
    // A device that is back but will not open yet (busy, permissions still being
    // set) is tried again at the next look.
    if (m_open && m_open(path)) {
        m_timer.stop();
        m_path = path;
    }
}
