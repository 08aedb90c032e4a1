#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Where the receive feed shows what it has made of the received bytes: the
// receive box in the window, anything else without one.
class ReceiveView
{
public:
    virtual ~ReceiveView() = default;
    // Appended after whatever the view holds.
    virtual void appendReceivedText(QStringView text) = 0;
    // As hexadecimal pairs.
    virtual void appendReceivedHex(QByteArrayView bytes) = 0;
    // Text that stands for something sent, shown apart from received data.
    virtual void appendSentText(QStringView text) = 0;
    virtual void clear() = 0;
    // In characters, and the characters from from to to.
    virtual qint64 length() const = 0;
    virtual QString textRange(qint64 from, qint64 to) const = 0;
};
