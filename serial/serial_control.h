#pragma once

#include "serial/codepage936.h"
#include "serial/port_settings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <atomic>
#include <deque>
#include <vector>

// The serial control: owns one port, its settings, its receive buffer and the
// communication events. The window only ever talks to this class; the device
// side is left to subclasses (QSerialPort on an I/O thread in the program, an
// in-memory fake in unit tests).
//
// Operations that can fail return false and leave the reason in errorString();
// the caller decides what to show.
class SerialControl : public QObject
{
    Q_OBJECT

public:
    enum InputMode { TextMode = 0, BinaryMode = 1 };
    enum CommEventCode { NoEvent = 0, SendEvent = 1, ReceiveEvent = 2 };
    // Bytes taken up to end (from the start of what was taken) were read from
    // the device at msecs (milliseconds since the epoch).
    struct Arrival {
        qsizetype end;
        qint64 msecs;
    };

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    bool portOpen() const { return m_open; }
    // Opening uses the port chosen and the settings written so far; closing
    // discards whatever is still waiting.
    bool setPortOpen(bool open);

    // Port number 1 to 255 (0 is accepted and opens nothing); only while closed.
    bool setCommPort(int port);
    int commPort() const { return m_commPort; }
    // A device path that stands in for the port number until cleared; only while closed.
    bool setDevicePath(const QString &path);
    // The device that opening the port will use.
    QString deviceName() const;

    // "9600,N,8,1"; taken at the next opening, or at once when the port is open.
    bool setSettings(const QString &settings);
    QString settings() const { return m_settings; }

    void setInBufferSize(int bytes) { m_inBufferSize = bytes; }
    int inBufferSize() const { return m_inBufferSize; }
    void setOutBufferSize(int bytes) { m_outBufferSize = bytes; }
    int outBufferSize() const { return m_outBufferSize; }

    // Received bytes waiting to be taken; writing 0 discards them.
    qsizetype inBufferCount() const;
    // Bytes read from the device that the window has not taken yet. A reader
    // that finds kMaxQueued waiting stops reading until the window has taken
    // some (the driver holds what comes, and a pseudo-terminal's writer waits),
    // so a window that falls behind a flood does not let memory grow without
    // end. A real line fills it only when the window is stuck for minutes (three
    // at 921600 Bd).
    static constexpr qsizetype kMaxQueued = 16 << 20;
    qsizetype queuedBytes() const { return m_arrivedBytes.load(std::memory_order_relaxed); }
    void setInBufferCount(int count);
    // Writing 0 discards the bytes still waiting to be sent.
    void setOutBufferCount(int count);

    // A receive event is raised once at least rThreshold bytes wait, a send event
    // when the transmit side has drained after a write; 0 raises none.
    void setRThreshold(int n) { m_rThreshold = n; }
    int rThreshold() const { return m_rThreshold; }
    void setSThreshold(int n) { m_sThreshold = n; }
    int sThreshold() const { return m_sThreshold; }

    void setInputMode(InputMode mode) { m_inputMode = mode; }
    InputMode inputMode() const { return m_inputMode; }

    // Takes everything waiting: a QString decoded in code page 936 in text mode
    // (a character split across two reads comes out whole), a QByteArray in
    // binary mode.
    QVariant input();
    // Takes everything waiting as bytes, whatever the input mode; a character
    // that text taken before left unfinished is dropped.
    // arrivals, when given, receives when each stretch of them was read.
    QByteArray takeInput(std::vector<Arrival> *arrivals = nullptr);
    // For showing as text: takes everything waiting as bytes (with their read
    // times) and leaves them to decodeText, which decodes them in order with the
    // same decoder as takeInputText.
    QByteArray takeInputForText(std::vector<Arrival> *arrivals);
    QString decodeText(QByteArrayView bytes) { return m_decoder.decode(bytes); }
    // Takes everything waiting as text decoded in code page 936, whatever the
    // input mode; byteCount receives the number of bytes taken.
    QString takeInputText(qsizetype *byteCount = nullptr);

    // Queues bytes for sending; text goes out in code page 936.
    bool output(const QByteArray &bytes);
    bool output(const QString &text);

    // The code of the event being reported by comm().
    int commEvent() const { return m_commEvent; }

    QString errorString() const { return m_error; }

    // Read received bytes as they come instead of gathering them for a moment,
    // so that their read times are exact to a few milliseconds (costs more
    // wake-ups a second).
    virtual void setExactReadTimes(bool) {}

signals:
    // The communication event: commEvent() says which.
    void comm();
    // The device went away while open; the port is closed now.
    void portLost();

protected:
    // Device side. Called on the control's own thread.
    virtual bool openDevice(const QString &path, const LineSettings &settings, QString *error) = 0;
    virtual void closeDevice() = 0;
    virtual bool configureDevice(const LineSettings &settings, QString *error) = 0;
    virtual bool writeDevice(const QByteArray &bytes, QString *error) = 0;
    virtual void discardDeviceOutput() = 0;

    // Called by the device side from any thread; events reach the window's
    // thread through its event queue. A session number that is not the current
    // one belongs to an earlier opening and is ignored.
    // msecs: when the bytes were read (milliseconds since the epoch); -1: now.
    void deliverReceived(quint64 session, const QByteArray &bytes, qint64 msecs = -1);
    // The same, called on the window's thread in two steps, so that the bytes
    // can be queued under a lock of the caller's and the event raised after it
    // is let go: queueReceived is true when the caller is to raise the receive
    // event, which raiseReceiveEvent does in this call (not a turn of the event
    // loop later).
    bool queueReceived(quint64 session, const QByteArray &bytes, qint64 msecs);
    void raiseReceiveEvent();
    void deliverDrained(quint64 session);
    void deliverLost(quint64 session);
    quint64 session() const { return m_session.load(); }

private:
    bool fail(const QString &why);
    void raiseEvent(CommEventCode code);

    bool m_open = false;
    int m_commPort = 1;
    QString m_devicePath;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
    int m_inBufferSize = 1024;
    int m_outBufferSize = 512;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    InputMode m_inputMode = TextMode;
    int m_commEvent = NoEvent;
    QString m_error;
    cp936::StreamDecoder m_decoder;

    // Under a trickle, receive events come at most this often; the first bytes
    // after a quiet spell raise one at once.
    static constexpr int kReceiveSpacingMs = 10;
    // Under a flood, each event hands over at most this much, and the next event
    // follows as soon as the window has handled what else was waiting, so the
    // window never spends long on one event however fast the data comes.
    static constexpr qsizetype kMaxPerEvent = 128 * 1024;
    QElapsedTimer m_lastReceiveEvent;
    QTimer m_receiveDelay;

    std::atomic<quint64> m_session{0};
    mutable QMutex m_rxLock;
    // Bytes waiting for the program (what Input takes), and bytes the I/O thread
    // has taken off the device but not yet handed over.
    struct Piece {
        QByteArray bytes;
        qint64 msecs;
    };
    QByteArray m_rx;                   // guarded by m_rxLock
    std::vector<Arrival> m_rxTimes;    // guarded by m_rxLock; ends within m_rx
    std::deque<Piece> m_arrived;       // guarded by m_rxLock
    std::atomic<qsizetype> m_arrivedBytes{0}; // changed under m_rxLock, read without it
    bool m_rxEventPosted = false;      // guarded by m_rxLock
    bool m_backlog = false;            // guarded by m_rxLock
    QByteArray takeWaiting(std::vector<Arrival> *arrivals = nullptr);
    void startSession();
    void postReceiveEvent(); // with m_rxLock held
    // Queues bytes of the current session; true when the caller is to raise
    // (or post) the receive event. With m_rxLock held.
    bool queueArrival(quint64 session, const QByteArray &bytes, qint64 msecs);
    void handOver();         // moves at most kMaxPerEvent to m_rx; with m_rxLock held
    void dropWaiting();      // with m_rxLock held
};
