#pragma once

#include "receive/line_stamps.h"
#include "serial/codepage936.h"
#include "serial/port.h"

#include <QObject>
#include <vector>

class ReceiveRecorder;
class ReceiveView;

// Turns what the port received into what the receive box shows: text decoded
// in code page 936 (a character split across two deliveries comes out whole)
// or hexadecimal pairs, with or without timestamps, and writes every byte to
// the record while one runs. It counts the bytes received and empties the box
// at the auto-clear count. It only ever talks to the view and the recorder,
// never back to the port, and tells the count through countChanged.
class ReceiveFeed : public QObject
{
    Q_OBJECT

public:
    ReceiveFeed(ReceiveView *view, ReceiveRecorder *recorder, QObject *parent = nullptr);

    // What is shown, as the window's check boxes and buttons say.
    void setHex(bool hex) { m_hex = hex; }
    void setStopped(bool stopped) { m_stopped = stopped; }
    bool stopped() const { return m_stopped; }
    void setAutoClear(bool on) { m_autoClear = on; }
    // Timestamps in front of each line (text) or burst (hex). Switched on in the
    // middle of a line, the first stamp waits for the next line.
    void setStamps(bool on);

    // Sends shown among received data ("显示发送数据"): each on a line of its own
    // that begins with "→ ", in the box's present form, stamped when stamps
    // are on. Received text cut by a send goes on after it on a new line, its
    // characters decoded as if nothing had come between. A write longer than
    // kMaxSentShown shows its first kMaxSentShown bytes and its size.
    void setShowSent(bool on) { m_showSent = on; }
    bool showSent() const { return m_showSent; }
    static constexpr qsizetype kMaxSentShown = 1024;
    void showSentBytes(const QByteArray &bytes, qint64 usecs);
    void showControl(Port::Control what, int value, qint64 usecs);
    // What a sent line shows for bytes: their text when they are text
    // (printable characters, tabs and line breaks in code page 936), hex pairs
    // otherwise or when hex is on.
    static QString sentText(QByteArrayView bytes, bool hex);

    // While a file transfer has the port, what comes is the transfer's: it is
    // counted and recorded but neither shown nor stamped, and no sent lines
    // are shown. release() ends that and shows line on a line of its own.
    void holdForTransfer();
    void release(const QString &line);
    bool held() const { return m_held >= 0; }
    // Bytes that came while held.
    qint64 heldBytes() const { return std::max<qint64>(0, m_held); }

    qint64 count() const { return m_count; }
    void clearCount();
    // The text decoded from the last bytes shown as text.
    QString receivedText() const { return m_receivedText; }

    // A new stream begins (the port was opened): a character left unfinished
    // by the previous one is dropped.
    void restart() { m_decoder.reset(); }
    // Bytes received, with when each stretch of them was read; shown in this
    // same call, with the frame that paints them.
    void take(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);

signals:
    // RX changed; now: show it at once (a reset).
    void countChanged(qint64 count, bool now);

private:
    void ShowReceivedText(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);
    void ShowReceivedHex(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals);
    QString stamped(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals, bool hex);
    void applyAutoClear();
    void showSentLine(const QString &body, qint64 usecs);

    ReceiveView *m_display;
    ReceiveRecorder *m_recorder;
    cp936::StreamDecoder m_decoder;
    LineStamper m_stamper;
    bool m_hex = false;
    bool m_stopped = false;
    qint64 m_held = -1; // bytes taken for a transfer; -1: none runs
    bool m_autoClear = false;
    bool m_stamps = false;
    bool m_showSent = false;
    qint64 m_count = 0;
    QString m_receivedText;
};
