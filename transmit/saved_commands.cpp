#include "transmit/saved_commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::optional<QString> unescaped(QStringView s)
{
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] != u'\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size())
            return std::nullopt;
        switch (s[i].unicode()) {
        case u'\\':
            out += u'\\';
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

CommandsRead failed(int line, const QString &what)
{
    return {{}, CommandsError{line, what}};
}

// newFile: the permissions of a file that is not there yet (one that is keeps its own).
bool writeAtomically(const QString &path, const QList<SavedCommand> &commands,
                     std::optional<QFileDevice::Permissions> newFile = std::nullopt)
{
    const bool existed = QFileInfo::exists(path);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (newFile && !existed)
        f.setPermissions(*newFile);
    const QByteArray bytes = writeCommands(commands);
    if (f.write(bytes) != bytes.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

} // namespace

// Written as UTF-8 straight into one buffer of the largest size the list
// can take: a list of 100,000 commands is saved at every change, and building
// it as text first took most of the time.
QByteArray writeCommands(const QList<SavedCommand> &commands)
{
    static constexpr char kHead[] = "# Quorvex 常用指令\n";
    // Every character takes at most three bytes, escaped or not; the keys and
    // fixed text of a command, less than 96.
    qsizetype most = sizeof kHead;
    for (const SavedCommand &c : commands)
        most += 3 * (c.name.size() + c.content.size()) + 96;
    QByteArray out(most, Qt::Uninitialized);
    char *p = out.data();
    const auto raw = [&p](const char *text, size_t n) {
        std::memcpy(p, text, n);
        p += n;
    };
    QStringEncoder utf8(QStringEncoder::Utf8);
    const auto put = [&](QStringView text) { p = utf8.appendToBuffer(p, text); };
    const auto putEscaped = [&](const QString &text) {
        qsizetype from = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c != u'\\' && c != u'\n' && c != u'\r')
                continue;
            put(QStringView(text).mid(from, i - from));
            raw(c == u'\\' ? "\\\\" : c == u'\n' ? "\\n" : "\\r", 2);
            from = i + 1;
        }
        put(QStringView(text).mid(from));
    };
    raw(kHead, sizeof kHead - 1);
    for (const SavedCommand &c : commands) {
        raw("\n[command]\nname=", 16);
        putEscaped(c.name);
        raw("\ncontent=", 9);
        putEscaped(c.content);
        if (c.hex)
            raw("\ntype=hex\nending=", 17);
        else
            raw("\ntype=text\nending=", 18);
        put(key(c.ending));
        raw("\nchecksum=", 10);
        put(key(c.checksum));
        raw("\n", 1);
    }
    out.truncate(p - out.constData());
    return out;
}

QString CommandsError::text() const
{
    return line > 0 ? QStringLiteral("第 %1 行：%2").arg(line).arg(what) : what;
}

CommandsRead readCommands(QByteArrayView file)
{
    if (file.size() > kMaxCommandsFile)
        return failed(0, QStringLiteral("文件太大"));
    QList<SavedCommand> commands;
    QStringList seen; // keys of the command being read
    int lineNo = 0;
    qsizetype from = 0;
    auto finish = [&]() -> std::optional<CommandsError> {
        if (!commands.isEmpty() && commands.last().name.isEmpty())
            return CommandsError{lineNo, QStringLiteral("上面的指令没有名称（name=）")};
        return std::nullopt;
    };
    while (from < file.size()) {
        qsizetype end = file.indexOf('\n', from);
        if (end < 0)
            end = file.size();
        ++lineNo;
        QByteArrayView raw = file.sliced(from, end - from);
        from = end + 1;
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (lineNo == 1 && raw.startsWith("\xef\xbb\xbf"))
            raw = raw.sliced(3);
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString line = utf8(raw);
        if (utf8.hasError())
            return failed(lineNo, QStringLiteral("不是 UTF-8 文本"));
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#') || trimmed.startsWith(u';'))
            continue;
        if (trimmed.startsWith(u'[')) {
            if (trimmed != u"[command]")
                return failed(lineNo,
                              QStringLiteral("不认识的段 “%1”，应为 [command]").arg(trimmed));
            if (auto e = finish())
                return {{}, e};
            commands.append(SavedCommand{});
            seen.clear();
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            return failed(lineNo, QStringLiteral("应为 键=值"));
        if (commands.isEmpty())
            return failed(lineNo, QStringLiteral("在第一个 [command] 之前"));
        const QString k = line.left(eq).trimmed();
        const QStringView v = QStringView(line).mid(eq + 1);
        if (seen.contains(k))
            return failed(lineNo, QStringLiteral("“%1” 重复").arg(k));
        seen << k;
        SavedCommand &c = commands.last();
        if (k == u"name" || k == u"content") {
            const auto text = unescaped(v);
            if (!text)
                return failed(lineNo, QStringLiteral("反斜杠后只能是 n、r 或 \\"));
            (k == u"name" ? c.name : c.content) = *text;
        } else if (k == u"type") {
            if (v.trimmed() != u"hex" && v.trimmed() != u"text")
                return failed(lineNo, QStringLiteral("type 应为 hex 或 text"));
            c.hex = v.trimmed() == u"hex";
        } else if (k == u"ending") {
            const auto e = lineEndingFromKey(v.trimmed());
            if (!e)
                return failed(lineNo, QStringLiteral("ending 应为 none、cr、lf 或 crlf"));
            c.ending = *e;
        } else if (k == u"checksum") {
            const auto s = checksumFromKey(v.trimmed());
            if (!s)
                return failed(lineNo, QStringLiteral("不认识的 checksum “%1”").arg(v.trimmed()));
            c.checksum = *s;
        } else {
            return failed(lineNo, QStringLiteral("不认识的键 “%1”").arg(k));
        }
    }
    if (auto e = finish())
        return {{}, e};
    return {commands, std::nullopt};
}

QString CommandStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quorvex/commands.ini");
}

CommandsRead CommandStore::importFrom(const QString &path)
{
    // A device or a named pipe could keep the read waiting for ever.
    if (!QFileInfo(path).isFile())
        return failed(0, path + QStringLiteral(" 不是普通文件"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return failed(0, QStringLiteral("无法读取 ") + path);
    if (f.size() > kMaxCommandsFile)
        return failed(0, QStringLiteral("文件太大"));
    const QByteArray bytes = f.read(kMaxCommandsFile + 1);
    if (f.error() != QFileDevice::NoError)
        return failed(0, QStringLiteral("无法读取 ") + path);
    return readCommands(bytes);
}

bool CommandStore::exportTo(const QString &path, const QList<SavedCommand> &commands)
{
    return writeAtomically(path, commands);
}

CommandStore::Stamp CommandStore::stamp() const
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return {};
    return {true, quint64(st.st_ino), qint64(st.st_size),
            qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

CommandsRead CommandStore::load()
{
    m_keepAside = false;
    m_loaded = true;
    m_stamp = stamp();
    if (!m_stamp.exists && !QFileInfo(m_path).isSymLink()) {
        m_known.clear();
        m_shown.clear();
        return {};
    }
    CommandsRead got = importFrom(m_path);
    m_keepAside = got.error.has_value();
    if (!got.error)
        m_known = got.commands; // else what this store knew stays, to be saved in the file's place
    m_shown = got.commands;
    return got;
}

bool CommandStore::takeUpChanges()
{
    if (!changedOnDisk())
        return false;
    QList<SavedCommand> shown = m_shown;
    if (load().error) {
        m_shown = std::move(shown);
        return false;
    }
    return true;
}

namespace
{
// The advisory lock every window takes around a change, on a file of its own
// (the commands file itself is replaced at every save). Waits a little for
// another window's save, never for ever.
class FileLock
{
public:
    explicit FileLock(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        for (int i = 0; m_fd >= 0 && i < 200; ++i) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                m_locked = true;
                return;
            }
            ::usleep(10'000);
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // lets go of the lock
    }
    bool locked() const { return m_locked; }

private:
    int m_fd = -1;
    bool m_locked = false;
};
} // namespace

bool CommandStore::moveAside()
{
    QString aside = m_path + QStringLiteral(".bad");
    for (int n = 1; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = m_path + QStringLiteral(".bad-") + QString::number(n);
    if (!QFile::rename(m_path, aside))
        return false;
    m_keepAside = false;
    m_movedAside = aside;
    return true;
}

// A save that was interrupted (the program killed while writing) leaves its
// new file beside the list, named as the list and six characters more. Under
// the lock no other save is under way, so every such file is a leftover.
void CommandStore::removeLeftovers() const
{
    const QFileInfo list(m_path);
    const QRegularExpression leftover(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(list.fileName()) + QStringLiteral("\\.[A-Za-z0-9]{6}")));
    QDir dir = list.dir();
    for (const QString &name : dir.entryList({list.fileName() + QStringLiteral(".??????")},
                                             QDir::Files | QDir::Hidden | QDir::System))
        if (leftover.match(name).hasMatch() && !QFileInfo(dir.filePath(name)).isSymLink())
            dir.remove(name);
}

std::optional<QList<SavedCommand>> CommandStore::update(const Change &change)
{
    m_movedAside.clear();
    if (!QDir().mkpath(QFileInfo(m_path).path()))
        return std::nullopt;
    const FileLock lock(m_path + QStringLiteral(".lock"));
    if (!lock.locked())
        return std::nullopt;
    QList<SavedCommand> list = m_known;
    if (changedOnDisk() && (stamp().exists || QFileInfo(m_path).isSymLink())) {
        CommandsRead fresh = importFrom(m_path);
        m_keepAside = fresh.error.has_value(); // what this window knows stays; the file goes aside
        if (!fresh.error)
            list = std::move(fresh.commands);
    }
    change(list);
    if (m_keepAside && !moveAside())
        return std::nullopt;
    removeLeftovers();
    if (!writeAtomically(m_path, list, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return std::nullopt;
    m_known = list;
    m_shown = list;
    m_loaded = true;
    m_stamp = stamp();
    return list;
}
