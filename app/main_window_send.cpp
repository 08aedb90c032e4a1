#include "app/main_window.h"

#include "app/send_box_menu.h"
#include "receive/counter_box.h"
#include "receive/counters.h"
#include "serial/codepage936.h"
#include "serial/numeric_value.h"
#include "transmit/hex_send.h"
#include "transmit/interval_timer.h"
#include "transmit/saved_commands.h"
#include "transmit/send_file.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

// The window's sending: the send box, automatic sending, saved commands and
// the file (the window's other handlers are in main_window.cpp).

namespace {
const QString kPortClosed = QStringLiteral("串口没有打开，请打开串口");
const QString kNothingToSend = QStringLiteral("发送数据不能为空");
const QString kEmptyFile = QStringLiteral("发送的文件为空");

// Only a tick counts; clear and grey do not.
bool ticked(const QCheckBox *box)
{
    return box->checkState() == Qt::Checked;
}
} // namespace

// ---- sending ----------------------------------------------------------------

// The send box's text with its line breaks as CR LF, as they go on the wire.
QString MainForm::sendBoxText() const
{
    QString text = c.TxtSend->toPlainText();
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

void MainForm::onCmdSendClick()
{
    if (!m_port->isOpen()) {
        m_dialogs->message(kPortClosed, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return;
    }
    if (c.TxtSend->toPlainText().isEmpty()) {
        m_dialogs->message(kNothingToSend, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return;
    }
    if (sendSendBox())
        m_sendMenu->remember(c.TxtSend->toPlainText(), ticked(c.ChkHexSend));
}

// One send of the send box, as the send button and the automatic sender make it;
// true when something went out.
bool MainForm::sendSendBox()
{
    m_commandBytes.reset();
    if (ticked(c.ChkHexSend))
        return SendHexText();
    return sendText(sendBoxText(), m_sendMenu->options().ending);
}

bool MainForm::SendHexText()
{
    return sendHex(c.TxtSend->toPlainText(), m_sendMenu->options().checksum);
}

// Text goes out without its end spaces, in code page 936, then the line ending;
// it is counted when the port has sent it.
bool MainForm::sendText(const QString &text, LineEnding ending)
{
    const QByteArray end = endingBytes(ending);
    const QByteArray bytes = cp936::encode(trimSpaces(text)) + end;
    if (!m_port->write(bytes))
        return false;
    LastSendWasFile = false;
    m_textBytes = bytes.size();
    return !bytes.isEmpty();
}

// Hexadecimal bytes, then their checksum. Counts only what the port took: a
// refused write (port closed, transmit queue full) leaves the count as it was.
bool MainForm::sendHex(const QString &text, Checksum checksum)
{
    QByteArray bytes = hexSendBytes(text);
    bool sent = false;
    if (!bytes.isEmpty()) {
        bytes += checksumBytes(checksum, bytes);
        sent = m_port->write(bytes);
        if (sent)
            TXCount = addCount(TXCount, bytes.size());
    }
    m_txCount->show(TXCount);
    return sent;
}

// A saved command goes out as the send button sends the send box, with the
// command's own kind, line ending and checksum.
void MainForm::sendCommand(const SavedCommand &command)
{
    if (!m_port->isOpen()) {
        m_dialogs->message(kPortClosed, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return;
    }
    if (command.content.isEmpty()) {
        m_dialogs->message(kNothingToSend, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return;
    }
    if (command.hex) {
        if (sendHex(command.content, command.checksum))
            m_commandBytes = 0;
        return;
    }
    // Its line breaks go out as the file says (\n a line feed, \r a carriage return).
    if (sendText(command.content, command.ending))
        m_commandBytes = m_textBytes;
}

void MainForm::onCmdClearSendClick()
{
    c.TxtSend->clear();
}

void MainForm::onChkAutoSendChanged()
{
    switch (c.ChkAutoSend->checkState()) {
    case Qt::Checked: {
        if (!m_port->isOpen()) {
            c.ChkAutoSend->setCheckState(Qt::Unchecked); // runs this again: the timer stops
            m_dialogs->message(kPortClosed, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
            return;
        }
        // A period the timer refuses leaves the box ticked and nothing sent.
        const double period = numeric::roundHalfEven(numeric::value(c.TxtAutoSendTime->text()));
        if (!(period >= 0 && period <= 65535) || !TmrAutoSend->setInterval(qint64(period)))
            return;
        TmrAutoSend->setEnabled(true);
        break;
    }
    case Qt::Unchecked:
        TmrAutoSend->setEnabled(false);
        break;
    default:
        break;
    }
}

void MainForm::onTmrAutoSendTimer()
{
    if (c.TxtSend->toPlainText().isEmpty()) {
        c.ChkAutoSend->setCheckState(Qt::Unchecked); // stops the timer first
        m_dialogs->message(kNothingToSend, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return;
    }
    sendSendBox();
}

// ---- sending a file -----------------------------------------------------------

// The file is read whole when chosen. What the box names is what 发送文件
// sends: a file that cannot be read (not an ordinary file, too large to hold)
// leaves nothing to send, never the previous file's content.
void MainForm::onCmdSelectFileClick()
{
    showText(c.TxtSendPath, m_dialogs->chooseFileToOpen());
    auto bytes = readFileToSend(c.TxtSendPath->text());
    SendFileText = bytes ? std::move(*bytes) : QByteArray();
}

void MainForm::onCmdSendFileClick()
{
    if (!m_port->isOpen()) {
        m_dialogs->message(kPortClosed, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        return;
    }
    if (SendFileText.isEmpty()) {
        m_dialogs->message(kEmptyFile, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return;
    }
    if (m_port->write(trimSpaceBytes(SendFileText))) {
        LastSendWasFile = true;
        m_commandBytes.reset();
    }
}

