#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A small Modbus RTU slave: what the simulated device answers to one frame.
namespace devsim
{

using Bytes = std::vector<std::uint8_t>;

// Modbus CRC-16 (polynomial 0xA001, initial 0xFFFF); sent low byte first.
std::uint16_t crc16(const std::uint8_t *data, std::size_t n);
Bytes withCrc(Bytes frame);

class ModbusSlave
{
public:
    static constexpr std::uint8_t kAddress = 1;
    static constexpr std::size_t kRegisters = 100;

    ModbusSlave();

    enum class Kind { Reply, Silence, NotModbus };
    struct Answer {
        Kind kind;
        Bytes reply; // for Reply
    };
    // A frame is Modbus when it is at least 4 bytes long and its CRC is right.
    // Requests to this slave are answered (exceptions for functions it does not
    // have), requests to others and broadcasts get silence; anything else is
    // not Modbus, and the caller echoes it.
    Answer handle(const Bytes &frame);

    std::array<std::uint16_t, kRegisters> holding{};
    std::array<std::uint16_t, kRegisters> input{};

private:
    Bytes exception(std::uint8_t function, std::uint8_t code) const;
    Bytes readRegisters(std::uint8_t function, const Bytes &f) const;
};

// The time without bytes that ends a frame: 3.5 characters of 11 bits, and
// 1.75 ms above 19200 baud.
double frameGapMs(int baud);

// Turns "\r", "\n", "\t", "\\" and "\xHH" in a command-line text into bytes.
Bytes unescape(const std::string &text);
// "01 03 0A" into bytes; nothing when a pair is not hexadecimal.
std::optional<Bytes> parseHex(const std::string &text);

} // namespace devsim
