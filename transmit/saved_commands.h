#pragma once

#include "transmit/send_options.h"

#include <QList>
#include <QString>
#include <functional>
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
QByteArray writeCommands(const QList<SavedCommand> &commands);

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

// Files larger than this are not read (a list of 100,000 commands is about 8 MB).
inline constexpr qint64 kMaxCommandsFile = 64 << 20;

// The commands file at path, shared by every window of every instance of the
// program. A change is read, changed and written under an advisory lock on
// path + ".lock": a list another window saved since this store last read or
// wrote the file is taken up first, so no change is lost. A file that cannot
// be read or is malformed is never overwritten: the list starts empty (or stays
// as this store knows it), and the first save moves the file aside (to path +
// ".bad", or ".bad-1" and on when that is taken) before writing. Writes are
// atomic; a new file is the user's alone (0600), and what an interrupted write
// left behind is cleaned at the next.
class CommandStore
{
public:
    explicit CommandStore(QString path) : m_path(std::move(path)) {}
    // $XDG_CONFIG_HOME/quorvex/commands.ini (or Qt's equivalent).
    static QString defaultPath();

    // The list in the file; a missing file is an empty list. A bad file
    // leaves the list this store knew to be saved in its place.
    CommandsRead load();
    // Applies change to the list as the file holds it now and saves the
    // result; the list as saved, or nothing when it could not be (the file
    // then is as it was).
    using Change = std::function<void(QList<SavedCommand> &)>;
    std::optional<QList<SavedCommand>> update(const Change &change);

    // The list as the program shows and sends it: what the last load read
    // (empty after a bad file) or the last update saved.
    const QList<SavedCommand> &commands() const { return m_shown; }
    bool loaded() const { return m_loaded; }
    // Reads the file again when it changed on disk since this store last read
    // or wrote it; a file that cannot be read leaves commands() as it is. True
    // when the list was read anew.
    bool takeUpChanges();
    // The file is not as this store last read or wrote it (another window
    // saved it, or it was edited).
    bool changedOnDisk() const { return stamp() != m_stamp; }
    QString path() const { return m_path; }
    // Where a bad file was moved by the last save (empty when none was).
    QString movedAside() const { return m_movedAside; }

    // Reads or writes a file of the user's choice, with the same rules.
    static CommandsRead importFrom(const QString &path);
    static bool exportTo(const QString &path, const QList<SavedCommand> &commands);

private:
    // What the file is on disk: enough to see that someone else wrote it.
    struct Stamp {
        bool exists = false;
        quint64 inode = 0;
        qint64 size = 0, modifiedNs = 0;
        bool operator==(const Stamp &) const = default;
    };
    Stamp stamp() const;
    bool moveAside();
    void removeLeftovers() const;

    QString m_path;
    QList<SavedCommand> m_known; // the list as last read or written
    QList<SavedCommand> m_shown;
    bool m_loaded = false;
    Stamp m_stamp;
    bool m_keepAside = false;
    QString m_movedAside;
};
