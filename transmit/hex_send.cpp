#include "transmit/hex_send.h"

namespace
{
int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}
} // namespace

QByteArray hexSendBytes(QStringView sendBox)
{
    QByteArray out;
    out.reserve(sendBox.size() / 2);
    int high = -1;
    for (QChar c : sendBox) {
        if (c == u' ')
            continue;
        const int d = hexDigit(c);
        if (d < 0)
            break;
        if (high < 0) {
            high = d;
        } else {
            out.append(char(high * 16 + d));
            high = -1;
        }
    }
    return out;
}

QStringView trimSpaces(QStringView text)
{
    qsizetype from = 0, to = text.size();
    while (from < to && text[from] == u' ')
        ++from;
    while (to > from && text[to - 1] == u' ')
        --to;
    return text.mid(from, to - from);
}
