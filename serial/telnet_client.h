#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The client's side of Telnet as serial servers speak it (RFC 854), with the
// COM port control option of RFC 2217. Written without Qt, so that it can be
// fuzzed on its own: bytes in, bytes out.
//
// What the server sends is untrusted: the state kept between calls is a few
// bytes of negotiation and a sub-negotiation of at most kMaxSub bytes; one that
// runs longer, or an IAC inside it that is neither IAC nor SE, fails the
// stream (the caller closes the connection).
class TelnetClient
{
public:
    enum : std::uint8_t {
        SE = 240,
        NOP = 241,
        SB = 250,
        WILL = 251,
        WONT = 252,
        DO = 253,
        DONT = 254,
        IAC = 255,
        Binary = 0,
        SuppressGoAhead = 3,
        ComPort = 44,
    };
    // RFC 2217 commands as the client sends them; the server answers with 100 added.
    enum ComCommand : std::uint8_t {
        SetBaud = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        NotifyLineState = 6,
        NotifyModemState = 7,
        SetLineStateMask = 10,
        SetModemStateMask = 11,
    };
    // SET-CONTROL values.
    enum Control : std::uint8_t {
        BreakOn = 5,
        BreakOff = 6,
        DtrOn = 8,
        DtrOff = 9,
        RtsOn = 11,
        RtsOff = 12,
    };
    // SET-PARITY and SET-STOPSIZE values.
    enum : std::uint8_t {
        ParityNone = 1,
        ParityOdd = 2,
        ParityEven = 3,
        ParityMark = 4,
        ParitySpace = 5
    };
    enum : std::uint8_t { StopOne = 1, StopTwo = 2, StopOneAndHalf = 3 };
    static constexpr std::size_t kMaxSub = 64;

    // A COM port notification or confirmation from the server.
    struct Notice {
        ComCommand command; // as the client would send it (the server's code less 100)
        std::uint32_t value;
    };
    struct Result {
        std::string data;  // the serial bytes, IAC IAC undoubled
        std::string reply; // to send back (answers to the server's negotiation)
        std::vector<Notice> notices;
        bool failed = false; // the stream broke the rules; close the connection
    };

    // comPort: speak RFC 2217 (else Telnet alone, for plain telnet servers).
    explicit TelnetClient(bool comPort = true) : m_comPort(comPort) {}

    // What the client says first: binary both ways, no go-aheads, and the COM port option.
    std::string greeting();
    // Takes the next bytes from the server; state is kept between calls.
    Result feed(std::string_view bytes);

    // The server said it will not do the COM port option (DONT COM-PORT).
    bool comPortRefused() const { return m_comPort && !m_ours[ComPort]; }

    // Serial bytes as they go to the server: IAC doubled.
    static std::string escape(std::string_view data);
    // An RFC 2217 command: IAC SB COM-PORT-OPTION command value IAC SE; value
    // is width bytes, most significant first (IAC in it doubled).
    static std::string command(ComCommand c, std::uint32_t value, int width = 1);

private:
    enum class State { Data, Iac, Verb, Sub, SubIac, Broken };
    void negotiate(std::uint8_t verb, std::uint8_t option, std::string &reply);
    void subnegotiation(Result &out);
    bool wanted(std::uint8_t option, bool ours) const;

    bool m_comPort;
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::string m_sub;
    // Options in force: ours (we WILL) and theirs (they WILL), by option number.
    bool m_ours[256] = {};
    bool m_theirs[256] = {};
    // Options refused once already, ours and theirs.
    bool m_refusedOurs[256] = {};
    bool m_refusedTheirs[256] = {};
};
