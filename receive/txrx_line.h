#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// One line of the two-way log: the local time to the microsecond, a word for
// what happened, and what goes with it.
//
//   2026-12-09 18:20:01.123456 TX 01 03 00 00 00 0A C5 CD
//   2026-12-09 18:20:01.131020 RX 01 03 14 00 01 ...
//   2026-12-09 18:20:02.000000 DTR 0          (also RTS 0/1)
//   2026-12-09 18:20:02.500000 BREAK 250      (ms; PULSE 100 likewise)
//   2026-12-09 18:20:03.000000 OPEN 115200,N,8,1
//   2026-12-09 18:20:04.000000 CLOSE          (LOST: the device went away)
//   2026-12-09 18:20:05.000000 NOTE text      (UTF-8, one line)
//
// Lines end with a line feed alone. TX and RX carry their bytes as upper-case
// hexadecimal pairs, one space apart.
namespace txrx
{
enum class Kind { Tx, Rx, Dtr, Rts, Break, Pulse, Open, Close, Lost, Note };

struct Entry {
    qint64 usecs = 0; // microseconds since the epoch
    Kind kind = Kind::Note;
    QByteArray bytes; // TX and RX
    int value = 0;    // DTR, RTS: 0 or 1; BREAK, PULSE: milliseconds
    QString text;     // OPEN: the settings; NOTE: the note
};

// The word of a kind, as the log writes it ("TX", "DTR", ...).
QByteArrayView word(Kind kind);

// "2026-12-09 18:20:01.123456", the local time of usecs.
QByteArray timeText(qint64 usecs);

// The line for e, line feed included. A note's line breaks become spaces, so
// that one note stays one line.
QByteArray format(const Entry &e);
// Appends the line for bytes sent or received at usecs to out.
void appendBytesLine(QByteArray &out, qint64 usecs, Kind kind, QByteArrayView bytes);

// One line read back, without its line feed (a carriage return before it is
// taken too). Nothing when it is not a line the log writes: a bad time, an
// unknown word, hex that is not pairs, a value that is not a number.
std::optional<Entry> parse(QByteArrayView line);
} // namespace txrx
