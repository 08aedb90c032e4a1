#include "serial/codepage936.h"

#include <QStringEncoder>

namespace cp936 {
namespace {
constexpr const char *kName = "windows-936";

bool isAscii(QStringView text)
{
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}
} // namespace

QByteArray encode(QStringView text)
{
    if (isAscii(text))
        return text.toLatin1();
    QStringEncoder encoder(kName);
    return encoder.encode(text);
}

qsizetype byteLength(QStringView text)
{
    return isAscii(text) ? text.size() : encode(text).size();
}

StreamDecoder::StreamDecoder() : m_decoder(kName) {}

QString StreamDecoder::decode(QByteArrayView bytes)
{
    return m_decoder.decode(bytes);
}

void StreamDecoder::reset()
{
    m_decoder.resetState(); // cheap: it runs at every read shown as hex
}

} // namespace cp936
