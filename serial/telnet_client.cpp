#include "serial/telnet_client.h"

#include <utility>

namespace
{
std::string bytes(std::initializer_list<std::uint8_t> list)
{
    return std::string(list.begin(), list.end());
}
} // namespace

std::string TelnetClient::greeting()
{
    std::string out = bytes(
        {IAC, WILL, Binary, IAC, DO, Binary, IAC, WILL, SuppressGoAhead, IAC, DO, SuppressGoAhead});
    m_ours[Binary] = m_theirs[Binary] = m_ours[SuppressGoAhead] = m_theirs[SuppressGoAhead] = true;
    if (m_comPort) {
        out += bytes({IAC, WILL, ComPort});
        m_ours[ComPort] = true;
    }
    return out;
}

std::string TelnetClient::escape(std::string_view data)
{
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        out += c;
        if (std::uint8_t(c) == IAC)
            out += c;
    }
    return out;
}

std::string TelnetClient::command(ComCommand c, std::uint32_t value, int width)
{
    std::string out = bytes({IAC, SB, ComPort, c});
    for (int i = width - 1; i >= 0; --i) {
        const auto b = std::uint8_t(value >> (8 * i));
        out += char(b);
        if (b == IAC)
            out += char(b);
    }
    return out + bytes({IAC, SE});
}

// The options this client takes: binary and no go-aheads both ways, and the
// COM port option on its own side. Everything else gets the polite refusal.
bool TelnetClient::wanted(std::uint8_t option, bool ours) const
{
    if (option == Binary || option == SuppressGoAhead)
        return true;
    return ours && option == ComPort && m_comPort;
}

// Answers only what changes a state, so two sides never answer each other for
// ever (RFC 1143's rule, simplified: a request for what is in force is taken).
// An option we do not take is refused once: a server that asks again and
// again gets no more answers, whatever it sends.
void TelnetClient::negotiate(std::uint8_t verb, std::uint8_t option, std::string &reply)
{
    switch (verb) {
    case DO:
        if (m_ours[option])
            return;
        if (wanted(option, true)) {
            m_ours[option] = true;
            reply += bytes({IAC, WILL, option});
        } else if (!std::exchange(m_refusedOurs[option], true)) {
            reply += bytes({IAC, WONT, option});
        }
        return;
    case DONT:
        if (m_ours[option]) {
            m_ours[option] = false;
            reply += bytes({IAC, WONT, option});
        }
        return;
    case WILL:
        if (m_theirs[option])
            return;
        if (wanted(option, false)) {
            m_theirs[option] = true;
            reply += bytes({IAC, DO, option});
        } else if (!std::exchange(m_refusedTheirs[option], true)) {
            reply += bytes({IAC, DONT, option});
        }
        return;
    case WONT:
        if (m_theirs[option]) {
            m_theirs[option] = false;
            reply += bytes({IAC, DONT, option});
        }
        return;
    }
}

void TelnetClient::subnegotiation(Result &out)
{
    // COM-PORT-OPTION, a server code (100 and up), then its value.
    if (m_sub.size() < 2 || std::uint8_t(m_sub[0]) != ComPort || std::uint8_t(m_sub[1]) < 100)
        return; // another option's, or the client's own codes echoed: nothing to act on
    const auto code = std::uint8_t(std::uint8_t(m_sub[1]) - 100);
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < m_sub.size() && i < 6; ++i)
        value = (value << 8) | std::uint8_t(m_sub[i]);
    out.notices.push_back({ComCommand(code), value});
}

TelnetClient::Result TelnetClient::feed(std::string_view in)
{
    Result out;
    if (m_state == State::Broken) {
        out.failed = true;
        return out;
    }
    out.data.reserve(in.size());
    for (char ch : in) {
        const auto b = std::uint8_t(ch);
        switch (m_state) {
        case State::Data:
            if (b == IAC)
                m_state = State::Iac;
            else
                out.data += ch;
            break;
        case State::Iac:
            if (b == IAC) {
                out.data += ch;
                m_state = State::Data;
            } else if (b >= WILL) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == SB) {
                m_sub.clear();
                m_state = State::Sub;
            } else {
                m_state = State::Data; // NOP, GA, a stray SE and the like: nothing to do
            }
            break;
        case State::Verb:
            negotiate(m_verb, b, out.reply);
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == IAC) {
                m_state = State::SubIac;
            } else if (m_sub.size() >= kMaxSub) {
                m_state = State::Broken;
            } else {
                m_sub += ch;
            }
            break;
        case State::SubIac:
            if (b == IAC && m_sub.size() < kMaxSub) {
                m_sub += ch;
                m_state = State::Sub;
            } else if (b == SE) {
                subnegotiation(out);
                m_sub.clear();
                m_state = State::Data;
            } else {
                m_state = State::Broken;
            }
            break;
        case State::Broken:
            break;
        }
        if (m_state == State::Broken) {
            m_sub.clear();
            out.failed = true;
            return out;
        }
    }
    return out;
}
