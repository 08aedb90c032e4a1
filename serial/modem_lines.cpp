#include "serial/modem_lines.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>

namespace
{
// Sent to the waiting thread alone to end its wait: the handler does nothing,
// and without SA_RESTART the wait returns EINTR.
constexpr int kWakeSignal = SIGUSR2;

void installWakeHandler()
{
    static const bool installed = [] {
        struct sigaction sa {
        };
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        return sigaction(kWakeSignal, &sa, nullptr) == 0;
    }();
    (void)installed;
}
} // namespace

int modemLineBits(int fd)
{
    int bits = 0;
    return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

ModemLineWaiter::ModemLineWaiter(int fd, std::function<void(int)> changed,
                                 std::function<void()> unsupported)
    : m_fd(fd), m_changed(std::move(changed)), m_unsupported(std::move(unsupported))
{
    installWakeHandler();
    m_thread = std::thread([this] { loop(); });
}

ModemLineWaiter::~ModemLineWaiter()
{
    m_stop = true;
    // A signal sent just before the thread enters the wait is lost, so it is
    // sent again until the thread has ended.
    while (!m_done) {
        pthread_kill(m_thread.native_handle(), kWakeSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_thread.join();
}

void ModemLineWaiter::loop()
{
    pthread_setname_np(pthread_self(), "modem-lines");
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr); // whatever the thread that made it blocks
    while (!m_stop) {
        if (::ioctl(m_fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI) != 0) {
            if (errno == EINTR)
                continue;
            // EIO: the device went away (the reader finds out too); anything
            // else: the driver has no such wait.
            if (errno != EIO && !m_stop)
                m_unsupported();
            break;
        }
        const int bits = modemLineBits(m_fd);
        if (bits >= 0)
            m_changed(bits);
    }
    m_done = true;
}
