#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Bytes received with a parity error are shown as "?". The terminal driver
// marks them itself: with marking on, such a byte X arrives as FF 00 X, a
// break as FF 00 00, and a real FF byte as FF FF; everything else unchanged.
namespace parity
{

inline constexpr char kReplacement = '?';

// Turns the driver's parity checking and marking on or off for an open
// terminal; true when marking is in effect afterwards (a terminal that refuses
// it delivers its bytes unmarked).
bool setMarking(int fd, bool on);

// Reads a marked stream that arrives in pieces: a mark split across two reads
// is understood with the second.
class MarkReader
{
public:
    QByteArray take(QByteArrayView bytes);
    void reset() { m_state = Plain; }

private:
    enum State { Plain, AfterFF, AfterMark };
    State m_state = Plain;
};

} // namespace parity
