#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// What a send may add to the bytes of the send box: a line ending after text,
// a checksum after hexadecimal bytes.
enum class LineEnding { None, CR, LF, CRLF };
enum class Checksum { None, Crc16Modbus, Crc16CcittFalse, Crc16Xmodem, Crc32, Sum8, Xor8 };

inline constexpr LineEnding kLineEndings[] = {LineEnding::None, LineEnding::CR, LineEnding::LF,
                                              LineEnding::CRLF};
inline constexpr Checksum kChecksums[] = {
    Checksum::None,        Checksum::Crc16Modbus, Checksum::Crc16CcittFalse,
    Checksum::Crc16Xmodem, Checksum::Crc32,       Checksum::Sum8,
    Checksum::Xor8};

// As the menus show them: "无", "CR", "CR LF", "CRC-16/MODBUS", "累加和 8 位"...
QString displayName(LineEnding e);
QString displayName(Checksum c);
// As saved command files write them: "none", "crlf", "crc16-modbus"...
QString key(LineEnding e);
QString key(Checksum c);
std::optional<LineEnding> lineEndingFromKey(QStringView key);
std::optional<Checksum> checksumFromKey(QStringView key);

QByteArray endingBytes(LineEnding e);

// The checksum of bytes as it goes on the wire after them: CRC-16/MODBUS low
// byte first, the other 16-bit CRCs high byte first, CRC-32 least significant
// byte first (as Ethernet sends it); the 8-bit sum and XOR as one byte. Empty
// for Checksum::None.
QByteArray checksumBytes(Checksum c, QByteArrayView bytes);

// The settings a send box's send goes out with.
struct SendOptions {
    LineEnding ending = LineEnding::None;
    Checksum checksum = Checksum::None;
};
