#include "transfer/xmodem_sender.h"

#include <cinttypes>
#include <cstdio>

namespace xmodem
{
Sender::Sender(Mode mode, std::vector<File> files, Reader reader, Timing timing)
    : m_mode(mode), m_files(std::move(files)), m_reader(std::move(reader))
{
    m_timing = timing;
    if (m_mode != Mode::YModem && m_files.size() > 1)
        m_files.resize(1);
}

std::string Sender::header(const File &file, Check check)
{
    std::string info = file.name;
    if (!file.name.empty()) {
        char numbers[48];
        if (file.mtime > 0)
            std::snprintf(numbers, sizeof numbers, "%" PRId64 " %" PRIo64, file.size, file.mtime);
        else
            std::snprintf(numbers, sizeof numbers, "%" PRId64, file.size);
        info.push_back('\0');
        info.append(numbers);
    }
    // The name and its numbers must end with a NUL inside the block.
    if (info.size() > 1023)
        info.resize(1023);
    return block(0, info, info.size() < 128 ? 128 : 1024, check, '\0');
}

void Sender::start(std::int64_t now)
{
    if (m_files.empty())
        return fail("没有要发送的文件", false);
    m_state = State::WaitStart;
    m_deadline = now + m_timing.startMs;
    m_progress.total = m_files[0].size;
    m_progress.name = m_files[0].name;
}

void Sender::feed(std::string_view bytes, std::int64_t now)
{
    // Once this read has been answered, the rest of it came before the answer
    // could be seen: a NAK or ACK there is for what was sent before (a burst
    // of noise, a repeated request), and taking it would send a block twice or
    // take an ACK for the wrong block. Only a cancel still counts.
    const std::size_t before = said();
    for (const char c : bytes) {
        if (status() != Status::Running)
            return;
        if (said() != before && std::uint8_t(c) != CAN)
            continue;
        on(std::uint8_t(c), now);
    }
}

void Sender::on(std::uint8_t byte, std::int64_t now)
{
    if (cancelledBy(byte))
        return;
    const bool request = byte == NAK || byte == CRC;
    switch (m_state) {
    case State::Idle:
        return;
    case State::WaitStart:
        if (byte == NAK)
            return begin(Check::Sum, now);
        if (byte == CRC && m_mode != Mode::XModem)
            return begin(Check::Crc, now);
        return;
    case State::WaitHeaderAck:
        if (byte == ACK) {
            m_state = State::WaitDataStart;
            m_deadline = now + m_timing.replyMs;
            m_tries = 0;
        } else if (byte == NAK) {
            again(now); // a 'C' now is an earlier request to begin
        }
        return;
    case State::WaitDataStart:
        if (!request)
            return;
        m_progress.total = m_files[m_file].size;
        m_offset = 0;
        m_sentSize = 0;
        m_number = 0;
        return m_files[m_file].size > 0 ? sendBlock(now) : sendEot(now);
    case State::WaitBlockAck:
        if (byte == ACK) {
            m_offset += std::int64_t(m_sentSize);
            m_progress.bytes = m_offset;
            ++m_progress.blocks;
            return m_offset < m_files[m_file].size ? sendBlock(now) : sendEot(now);
        }
        // A 'C' now is one more of the requests to begin that crossed the
        // first block: the receiver answers that block, not the 'C'.
        if (byte == NAK)
            again(now);
        return;
    case State::WaitEotAck:
        if (byte == ACK) {
            ++m_progress.files;
            m_progress.done += m_progress.bytes;
            m_progress.bytes = 0;
            if (!yModem())
                return succeed();
            ++m_file;
            m_state = State::WaitNextStart;
            m_deadline = now + m_timing.startMs;
            m_tries = 0;
        } else if (byte == NAK) {
            again(now); // YMODEM receivers answer the first EOT so
        }
        return;
    case State::WaitNextStart:
        if (request)
            sendHeader(now);
        return;
    case State::WaitFinalAck:
        if (byte == ACK)
            succeed();
        else if (request)
            again(now);
        return;
    }
}

void Sender::tick(std::int64_t now)
{
    if (status() != Status::Running || m_deadline < 0 || now < m_deadline)
        return;
    switch (m_state) {
    case State::Idle:
        return;
    case State::WaitStart:
        return fail("接收方没有开始接收", true);
    case State::WaitNextStart:
        return fail("接收方没有要下一个文件", true);
    case State::WaitFinalAck:
        // Every file was taken; only the batch's end went unanswered.
        if (m_tries >= m_timing.retries)
            return succeed();
        return again(now);
    case State::WaitDataStart:
        if (++m_tries > m_timing.retries)
            return fail("接收方收下文件信息后没有要数据", true);
        m_deadline = now + m_timing.replyMs;
        return;
    default:
        return again(now);
    }
}

void Sender::begin(Check check, std::int64_t now)
{
    m_check = check;
    if (yModem())
        return sendHeader(now);
    m_state = State::WaitDataStart;
    on(NAK, now);
}

void Sender::sendHeader(std::int64_t now)
{
    const bool end = m_file >= m_files.size();
    if (!end) {
        m_progress.bytes = 0;
        m_progress.total = m_files[m_file].size;
        m_progress.name = m_files[m_file].name;
    }
    m_last = header(end ? File{} : m_files[m_file], m_check);
    put(m_last);
    awaitReply(end ? State::WaitFinalAck : State::WaitHeaderAck, now);
}

std::size_t Sender::blockSize() const
{
    if (m_mode == Mode::XModem || m_mode == Mode::XModemCrc)
        return 128;
    return m_files[m_file].size - m_offset > 896 ? 1024 : 128;
}

void Sender::sendBlock(std::int64_t now)
{
    const std::size_t size = blockSize();
    const std::int64_t left = m_files[m_file].size - m_offset;
    const std::size_t n = std::size_t(std::min<std::int64_t>(left, std::int64_t(size)));
    std::string data, why;
    if (!m_reader(m_file, m_offset, n, data, why) || data.size() != n)
        return fail(why.empty() ? "读取文件失败" : why, true);
    m_sentSize = n;
    ++m_number;
    m_last = block(m_number, data, size, m_check);
    put(m_last);
    awaitReply(State::WaitBlockAck, now);
}

void Sender::sendEot(std::int64_t now)
{
    m_last = std::string(1, char(EOT));
    put(m_last);
    awaitReply(State::WaitEotAck, now);
}

void Sender::awaitReply(State state, std::int64_t now)
{
    m_state = state;
    m_tries = 0;
    m_deadline = now + m_timing.replyMs;
}

void Sender::again(std::int64_t now)
{
    if (++m_tries > m_timing.retries) {
        if (m_state == State::WaitEotAck)
            return fail("文件已发完，接收方没有确认结束", true);
        return fail("第 " + std::to_string(m_progress.blocks + 1) + " 块发送 " +
                        std::to_string(m_timing.retries + 1) + " 次都没有被收下",
                    true);
    }
    ++m_progress.retries;
    put(m_last);
    m_deadline = now + m_timing.replyMs;
}
} // namespace xmodem
