#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What XMODEM and YMODEM share: the control bytes, the two checks, a block as
// it goes on the line, the clock, and the base of the two machines that speak
// them (xmodem_sender.h, xmodem_receiver.h).
//
// The machines are written without Qt and without a port, so that they can be
// table-tested and fuzzed on their own: bytes and the time (milliseconds, any
// steady clock) go in, bytes to write come out, and they say how far they got
// and how it ended. Nothing they read from the line is trusted: a block is
// taken only whole, with its number, the number's complement and its check
// right; everything else is noise to skip or a block to ask for again.
namespace xmodem
{
enum : std::uint8_t {
    SOH = 0x01, // a block of 128
    STX = 0x02, // a block of 1024
    EOT = 0x04,
    ACK = 0x06,
    NAK = 0x15,
    CAN = 0x18,
    SUB = 0x1a, // what fills the last block
    CRC = 'C',  // the receiver asks for blocks with CRC-16
};

// CRC-16/XMODEM (polynomial 0x1021, starting at 0, not reflected).
std::uint16_t crc16(std::string_view bytes, std::uint16_t crc = 0);
// The arithmetic sum of the bytes, modulo 256.
std::uint8_t checksum(std::string_view bytes);

enum class Check { Sum, Crc };

// A block: its header (SOH or STX by size), number, complement, the data filled
// to size with fill, and the check. data must not be longer than size (128 or 1024).
std::string block(std::uint8_t number, std::string_view data, std::size_t size, Check check,
                  char fill = char(SUB));

// How long either side waits, in milliseconds, and how often it tries again.
struct Timing {
    std::int64_t startMs = 60000;  // the sender, for the receiver's first request
    std::int64_t replyMs = 10000;  // the sender for an answer, the receiver for a block
    std::int64_t charMs = 1000;    // the receiver, between the bytes of one block
    std::int64_t requestMs = 3000; // the receiver, between its requests to begin
    int requests = 20;             // the receiver's requests to begin, in all
    int crcRequests = 3;           // of them, asking for CRC before falling back to checksums
    int retries = 10;              // the same block, the same end, at most this often again
    std::int64_t purgeMs = 200;    // a bad block: the line is let fall quiet this long
};

enum class Status { Running, Done, Failed };

struct Progress {
    std::int64_t bytes = 0;  // of the file under way, taken by the far end (sending) or kept
    std::int64_t total = -1; // of the file under way; -1 when not known
    std::int64_t blocks = 0; // data blocks, all files
    int retries = 0;         // blocks sent or asked for again, all files
    int files = 0;           // files finished
    std::int64_t done = 0;   // their bytes (what bytes held for each, once it was finished)
    std::string name;        // of the file under way (YMODEM)
};

// The base of both machines.
class Machine
{
public:
    virtual ~Machine() = default;

    // The transfer begins now.
    virtual void start(std::int64_t now) = 0;
    // Bytes read from the line.
    virtual void feed(std::string_view bytes, std::int64_t now) = 0;
    // The clock: call at deadline() (earlier calls do nothing).
    virtual void tick(std::int64_t now) = 0;
    // When tick() is next due; -1 once the transfer has ended.
    std::int64_t deadline() const { return m_status == Status::Running ? m_deadline : -1; }

    // The user ends it: the far end is told (CAN), and the transfer failed.
    virtual void cancel();

    // What to write to the line, taken once.
    std::string takeOutput();
    Status status() const { return m_status; }
    // Why it failed (UTF-8, for people).
    const std::string &reason() const { return m_reason; }
    const Progress &progress() const { return m_progress; }

    // The cancel sequence: eight CAN and as many backspaces, which also ends
    // lrzsz's ZMODEM and a receiver that waits in the middle of a block.
    static std::string cancelSequence();

protected:
    void put(std::string_view bytes) { m_out.append(bytes); }
    void put(char c) { m_out.push_back(c); }
    std::size_t said() const { return m_out.size(); } // what waits to be taken
    void succeed();
    void fail(std::string why, bool tellFarEnd);
    // Two CAN in a row end the transfer from the far end; true when byte made the second.
    bool cancelledBy(std::uint8_t byte);

    Timing m_timing;
    std::int64_t m_deadline = -1;
    Progress m_progress;

private:
    Status m_status = Status::Running;
    std::string m_reason;
    std::string m_out;
    bool m_lastWasCan = false;
};
} // namespace xmodem
