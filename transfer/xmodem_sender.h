#pragma once

#include "transfer/xmodem.h"

#include <functional>
#include <vector>

namespace xmodem
{
// The sending side of XMODEM and YMODEM.
//
// The receiver chooses the check: NAK asks for checksums, 'C' for CRC-16. The
// plain XMODEM sender is the classic one that knows checksums alone, so it
// waits through a receiver's 'C' until the receiver falls back to NAK; the
// others take either. Blocks are 128 bytes (XModem, XModemCrc) or 1024 (the
// last part of a file goes in 128-byte blocks when that needs less filling);
// the last block is filled with SUB. YMODEM sends each file after a block 0
// with its name, size and time, and ends the batch with an empty block 0.
//
// A block goes again on NAK and when no answer comes in replyMs, at most
// `retries` times; then the transfer fails and the receiver is told.
class Sender : public Machine
{
public:
    enum class Mode { XModem, XModemCrc, XModem1k, YModem };
    struct File {
        std::string name;       // YMODEM: the name the receiver is given
        std::int64_t size = 0;  // bytes
        std::int64_t mtime = 0; // YMODEM: seconds since the epoch; 0: not told
    };
    // Reads n bytes of file from offset into out (n is never more than what is
    // left of the size given); false, with why, when it cannot.
    using Reader = std::function<bool(std::size_t file, std::int64_t offset, std::size_t n,
                                      std::string &out, std::string &why)>;

    // XMODEM sends files[0] alone.
    Sender(Mode mode, std::vector<File> files, Reader reader, Timing timing = {});

    void start(std::int64_t now) override;
    void feed(std::string_view bytes, std::int64_t now) override;
    void tick(std::int64_t now) override;

    Check check() const { return m_check; }
    // Block 0 as YMODEM sends it for file (an empty name ends the batch).
    static std::string header(const File &file, Check check);

private:
    enum class State {
        Idle,
        WaitStart,     // for the receiver's NAK or 'C'
        WaitHeaderAck, // YMODEM: block 0 sent
        WaitDataStart, // YMODEM: block 0 taken, for the receiver's 'C' before the data
        WaitBlockAck,
        WaitEotAck,
        WaitNextStart, // YMODEM: a file done, for 'C' before the next block 0
        WaitFinalAck,  // YMODEM: the empty block 0 sent
    };
    void on(std::uint8_t byte, std::int64_t now);
    void begin(Check check, std::int64_t now);
    void sendHeader(std::int64_t now);
    void sendBlock(std::int64_t now);
    void sendEot(std::int64_t now);
    void again(std::int64_t now); // what was last sent goes again, or the transfer fails
    void awaitReply(State state, std::int64_t now);
    bool yModem() const { return m_mode == Mode::YModem; }
    std::size_t blockSize() const;

    Mode m_mode;
    std::vector<File> m_files;
    Reader m_reader;
    State m_state = State::Idle;
    Check m_check = Check::Crc;
    std::size_t m_file = 0;     // the file under way
    std::int64_t m_offset = 0;  // of the block last sent, in the file
    std::size_t m_sentSize = 0; // of its data (what an ACK confirms)
    std::uint8_t m_number = 0;  // of the block last sent
    std::string m_last;         // the block last sent, to send again
    int m_tries = 0;            // the last thing sent, sent again this often
};
} // namespace xmodem
