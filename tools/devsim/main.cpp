// quorvex-devsim: a small serial device on a pseudo-terminal, for trying the
// program without hardware. Prints the device path as its first line, then
// answers Modbus RTU requests as slave 1 (holding and input registers, function
// 06 writes), echoes everything that is not a Modbus frame, and can stream a
// line or a byte pattern. A line holding "reboot" makes it boot: a banner,
// then "Hit any key to stop autoboot" with a window of --boot-window ms
// (8 by default) in which any byte stops it at its "=> " prompt; otherwise it
// starts its kernel and ends at "login: ". With --capture PREFIX it keeps
// every byte it read in PREFIX.in and every byte it wrote in PREFIX.out.
// SIGUSR1 ends the streaming. Ends cleanly on SIGINT and SIGTERM.
#include "devsim/modbus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace
{

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_quiet = 0; // SIGUSR1: streaming ends

void onSignal(int)
{
    g_stop = 1;
}

void onQuiet(int)
{
    g_quiet = 1;
}

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

int baudOf(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return 9600;
    switch (cfgetispeed(&tio)) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 9600;
    }
}

std::FILE *g_in = nullptr;  // --capture: what was read
std::FILE *g_out = nullptr; // and what was written

bool writeAll(int fd, const devsim::Bytes &b)
{
    if (g_out)
        std::fwrite(b.data(), 1, b.size(), g_out);
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::write(fd, b.data() + done, b.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            if (g_stop)
                return false;
        }
    }
    return true;
}

int usage(const char *self)
{
    std::fprintf(stderr,
                 "usage: %s [--stream-text TEXT | --stream-hex \"01 02 ...\"] [--every MS]\n"
                 "          [--boot-window MS] [--capture PREFIX]\n"
                 "  TEXT may hold \\r, \\n, \\t and \\xHH; --every defaults to 1000 ms\n",
                 self);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    devsim::Bytes stream;
    int everyMs = 1000;
    int bootWindowMs = 8;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--stream-text" && hasValue) {
            stream = devsim::unescape(argv[++i]);
        } else if (a == "--stream-hex" && hasValue) {
            const auto bytes = devsim::parseHex(argv[++i]);
            if (!bytes) {
                std::fprintf(stderr, "%s: not hexadecimal byte pairs: %s\n", argv[0], argv[i]);
                return 2;
            }
            stream = *bytes;
        } else if (a == "--boot-window" && hasValue) {
            bootWindowMs = std::atoi(argv[++i]);
            if (bootWindowMs < 1 || bootWindowMs > 60000) {
                std::fprintf(stderr, "%s: --boot-window takes 1 to 60000 ms\n", argv[0]);
                return 2;
            }
        } else if (a == "--capture" && hasValue) {
            const std::string prefix = argv[++i];
            g_in = std::fopen((prefix + ".in").c_str(), "wb");
            g_out = std::fopen((prefix + ".out").c_str(), "wb");
            if (!g_in || !g_out) {
                std::fprintf(stderr, "%s: cannot write %s.in and %s.out\n", argv[0], prefix.c_str(),
                             prefix.c_str());
                return 2;
            }
        } else if (a == "--every" && hasValue) {
            everyMs = std::atoi(argv[++i]);
            if (everyMs < 1 || everyMs > 3600000) {
                std::fprintf(stderr, "%s: --every takes 1 to 3600000 ms\n", argv[0]);
                return 2;
            }
        } else {
            return usage(argv[0]);
        }
    }

    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // The slave end stays open here too, so the device lives on while the
    // program closes and re-opens the port.

    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onQuiet;
    sigaction(SIGUSR1, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", name);
    std::fflush(stdout);

    devsim::ModbusSlave slaveDevice;
    devsim::Bytes frame;
    Clock::time_point lastByte = Clock::now();
    const Clock::time_point start = Clock::now();
    long long streamed = 0;
    // While booting: when the window for stopping it closes.
    bool booting = false;
    Clock::time_point bootEnds;
    const auto text = [](const char *s) { return devsim::Bytes(s, s + std::strlen(s)); };

    while (!g_stop) {
        const double gap = devsim::frameGapMs(baudOf(slave));
        double timeout = 200;
        if (!frame.empty())
            timeout = std::max(0.0, gap - msSince(lastByte));
        if (!stream.empty())
            timeout =
                std::min(timeout, std::max(0.0, (streamed + 1) * double(everyMs) - msSince(start)));
        if (booting)
            timeout = std::min(timeout, std::max(0.0, -msSince(bootEnds)));
        pollfd p{master, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(timeout + 0.999));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (p.revents & POLLIN)) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0 && g_in)
                std::fwrite(buf, 1, size_t(n), g_in);
            if (n > 0 && booting) {
                booting = false; // any key: it stays at its prompt
                writeAll(master, text("\r\n=> "));
            } else if (n > 0) {
                frame.insert(frame.end(), buf, buf + n);
                lastByte = Clock::now();
            }
        }
        if (booting && msSince(bootEnds) >= 0) {
            booting = false;
            writeAll(master, text("\r\nStarting kernel ...\r\n\r\ndevsim login: "));
        }
        if (!frame.empty() && msSince(lastByte) >= gap) {
            const auto answer = slaveDevice.handle(frame);
            if (answer.kind == devsim::ModbusSlave::Kind::Reply)
                writeAll(master, answer.reply);
            else if (answer.kind == devsim::ModbusSlave::Kind::NotModbus)
                writeAll(master, frame);
            const std::string line(frame.begin(), frame.end());
            if (answer.kind == devsim::ModbusSlave::Kind::NotModbus &&
                line.find("reboot") != std::string::npos) {
                writeAll(master, text("\r\nU-Boot 2026.10 (quorvex-devsim)\r\n\r\n"
                                      "Hit any key to stop autoboot:  0 "));
                booting = true;
                bootEnds = Clock::now() + std::chrono::milliseconds(bootWindowMs);
            }
            frame.clear();
        }
        if (g_quiet)
            stream.clear();
        if (!stream.empty() && msSince(start) >= (streamed + 1) * double(everyMs)) {
            ++streamed;
            writeAll(master, stream);
        }
    }
    ::close(master);
    ::close(slave);
    if (g_in)
        std::fclose(g_in);
    if (g_out)
        std::fclose(g_out);
    return 0;
}
