#pragma once

#include "transfer/transfer_files.h"
#include "transfer/xmodem.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <memory>
#include <vector>

class Port;
class SendFeed;

// A file transfer on the open port: XMODEM and YMODEM by our own machines,
// ZMODEM by lrzsz's sz and rz, run with their standard input and output
// joined to the port. While it runs, what the port receives is the
// transfer's (the window shows none of it); what it sends goes through the
// send feed and counts as sent. It ends by itself (done or failed, with the
// reason), on cancel, and at once when the port closes or goes away.
class TransferRun : public QObject
{
    Q_OBJECT

public:
    enum class Protocol { XModem, XModemCrc, XModem1k, YModem, ZModem };
    enum class Direction { Send, Receive };
    struct Job {
        Protocol protocol = Protocol::XModem1k;
        Direction direction = Direction::Send;
        QStringList files; // to send (XMODEM: the first)
        QString folder;    // to receive into
        QString name;      // XMODEM, received: the file's name in folder
    };
    struct Figures {
        qint64 bytes = 0;  // of the file under way
        qint64 total = -1; // its size; -1 not known
        qint64 sent = 0;   // all files so far, bytes
        qint64 blocks = 0;
        int retries = 0;
        int files = 0;
        QString name;
        qint64 elapsedMs = 0;
    };

    TransferRun(Port *port, SendFeed *send, QObject *parent = nullptr);
    ~TransferRun() override;

    // The protocol's name as menus and reports give it ("XMODEM-1K", "YMODEM" …).
    static QString protocolName(Protocol p);
    // Where sz and rz are; empty when lrzsz is not installed.
    static QString lrzszProgram(Direction d);

    // False, with why, when it cannot begin (the port is closed, a file cannot be read).
    bool start(const Job &job, QString *why);
    void cancel();
    bool running() const { return m_running; }
    const Job &job() const { return m_job; }
    Figures figures() const;
    // What was kept of a receive.
    QStringList received() const;

signals:
    void progressed();
    // ok, and the result in words: 成功 with size and time, or the reason.
    void finished(bool ok, const QString &result);

private:
    void onReceived(const QByteArray &bytes);
    // On the port's reading thread: the machine takes what was read and its
    // answer (the next block, an ACK) goes out at once.
    void respond(const QByteArray &bytes);
    // Ours again after answers on the reading thread: they are counted, and
    // the machine's clock or end is seen to.
    void follow();
    void countAnswers();
    void pump();
    void end(bool ok, const QString &why);
    bool startZmodem(QString *why);
    bool keepZmodemFiles(QString *why);
    void flushOut();
    // Milliseconds since the transfer began: the machines' clock.
    qint64 clock() const { return m_elapsed.elapsed(); }

    Port *m_port;
    SendFeed *m_send;
    Job m_job;
    bool m_running = false;
    std::unique_ptr<xmodem::Machine> m_machine;
    std::vector<std::unique_ptr<transfer::OutgoingFile>> m_sources;
    std::unique_ptr<transfer::ReceivedFiles> m_sink;
    QProcess *m_process = nullptr;
    // rz receives here, inside the folder, and what it got whole moves out.
    std::unique_ptr<QTemporaryDir> m_zFolder;
    QStringList m_zKept;
    // The reading thread feeds the machine and the window's thread ticks it:
    // m_lock guards the machine, m_out and what follows. Taken inside the
    // port's own lock, so none of the port's calls is made with it held.
    mutable QMutex m_lock;
    QByteArray m_out;                  // waiting for room in the transmit queue
    std::atomic<qint64> m_answered{0}; // written by respond, not yet counted
    bool m_followPosted = false;       // follow is on its way
    qint64 m_armedDeadline = -1;       // what m_tick is set for
    mutable Figures m_shown;           // the figures taken last
    QTimer m_tick;
    QTimer m_retryWrite;
    QTimer m_progressSpacing;
    QElapsedTimer m_elapsed;
    qint64 m_zBytes = 0;
    QList<QMetaObject::Connection> m_watching;
};
