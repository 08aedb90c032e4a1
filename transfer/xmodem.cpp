#include "transfer/xmodem.h"

namespace xmodem
{
std::uint16_t crc16(std::string_view bytes, std::uint16_t crc)
{
    for (const char c : bytes) {
        crc ^= std::uint16_t(std::uint8_t(c)) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? std::uint16_t((crc << 1) ^ 0x1021) : std::uint16_t(crc << 1);
    }
    return crc;
}

std::uint8_t checksum(std::string_view bytes)
{
    std::uint8_t sum = 0;
    for (const char c : bytes)
        sum = std::uint8_t(sum + std::uint8_t(c));
    return sum;
}

std::string block(std::uint8_t number, std::string_view data, std::size_t size, Check check,
                  char fill)
{
    std::string b;
    b.reserve(size + 5);
    b.push_back(char(size == 1024 ? STX : SOH));
    b.push_back(char(number));
    b.push_back(char(0xff - number));
    b.append(data.substr(0, size));
    b.append(size - std::min(size, data.size()), fill);
    const std::string_view body = std::string_view(b).substr(3);
    if (check == Check::Crc) {
        const std::uint16_t crc = crc16(body);
        b.push_back(char(crc >> 8));
        b.push_back(char(crc & 0xff));
    } else {
        b.push_back(char(checksum(body)));
    }
    return b;
}

void Machine::cancel()
{
    if (m_status == Status::Running)
        fail("已取消", true);
}

std::string Machine::takeOutput()
{
    std::string out;
    out.swap(m_out);
    return out;
}

std::string Machine::cancelSequence()
{
    return "\x18\x18\x18\x18\x18\x18\x18\x18\b\b\b\b\b\b\b\b";
}

void Machine::succeed()
{
    m_status = Status::Done;
    m_deadline = -1;
}

void Machine::fail(std::string why, bool tellFarEnd)
{
    if (m_status != Status::Running)
        return;
    m_status = Status::Failed;
    m_reason = std::move(why);
    m_deadline = -1;
    if (tellFarEnd)
        put(cancelSequence());
}

bool Machine::cancelledBy(std::uint8_t byte)
{
    const bool second = byte == CAN && m_lastWasCan;
    m_lastWasCan = byte == CAN && !second;
    if (second)
        fail("对方取消了传输", false);
    return second;
}
} // namespace xmodem
