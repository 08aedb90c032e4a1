#include "receive/hex_format.h"

void hexPairsInto(QByteArrayView bytes, char16_t *out)
{
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    for (const char b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        *out++ = digits[v >> 4];
        *out++ = digits[v & 0x0f];
        *out++ = u' ';
    }
}

QString hexPairs(QByteArrayView bytes)
{
    QString s(bytes.size() * 3, Qt::Uninitialized);
    hexPairsInto(bytes, reinterpret_cast<char16_t *>(s.data()));
    return s;
}
