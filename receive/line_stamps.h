#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// "[HH:MM:SS.mmm] ": the local time of msecs (milliseconds since the epoch),
// 24-hour, with milliseconds.
QString stampText(qint64 msecs);

// Puts the time each line of received data was read in front of it.
//  - Text: a stamp before the first character after a line feed, or after a
//    restart (the stamps were switched on, the display was emptied); text after
//    hexadecimal pairs starts a new line.
//  - Hexadecimal: bytes that follow a silence of at least kBurstGapMs start a
//    new line (CR LF, unless the display is empty or its last line is ended
//    already) with their stamp; so do the first bytes after text.
class LineStamper
{
public:
    static constexpr qint64 kBurstGapMs = 20;

    // Stamps start again. atLineStart: the display is empty or ends with a line
    // feed, so received text gets its stamp at once; otherwise at the start of
    // its next line. Hexadecimal bytes start a burst of their own either way
    // (after a line break when not atLineStart).
    void restart(bool atLineStart);

    // The display's text for received text read at msecs.
    QString text(QStringView received, qint64 msecs);
    // The display's text for received bytes, shown as hexadecimal pairs, read at msecs.
    QString hex(QByteArrayView received, qint64 msecs);

private:
    bool m_lineStart = true;   // text: the next character begins a line
    bool m_burstStart = true;  // hex: the next byte begins a burst
    bool m_atLineStart = true; // what is shown ends at the start of a line
    bool m_afterHex = false;   // what is shown ends with a burst's pairs
    qint64 m_lastRead = 0;     // hex: when the last bytes were read
};
