#pragma once

#include "transmit/send_options.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

class Port;
struct SavedCommand;

// Everything the program sends goes through here: text in code page 936 with
// its line ending, hexadecimal bytes with their checksum, saved commands and
// files. It counts what was sent (TX) from the very bytes it wrote:
// - a hexadecimal send when it is written;
// - a text send, a file or a text command when the port says everything written
//   has left (drained), once per drain however many sends it covers; while the
//   send box sends hexadecimal, a drain counts nothing (but a command's does).
// Every send returns true when something went out; a closed port or a full
// transmit queue refuses it and counts nothing. What to tell the user (port
// closed, nothing to send) is the caller's to decide.
class SendFeed : public QObject
{
    Q_OBJECT

public:
    explicit SendFeed(Port *port, QObject *parent = nullptr);

    // Whether the send box sends hexadecimal: steers what a drain counts.
    void setHexSend(bool hex) { m_hexSend = hex; }

    // The send box's text (line breaks as CR LF): without its end spaces, then
    // the line ending.
    bool sendText(const QString &text, LineEnding ending);
    // Hexadecimal pairs as the send box reads them, then their checksum.
    bool sendHex(const QString &text, Checksum checksum);
    // A saved command, with its own kind, line ending and checksum; its line
    // breaks go out as it holds them.
    bool sendCommand(const SavedCommand &command);
    // A file's bytes as they are on disk, without the spaces at their ends.
    bool sendFile(const QByteArray &file);
    // Bytes exactly as given (a script's), counted when written, as hex is.
    bool sendBytes(const QByteArray &bytes);
    // Counts bytes written for us by someone else (a transfer's answers,
    // written the moment a block came), as sendBytes counts its own.
    void countWritten(qint64 bytes);

    qint64 count() const { return TXCount; }
    void clearCount();
    // The text the last counted text send came from.
    QString sentText() const { return SentText; }

signals:
    // TX changed or is to be shown again; now: show it at once (a reset).
    void countChanged(qint64 count, bool now);

private:
    bool writeText(const QString &text, LineEnding ending);
    bool writeHex(const QString &text, Checksum checksum);
    void onDrained();
    void CountSentText();

    Port *m_port;
    bool m_hexSend = false;
    qint64 TXCount = 0;
    QString SentText;
    bool LastSendWasFile = false;
    qint64 m_fileBytes = 0; // of the file sent last
    // The bytes the last text send wrote, and the text they came from.
    qint64 m_textBytes = 0;
    QString m_lastText;
    // Set while a saved command was the last send: what it counts at the next
    // drain (a text command; a hex command was counted when it was sent).
    std::optional<qint64> m_commandBytes;
    qint64 m_uncounted = 0; // a text or file send's bytes, until a drain counts them
};
