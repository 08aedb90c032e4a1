#pragma once

#include "transmit/send_options.h"

#include <QList>
#include <QString>
#include <optional>

// A named command of the 常用指令 window: what it sends and how.
struct SavedCommand {
    QString name;
    QString content; // as typed in a send box; line breaks as \n
    bool hex = false;
    LineEnding ending = LineEnding::None;
    Checksum checksum = Checksum::None;
    bool operator==(const SavedCommand &) const = default;
};

// The commands file: UTF-8 text a team can read, edit and share.
//
//   # comment
//   [command]
//   name=读十个寄存器
//   content=01 03 00 00 00 0A
//   type=hex            (or text)
//   ending=none         (cr, lf, crlf)
//   checksum=crc16-modbus   (none, crc16-ccitt-false, crc16-xmodem, crc32, sum8, xor8)
//
// In name and content, \n, \r and \\ stand for a line feed, a carriage return
// and a backslash. Only name is required; the rest defaults to text, none, none.
QString writeCommands(const QList<SavedCommand> &commands);

struct CommandsError {
    int line = 0; // 1-based; 0: the file as a whole
    QString what;
    // "第 3 行：……", or the whole-file message alone.
    QString text() const;
};
struct CommandsRead {
    QList<SavedCommand> commands;
    std::optional<CommandsError> error; // set: commands is empty
};
CommandsRead readCommands(QByteArrayView file);

// Files larger than this are not read (a commands file is a few kilobytes).
inline constexpr qint64 kMaxCommandsFile = 4 << 20;

// The commands file at path. A file that cannot be read or is malformed is
// never overwritten: the list starts empty, and the first save moves the file
// aside (to path + ".bad", or ".bad-1" and on when that is taken) before
// writing the new list. Writes are atomic.
class CommandStore
{
public:
    explicit CommandStore(QString path) : m_path(std::move(path)) {}
    // $XDG_CONFIG_HOME/quorvex/commands.ini (or Qt's equivalent).
    static QString defaultPath();

    // The list in the file; a missing file is an empty list.
    CommandsRead load();
    bool save(const QList<SavedCommand> &commands);
    QString path() const { return m_path; }
    // Where a bad file was moved by the last save (empty when none was).
    QString movedAside() const { return m_movedAside; }

    // Reads or writes a file of the user's choice, with the same rules.
    static CommandsRead importFrom(const QString &path);
    static bool exportTo(const QString &path, const QList<SavedCommand> &commands);

private:
    QString m_path;
    bool m_keepAside = false;
    QString m_movedAside;
};
