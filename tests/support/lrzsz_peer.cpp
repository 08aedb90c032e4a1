#include "support/lrzsz_peer.h"

#include "transfer/xmodem.h"

#include <QByteArray>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{
std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

LrzszPeer::LrzszPeer(const QString &program, const QStringList &args, const QString &folder,
                     int relayTo, int bytesPerSecond)
{
    int slave = -1;
    {
        // A socket rather than a pseudo-terminal: lrzsz flushes its terminal's
        // queues after each answer and before it ends, and on a pseudo-terminal,
        // which has no line delay, that can throw away a block that came at
        // once, or its own last answer before anyone read it.
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        m_master = pair[0];
        slave = pair[1];
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    std::vector<QByteArray> argv8{program.toLocal8Bit()};
    for (const QString &a : args)
        argv8.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : argv8)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QByteArray dir = folder.toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, slave, 0);
    posix_spawn_file_actions_adddup2(&actions, slave, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(slave);
    if (relayTo >= 0 && m_pid > 0) {
        m_relay = std::thread([this, relayTo, bytesPerSecond] {
            char buf[65536];
            const int ends[2] = {m_master, relayTo};
            const std::int64_t start = nowMs();
            std::int64_t carried[2] = {0, 0};
            const auto put = [](int fd, const char *p, size_t n) {
                const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
                return w < 0 && errno == ENOTSOCK ? ::write(fd, p, n) : w;
            };
            while (!m_stop.load()) {
                pollfd p[2] = {{ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}};
                if (poll(p, 2, bytesPerSecond ? 1 : 20) <= 0)
                    continue;
                for (int i = 0; i < 2; ++i) {
                    if (!(p[i].revents & POLLIN)) {
                        if (p[i].revents)
                            usleep(2000); // an end that is gone (or not there yet)
                        continue;
                    }
                    std::size_t room = sizeof buf;
                    if (bytesPerSecond) {
                        // A line carries nothing while idle and cannot make up for
                        // it later; 10 ms of slack covers this loop's own pauses.
                        const std::int64_t budget = (nowMs() - start) * bytesPerSecond / 1000;
                        carried[i] = std::max(carried[i], budget - bytesPerSecond / 100);
                        const std::int64_t allowed = budget - carried[i];
                        if (allowed <= 0)
                            continue;
                        room = std::min<std::size_t>(room, std::size_t(allowed));
                    }
                    const ssize_t n = ::read(ends[i], buf, room);
                    if (n > 0)
                        carried[i] += n;
                    for (ssize_t done = 0; n > 0 && done < n && !m_stop.load();) {
                        const ssize_t w = put(ends[1 - i], buf + done, size_t(n - done));
                        if (w > 0)
                            done += w;
                        else
                            usleep(1000);
                    }
                }
                if (bytesPerSecond)
                    usleep(1000);
            }
        });
    }
}

void LrzszPeer::stopRelay()
{
    m_stop = true;
    if (m_relay.joinable())
        m_relay.join();
}

LrzszPeer::~LrzszPeer()
{
    stopRelay();
    wait(0);
    if (m_master >= 0)
        ::close(m_master);
}

int LrzszPeer::wait(int ms)
{
    if (m_pid <= 0)
        return m_status;
    const std::int64_t end = nowMs() + ms;
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return m_status;
        }
        if (nowMs() >= end) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            return m_status = -1;
        }
        usleep(5000);
    }
}

bool driveMachine(xmodem::Machine &machine, int fd, int limitMs, LineFaults faults)
{
    std::mt19937 rng(faults.seed);
    std::uniform_real_distribution<double> odds(0, 1);
    const auto spoil = [&](std::string bytes) {
        if (faults.drop == 0 && faults.flip == 0)
            return bytes;
        std::string out;
        for (char c : bytes) {
            const double r = odds(rng);
            if (r < faults.drop)
                continue;
            out.push_back(r < faults.drop + faults.flip ? char(c ^ (1 + rng() % 255)) : c);
        }
        return out;
    };
    const std::int64_t end = nowMs() + limitMs;
    machine.start(nowMs());
    std::string out;
    char buf[65536];
    for (;;) {
        out += spoil(machine.takeOutput());
        if (machine.status() != xmodem::Status::Running && out.empty())
            return true;
        const std::int64_t now = nowMs();
        if (now >= end)
            return false;
        std::int64_t wake = end;
        if (machine.deadline() >= 0)
            wake = std::min(wake, machine.deadline());
        pollfd p{fd, short(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        poll(&p, 1, int(std::max<std::int64_t>(0, wake - now)));
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (n > 0)
                out.erase(0, std::size_t(n));
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                machine.feed(spoil(std::string(buf, std::size_t(n))), nowMs());
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) { // the far end is gone
                out.clear();
                usleep(1000);
            }
        }
        machine.tick(nowMs()); // what is left after the end (an ACK, a cancel) still goes out
    }
}
