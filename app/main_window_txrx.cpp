// Both directions: what is sent shown among what comes back ("显示发送数据"),
// and the two-way log of both with their times ("记录收发").
#include "app/main_window.h"
#include "app/script_window.h"
#include "receive/receive_display.h"
#include "receive/receive_feed.h"
#include "receive/receive_recorder.h"
#include "receive/txrx_log.h"
#include "script/script_run.h"

#include <QAction>
#include <QFileInfo>

void MainForm::wireTwoWay()
{
    m_txrx = new TxRxLog(this);
    connect(m_port, &Port::wrote, m_feed, &ReceiveFeed::showSentBytes);
    connect(m_port, &Port::controlled, m_feed, &ReceiveFeed::showControl);
    connect(c.TxtReceive->showSentAction(), &QAction::triggered, this,
            &MainForm::onShowSentTriggered);
    connect(c.TxtReceive->txrxAction(), &QAction::triggered, this, &MainForm::onTxRxTriggered);
    connect(m_txrx, &TxRxLog::failed, this, &MainForm::onTxRxFailed);
}

// While sends are shown or logged, what was read before a write is shown and
// logged before it; while stamps are shown or the log runs, read times are exact.
void MainForm::orderWrites()
{
    m_port->setDeliverBeforeWrite(m_feed->showSent() || m_txrx->logging());
    m_port->setExactReadTimes(c.TxtReceive->stampAction()->isChecked() || m_txrx->logging());
}

void MainForm::onShowSentTriggered(bool on)
{
    m_feed->setShowSent(on);
    orderWrites();
}

void MainForm::onTxRxTriggered(bool on)
{
    if (!on) {
        m_txrx->stop();
        orderWrites();
        return;
    }
    const QString folder = saveFolder();
    const QString path = TxRxLog::logFilePath(folder, m_now());
    if (folder.isEmpty() || !m_txrx->start(path, m_port)) {
        onTxRxFailed(folder.isEmpty() ? QFileInfo(path).fileName() : path);
        return;
    }
    orderWrites();
}

// The same message a record gives; what was written stays in the file.
void MainForm::onTxRxFailed(const QString &path)
{
    c.TxtReceive->txrxAction()->setChecked(false);
    orderWrites();
    tellRecordFailed(path);
}
