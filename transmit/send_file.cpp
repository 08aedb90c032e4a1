#include "transmit/send_file.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};
} // namespace

std::optional<QByteArray> readFileToSend(const QString &path, qint64 limit)
{
    if (path.isEmpty())
        return std::nullopt;
    const QByteArray name = QFile::encodeName(path);
    // Looked at before opening: opening a serial device alone may reset the
    // board behind it, and opening a pipe may wait for a writer.
    struct stat st {
    };
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit)
        return std::nullopt;
    // Non-blocking, and looked at again once open, in case the name now stands
    // for something else; a file that would make a read wait (some files of
    // /proc) answers EAGAIN instead.
    const Fd file{::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > limit)
        return std::nullopt;

    // Read to the end, not to the size seen: files of /proc say 0 and have content,
    // and a file being written may have grown.
    QByteArray bytes;
    bytes.reserve(qsizetype(st.st_size) + 1);
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(file.fd, chunk, sizeof chunk);
        if (n == 0)
            return bytes;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (bytes.size() + n > limit)
            return std::nullopt;
        bytes.append(chunk, n);
    }
}

QByteArray trimSpaceBytes(const QByteArray &bytes)
{
    qsizetype from = 0, to = bytes.size();
    while (from < to && bytes[from] == ' ')
        ++from;
    while (to > from && bytes[to - 1] == ' ')
        --to;
    return from == 0 && to == bytes.size() ? bytes : bytes.sliced(from, to - from);
}
