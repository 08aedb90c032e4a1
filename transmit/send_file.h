#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The largest file that can be chosen for sending: it is held whole, and a send
// hands it to the port once more, so about twice this stays in memory while it
// goes out. At 921600 baud it takes about 50 minutes on the wire.
inline constexpr qint64 kMaxSendFileBytes = 256LL * 1024 * 1024;

// The bytes of the ordinary file at path, or nothing when it cannot be read:
// missing, no permission, larger than limit, or not an ordinary file at all (a
// device, a named pipe, a socket, a folder), since reading those may never end.
// Never waits on a read that may not come.
std::optional<QByteArray> readFileToSend(const QString &path, qint64 limit = kMaxSendFileBytes);

// A file goes out without the spaces (0x20) at its ends; 0x20 never occurs
// inside a two-byte character of code page 936, so this is its text trimmed.
QByteArray trimSpaceBytes(const QByteArray &bytes);
