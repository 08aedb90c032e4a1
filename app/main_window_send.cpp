#include "app/main_window.h"

#include "app/commands_window.h"
#include "app/send_box_menu.h"
#include "serial/numeric_value.h"
#include "transmit/interval_timer.h"
#include "transmit/saved_commands.h"
#include "transmit/send_feed.h"
#include "transmit/send_file.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>

// The window's sending: the send box, automatic sending, saved commands and
// the file (the window's other handlers are in main_window.cpp).

namespace
{
const QString kPortClosed = QStringLiteral("串口没有打开，请打开串口");
const QString kNothingToSend = QStringLiteral("发送数据不能为空");
const QString kEmptyFile = QStringLiteral("发送的文件为空");
} // namespace

// ---- sending ----------------------------------------------------------------

// The send box's text with its line breaks as CR LF, as they go on the wire.
QString MainForm::sendBoxText() const
{
    QString text = c.TxtSend->toPlainText();
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

bool MainForm::portOpenToSend()
{
    if (m_port->isOpen())
        return true;
    m_dialogs->message(kPortClosed, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
    return false;
}

void MainForm::onCmdSendClick()
{
    if (!portOpenToSend())
        return;
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
    const SendOptions options = m_sendMenu->options();
    if (ticked(c.ChkHexSend))
        return m_send->sendHex(c.TxtSend->toPlainText(), options.checksum);
    return m_send->sendText(sendBoxText(), options.ending);
}

// A saved command goes out as the send button sends the send box.
bool MainForm::sendCommand(const SavedCommand &command)
{
    if (!portOpenToSend())
        return false;
    if (command.content.isEmpty()) {
        m_dialogs->message(kNothingToSend, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return false;
    }
    return m_send->sendCommand(command);
}

// F1 to F12: the list as the commands file holds it now, the 常用指令 window
// open or not.
void MainForm::sendSavedCommand(int n)
{
    if (!m_commandStore->loaded()) {
        const CommandsRead got = m_commandStore->load();
        if (got.error)
            CommandsWindow::tellBadFile(m_dialogs, this, m_commandStore->path(), *got.error);
    } else {
        m_commandStore->takeUpChanges();
    }
    if (n < m_commandStore->commands().size())
        sendCommand(m_commandStore->commands()[n]);
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
    if (!portOpenToSend())
        return;
    if (SendFileText.isEmpty()) {
        m_dialogs->message(kEmptyFile, Dialogs::Icon::Critical, Dialogs::Buttons::Ok);
        return;
    }
    m_send->sendFile(SendFileText);
}
