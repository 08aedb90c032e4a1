#include "receive/line_stamps.h"

#include "receive/hex_format.h"

#include <QDateTime>

QString stampText(qint64 msecs)
{
    return QLatin1Char('[') +
           QDateTime::fromMSecsSinceEpoch(msecs).time().toString(QStringLiteral("HH:mm:ss.zzz")) +
           QStringLiteral("] ");
}

void LineStamper::restart(bool atLineStart)
{
    m_lineStart = atLineStart;
    m_burstStart = true;
    m_atLineStart = atLineStart;
    m_afterHex = false;
}

QString LineStamper::text(QStringView received, qint64 msecs)
{
    QString out;
    out.reserve(received.size() + 32);
    QString stamp;
    qsizetype from = 0;
    if (m_afterHex && !received.isEmpty()) {
        out += QStringLiteral("\r\n");
        m_lineStart = true;
        m_afterHex = false;
    }
    while (from < received.size()) {
        if (m_lineStart) {
            if (stamp.isEmpty())
                stamp = stampText(msecs);
            out += stamp;
            m_lineStart = false;
        }
        const qsizetype lf = received.indexOf(u'\n', from);
        const qsizetype to = lf < 0 ? received.size() : lf + 1;
        out += received.sliced(from, to - from);
        m_lineStart = lf >= 0;
        from = to;
    }
    if (!out.isEmpty()) {
        m_burstStart = true;
        m_atLineStart = m_lineStart;
    }
    return out;
}

QString LineStamper::hex(QByteArrayView received, qint64 msecs)
{
    if (received.isEmpty())
        return {};
    QString out;
    if (m_burstStart || msecs - m_lastRead >= kBurstGapMs) {
        if (!m_atLineStart)
            out += QStringLiteral("\r\n");
        out += stampText(msecs);
    }
    m_burstStart = m_atLineStart = false;
    m_afterHex = true;
    m_lastRead = msecs;
    return out + hexPairs(received);
}
