#include "script/script_port.h"

#include "serial/port.h"
#include "serial/port_session.h"
#include "transmit/send_feed.h"

#include <QStringList>

ScriptPort::ScriptPort(Port *port, PortSession *session, SendFeed *send, QObject *parent)
    : QObject(parent), m_port(port), m_session(session), m_send(send),
      m_drainLimit(new QTimer(this))
{
    m_drainLimit->setSingleShot(true);
    connect(m_drainLimit, &QTimer::timeout, this, [this] {
        m_unsent = false;
        if (auto then = std::exchange(m_afterSent, nullptr))
            then();
    });
    m_opener = [this](const PortSettings &s, const SelectorTexts &texts) {
        m_session->stopWaiting();
        m_session->ApplyPortSettings(s, texts);
    };
    connect(m_port, &Port::opened, this, &ScriptPort::onOpened);
    connect(m_port, &Port::closed, this, &ScriptPort::onClosed);
    connect(m_port, &Port::lost, this, &ScriptPort::onLost);
    connect(m_port, &Port::drained, this, &ScriptPort::onDrained);
    connect(m_port, &Port::openFinished, this, [this](bool ok) {
        if (m_openReply)
            finishOpen(ok ? QString() : m_port->errorString());
    });
    connect(m_session, &PortSession::noteAdded, this, [this](const QString &note) {
        if (m_openReply)
            m_openNote = note;
    });
}

ScriptPort::~ScriptPort()
{
    detach();
}

void ScriptPort::attach(std::shared_ptr<ScriptChannel> channel)
{
    detach();
    m_channel = std::move(channel);
    m_channel->portChanged(m_port->isOpen() ? ScriptChannel::PortState::Open
                                            : ScriptChannel::PortState::Closed);
    m_tapPaused->store(false);
    m_port->setTap([c = m_channel, paused = m_tapPaused](const QByteArray &bytes) {
        if (!paused->load())
            c->received(bytes);
    });
    m_port->setEagerReads(true);
}

void ScriptPort::detach()
{
    if (!m_channel)
        return;
    if (m_transfer && m_transfer->running())
        m_transfer->cancel(); // the script that asked for it is gone
    m_port->setTap({});
    m_port->setEagerReads(false);
    m_channel.reset();
    m_openReply = nullptr;
    m_afterSent = nullptr;
    m_unsent = false;
    m_drainLimit->stop();
    for (Out &o : m_out)
        o.reply(QStringLiteral("脚本已结束"), false);
    m_out.clear();
}

std::optional<SelectorTexts> ScriptPort::selectorTexts(const QString &name, const QString &settings)
{
    const QStringList f =
        (settings.isEmpty() ? QStringLiteral("9600,N,8,1") : settings).split(u',');
    if (f.size() != 4)
        return std::nullopt;
    return SelectorTexts{name, f[0].trimmed(), f[1].trimmed(), f[2].trimmed(), f[3].trimmed()};
}

void ScriptPort::afterSent(std::function<void()> then)
{
    if (!m_port->isOpen())
        flush(); // what waits for room cannot go now
    if ((!m_unsent && m_out.empty()) || !m_port->isOpen()) {
        m_unsent = false;
        then();
        return;
    }
    m_afterSent = std::move(then);
    m_drainLimit->start(kDrainWaitMs);
}

void ScriptPort::onDrained()
{
    flush();
    if (!m_out.empty())
        return; // more of the script's is still to go
    m_unsent = false;
    m_drainLimit->stop();
    if (auto then = std::exchange(m_afterSent, nullptr))
        then();
}

void ScriptPort::open(const QString &name, const QString &settings, Reply reply)
{
    afterSent([this, name, settings, reply = std::move(reply)]() mutable {
        openNow(name, settings, std::move(reply));
    });
}

void ScriptPort::openNow(const QString &name, const QString &settings, Reply reply)
{
    const auto texts = selectorTexts(name, settings);
    const auto s = texts ? parsePortSettings(*texts) : std::nullopt;
    if (!s || !lineSettings(*s)) {
        reply(QStringLiteral("端口设置“%1”无效（应写作 115200,N,8,1）").arg(settings), false);
        return;
    }
    if (portDevice(*s).isEmpty()) {
        reply(QStringLiteral("“%1”不是串口").arg(name), false);
        return;
    }
    m_openReply = std::move(reply);
    m_openName = name;
    m_openNote.clear();
    m_opener(*s, *texts);
    if (!m_openReply || m_port->isOpening())
        return; // answered already, or a connection under way
    finishOpen(m_port->isOpen() ? QString() : m_port->errorString());
}

void ScriptPort::finishOpen(const QString &error)
{
    Reply reply = std::exchange(m_openReply, nullptr);
    if (error.isEmpty() && m_port->isOpen()) {
        reply({}, true);
        return;
    }
    QString why = m_openNote;
    if (why.startsWith(u'（') && why.endsWith(u'）'))
        why = why.mid(1, why.size() - 2);
    if (why.isEmpty())
        why = error.isEmpty() ? QStringLiteral("没有发现此串口或被占用") : error;
    reply(QStringLiteral("无法打开 %1：%2").arg(m_openName, why), false);
}

void ScriptPort::close(Reply reply)
{
    afterSent([this, reply = std::move(reply)] {
        m_session->stopWaiting();
        if (m_port->isOpen() || m_port->isOpening())
            m_session->ClosePort();
        reply({}, true);
    });
}

void ScriptPort::send(const QByteArray &bytes, Reply reply)
{
    m_out.push_back({bytes, std::move(reply)});
    flush();
}

// In order; what the transmit queue has no room for waits for its drain.
void ScriptPort::flush()
{
    while (!m_out.empty()) {
        Out &o = m_out.front();
        if (!m_port->isOpen()) {
            o.reply(QStringLiteral("串口没有打开"), false);
        } else if (m_send->sendBytes(o.bytes)) {
            m_unsent = true;
            o.reply({}, true);
        } else if (o.bytes.isEmpty()) {
            o.reply({}, true);
        } else {
            return; // full: the next drain flushes again
        }
        m_out.pop_front();
    }
}

void ScriptPort::setDtr(bool on, Reply reply)
{
    m_port->setDtr(on);
    reply({}, m_port->hasControlLines());
}

void ScriptPort::setRts(bool on, Reply reply)
{
    m_port->setRts(on);
    reply({}, m_port->hasControlLines());
}

void ScriptPort::pulse(Reply reply)
{
    reply({}, m_port->pulseReset());
}

void ScriptPort::sendBreak(int ms, Reply reply)
{
    reply({}, m_port->sendBreak(ms));
}

void ScriptPort::onOpened()
{
    if (!m_channel)
        return;
    m_channel->restarted();
    m_channel->portChanged(ScriptChannel::PortState::Open);
}

void ScriptPort::onClosed()
{
    if (m_channel)
        m_channel->portChanged(ScriptChannel::PortState::Closed);
    flush(); // what waited for room cannot go now
}

void ScriptPort::onLost()
{
    if (m_channel)
        m_channel->portChanged(m_session->isWaiting() ? ScriptChannel::PortState::Awaiting
                                                      : ScriptChannel::PortState::Closed,
                               QStringLiteral("串口 %1 已断开").arg(m_port->device()));
}

void ScriptPort::transfer(const TransferRun::Job &job, std::shared_ptr<QString> why, Reply reply)
{
    if (!m_transfer) {
        m_transfer = new TransferRun(m_port, m_send, this);
        connect(m_transfer, &TransferRun::finished, this, [this](bool, const QString &result) {
            m_tapPaused->store(false);
            m_port->setEagerReads(bool(m_channel));
            emit transferring(false, result);
        });
    }
    m_tapPaused->store(true);
    QString error;
    if (!m_transfer->start(job, &error)) {
        m_tapPaused->store(false);
        *why = error;
        return reply(QString(), false);
    }
    emit transferring(true, QString());
    // The reply waits for the end; a script stopped meanwhile cancels it on detach.
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(m_transfer, &TransferRun::finished, this,
                    [once, why, reply](bool ok, const QString &result) {
                        QObject::disconnect(*once);
                        *why = result;
                        reply(QString(), ok);
                    });
}
