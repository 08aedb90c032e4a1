// File transfers: the send box's 文件传输 menu, the 文件传输 window, and the
// receive box, which leaves what the transfer receives to it and says so once.
#include "app/main_window.h"
#include "app/send_box_menu.h"
#include "app/transfer_window.h"
#include "receive/receive_feed.h"

#include <QFileInfo>

void MainForm::wireTransfers()
{
    m_transfer = new TransferRun(m_port, m_send, this);
    connect(m_sendMenu, &SendBoxMenu::transferRequested, this, &MainForm::onTransferRequested);
    connect(m_transfer, &TransferRun::finished, this, &MainForm::onTransferFinished);
}

void MainForm::onTransferRequested(TransferRun::Protocol protocol, TransferRun::Direction direction)
{
    if (m_transfer->running()) {
        m_transferWindow->begin(); // it is shown again, as it stands
        return;
    }
    if (!portOpenToSend())
        return;
    const QString name = TransferRun::protocolName(protocol);
    TransferRun::Job job{protocol, direction, {}, saveFolder(), {}};
    if (direction == TransferRun::Direction::Send) {
        job.files = m_dialogs->chooseFilesToSend(name + QStringLiteral(" 发送"),
                                                 protocol == TransferRun::Protocol::YModem ||
                                                     protocol == TransferRun::Protocol::ZModem);
        if (job.files.isEmpty())
            return;
    } else if (protocol != TransferRun::Protocol::YModem &&
               protocol != TransferRun::Protocol::ZModem) {
        // XMODEM does not tell a name: the user gives one, in the save folder or elsewhere.
        const auto path = m_dialogs->chooseFileToSave(name + QStringLiteral(" 接收"), job.folder,
                                                      QStringLiteral("xmodem.bin"));
        if (!path)
            return;
        job.folder = QFileInfo(*path).absolutePath();
        job.name = QFileInfo(*path).fileName();
    }
    QString why;
    if (!m_transfer->start(job, &why)) {
        m_dialogs->message(QStringLiteral("无法开始文件传输：") + why, Dialogs::Icon::Exclamation,
                           Dialogs::Buttons::Ok);
        return;
    }
    m_feed->holdForTransfer();
    if (!m_transferWindow)
        m_transferWindow = new TransferWindow(m_transfer, this);
    m_transferWindow->begin();
}

void MainForm::onTransferFinished(bool, const QString &result)
{
    const TransferRun::Job &job = m_transfer->job();
    const bool sending = job.direction == TransferRun::Direction::Send;
    m_feed->release(QStringLiteral("（文件传输 %1 %2，%3；传输中收到的 %4 字节交给了传输，未显示）")
                        .arg(TransferRun::protocolName(job.protocol),
                             sending ? QStringLiteral("发送") : QStringLiteral("接收"), result)
                        .arg(m_feed->heldBytes()));
}
