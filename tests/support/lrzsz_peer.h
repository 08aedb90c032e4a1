#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <random>
#include <sys/types.h>
#include <thread>

namespace xmodem
{
class Machine;
}

// One of lrzsz's programs (sx, rx, sb, rb, sz, rz) as the far end, its
// standard input and output joined to a socket of its own, whose other end
// the test speaks through (master()), or which a thread of the peer's joins
// to relayTo (a pseudo-terminal's master, whose slave the program under test
// has opened as its port).
class LrzszPeer
{
public:
    // Starts program with args in folder; the relay carries at most
    // bytesPerSecond each way (0: as fast as it can), as a line at a baud rate would.
    LrzszPeer(const QString &program, const QStringList &args, const QString &folder,
              int relayTo = -1, int bytesPerSecond = 0);
    ~LrzszPeer();
    LrzszPeer(const LrzszPeer &) = delete;
    LrzszPeer &operator=(const LrzszPeer &) = delete;

    bool started() const { return m_pid > 0; }
    int master() const { return m_master; }
    // Waits for the program to end, at most ms, then kills it; its exit status (-1: killed).
    int wait(int ms = 30000);
    // The relay stops (before the pseudo-terminal closes).
    void stopRelay();

private:
    int m_master = -1;
    pid_t m_pid = -1;
    int m_status = -1;
    std::thread m_relay;
    std::atomic<bool> m_stop{false};
};

// Between the machine and the line: each byte either way is lost or changed with these odds.
struct LineFaults {
    double drop = 0, flip = 0;
    unsigned seed = 1;
};

// Runs machine on fd (non-blocking) until it ends or limitMs passes; the
// bytes it wrote and read go through faults. True when it ended in time.
bool driveMachine(xmodem::Machine &machine, int fd, int limitMs, LineFaults faults = {});
