#include "transmit/saved_commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>

namespace {

QString escaped(const QString &s)
{
    QString out;
    out.reserve(s.size());
    for (QChar c : s) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

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
        case u'\\': out += u'\\'; break;
        case u'n': out += u'\n'; break;
        case u'r': out += u'\r'; break;
        default: return std::nullopt;
        }
    }
    return out;
}

CommandsRead failed(int line, const QString &what)
{
    return {{}, CommandsError{line, what}};
}

bool writeAtomically(const QString &path, const QList<SavedCommand> &commands)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = writeCommands(commands).toUtf8();
    if (f.write(bytes) != bytes.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

} // namespace

QString writeCommands(const QList<SavedCommand> &commands)
{
    QString out = QStringLiteral("# Quorvex 常用指令\n");
    for (const SavedCommand &c : commands) {
        out += QStringLiteral("\n[command]\nname=") + escaped(c.name) + QStringLiteral("\ncontent=") +
               escaped(c.content) + QStringLiteral("\ntype=") +
               (c.hex ? QStringLiteral("hex") : QStringLiteral("text")) + QStringLiteral("\nending=") +
               key(c.ending) + QStringLiteral("\nchecksum=") + key(c.checksum) + u'\n';
    }
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
                return failed(lineNo, QStringLiteral("不认识的段 “%1”，应为 [command]").arg(trimmed));
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

CommandsRead CommandStore::load()
{
    m_keepAside = false;
    if (!QFileInfo::exists(m_path) && !QFileInfo(m_path).isSymLink())
        return {};
    CommandsRead got = importFrom(m_path);
    m_keepAside = got.error.has_value();
    return got;
}

bool CommandStore::save(const QList<SavedCommand> &commands)
{
    m_movedAside.clear();
    if (!QDir().mkpath(QFileInfo(m_path).path()))
        return false;
    if (m_keepAside) {
        QString aside = m_path + QStringLiteral(".bad");
        for (int n = 1; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
            aside = m_path + QStringLiteral(".bad-") + QString::number(n);
        if (!QFile::rename(m_path, aside))
            return false;
        m_keepAside = false;
        m_movedAside = aside;
    }
    return writeAtomically(m_path, commands);
}
