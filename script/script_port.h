#pragma once

#include "script/script_channel.h"
#include "serial/port_settings.h"
#include "transfer/transfer_run.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class Port;
class PortSession;
class SendFeed;

// What a script does to the port, done on the port's thread: opening and
// closing through the session (as the switch does), sending through the send
// feed (so it counts in TX), the control lines. It hands what the port
// receives to the running script's channel as it is read, and tells it what
// becomes of the port. Every request is answered through its reply, at once
// or when it is done (a network port's connection, a send that waits for room
// in the transmit queue).
class ScriptPort : public QObject
{
    Q_OBJECT

public:
    using Reply = ScriptChannel::Reply;
    // How an opening is asked for with the texts of the five selectors; by
    // default straight through the session (the window sets its selectors
    // and opens as the switch does).
    using Opener = std::function<void(const PortSettings &, const SelectorTexts &)>;

    ScriptPort(Port *port, PortSession *session, SendFeed *send, QObject *parent = nullptr);
    ~ScriptPort() override;
    void setOpener(Opener opener) { m_opener = std::move(opener); }

    // The channel of the script that runs now; nullptr when none does.
    void attach(std::shared_ptr<ScriptChannel> channel);
    void detach();

    // While true, an opening a script asked for is under way: its failure is
    // the script's to tell, not the window's.
    bool opening() const { return bool(m_openReply); }

    // settings: "115200,N,8,1"; empty: 9600,N,8,1. What the script sent
    // goes out first (closing would drop it), for at most kDrainWaitMs.
    static constexpr int kDrainWaitMs = 2000;
    void open(const QString &name, const QString &settings, Reply reply);
    void close(Reply reply);
    void send(const QByteArray &bytes, Reply reply);
    // flag in the reply: the port has control lines and they were set.
    void setDtr(bool on, Reply reply);
    void setRts(bool on, Reply reply);
    void pulse(Reply reply);
    void sendBreak(int ms, Reply reply);
    // A file transfer (xsend, yrecv …): the reply's flag tells whether it
    // went well, and why holds the result in words. While it runs, what the
    // port receives is the transfer's, not the script's.
    void transfer(const TransferRun::Job &job, std::shared_ptr<QString> why, Reply reply);

    // "9600,N,8,1" split into the selectors' texts for name; nothing for a
    // text that is not four fields.
    static std::optional<SelectorTexts> selectorTexts(const QString &name, const QString &settings);

signals:
    // A script's transfer began (true) or ended: the window leaves what comes meanwhile to it.
    void transferring(bool on, const QString &result);

private:
    void onOpened();
    void onClosed();
    void onLost();
    void openNow(const QString &name, const QString &settings, Reply reply);
    void finishOpen(const QString &error);
    void flush();
    // Runs then once what the script sent has gone out.
    void afterSent(std::function<void()> then);
    void onDrained();

    Port *m_port;
    PortSession *m_session;
    SendFeed *m_send;
    Opener m_opener;
    std::shared_ptr<ScriptChannel> m_channel;
    Reply m_openReply;
    QString m_openName;
    QString m_openNote;
    struct Out {
        QByteArray bytes;
        Reply reply;
    };
    std::deque<Out> m_out; // sends waiting for room
    bool m_unsent = false; // a script's bytes are on their way
    std::function<void()> m_afterSent;
    QTimer *m_drainLimit;
    TransferRun *m_transfer = nullptr;
    std::shared_ptr<std::atomic<bool>> m_tapPaused = std::make_shared<std::atomic<bool>>(false);
};
