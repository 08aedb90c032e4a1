#include "serial/port_session.h"

#include "serial/port_status.h"
#include "serial/port_watcher.h"

#include <utility>

PortSession::PortSession(Port *port, PortLister *lister, QObject *parent)
    : QObject(parent), m_port(port), m_watcher(new PortWatcher(lister, this))
{
    connect(m_port, &Port::lost, this, &PortSession::onPortLost);
    connect(m_port, &Port::openFinished, this, &PortSession::onOpenFinished);
    connect(m_port, &Port::errorOccurred, this, &PortSession::onPortError);
    connect(m_port, &Port::opened, this, [this] { m_errorShown = false; });
}

PortSession::~PortSession() = default;

void PortSession::setLister(PortLister *lister)
{
    m_watcher->setLister(lister);
}

// Settings the port cannot take (a baud that is no number, an unknown parity
// letter, data or stop bits out of range) fail as a missing device does.
bool PortSession::openPort(const PortSettings &s, const SelectorTexts &shown)
{
    m_pending = Pending::None;
    const auto line = lineSettings(s);
    const bool ok = line && m_port->open(portDevice(s), *line);
    m_openFault = ok || !line ? Port::Fault::Other : m_port->fault();
    if (!ok && looksLikeOtherAddress(shown.com))
        m_openFault = Port::Fault::BadAddress;
    return ok;
}

// An opening that failed at once: the message first, then the port closed and
// the status line telling why where that is known.
void PortSession::failNow(Failure which)
{
    emit openFailed(which);
    ClosePort();
    note(faultNote(m_openFault));
}

// An opening that failed later (a network port): the status line says why
// while the message is up, no longer that it connects.
void PortSession::failOpening(Failure which)
{
    ClosePort();
    note(faultNote(m_openFault));
    emit openFailed(which);
}

// A network port answers later: the closed look stays, and the status line
// says it is connecting, until onOpenFinished.
bool PortSession::awaitOpening(Pending which, const SelectorTexts &shown)
{
    if (!m_port->isOpening())
        return false;
    m_pending = which;
    m_pendingTexts = shown;
    if (which == Pending::Apply)
        emit lookChanged(false); // until it is open
    status(closedStatusLine() + QStringLiteral("（正在连接）"));
    return true;
}

// As a device that opens or cannot be opened does, only later.
void PortSession::onOpenFinished(bool ok)
{
    const Pending which = std::exchange(m_pending, Pending::None);
    if (which == Pending::None)
        return;
    if (!ok && which == Pending::Return) { // still away: the wait goes on
        m_watcher->waitForReturn([this](const QString &path) { return reopenReturned(path); });
        return;
    }
    if (!ok) {
        m_openFault = m_port->fault();
        failOpening(which == Pending::AtStart ? Failure::AtStart : Failure::Apply);
        return;
    }
    if (which != Pending::AtStart)
        emit lookChanged(true);
    showOpenStatus(m_pendingTexts);
    m_openTexts = m_pendingTexts;
    m_watcher->remember(m_port->device());
}

// Leaves the switch's look as the window starts with it.
void PortSession::OpenPortAtStart(const PortSettings &s, const SelectorTexts &shown)
{
    m_port->close();
    if (!openPort(s, shown))
        return failNow(Failure::AtStart);
    if (awaitOpening(Pending::AtStart, shown))
        return;
    showOpenStatus(shown);
    rememberOpened(shown);
}

// Every call closes and opens again, also with nothing changed; a failure
// leaves the port closed.
void PortSession::ApplyPortSettings(const PortSettings &s, const SelectorTexts &shown)
{
    m_port->close();
    if (!openPort(s, shown))
        return failNow(Failure::Apply);
    if (awaitOpening(Pending::Apply, shown))
        return;
    emit lookChanged(true);
    showOpenStatus(shown);
    rememberOpened(shown);
}

void PortSession::ClosePort()
{
    m_pending = Pending::None;
    m_port->close();
    status(closedStatusLine());
    emit lookChanged(false);
}

// A network port's line tells, after the settings, what its server made of them.
void PortSession::showOpenStatus(const SelectorTexts &texts)
{
    emit statusChanged(openStatusLine(texts), kStatusNameFrom, texts.com.size());
    if (const auto served = m_port->served())
        note(servedNote(*served));
}

void PortSession::rememberOpened(const SelectorTexts &texts)
{
    m_openTexts = texts;
    m_watcher->remember(m_port->device());
}

// A fault that leaves the port open (a read or write error) is told once an
// opening; the port stays as the driver leaves it.
void PortSession::onPortError(const QString &what)
{
    if (std::exchange(m_errorShown, true))
        return;
    note(QStringLiteral("（串口出错：%1）").arg(what));
}

// A device that disappears closes the port without a question; the device is
// taken up again when it returns, until the user decides otherwise.
void PortSession::onPortLost()
{
    ClosePort();
    status(awaitingStatusLine());
    m_watcher->waitForReturn([this](const QString &path) { return reopenReturned(path); });
}

void PortSession::stopWaiting()
{
    if (!m_watcher->isWaiting())
        return;
    m_watcher->stop();
    if (!m_port->isOpen())
        status(closedStatusLine());
}

bool PortSession::isWaiting() const
{
    return m_watcher->isWaiting();
}

bool PortSession::reopenReturned(const QString &path)
{
    if (m_port->isOpen())
        return true;
    if (!m_port->open(path, m_port->lineSettings()))
        return false;
    if (m_port->isOpening()) { // a network port: the answer comes in onOpenFinished
        m_pending = Pending::Return;
        m_pendingTexts = m_openTexts;
        return true;
    }
    emit lookChanged(true);
    showOpenStatus(m_openTexts);
    return true;
}

void PortSession::quit()
{
    stopWaiting();
    m_pending = Pending::None;
    m_port->close();
}
