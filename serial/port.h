#pragma once

#include "serial/port_settings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

// A port: opened on a device with typed line settings, written to, closed; it
// tells what happened through its signals, always on the thread it lives on
// (the window's). What kind of device is behind it (links on an I/O thread in
// the program, memory in unit tests) is left to subclasses, which hand their
// bytes in from any thread through deliverReceived and the other deliver
// functions, or give their links a Reports handle to do so.
//
// Operations that can fail return false and leave the reason in errorString();
// the caller decides what to show.
class Port : public QObject
{
    Q_OBJECT

public:
    // Bytes up to end (from the start of one delivery) were read from the
    // device at msecs (milliseconds since the epoch); usecs is the same moment
    // in microseconds.
    struct Arrival {
        qsizetype end;
        qint64 msecs;
        qint64 usecs;
    };
    // Now, in microseconds since the epoch (the clock read times are told in).
    static qint64 nowUsecs();

    // What was done to the control lines (controlled() tells it): DTR or RTS
    // set to value, a reset pulse or a break of value milliseconds.
    enum class Control { Dtr, Rts, Pulse, Break };

    // Why the last opening failed, where the device side can tell (a network
    // port's connection); Other for everything else.
    enum class Fault {
        Other,
        BadAddress,
        Refused,
        HostNotFound,
        TimedOut,
        Closed,
        Broken,
        NotReading,
        Network
    };

    // What the far end of a network port made of the line settings: whether
    // they travel at all (raw TCP does not carry them, nor a server without the
    // COM port option), and the values it confirmed, in RFC 2217's codes.
    struct Served {
        bool carried = false;
        quint32 baud = 0;
        quint8 dataBits = 0, parity = 0, stopBits = 0;
        bool matches = true; // the confirmed values are the ones asked for
    };

    explicit Port(QObject *parent = nullptr);
    ~Port() override;

    bool isOpen() const { return m_open; }
    // Opens device (a path; empty names no device and fails). Whatever was still
    // on its way from an earlier opening is dropped. A device that is reached
    // by connecting (a network port) is not open at once: true then says the
    // connection is under way (isOpening), and openFinished tells how it went.
    bool open(const QString &device, const LineSettings &settings);
    bool isOpening() const { return m_opening; }
    // Closes; bytes still on their way are dropped. Closing a closed port is no fault.
    void close();
    // The device and line settings of the last opening tried.
    QString device() const { return m_device; }
    LineSettings lineSettings() const { return m_line; }

    // Queues bytes for sending; refused while closed or when the device side
    // cannot take them now. wrote() tells each write that was taken.
    bool write(const QByteArray &bytes);
    // Whoever shows or logs writes among received bytes asks for this: before
    // each write and control-line action, what was read before it and still
    // waits is delivered, so the two come in the order they happened.
    void setDeliverBeforeWrite(bool on) { m_deliverBeforeWrite = on; }
    // While closed() is told because the device went away (lost() follows).
    bool losing() const { return m_losing; }

    QString errorString() const { return m_error; }
    Fault fault() const { return m_fault; }
    // Of the open port, when it is a network port; nothing for a device.
    std::optional<Served> served() const { return m_served; }

    // The control lines (linesChosen tells every change). DTR and RTS hold the levels chosen here:
    // applied at once while open and right after every opening (DTR on and RTS off until chosen
    // otherwise, as opening has always left them).
    void setDtr(bool on);
    void setRts(bool on);
    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    // The open device has control lines (a pseudo-terminal has none); false while closed.
    bool hasControlLines() const { return m_open && m_hasLines; }
    // DTR and RTS dropped for ms, then back to their chosen levels; false
    // without control lines.
    static constexpr int kResetPulseMs = 100;
    bool pulseReset(int ms = kResetPulseMs);
    // A break on the line for ms; false without control lines.
    static constexpr int kBreakMs = 250;
    bool sendBreak(int ms = kBreakMs);
    // The lines the device drives. While watched and open, modemLinesChanged
    // tells their levels at once and at every change; unwatched, nothing is done.
    struct ModemLines {
        bool cts = false, dsr = false, dcd = false, ri = false;
        bool operator==(const ModemLines &) const = default;
    };
    void watchModemLines(bool on);

    // Read received bytes as they come instead of gathering them for a moment,
    // so that their read times are exact to a few milliseconds (costs more
    // wake-ups a second).
    virtual void setExactReadTimes(bool) {}
    // Read received bytes the moment they come, without any pause (a script
    // that answers a prompt within a millisecond); costs a wake-up a read.
    virtual void setEagerReads(bool) {}
    // Deliver what was read at once, without spacing deliveries kReceiveSpacingMs
    // apart under a trickle (a protocol that answers every block: a file transfer).
    void setPromptDeliveries(bool on) { m_prompt = on; }
    // Everything the open port receives, handed to tap as soon as it is read
    // and before it is delivered, on whichever thread read it: tap must be
    // quick and must not call the port. An empty tap takes none.
    using Tap = std::function<void(const QByteArray &bytes)>;
    void setTap(Tap tap);
    // A second tap, called after the first and outside the port's own lock
    // (it delivers meanwhile), for what answers each read at once (a file
    // transfer's machine): it may call answer(), and nothing else of the
    // port. An empty responder takes none; once set empty, no call of the old
    // one is under way.
    void setResponder(Tap responder);
    // From a responder only, on the reading thread: writes bytes at once,
    // without a turn of the port's thread in between. wrote() tells it later
    // on the port's thread (in order with what was read under
    // setDeliverBeforeWrite, as a write is). False when the transmit queue is
    // full (nothing is written then).
    bool answer(const QByteArray &bytes);
    // Delivers what was read and waits for delivery, now (a transfer that
    // ended: what came up to its end is the transfer's).
    void deliverWaiting()
    {
        if (m_open)
            deliverAll();
    }

    // Bytes read from the device and not yet delivered through received(). A
    // reader that finds kMaxQueued waiting stops reading until the window has
    // taken some (the driver holds what comes, and a pseudo-terminal's writer
    // waits), so a window that falls behind a flood does not let memory grow
    // without end. A real line fills it only when the window is stuck for
    // minutes (three at 921600 Bd).
    static constexpr qsizetype kMaxQueued = 16 << 20;
    qsizetype queuedBytes() const { return m_arrivedBytes.load(std::memory_order_relaxed); }

    // Under a trickle, deliveries come at most this often; the first bytes
    // after a quiet spell are delivered at once.
    static constexpr int kReceiveSpacingMs = 10;
    // Under a flood, each delivery hands over at most this much, and the next
    // follows as soon as the window has handled what else was waiting.
    static constexpr qsizetype kMaxPerDelivery = 128 * 1024;
    // A frame: what the lamps can show.
    static constexpr int kLinesSpacingMs = 16;

    // What the device side behind a port reports, from any thread: a handle a
    // port gives the links it drives (see deliverReceived and the others below).
    class Reports
    {
    public:
        // usecs: when the bytes were read, in microseconds since the epoch.
        void received(quint64 s, const QByteArray &bytes, qint64 usecs = -1) const
        {
            m_port->deliverReceived(s, bytes, usecs);
        }
        bool queue(quint64 s, const QByteArray &bytes, qint64 usecs) const
        {
            return m_port->queueReceived(s, bytes, usecs);
        }
        void deliverQueued() const { m_port->deliverQueued(); }
        void drained(quint64 s) const { m_port->deliverDrained(s); }
        void lost(quint64 s) const { m_port->deliverLost(s); }
        void error(quint64 s, const QString &what) const { m_port->deliverError(s, what); }
        void modemLines(quint64 s, const ModemLines &lines) const
        {
            m_port->deliverModemLines(s, lines);
        }
        void opened(quint64 s, const std::optional<Served> &served = std::nullopt) const
        {
            m_port->deliverOpened(s, served);
        }
        void openFailed(quint64 s, Fault fault, const QString &why) const
        {
            m_port->deliverOpenFailed(s, fault, why);
        }
        qsizetype queuedBytes() const { return m_port->queuedBytes(); }
        // The port to call back on its own thread.
        QObject *port() const { return m_port; }

    private:
        friend class Port;
        explicit Reports(Port *port) : m_port(port) {}
        Port *m_port;
    };

signals:
    // The port was opened (a new stream of bytes begins), or closed.
    void opened();
    void closed();
    // The connection open() left under way was made (after opened()) or failed;
    // the port is closed then, and errorString() says why.
    void openFinished(bool ok);
    // The levels of CTS, DSR, DCD and RI while they are watched: the latest
    // levels, at most once every kLinesSpacingMs however often they change.
    void modemLinesChanged(const Port::ModemLines &lines);
    // The levels chosen for DTR and RTS changed.
    void linesChosen(bool dtr, bool rts);
    // Bytes were written (taken for sending) at usecs.
    void wrote(const QByteArray &bytes, qint64 usecs);
    // A control line was set, or a pulse or a break made, at usecs.
    void controlled(Port::Control what, int value, qint64 usecs);
    // Bytes received, in order, never empty; arrivals tell when each stretch of
    // them was read. Under a trickle they come at most every kReceiveSpacingMs;
    // under a flood in portions of at most kMaxPerDelivery, one turn of the
    // event loop apart, so nothing else waits long behind them.
    void received(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);
    // Everything written has left for the device.
    void drained();
    // The device went away while open; the port is closed now.
    void lost();
    // The device side reported a fault that did not close the port.
    void errorOccurred(const QString &what);

protected:
    // Device side. Called on the port's own thread.
    virtual bool openDevice(const QString &path, const LineSettings &settings, QString *error) = 0;
    // True for a device whose openDevice only starts connecting; the device
    // side then calls deliverOpened or deliverOpenFailed.
    virtual bool connectsLater(const QString &) const { return false; }
    virtual void closeDevice() = 0;
    virtual bool writeDevice(const QByteArray &bytes, QString *error) = 0;
    // Sets DTR and RTS; false when the device has no control lines.
    virtual bool setDeviceLines(bool dtr, bool rts) = 0;
    virtual bool breakDevice(int ms) = 0;
    // Starts or stops telling the modem lines through deliverModemLines.
    virtual void watchDeviceLines(bool on) = 0;

    // Called by the device side from any thread; what they report reaches the
    // port's thread through its event queue. A session number that is not the
    // current one belongs to an earlier opening and is ignored.
    // usecs: when the bytes were read (microseconds since the epoch); -1: now.
    void deliverReceived(quint64 session, const QByteArray &bytes, qint64 usecs = -1);
    // The same, called on the port's thread in two steps, so that the bytes can
    // be queued under a lock of the caller's and delivered after it is let go:
    // queueReceived is true when the caller is to deliver, which
    // deliverQueued does in this call (not a turn of the event loop later).
    bool queueReceived(quint64 session, const QByteArray &bytes, qint64 usecs);
    void deliverQueued();
    void deliverDrained(quint64 session);
    void deliverLost(quint64 session);
    void deliverError(quint64 session, const QString &what);
    void deliverModemLines(quint64 session, const ModemLines &lines);
    // Bytes received while the connection is under way are kept, and
    // delivered once it is open.
    void deliverOpened(quint64 session, const std::optional<Served> &served = std::nullopt);
    void deliverOpenFailed(quint64 session, Fault fault, const QString &why);
    // For openDevice: why it failed.
    void setFault(Fault fault) { m_fault = fault; }
    quint64 session() const { return m_session.load(); }
    Reports reports() { return Reports(this); }

private:
    bool fail(const QString &why);
    void finishOpening();
    void applyLines();
    template <typename F> void onSession(quint64 session, F &&f);
    void startSession();
    // Queues bytes of the current session; true when the caller is to deliver
    // (or post the delivery). With m_rxLock held.
    bool queueArrival(quint64 session, const QByteArray &bytes, qint64 usecs);
    void postDelivery(); // with m_rxLock held
    // Moves at most kMaxPerDelivery of what arrived to out; with m_rxLock held.
    void takePortion(QByteArray &out, std::vector<Arrival> &times,
                     qsizetype limit = kMaxPerDelivery);
    void dropWaiting(); // with m_rxLock held
    void showModemLines();
    // Everything that waits, at once; or what of this opening's bytes came before upTo.
    void deliverAll(qint64 upTo = std::numeric_limits<qint64>::max());
    void deliverBeforeAction();
    void tellAnswers();
    void respond(quint64 session, const QByteArray &bytes);

    bool m_open = false;
    bool m_opening = false;
    bool m_dtr = true;
    bool m_rts = false;
    bool m_hasLines = false;
    bool m_watchingLines = false;
    bool m_deliverBeforeWrite = false;
    bool m_prompt = false;
    bool m_losing = false;
    QTimer m_pulseEnd;
    QString m_device;
    LineSettings m_line;
    QString m_error;
    Fault m_fault = Fault::Other;
    std::optional<Served> m_served;

    QElapsedTimer m_lastDelivery;
    QTimer m_deliveryDelay;

    std::atomic<quint64> m_session{0};
    std::atomic<quint64> m_drainPosted{0}; // the session whose drain report is on its way
    mutable QMutex m_rxLock;
    QMutex m_responderLock; // held while the responder runs
    Tap m_responder;        // guarded by m_responderLock
    struct Piece {
        QByteArray bytes;
        qint64 usecs;
    };
    // What the device side handed in and is not delivered yet.
    std::deque<Piece> m_arrived;
    Tap m_tap; // guarded by m_rxLock
    // Answers written and not told yet (wrote), with their times and how
    // much of what this opening received had come before each.
    struct Answer {
        QByteArray bytes;
        qint64 usecs;
        qint64 after;
    };
    std::vector<Answer> m_answers;            // guarded by m_rxLock
    qint64 m_queuedTotal = 0;                 // received this opening; guarded by m_rxLock
    qint64 m_takenTotal = 0;                  // of it, delivered; guarded by m_rxLock
    bool m_answersPosted = false;             // guarded by m_rxLock
    std::vector<Arrival> m_spareTimes;        // window thread only       // guarded by m_rxLock
    std::atomic<qsizetype> m_arrivedBytes{0}; // changed under m_rxLock, read without it
    bool m_deliveryPosted = false;            // guarded by m_rxLock
    bool m_backlog = false;                   // guarded by m_rxLock

    // The modem lines' latest levels, waiting to be told.
    QMutex m_linesLock;
    ModemLines m_latestLines;   // guarded by m_linesLock
    quint64 m_linesSession = 0; // guarded by m_linesLock
    bool m_linesPosted = false; // guarded by m_linesLock
    QElapsedTimer m_linesShown;
    QTimer m_linesDelay;
};
