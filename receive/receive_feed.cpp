#include "receive/receive_feed.h"

#include "receive/counters.h"
#include "receive/frame_clock.h"
#include "receive/hex_format.h"
#include "receive/receive_recorder.h"
#include "receive/receive_view.h"

ReceiveFeed::ReceiveFeed(ReceiveView *view, ReceiveRecorder *recorder, QObject *parent)
    : QObject(parent), m_display(view), m_recorder(recorder)
{
}

void ReceiveFeed::take(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals)
{
    if (m_held >= 0) {
        m_recorder->record(bytes);
        m_count = addCount(m_count, bytes.size());
        m_held += bytes.size();
        emit countChanged(m_count, false);
        return;
    }
    if (m_hex)
        ShowReceivedHex(bytes, arrivals);
    else
        ShowReceivedText(bytes, arrivals);
    FrameClock::instance().runDue(); // the frame that shows them, in this same call
}

// Text display: every byte is counted, also while the display is stopped.
void ReceiveFeed::ShowReceivedText(const QByteArray &bytes,
                                   const std::vector<Port::Arrival> &arrivals)
{
    m_recorder->record(bytes);
    m_count = addCount(m_count, bytes.size());
    const QString shown =
        m_stamps ? stamped(bytes, arrivals, false) : (m_receivedText = m_decoder.decode(bytes));
    if (!m_stopped)
        m_display->appendReceivedText(shown);
    emit countChanged(m_count, false);
    applyAutoClear();
}

// Hexadecimal display: shown whether or not the display is stopped. The bytes
// are gone for the text decoder: a character begun before them is not
// completed by text that follows them.
void ReceiveFeed::ShowReceivedHex(const QByteArray &bytes,
                                  const std::vector<Port::Arrival> &arrivals)
{
    m_decoder.reset();
    m_recorder->record(bytes);
    if (!m_stamps)
        m_display->appendReceivedHex(bytes);
    else
        m_display->appendReceivedText(stamped(bytes, arrivals, true));
    m_count = addCount(m_count, bytes.size());
    emit countChanged(m_count, false);
    applyAutoClear();
}

// What the display shows for bytes received with timestamps on: stretch by
// stretch as they were read, so each line or burst gets the time of its first
// byte. As text, each stretch is decoded in turn (receivedText gets the text alone).
QString ReceiveFeed::stamped(const QByteArray &bytes, const std::vector<Port::Arrival> &arrivals,
                             bool hex)
{
    if (m_display->length() == 0)
        m_stamper.restart(true);
    if (!hex)
        m_receivedText.clear();
    QString shown;
    qsizetype from = 0;
    for (const Port::Arrival &a : arrivals) {
        const QByteArrayView stretch = QByteArrayView(bytes).sliced(from, a.end - from);
        if (hex) {
            shown += m_stamper.hex(stretch, a.msecs);
        } else {
            const QString text = m_decoder.decode(stretch);
            m_receivedText += text;
            shown += m_stamper.text(text, a.msecs);
        }
        from = a.end;
    }
    return shown;
}

void ReceiveFeed::setStamps(bool on)
{
    m_stamps = on;
    const qint64 n = m_display->length();
    if (on)
        m_stamper.restart(n == 0 || m_display->textRange(n - 1, n) == u"\n");
}

void ReceiveFeed::applyAutoClear()
{
    if (m_autoClear && m_count >= kAutoClearCount)
        m_display->clear();
}

void ReceiveFeed::clearCount()
{
    m_count = 0;
    emit countChanged(m_count, true);
}

QString ReceiveFeed::sentText(QByteArrayView bytes, bool hex)
{
    if (!hex) {
        cp936::StreamDecoder decoder;
        const QString text = decoder.decode(bytes);
        const bool printable = std::all_of(text.begin(), text.end(), [](QChar c) {
            return c == u'\r' || c == u'\n' || c == u'\t' ||
                   (c.unicode() >= 0x20 && c.unicode() != 0x7f && c != QChar::ReplacementCharacter);
        });
        // A lead byte left without its partner at the end is not text either.
        if (printable && cp936::encode(text).size() == bytes.size())
            return text;
    }
    QString pairs = hexPairs(bytes);
    pairs.chop(1); // the last pair's space
    return pairs;
}

void ReceiveFeed::showSentBytes(const QByteArray &bytes, qint64 usecs)
{
    if (!m_showSent || bytes.isEmpty())
        return;
    const QByteArrayView shown = QByteArrayView(bytes).first(std::min(bytes.size(), kMaxSentShown));
    QString body = sentText(shown, m_hex);
    if (shown.size() < bytes.size())
        body += QStringLiteral(" …（共 %1 字节）").arg(bytes.size());
    showSentLine(body, usecs);
}

void ReceiveFeed::showControl(Port::Control what, int value, qint64 usecs)
{
    if (!m_showSent)
        return;
    switch (what) {
    case Port::Control::Dtr:
        return showSentLine(QStringLiteral("DTR %1").arg(value), usecs);
    case Port::Control::Rts:
        return showSentLine(QStringLiteral("RTS %1").arg(value), usecs);
    case Port::Control::Pulse:
        return showSentLine(QStringLiteral("复位脉冲 %1 ms").arg(value), usecs);
    case Port::Control::Break:
        return showSentLine(QStringLiteral("发送 Break %1 ms").arg(value), usecs);
    }
}

// A line of its own: after a line break when the box does not end with one,
// and ended with one, so that what is received next starts a new line (and
// gets its stamp there).
void ReceiveFeed::holdForTransfer()
{
    m_held = 0;
    m_decoder.reset();
}

void ReceiveFeed::release(const QString &line)
{
    m_held = -1;
    const qint64 n = m_display->length();
    if (n > 0 && m_display->textRange(n - 1, n) != u"\n")
        m_display->appendReceivedText(u"\r\n");
    m_display->appendReceivedText(line + QStringLiteral("\r\n"));
    m_stamper.restart(true);
    FrameClock::instance().runDue();
}

void ReceiveFeed::showSentLine(const QString &body, qint64 usecs)
{
    if ((!m_hex && m_stopped) || m_held >= 0)
        return; // as received text is not shown then
    const qint64 n = m_display->length();
    if (n > 0 && m_display->textRange(n - 1, n) != u"\n")
        m_display->appendReceivedText(u"\r\n");
    QString line = m_stamps ? stampText(usecs / 1000) : QString();
    line += QStringLiteral("→ ") + body;
    if (!line.endsWith(u'\n'))
        line += QStringLiteral("\r\n");
    m_display->appendSentText(line);
    m_stamper.restart(true);
    FrameClock::instance().runDue();
}
