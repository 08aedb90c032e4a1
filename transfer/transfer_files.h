#pragma once

#include "transfer/xmodem_receiver.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>

// The files of a transfer: what is sent is read by offset; what is received
// goes into a folder under a temporary name (a new file of its own, mode
// 0600, never through a link) and gets its final name only when it is whole,
// beside and never over an existing file (-1, -2 … as records are). A file
// that does not come whole leaves nothing behind.
namespace transfer
{
// A name the far end gave, as a plain name in the folder: the last part of a
// path (either slash), without control characters or leading dots, at most
// 255 bytes; "received" when nothing is left. Bytes that are not UTF-8 are
// read as code page 936.
QString safeName(QByteArrayView given);

// Gives the file at from the name wanted (a suffix -1, -2 … when something has
// that name; nothing is ever replaced) and removes from; the path it got, or
// empty with why.
QString keepUnder(const QString &from, const QString &wanted, QString *why);

class IncomingFile
{
public:
    IncomingFile() = default;
    ~IncomingFile();
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;

    // A new temporary file in folder (made when missing); room: bytes expected, -1 unknown.
    bool open(const QString &folder, qint64 room, QString *why);
    bool write(QByteArrayView bytes, QString *why);
    // The file is whole: it takes name in the folder; mtime (seconds, 0: now) when told.
    bool keep(const QString &name, qint64 mtime, QString *why);
    // The file is dropped.
    void abandon();
    QString keptPath() const { return m_kept; }

private:
    int m_fd = -1;
    QString m_folder, m_temp, m_kept;
};

class OutgoingFile
{
public:
    ~OutgoingFile();
    bool open(const QString &path, QString *why);
    qint64 size() const { return m_size; }
    qint64 mtime() const { return m_mtime; }
    bool read(qint64 offset, std::size_t n, std::string &out, std::string &why) const;

private:
    int m_fd = -1;
    qint64 m_size = 0, m_mtime = 0;
};

// A receiver's sink writing into folder: YMODEM's files by the names they
// come with, XMODEM's under name. kept() lists what was kept.
class ReceivedFiles
{
public:
    ReceivedFiles(QString folder, QString name = {});
    xmodem::Receiver::Sink sink();
    QStringList kept() const { return m_kept; }

private:
    QString m_folder, m_name, m_next;
    qint64 m_mtime = 0;
    std::unique_ptr<IncomingFile> m_file;
    QStringList m_kept;
};
} // namespace transfer
