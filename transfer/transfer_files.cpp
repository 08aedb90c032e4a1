#include "transfer/transfer_files.h"

#include "receive/receive_recorder.h"
#include "serial/codepage936.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace transfer
{
namespace
{
QString systemWhy(const QString &what, int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return what + QStringLiteral("：磁盘空间不足");
    return what + QStringLiteral("：") + QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

QString safeName(QByteArrayView given)
{
    qsizetype from = 0;
    for (qsizetype i = 0; i < given.size(); ++i)
        if (given[i] == '/' || given[i] == '\\')
            from = i + 1;
    const QByteArrayView last = given.sliced(from);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString name = utf8.decode(last);
    if (utf8.hasError())
        name = cp936::StreamDecoder().decode(last);
    QString clean;
    for (const QChar c : std::as_const(name))
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f && c.category() != QChar::Other_Control)
            clean += c;
    while (clean.startsWith(u'.'))
        clean.remove(0, 1);
    clean = clean.trimmed();
    while (clean.toUtf8().size() > 255)
        clean.chop(clean.size() >= 2 && clean.at(clean.size() - 1).isLowSurrogate() ? 2 : 1);
    return clean.isEmpty() ? QStringLiteral("received") : clean;
}

IncomingFile::~IncomingFile()
{
    abandon();
}

bool IncomingFile::open(const QString &folder, qint64 room, QString *why)
{
    abandon();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("无法建立文件夹：") + folder;
        return false;
    }
    struct statvfs fs {
    };
    if (room > 0 && statvfs(QFile::encodeName(folder).constData(), &fs) == 0 &&
        qint64(fs.f_bavail) * qint64(fs.f_frsize) < room) {
        *why = QStringLiteral("磁盘空间不足：文件有 %1 字节，%2 只剩 %3 字节")
                   .arg(room)
                   .arg(folder)
                   .arg(qint64(fs.f_bavail) * qint64(fs.f_frsize));
        return false;
    }
    for (int tries = 0; tries < 100 && m_fd < 0; ++tries) {
        m_temp = folder + QStringLiteral("/.quorvex-") +
                 QString::number(QRandomGenerator::global()->generate64(), 36) +
                 QStringLiteral(".part");
        m_fd = ::open(QFile::encodeName(m_temp).constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (m_fd < 0 && errno != EEXIST) {
            *why = systemWhy(QStringLiteral("无法建立文件 ") + m_temp, errno);
            return false;
        }
    }
    m_folder = folder;
    m_kept.clear();
    return m_fd >= 0;
}

bool IncomingFile::write(QByteArrayView bytes, QString *why)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = systemWhy(QStringLiteral("无法写入文件"), n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}

bool IncomingFile::keep(const QString &name, qint64 mtime, QString *why)
{
    if (::fsync(m_fd) != 0) {
        *why = systemWhy(QStringLiteral("无法写入文件"), errno);
        return false;
    }
    if (mtime > 0) {
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(mtime), 0}};
        futimens(m_fd, times);
    }
    ::close(m_fd);
    m_fd = -1;
    const QString kept = keepUnder(m_temp, m_folder + u'/' + name, why);
    if (kept.isEmpty()) {
        abandon();
        return false;
    }
    m_temp.clear();
    m_kept = kept;
    return true;
}

QString keepUnder(const QString &from, const QString &wanted, QString *why)
{
    // A hard link takes the name only when nothing (not even a dangling link) has it.
    for (int n = 0; n <= ReceiveRecorder::kMaxSuffix; ++n) {
        const QString path = n == 0 ? wanted : ReceiveRecorder::suffixed(wanted, n);
        if (::link(QFile::encodeName(from).constData(), QFile::encodeName(path).constData()) == 0) {
            ::unlink(QFile::encodeName(from).constData());
            return path;
        }
        if (errno != EEXIST) {
            *why = systemWhy(QStringLiteral("无法保存文件 ") + path, errno);
            return {};
        }
    }
    *why = QStringLiteral("无法保存文件：") + wanted + QStringLiteral(" 及其编号的名字都已存在");
    return {};
}

void IncomingFile::abandon()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_temp.isEmpty())
        ::unlink(QFile::encodeName(m_temp).constData());
    m_temp.clear();
}

OutgoingFile::~OutgoingFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool OutgoingFile::open(const QString &path, QString *why)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {
    };
    if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = (m_fd < 0 ? systemWhy(QStringLiteral("无法打开文件 ") + path, errno)
                         : QStringLiteral("不是普通文件：") + path);
        return false;
    }
    m_size = st.st_size;
    m_mtime = st.st_mtim.tv_sec;
    return true;
}

bool OutgoingFile::read(qint64 offset, std::size_t n, std::string &out, std::string &why) const
{
    out.resize(n);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(m_fd, out.data() + done, n - done, off_t(offset) + off_t(done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            why =
                r < 0 ? std::string("读取文件失败：") + std::strerror(errno) : "文件在发送中变短了";
            return false;
        }
        done += std::size_t(r);
    }
    return true;
}

ReceivedFiles::ReceivedFiles(QString folder, QString name)
    : m_folder(std::move(folder)), m_name(std::move(name))
{
}

xmodem::Receiver::Sink ReceivedFiles::sink()
{
    return {[this](const xmodem::Receiver::FileInfo &info) {
                m_next =
                    m_name.isEmpty()
                        ? safeName(QByteArrayView(info.name.data(), qsizetype(info.name.size())))
                        : m_name;
                m_mtime = info.mtime;
                m_file = std::make_unique<IncomingFile>();
                QString why;
                return m_file->open(m_folder, info.size, &why) ? std::string() : why.toStdString();
            },
            [this](std::string_view bytes) {
                QString why;
                return m_file->write(QByteArrayView(bytes.data(), qsizetype(bytes.size())), &why)
                           ? std::string()
                           : why.toStdString();
            },
            [this] {
                QString why;
                if (!m_file->keep(m_next, m_mtime, &why))
                    return why.toStdString();
                m_kept << m_file->keptPath();
                m_file.reset();
                return std::string();
            },
            [this] { m_file.reset(); }};
}
} // namespace transfer
