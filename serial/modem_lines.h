#pragma once

#include <atomic>
#include <functional>
#include <thread>

// Waits for the modem lines of a serial device (CTS, DSR, DCD, RI) to change,
// with the kernel's modem-status wait (TIOCMIWAIT), on a thread of its own that
// sleeps until a line moves. Stopping (or destroying it) wakes and joins the
// thread. A driver without the wait is told once through unsupported, and the
// thread ends; so does a device that went away.
class ModemLineWaiter
{
public:
    // changed gets the TIOCM_* bits after every change; both are called on the
    // waiting thread.
    ModemLineWaiter(int fd, std::function<void(int bits)> changed,
                    std::function<void()> unsupported);
    ~ModemLineWaiter();
    ModemLineWaiter(const ModemLineWaiter &) = delete;
    ModemLineWaiter &operator=(const ModemLineWaiter &) = delete;

private:
    void loop();

    int m_fd;
    std::function<void(int)> m_changed;
    std::function<void()> m_unsupported;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// The TIOCM_* bits of fd's lines, or -1 when the device has no modem lines.
int modemLineBits(int fd);
