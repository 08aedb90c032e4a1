#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

// The first line of a saved file: 2024年3月5日9时7分2秒 (no leading zeros, 24-hour).
QString saveTimestamp(const QDateTime &now);

// Writes "1.txt" in folder: the timestamp, CR LF, the display's text, CR LF, all
// in code page 936. The folder is created (with its parents) when missing. The
// file is replaced only once it is written whole, so a failed save leaves the
// previous "1.txt" as it was. writeText hands the display's text over in pieces.
// A new file gets mode 0600; a link at its name made by another user makes the
// save fail (never written through).
bool writeSaveFile(const QString &folder, const QDateTime &now,
                   const std::function<void(const std::function<void(QStringView)> &)> &writeText);

// The folder a folder text names: a leading "~" stands for the home folder, and
// a relative text is taken from the home folder (the program's working folder
// means nothing to a desktop user). An empty text names no folder and stays empty.
QString resolveFolder(const QString &text, const QString &home);

// The file a save writes to.
QString saveFilePath(const QString &folder);
