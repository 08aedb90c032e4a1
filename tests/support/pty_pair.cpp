#include "support/pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    int slave = -1;
    char name[256] = {};
    if (openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
        m_master = -1;
        return;
    }
    // Raw from the start, so nothing written before the program opens the port
    // is echoed or edited by the line discipline.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Not inherited by the programs a test starts (ser2net): the device goes
    // away when the test closes it.
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_path = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeDevice();
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
    }
    return true;
}

QByteArray PtyPair::read(qsizetype n, int timeoutMs)
{
    QByteArray out;
    char buf[65536];
    while (out.size() < n) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t got = ::read(m_master, buf, sizeof buf);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            break;
        }
        out.append(buf, got);
    }
    return out;
}

QByteArray PtyPair::readWithEvents(qsizetype n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < timeoutMs) {
        out += read(n - out.size(), 0);
        if (out.size() < n) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QThread::msleep(1);
        }
    }
    return out;
}

void PtyPair::closeDevice()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
