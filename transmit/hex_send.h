#pragma once

#include <QByteArray>
#include <QStringView>

// The bytes a send box means when it is sent as hexadecimal: spaces (U+0020)
// are removed wherever they stand, digits are read in pairs (a-f as A-F), the
// reading stops at the first character that is not an ASCII hexadecimal digit,
// and a lone last digit is dropped. "01 03 0a" gives 01 03 0A; "12 3G 45" gives 12.
QByteArray hexSendBytes(QStringView sendBox);

// The send box as text goes out without its leading and trailing spaces (U+0020).
QStringView trimSpaces(QStringView text);
