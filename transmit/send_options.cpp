#include "transmit/send_options.h"

namespace
{

// Reflected CRC-16 (MODBUS: polynomial 0x8005 reflected, start 0xFFFF).
quint16 crc16Reflected(QByteArrayView bytes, quint16 poly, quint16 crc)
{
    for (char b : bytes) {
        crc ^= quint8(b);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? quint16((crc >> 1) ^ poly) : quint16(crc >> 1);
    }
    return crc;
}

// CRC-16 over 0x1021, most significant bit first (CCITT-FALSE from 0xFFFF, XMODEM from 0).
quint16 crc16Msb(QByteArrayView bytes, quint16 crc)
{
    for (char b : bytes) {
        crc ^= quint16(quint8(b) << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

quint32 crc32(QByteArrayView bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char b : bytes) {
        crc ^= quint8(b);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

QByteArray lowFirst(quint32 v, int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out.append(char(v >> (8 * i)));
    return out;
}

QByteArray highFirst(quint32 v, int n)
{
    QByteArray out;
    for (int i = n - 1; i >= 0; --i)
        out.append(char(v >> (8 * i)));
    return out;
}

} // namespace

QString displayName(LineEnding e)
{
    switch (e) {
    case LineEnding::None:
        return QStringLiteral("无");
    case LineEnding::CR:
        return QStringLiteral("CR");
    case LineEnding::LF:
        return QStringLiteral("LF");
    case LineEnding::CRLF:
        return QStringLiteral("CR LF");
    }
    return {};
}

QString displayName(Checksum c)
{
    switch (c) {
    case Checksum::None:
        return QStringLiteral("无");
    case Checksum::Crc16Modbus:
        return QStringLiteral("CRC-16/MODBUS");
    case Checksum::Crc16CcittFalse:
        return QStringLiteral("CRC-16/CCITT-FALSE");
    case Checksum::Crc16Xmodem:
        return QStringLiteral("CRC-16/XMODEM");
    case Checksum::Crc32:
        return QStringLiteral("CRC-32");
    case Checksum::Sum8:
        return QStringLiteral("累加和 8 位");
    case Checksum::Xor8:
        return QStringLiteral("异或 8 位");
    }
    return {};
}

QString key(LineEnding e)
{
    switch (e) {
    case LineEnding::None:
        return QStringLiteral("none");
    case LineEnding::CR:
        return QStringLiteral("cr");
    case LineEnding::LF:
        return QStringLiteral("lf");
    case LineEnding::CRLF:
        return QStringLiteral("crlf");
    }
    return {};
}

QString key(Checksum c)
{
    switch (c) {
    case Checksum::None:
        return QStringLiteral("none");
    case Checksum::Crc16Modbus:
        return QStringLiteral("crc16-modbus");
    case Checksum::Crc16CcittFalse:
        return QStringLiteral("crc16-ccitt-false");
    case Checksum::Crc16Xmodem:
        return QStringLiteral("crc16-xmodem");
    case Checksum::Crc32:
        return QStringLiteral("crc32");
    case Checksum::Sum8:
        return QStringLiteral("sum8");
    case Checksum::Xor8:
        return QStringLiteral("xor8");
    }
    return {};
}

std::optional<LineEnding> lineEndingFromKey(QStringView k)
{
    for (LineEnding e : kLineEndings)
        if (k == key(e))
            return e;
    return std::nullopt;
}

std::optional<Checksum> checksumFromKey(QStringView k)
{
    for (Checksum c : kChecksums)
        if (k == key(c))
            return c;
    return std::nullopt;
}

QByteArray endingBytes(LineEnding e)
{
    switch (e) {
    case LineEnding::None:
        return {};
    case LineEnding::CR:
        return QByteArrayLiteral("\r");
    case LineEnding::LF:
        return QByteArrayLiteral("\n");
    case LineEnding::CRLF:
        return QByteArrayLiteral("\r\n");
    }
    return {};
}

QByteArray checksumBytes(Checksum c, QByteArrayView bytes)
{
    switch (c) {
    case Checksum::None:
        return {};
    case Checksum::Crc16Modbus:
        return lowFirst(crc16Reflected(bytes, 0xA001, 0xFFFF), 2);
    case Checksum::Crc16CcittFalse:
        return highFirst(crc16Msb(bytes, 0xFFFF), 2);
    case Checksum::Crc16Xmodem:
        return highFirst(crc16Msb(bytes, 0), 2);
    case Checksum::Crc32:
        return lowFirst(crc32(bytes), 4);
    case Checksum::Sum8: {
        quint8 sum = 0;
        for (char b : bytes)
            sum = quint8(sum + quint8(b));
        return QByteArray(1, char(sum));
    }
    case Checksum::Xor8: {
        quint8 x = 0;
        for (char b : bytes)
            x ^= quint8(b);
        return QByteArray(1, char(x));
    }
    }
    return {};
}
