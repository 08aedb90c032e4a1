#pragma once

#include "transfer/xmodem.h"

#include <functional>

namespace xmodem
{
// The receiving side of XMODEM and YMODEM.
//
// It asks the sender to begin (NAK for checksums, or 'C' for CRC-16, falling
// back to NAK after crcRequests unanswered 'C's), takes blocks of 128 or 1024
// in order, answers a block it already has with ACK again, and asks again
// (NAK) for a block that came short, damaged or not at all, at most `retries`
// times in a row. A block number out of order ends the transfer. The first
// EOT is answered with NAK and only a second one ends the file, so that noise
// taken for EOT cannot end a file early. XMODEM keeps every block whole (the
// filling included, as the size is not told); YMODEM keeps what the file's
// size says, and a file that ends before its size is not whole: the transfer
// fails.
//
// The receiver writes nothing itself: it hands files on to a sink.
class Receiver : public Machine
{
public:
    enum class Mode { XModem, XModemCrc, YModem };
    struct FileInfo {
        std::string name;       // YMODEM: as the sender gave it (untrusted)
        std::int64_t size = -1; // -1: not told
        std::int64_t mtime = 0; // seconds since the epoch; 0: not told
    };
    // Each returns an empty string when it went well, else why not; the
    // transfer then fails and the sender is told.
    struct Sink {
        std::function<std::string(const FileInfo &)> begin;
        std::function<std::string(std::string_view)> write;
        std::function<std::string()> end; // the file is whole
        std::function<void()> abandon;    // the file under way will not be whole
    };

    Receiver(Mode mode, Sink sink, Timing timing = {});

    void start(std::int64_t now) override;
    void feed(std::string_view bytes, std::int64_t now) override;
    void tick(std::int64_t now) override;
    void cancel() override { failFile("已取消"); }

    Check check() const { return m_check; }
    // Block 0's name, size and time; nothing when it is not a header.
    static FileInfo parseHeader(std::string_view data);

private:
    enum class State {
        Requesting, // asking to begin (a file, or YMODEM's next block 0)
        Awaiting,   // for the next block or EOT
        InBlock,    // collecting a block's bytes
        Purging,    // after a bad block, until the line is quiet
    };
    void on(std::uint8_t byte, std::int64_t now);
    void request(std::int64_t now);
    void blockDone(std::int64_t now);
    void accept(std::uint8_t number, std::string_view data, std::int64_t now);
    void header(std::string_view data, std::int64_t now);
    void eot(std::int64_t now);
    void endFile(std::int64_t now);
    void bad(std::int64_t now, bool purge);
    void awaitBlock(std::int64_t now);
    void failFile(std::string why);
    bool yModem() const { return m_mode == Mode::YModem; }
    std::size_t checkSize() const { return m_check == Check::Crc ? 2 : 1; }

    Mode m_mode;
    Sink m_sink;
    State m_state = State::Requesting;
    Check m_check = Check::Crc;
    bool m_fileOpen = false;
    bool m_wantHeader = false; // YMODEM: the next block is a block 0
    bool m_eotOnce = false;    // the first EOT was answered with NAK
    bool m_started = false;    // a block was taken since the start
    std::uint8_t m_expect = 1; // the next block's number
    int m_requests = 0;
    int m_errors = 0; // in a row, for the block expected
    std::int64_t m_size = -1;
    std::string m_block; // the block being collected, its header byte first
    std::size_t m_need = 0;
};
} // namespace xmodem
