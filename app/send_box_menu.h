#pragma once

#include "transfer/transfer_run.h"
#include "transmit/recent_sends.h"
#include "transmit/send_options.h"

#include <QObject>
#include <QPoint>

class QAction;
class QActionGroup;
class QCheckBox;
class QMenu;
class QPlainTextEdit;

// What the send box offers beyond typing: its context menu (Qt's editing items,
// then 行尾, 校验, 最近发送, 常用指令…, 运行脚本… and 文件传输) and Ctrl+Up / Ctrl+Down
// through the recent sends. The line ending and checksum chosen hold while the program runs.
class SendBoxMenu : public QObject
{
    Q_OBJECT

public:
    SendBoxMenu(QPlainTextEdit *box, QCheckBox *hexSend, QObject *parent = nullptr);

    SendOptions options() const;
    // A manual send went out: it becomes the newest recent send.
    void remember(const QString &text, bool hex);
    const RecentSends &recent() const { return m_recent; }

    // The menu as it opens at pos (global), for tests and the keyboard alike.
    void showMenu(const QPoint &pos);
    // The lasting actions the menus mirror (tests read and trigger them).
    QList<QAction *> endingActions() const;
    QList<QAction *> checksumActions() const;

signals:
    void commandsRequested();
    void scriptRequested();
    void transferRequested(TransferRun::Protocol protocol, TransferRun::Direction direction);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void putBack(const RecentSends::Entry &e);
    RecentSends::Entry draft() const;
    void addTransferMenu(QMenu *menu);

    QPlainTextEdit *m_box;
    QCheckBox *m_hexSend;
    QActionGroup *m_endings;
    QActionGroup *m_checksums;
    RecentSends m_recent;
    bool m_puttingBack = false;
};
