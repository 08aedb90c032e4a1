#include "transmit/send_feed.h"

#include "receive/counters.h"
#include "serial/codepage936.h"
#include "serial/port.h"
#include "transmit/hex_send.h"
#include "transmit/saved_commands.h"
#include "transmit/send_file.h"

#include <utility>

SendFeed::SendFeed(Port *port, QObject *parent) : QObject(parent), m_port(port)
{
    connect(m_port, &Port::drained, this, &SendFeed::onDrained);
}

bool SendFeed::sendText(const QString &text, LineEnding ending)
{
    m_commandBytes.reset();
    return writeText(text, ending);
}

bool SendFeed::sendHex(const QString &text, Checksum checksum)
{
    m_commandBytes.reset();
    return writeHex(text, checksum);
}

bool SendFeed::sendCommand(const SavedCommand &command)
{
    if (command.hex) {
        if (!writeHex(command.content, command.checksum))
            return false;
        m_commandBytes = 0;
        return true;
    }
    if (!writeText(command.content, command.ending))
        return false;
    m_commandBytes = m_textBytes;
    return true;
}

bool SendFeed::sendFile(const QByteArray &file)
{
    if (!m_port->write(trimSpaceBytes(file)))
        return false;
    LastSendWasFile = true;
    m_fileBytes = file.size();
    m_uncounted = m_fileBytes;
    m_commandBytes.reset();
    return true;
}

bool SendFeed::sendBytes(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !m_port->write(bytes))
        return false;
    countWritten(bytes.size());
    return true;
}

void SendFeed::countWritten(qint64 bytes)
{
    TXCount = addCount(TXCount, bytes);
    // The drain that follows counts a text or file send still waiting for
    // its count, and nothing for these bytes.
    if (!m_commandBytes)
        m_commandBytes = m_hexSend ? 0 : m_uncounted;
    emit countChanged(TXCount, false);
}

// Counted when the port has sent it.
bool SendFeed::writeText(const QString &text, LineEnding ending)
{
    const QByteArray bytes = cp936::encode(trimSpaces(text)) + endingBytes(ending);
    if (!m_port->write(bytes))
        return false;
    LastSendWasFile = false;
    m_textBytes = bytes.size();
    m_uncounted = m_textBytes;
    m_lastText = text;
    return !bytes.isEmpty();
}

// Counts only what the port took, and shows the count either way.
bool SendFeed::writeHex(const QString &text, Checksum checksum)
{
    QByteArray bytes = hexSendBytes(text);
    bool sent = false;
    if (!bytes.isEmpty()) {
        bytes += checksumBytes(checksum, bytes);
        sent = m_port->write(bytes);
        if (sent)
            TXCount = addCount(TXCount, bytes.size());
    }
    emit countChanged(TXCount, false);
    return sent;
}

void SendFeed::onDrained()
{
    m_uncounted = 0;
    if (m_commandBytes) {
        TXCount = addCount(TXCount, std::exchange(*m_commandBytes, 0));
        emit countChanged(TXCount, false);
        return;
    }
    if (!m_hexSend)
        CountSentText();
}

// A file send counts the file's bytes; a text send the bytes it wrote.
void SendFeed::CountSentText()
{
    if (LastSendWasFile) {
        TXCount = addCount(TXCount, m_fileBytes);
    } else {
        SentText = m_lastText;
        TXCount = addCount(TXCount, m_textBytes);
    }
    emit countChanged(TXCount, false);
}

void SendFeed::clearCount()
{
    TXCount = 0;
    emit countChanged(TXCount, true);
}
