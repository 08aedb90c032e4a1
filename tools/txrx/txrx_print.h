#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// How quorvex-txrx prints the bytes of a log line.
namespace txrx
{
// As text: code page 936 characters as they are, \r \n \t and \\ escaped, and
// every other byte (control bytes, a lead byte without its partner, bytes the
// code page has no character for) as \xHH.
QString escapedText(QByteArrayView bytes);

// Hexadecimal and ASCII, 16 bytes a row: "  0000  01 03 ...  |..ab|" with a
// line feed after each row.
QByteArray hexDump(QByteArrayView bytes);
} // namespace txrx
