// Random server bytes through the Telnet client, cut into pieces of a size the
// input's first byte chooses: nothing may crash, hang or grow without bound, and
// what comes out is never more than what went in.
#include "serial/telnet_client.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = data[0] % 23 + 1;
    const std::string_view in(reinterpret_cast<const char *>(data) + 1, size - 1);
    TelnetClient client(data[0] & 0x80);
    client.greeting();
    bool failed = false;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        const TelnetClient::Result r = client.feed(in.substr(at, piece));
        const std::size_t took = std::min(piece, in.size() - at);
        if (r.data.size() > took || r.reply.size() > 3 * took || r.notices.size() > took)
            std::abort();
        if (failed && !r.failed) // a broken stream stays broken
            std::abort();
        failed = r.failed;
    }
    return 0;
}
