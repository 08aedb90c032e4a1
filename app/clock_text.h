#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The locale's time format with hours, minutes and seconds and without a time
// zone, e.g. "h:mm:ss AP" for en_US and "HH:mm:ss" for zh_CN.
QString timeFormatWithSeconds(const QLocale &locale);

// The clock's two captions: the short date and the time with seconds.
QString clockDateText(const QLocale &locale, const QDate &date);
QString clockTimeText(const QLocale &locale, const QTime &time);
