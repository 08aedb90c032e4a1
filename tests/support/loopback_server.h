#pragma once

#include "serial/telnet_client.h"

#include <QByteArray>
#include <QString>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A server on 127.0.0.1 played by a function, one connection after another,
// on a thread of its own: it goes on while the test's thread is busy. The
// thread is joined when the server goes; a play is to return soon after
// stopping() turns true (the helpers below do).
class LoopbackServer
{
public:
    using Play = std::function<void(LoopbackServer &, int fd)>;

    explicit LoopbackServer(Play play) : m_play(std::move(play))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 4) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            qFatal("no loopback server");
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~LoopbackServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }

    QString address(bool rfc2217) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(rfc2217 ? "rfc2217" : "tcp").arg(m_port);
    }
    bool stopping() const { return m_stop; }
    int connections() const { return m_connections; }

    // Writes everything unless stopped or the peer went; false then.
    bool send(int fd, const QByteArray &bytes)
    {
        for (qsizetype at = 0; at < bytes.size();) {
            if (!waitFor(fd, POLLOUT))
                return false;
            const ssize_t n =
                ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return false;
            at += std::max<ssize_t>(n, 0);
        }
        return true;
    }
    bool send(int fd, const std::string &bytes)
    {
        return send(fd, QByteArray::fromStdString(bytes));
    }
    // What the peer sends within ms (less if it goes away or the server stops).
    QByteArray receive(int fd, int ms)
    {
        QByteArray got;
        for (int waited = 0; waited < ms && !m_stop; waited += 10) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buf[65536];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        return got;
    }
    // Ends the connection in order (what was sent arrives first: a close with
    // the peer's bytes unread would reset it, and the peer drop what it had
    // not read yet), then waits for the peer to go.
    void finish(int fd)
    {
        ::shutdown(fd, SHUT_WR);
        hold(fd);
    }
    // Waits until stopped or the peer goes away.
    void hold(int fd)
    {
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char buf[4096];
                if (::recv(fd, buf, sizeof buf, 0) <= 0)
                    return;
            }
        }
    }

    // The server's confirmation of the four line settings, in RFC 2217's codes.
    static std::string confirm(quint32 baud, int data, int parity, int stop)
    {
        const auto c = [](int code, quint32 v, int width = 1) {
            return TelnetClient::command(TelnetClient::ComCommand(code), v, width);
        };
        return c(101, baud, 4) + c(102, data) + c(103, parity) + c(104, stop);
    }
    static std::string confirm9600()
    {
        return confirm(9600, 8, TelnetClient::ParityNone, TelnetClient::StopOne);
    }

private:
    bool waitFor(int fd, short what)
    {
        while (!m_stop) {
            pollfd p{fd, what, 0};
            const int r = ::poll(&p, 1, 20);
            if (r > 0)
                return !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        }
        return false;
    }
    void serve()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_connections;
            m_play(*this, fd);
            ::close(fd);
        }
    }

    Play m_play;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};
