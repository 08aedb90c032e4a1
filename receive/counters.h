#pragma once

#include <QString>

// A counter box's text: "RX:" or "TX:" and the count in plain decimal, e.g. RX:1024.
QString counterText(QStringView prefix, qint64 count);

// Counts add up in 64 bits and stop at the largest value instead of wrapping.
qint64 addCount(qint64 count, qint64 amount);

// The receive box empties itself at this count when auto-clear is ticked.
inline constexpr qint64 kAutoClearCount = 65535;
