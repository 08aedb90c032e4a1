#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

// Code page 936 (GBK) is the one encoding for text that becomes bytes, whatever
// the system locale says.
namespace cp936 {

// Characters the code page cannot represent become "?".
QByteArray encode(QStringView text);

// The number of bytes text takes in code page 936.
qsizetype byteLength(QStringView text);

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

} // namespace cp936
