#include "devsim/modbus.h"

#include <cctype>

namespace devsim
{

std::uint16_t crc16(const std::uint8_t *data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes withCrc(Bytes frame)
{
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(std::uint8_t(crc & 0xFF));
    frame.push_back(std::uint8_t(crc >> 8));
    return frame;
}

ModbusSlave::ModbusSlave()
{
    // Something recognisable to read: holding register i holds i, input
    // registers a temperature in tenths of a degree and a humidity.
    for (std::size_t i = 0; i < kRegisters; ++i)
        holding[i] = std::uint16_t(i);
    input[0] = 235;
    input[1] = 41;
}

Bytes ModbusSlave::exception(std::uint8_t function, std::uint8_t code) const
{
    return withCrc({kAddress, std::uint8_t(function | 0x80), code});
}

Bytes ModbusSlave::readRegisters(std::uint8_t function, const Bytes &f) const
{
    if (f.size() != 8)
        return exception(function, 0x03);
    const unsigned start = (f[2] << 8) | f[3];
    const unsigned count = (f[4] << 8) | f[5];
    if (count < 1 || count > 125)
        return exception(function, 0x03);
    if (start + count > kRegisters)
        return exception(function, 0x02);
    const auto &regs = function == 0x03 ? holding : input;
    Bytes r{kAddress, function, std::uint8_t(count * 2)};
    for (unsigned i = 0; i < count; ++i) {
        r.push_back(std::uint8_t(regs[start + i] >> 8));
        r.push_back(std::uint8_t(regs[start + i] & 0xFF));
    }
    return withCrc(r);
}

ModbusSlave::Answer ModbusSlave::handle(const Bytes &f)
{
    if (f.size() < 4)
        return {Kind::NotModbus, {}};
    const std::uint16_t crc = crc16(f.data(), f.size() - 2);
    if (f[f.size() - 2] != (crc & 0xFF) || f[f.size() - 1] != (crc >> 8))
        return {Kind::NotModbus, {}};
    const std::uint8_t address = f[0], function = f[1];
    const bool broadcast = address == 0;
    if (address != kAddress && !broadcast)
        return {Kind::Silence, {}};
    Bytes reply;
    switch (function) {
    case 0x03:
    case 0x04:
        reply = readRegisters(function, f);
        break;
    case 0x06: {
        if (f.size() != 8) {
            reply = exception(function, 0x03);
            break;
        }
        const unsigned reg = (f[2] << 8) | f[3];
        if (reg >= kRegisters) {
            reply = exception(function, 0x02);
            break;
        }
        holding[reg] = std::uint16_t((f[4] << 8) | f[5]);
        reply = f; // the request itself confirms the write
        break;
    }
    default:
        reply = exception(function, 0x01);
        break;
    }
    if (broadcast) // broadcasts are carried out and never answered
        return {Kind::Silence, {}};
    return {Kind::Reply, reply};
}

double frameGapMs(int baud)
{
    if (baud <= 0)
        baud = 9600;
    return baud > 19200 ? 1.75 : 3.5 * 11 * 1000.0 / baud;
}

Bytes unescape(const std::string &text)
{
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out.push_back(std::uint8_t(c));
            continue;
        }
        const char e = text[++i];
        switch (e) {
        case 'r':
            out.push_back('\r');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'x':
            if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                out.push_back(std::uint8_t(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
                i += 2;
                break;
            }
            [[fallthrough]];
        default:
            out.push_back(std::uint8_t(e));
        }
    }
    return out;
}

std::optional<Bytes> parseHex(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (const char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    if (digits.size() % 2 != 0)
        return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            return std::nullopt;
        out.push_back(std::uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

} // namespace devsim
