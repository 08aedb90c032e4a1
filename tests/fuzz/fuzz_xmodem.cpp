// Random line bytes and clock steps through the XMODEM and YMODEM machines,
// the mode and the pieces chosen by the input's first bytes: nothing may
// crash or hang; a receiver never keeps more than the blocks it took (nor, in
// YMODEM, more than the size it was told), a sender never claims more than its
// file, and an ended transfer stays ended and says nothing more.
#include "transfer/xmodem_receiver.h"
#include "transfer/xmodem_sender.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace
{
void run(xmodem::Machine &m, std::string_view in, std::size_t piece)
{
    std::int64_t now = 0;
    m.start(now);
    bool ended = false;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        const std::string_view p = in.substr(at, piece);
        // A piece beginning with 0xff is a pause of its second byte's seconds.
        if (p.size() >= 2 && std::uint8_t(p[0]) == 0xff) {
            now += std::int64_t(std::uint8_t(p[1])) * 1000;
            m.tick(now);
        } else {
            m.feed(p, ++now);
        }
        const std::string out = m.takeOutput();
        if (ended && !out.empty())
            std::abort();
        if (out.size() > 2 * 1029 + 16)
            std::abort();
        ended = m.status() != xmodem::Status::Running;
        if (ended != (m.deadline() < 0))
            std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t piece = data[1] % 40 + 1;
    const std::string_view in(reinterpret_cast<const char *>(data) + 2, size - 2);
    const int mode = data[0] % 7;
    if (mode < 3) {
        std::int64_t kept = 0, told = -1;
        xmodem::Receiver::Sink sink{[&](const xmodem::Receiver::FileInfo &i) {
                                        kept = 0;
                                        told = i.size;
                                        return std::string();
                                    },
                                    [&](std::string_view d) {
                                        kept += std::int64_t(d.size());
                                        return std::string(data[0] & 0x80 && kept > 4096 ? "full"
                                                                                         : "");
                                    },
                                    [] { return std::string(); }, [] {}};
        xmodem::Receiver r(xmodem::Receiver::Mode(mode), sink);
        run(r, in, piece);
        if (kept > r.progress().blocks * 1024 || (told >= 0 && kept > told))
            std::abort();
    } else {
        const std::int64_t fileSize = std::int64_t(data[0]) * 37;
        xmodem::Sender s(
            xmodem::Sender::Mode(mode - 3), {{"f.bin", fileSize, 0}, {"g", 3, 0}},
            [](std::size_t, std::int64_t, std::size_t n, std::string &out, std::string &) {
                out.assign(n, 'x');
                return true;
            });
        run(s, in, piece);
        if (s.progress().bytes > s.progress().total)
            std::abort();
    }
    return 0;
}
