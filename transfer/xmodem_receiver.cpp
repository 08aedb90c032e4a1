#include "transfer/xmodem_receiver.h"

#include <charconv>

namespace xmodem
{
Receiver::Receiver(Mode mode, Sink sink, Timing timing) : m_mode(mode), m_sink(std::move(sink))
{
    m_timing = timing;
    m_check = mode == Mode::XModem ? Check::Sum : Check::Crc;
    m_wantHeader = yModem();
}

Receiver::FileInfo Receiver::parseHeader(std::string_view data)
{
    FileInfo info;
    const std::size_t nul = data.find('\0');
    info.name = std::string(data.substr(0, nul));
    if (nul == std::string_view::npos)
        return info;
    std::string_view rest = data.substr(nul + 1);
    rest = rest.substr(0, rest.find('\0'));
    const auto number = [&rest](int base, std::int64_t &out) {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        std::int64_t v = 0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), v, base);
        if (ec != std::errc() || v < 0)
            return false;
        out = v;
        rest.remove_prefix(std::size_t(end - rest.data()));
        return true;
    };
    if (number(10, info.size))
        number(8, info.mtime);
    return info;
}

void Receiver::start(std::int64_t now)
{
    m_state = State::Requesting;
    m_requests = 0;
    request(now);
}

void Receiver::request(std::int64_t now)
{
    if (++m_requests > m_timing.requests) {
        if (m_started)
            return fail("发送方没有发送下一个文件", true);
        return fail("发送方没有开始发送", true);
    }
    // Unanswered 'C's: the sender may know checksums alone.
    if (!m_started && m_mode == Mode::XModemCrc && m_requests > m_timing.crcRequests)
        m_check = Check::Sum;
    put(char(m_check == Check::Crc ? CRC : NAK));
    m_deadline = now + m_timing.requestMs;
}

void Receiver::feed(std::string_view bytes, std::int64_t now)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (status() != Status::Running)
            return;
        if (m_state == State::InBlock) {
            // The rest of a block, taken at once.
            const std::size_t n = std::min(m_need - m_block.size(), bytes.size() - i);
            m_block.append(bytes.substr(i, n));
            i += n - 1;
            m_deadline = now + m_timing.charMs;
            if (m_block.size() == m_need)
                blockDone(now);
            continue;
        }
        on(std::uint8_t(bytes[i]), now);
    }
}

void Receiver::on(std::uint8_t byte, std::int64_t now)
{
    if (cancelledBy(byte))
        return failFile("对方取消了传输");
    if (m_state == State::Purging) {
        m_deadline = now + m_timing.purgeMs;
        return;
    }
    if (byte == SOH || byte == STX) {
        m_block.assign(1, char(byte));
        m_need = 3 + (byte == STX ? 1024 : 128) + checkSize();
        m_state = State::InBlock;
        m_deadline = now + m_timing.charMs;
        return;
    }
    if (byte == EOT)
        eot(now);
    // Anything else between blocks is noise.
}

void Receiver::tick(std::int64_t now)
{
    if (status() != Status::Running || m_deadline < 0 || now < m_deadline)
        return;
    switch (m_state) {
    case State::Requesting:
        return request(now);
    case State::Purging:
        m_state = State::Awaiting;
        put(char(NAK));
        m_deadline = now + m_timing.replyMs;
        return;
    case State::InBlock:
        return bad(now, false); // it came short
    case State::Awaiting:
        return bad(now, false);
    }
}

void Receiver::blockDone(std::int64_t now)
{
    const std::uint8_t number = std::uint8_t(m_block[1]);
    const std::string_view data = std::string_view(m_block).substr(3, m_need - 3 - checkSize());
    const std::string_view check = std::string_view(m_block).substr(m_need - checkSize());
    bool good = std::uint8_t(m_block[2]) == std::uint8_t(0xff - number);
    if (m_check == Check::Crc) {
        const std::uint16_t crc = crc16(data);
        good =
            good && std::uint8_t(check[0]) == (crc >> 8) && std::uint8_t(check[1]) == (crc & 0xff);
    } else {
        good = good && std::uint8_t(check[0]) == checksum(data);
    }
    if (!good)
        return bad(now, true);
    accept(number, data, now);
}

void Receiver::accept(std::uint8_t number, std::string_view data, std::int64_t now)
{
    if (m_wantHeader) {
        if (number == 0)
            return header(data, now);
        if (number == std::uint8_t(m_expect - 1) && m_started) { // the last file's last block again
            put(char(ACK));
            return awaitBlock(now);
        }
        return failFile("块序号错乱：应为文件信息块，收到第 " + std::to_string(number) + " 块");
    }
    if (number == m_expect) {
        m_started = true;
        m_eotOnce = false;
        m_errors = 0;
        std::string_view keep = data;
        if (m_size >= 0)
            keep =
                keep.substr(0, std::size_t(std::max<std::int64_t>(0, m_size - m_progress.bytes)));
        if (!m_fileOpen) { // XMODEM: the file begins with its first block
            if (std::string why = m_sink.begin ? m_sink.begin(FileInfo{}) : std::string();
                !why.empty())
                return fail(std::move(why), true);
            m_fileOpen = true;
        }
        if (!keep.empty() && m_sink.write) {
            if (std::string why = m_sink.write(keep); !why.empty())
                return failFile(std::move(why));
        }
        m_progress.bytes += std::int64_t(keep.size());
        ++m_progress.blocks;
        ++m_expect;
        put(char(ACK));
        return awaitBlock(now);
    }
    if (yModem() && number == 0 && m_expect == 1) { // block 0 again: our ACK was lost
        put(char(ACK));
        put(char(CRC));
        return awaitBlock(now);
    }
    if (number == std::uint8_t(m_expect - 1) && m_started) { // its ACK was lost
        put(char(ACK));
        return awaitBlock(now);
    }
    failFile("块序号错乱：应为第 " + std::to_string(m_expect) + " 块，收到第 " +
             std::to_string(number) + " 块");
}

void Receiver::header(std::string_view data, std::int64_t now)
{
    m_started = true;
    FileInfo info = parseHeader(data);
    if (info.name.empty()) { // the batch ends
        put(char(ACK));
        return succeed();
    }
    if (m_sink.begin) {
        if (std::string why = m_sink.begin(info); !why.empty())
            return fail(std::move(why), true);
    }
    m_fileOpen = true;
    m_wantHeader = false;
    m_size = info.size;
    m_expect = 1;
    m_errors = 0;
    m_eotOnce = false;
    m_progress.name = info.name;
    m_progress.total = info.size;
    m_progress.bytes = 0;
    put(char(ACK));
    put(char(CRC)); // and now the data
    awaitBlock(now);
}

void Receiver::eot(std::int64_t now)
{
    if (!m_fileOpen) {
        if (m_started && m_wantHeader) // our ACK of the last EOT was lost
            put(char(ACK));
        if (!m_started && !yModem()) { // an empty file
            if (std::string why = m_sink.begin ? m_sink.begin(FileInfo{}) : std::string();
                !why.empty())
                return fail(std::move(why), true);
            m_fileOpen = true;
        } else {
            return;
        }
    }
    if (!m_eotOnce) {
        m_eotOnce = true;
        put(char(NAK));
        m_state = State::Awaiting;
        m_deadline = now + m_timing.replyMs;
        return;
    }
    if (m_size >= 0 && m_progress.bytes < m_size)
        return failFile("文件不完整：应有 " + std::to_string(m_size) + " 字节，只收到 " +
                        std::to_string(m_progress.bytes) + " 字节");
    put(char(ACK));
    endFile(now);
}

void Receiver::endFile(std::int64_t now)
{
    m_fileOpen = false;
    if (m_sink.end) {
        if (std::string why = m_sink.end(); !why.empty())
            return fail(std::move(why), true);
    }
    ++m_progress.files;
    m_progress.done += m_progress.bytes;
    m_progress.bytes = 0;
    if (!yModem())
        return succeed();
    m_wantHeader = true;
    m_eotOnce = false;
    m_size = -1;
    m_state = State::Requesting;
    m_requests = 0;
    m_check = Check::Crc;
    request(now);
}

void Receiver::bad(std::int64_t now, bool purge)
{
    if (++m_errors > m_timing.retries)
        return failFile("第 " + std::to_string(m_progress.blocks + 1) + " 块收了 " +
                        std::to_string(m_errors) + " 次都不完整");
    ++m_progress.retries;
    if (purge) {
        m_state = State::Purging;
        m_deadline = now + m_timing.purgeMs;
        return;
    }
    m_state = State::Awaiting;
    // Before the first block, ask to begin again as at the start.
    put(char(!m_started && m_check == Check::Crc ? CRC : NAK));
    m_deadline = now + m_timing.replyMs;
}

void Receiver::awaitBlock(std::int64_t now)
{
    m_state = State::Awaiting;
    m_deadline = now + m_timing.replyMs;
}

void Receiver::failFile(std::string why)
{
    const bool cancelled = status() != Status::Running; // the sender's CAN did it
    if (m_fileOpen && m_sink.abandon)
        m_sink.abandon();
    m_fileOpen = false;
    if (!cancelled)
        fail(std::move(why), true);
}
} // namespace xmodem
