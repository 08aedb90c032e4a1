#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

// Code page 936 (GBK) is the one encoding for text that becomes bytes, whatever
// the system locale says.
namespace cp936
{

// Characters the code page cannot represent become "?".
QByteArray encode(QStringView text);

// The number of bytes text takes in code page 936.
qsizetype byteLength(QStringView text);

// Encodes text that comes in pieces (a history being saved): a surrogate
// pair split between two pieces is encoded whole. The same bytes as encode,
// from a table made once from it, so gigabytes go at memory speed.
class StreamEncoder
{
public:
    StreamEncoder();
    // Appends the bytes of text to out.
    void encode(QStringView text, QByteArray &out);
    // What is still held (the first half of a pair) goes out as a "?", as
    // any lone half does (encode leaves one at the very end out).
    void finish(QByteArray &out);

private:
    char16_t m_high = 0; // a high surrogate waiting for its other half
};

// Decodes a byte stream that arrives in pieces: a character whose bytes are split
// across two pieces comes out whole with the second. Invalid bytes give U+FFFD.
class StreamDecoder
{
public:
    StreamDecoder();
    QString decode(QByteArrayView bytes);
    void reset();

private:
    QStringDecoder m_decoder;
};

// Decodes as StreamDecoder does (the same characters from the same bytes,
// however they are cut into pieces), from tables made once from it, and tells
// where each character's bytes begin: a matcher finds text in the characters
// and hands back the bytes up to its end.
class OffsetDecoder
{
public:
    OffsetDecoder();
    // Appends the characters of bytes to text and writes, for each, the low 32
    // bits of the stream position of its first byte to starts (room for
    // bytes.size() + 1); bytes begin at position base. A lead byte at the end
    // waits for the next piece. Returns how many characters came.
    qsizetype decode(QByteArrayView bytes, qint64 base, QString &text, quint32 *starts);
    // A new stream: a waiting lead byte is dropped.
    void reset() { m_lead = -1; }
    // The position of a lead byte that waits for its partner, or -1.
    qint64 waiting() const { return m_lead < 0 ? -1 : m_leadAt; }

private:
    int m_lead = -1;
    qint64 m_leadAt = 0;
};

} // namespace cp936
