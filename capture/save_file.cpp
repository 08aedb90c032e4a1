#include "capture/save_file.h"

#include "serial/codepage936.h"

#include <QDir>
#include <QSaveFile>
#include <sys/stat.h>
#include <unistd.h>

QString saveTimestamp(const QDateTime &now)
{
    const QDate d = now.date();
    const QTime t = now.time();
    return QStringLiteral("%1年%2月%3日%4时%5分%6秒")
        .arg(d.year())
        .arg(d.month())
        .arg(d.day())
        .arg(t.hour())
        .arg(t.minute())
        .arg(t.second());
}

QString resolveFolder(const QString &text, const QString &home)
{
    if (text.isEmpty())
        return text;
    if (text == u"~")
        return home;
    if (text.startsWith(u"~/"))
        return home + text.mid(1);
    if (QDir::isAbsolutePath(text))
        return text;
    return home + u'/' + text;
}

QString saveFilePath(const QString &folder)
{
    return folder + QStringLiteral("/1.txt");
}

bool writeSaveFile(const QString &folder, const QDateTime &now,
                   const std::function<void(const std::function<void(QStringView)> &)> &writeText)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    // A link at the file's name that another user made (a shared folder) is
    // not written through: the save fails as any save that cannot be made.
    const QByteArray target = QFile::encodeName(saveFilePath(folder));
    struct stat st {};
    const bool exists = ::lstat(target.constData(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
        return false;
    QSaveFile file(saveFilePath(folder));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // A new file is readable by this user only (serial data carries passwords);
    // one that is replaced keeps the permissions it had.
    if (!exists)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // One encoder for the whole file, so a character split between two pieces
    // of the display's text is encoded whole; written a megabyte at a time.
    constexpr qsizetype kChunk = 1 << 20;
    cp936::StreamEncoder encoder;
    QByteArray bytes;
    bytes.reserve(kChunk + 4096);
    const auto flush = [&] {
        if (file.write(bytes) != bytes.size())
            file.cancelWriting();
        bytes.resize(0);
    };
    const auto put = [&](QStringView s) {
        while (!s.isEmpty()) {
            const QStringView part = s.first(std::min<qsizetype>(s.size(), kChunk / 2));
            encoder.encode(part, bytes);
            s = s.sliced(part.size());
            if (bytes.size() >= kChunk)
                flush();
        }
    };
    put(saveTimestamp(now));
    put(u"\r\n");
    writeText(put);
    put(u"\r\n");
    encoder.finish(bytes);
    flush();
    return file.commit();
}
