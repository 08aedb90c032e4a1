#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// "[HH:MM:SS.mmm] ": the local time of msecs (milliseconds since the epoch),
// 24-hour, with milliseconds.
QString stampText(qint64 msecs);

// Puts the time each line of received data was read in front of it.
//  - Text: a stamp before the first character after a line feed, or after a
//    restart (the stamps were switched on, the display was emptied).
//  - Hexadecimal: bytes that follow a silence of at least kBurstGapMs start a
//    new line (CR LF, except at the start of an empty display) with their stamp;
//    so do the first bytes after text.
class LineStamper
{
public:
    static constexpr qint64 kBurstGapMs = 20;

    // The next received data starts a line (and needs no line break before it
    // when displayEmpty).
    void restart(bool displayEmpty);

    // The display's text for received text read at msecs.
    QString text(QStringView received, qint64 msecs);
    // The display's text for received bytes, shown as hexadecimal pairs, read at msecs.
    QString hex(QByteArrayView received, qint64 msecs);

private:
    bool m_lineStart = true;   // text: the next character begins a line
    bool m_burstStart = true;   // hex: the next byte begins a burst
    bool m_displayStart = true; // nothing shown since the display was empty
    qint64 m_lastRead = 0;     // hex: when the last bytes were read
};
