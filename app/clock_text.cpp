#include "app/clock_text.h"

QString timeFormatWithSeconds(const QLocale &locale)
{
    // The long format is the one that carries seconds; drop its time-zone part.
    QString fmt = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (QChar c : fmt) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out += c;
    }
    out = out.trimmed();
    if (!out.contains(u's')) // a locale without seconds in any format
        out = locale.timeFormat(QLocale::ShortFormat)
                  .replace(QStringLiteral("mm"), QStringLiteral("mm:ss"));
    return out;
}

QString clockDateText(const QLocale &locale, const QDate &date)
{
    return locale.toString(date, QLocale::ShortFormat);
}

QString clockTimeText(const QLocale &locale, const QTime &time)
{
    return locale.toString(time, timeFormatWithSeconds(locale));
}
