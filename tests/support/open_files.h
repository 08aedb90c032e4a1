#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>

// Makes a T whose temporary files go to folder (a store takes $TMPDIR when made).
template <typename T>
T *madeWithTemporaryFolder(T *(*make)(), const QString &folder)
{
    const QByteArray was = qgetenv("TMPDIR");
    qputenv("TMPDIR", folder.toLocal8Bit());
    T *made = make();
    qputenv("TMPDIR", was);
    return made;
}

// Cuts every file this process holds open in folder to nothing, as a failing
// disk or a meddling hand would (the temporary store's files have no name).
inline bool truncateFilesIn(const QString &folder)
{
    bool any = false;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
        if (!fd.symLinkTarget().startsWith(folder + "/"))
            continue;
        QFile f(fd.absoluteFilePath());
        if (!f.open(QIODevice::ReadWrite) || !f.resize(0))
            return false;
        any = true;
    }
    return any;
}
