#include "receive/counters.h"

#include <limits>

QString counterText(QStringView prefix, qint64 count)
{
    return prefix.toString() + QString::number(count);
}

qint64 addCount(qint64 count, qint64 amount)
{
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    return amount > max - count ? max : count + amount;
}
