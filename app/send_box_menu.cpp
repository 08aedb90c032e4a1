#include "app/send_box_menu.h"

#include "widgets/menu_switches.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <memory>

namespace
{
constexpr int kShownChars = 40; // of a recent send in its menu item

// A recent send as its menu item shows it: marked hex or text, its start on one line.
QString itemText(const RecentSends::Entry &e)
{
    QString start = e.text.left(kShownChars);
    start.replace(u'\n', u'↵');
    if (e.text.size() > kShownChars)
        start += u'…';
    // An ampersand would be taken for a shortcut mark.
    start.replace(u'&', QStringLiteral("&&"));
    return (e.hex ? QStringLiteral("[HEX] ") : QStringLiteral("[文本] ")) + start;
}

template <typename T> QActionGroup *choices(QObject *parent, const auto &values)
{
    auto *group = new QActionGroup(parent);
    for (T v : values) {
        auto *a = group->addAction(displayName(v));
        a->setCheckable(true);
        a->setData(int(v));
    }
    group->actions().first()->setChecked(true);
    return group;
}
} // namespace

SendBoxMenu::SendBoxMenu(QPlainTextEdit *box, QCheckBox *hexSend, QObject *parent)
    : QObject(parent), m_box(box), m_hexSend(hexSend),
      m_endings(choices<LineEnding>(this, kLineEndings)),
      m_checksums(choices<Checksum>(this, kChecksums))
{
    box->installEventFilter(this);
    box->viewport()->installEventFilter(this);
    connect(box, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_puttingBack)
            m_recent.stopStepping();
    });
}

SendOptions SendBoxMenu::options() const
{
    return {LineEnding(m_endings->checkedAction()->data().toInt()),
            Checksum(m_checksums->checkedAction()->data().toInt())};
}

QList<QAction *> SendBoxMenu::endingActions() const
{
    return m_endings->actions();
}

QList<QAction *> SendBoxMenu::checksumActions() const
{
    return m_checksums->actions();
}

void SendBoxMenu::remember(const QString &text, bool hex)
{
    m_recent.add({text, hex});
}

RecentSends::Entry SendBoxMenu::draft() const
{
    return {m_box->toPlainText(), m_hexSend->checkState() == Qt::Checked};
}

void SendBoxMenu::putBack(const RecentSends::Entry &e)
{
    m_puttingBack = true;
    m_box->setPlainText(e.text);
    m_box->moveCursor(QTextCursor::End);
    m_puttingBack = false;
    m_hexSend->setCheckState(e.hex ? Qt::Checked : Qt::Unchecked);
}

void SendBoxMenu::showMenu(const QPoint &pos)
{
    std::unique_ptr<QMenu> menu(m_box->createStandardContextMenu());
    menu->addSeparator();
    QMenu *ending = menu->addMenu(QStringLiteral("行尾"));
    for (QAction *a : m_endings->actions())
        addChoiceItem(ending, a);
    QMenu *checksum = menu->addMenu(QStringLiteral("校验"));
    for (QAction *a : m_checksums->actions())
        addChoiceItem(checksum, a);
    QMenu *recent = menu->addMenu(QStringLiteral("最近发送"));
    recent->setToolTipsVisible(true);
    if (m_recent.entries().isEmpty()) // reachable all the same: it says there are none
        recent->addAction(QStringLiteral("（无）"))->setEnabled(false);
    for (const RecentSends::Entry &e : m_recent.entries()) {
        QAction *a = recent->addAction(itemText(e));
        a->setToolTip(e.text);
        connect(a, &QAction::triggered, this, [this, e] { putBack(e); });
    }
    connect(menu->addAction(QStringLiteral("常用指令…")), &QAction::triggered, this,
            &SendBoxMenu::commandsRequested);
    connect(menu->addAction(QStringLiteral("运行脚本…")), &QAction::triggered, this,
            &SendBoxMenu::scriptRequested);
    addTransferMenu(menu.get());
    menu->exec(pos);
}

// 文件传输: each protocol both ways. ZMODEM is lrzsz's: without it the items
// stay, greyed, and say why.
void SendBoxMenu::addTransferMenu(QMenu *menu)
{
    using P = TransferRun::Protocol;
    using D = TransferRun::Direction;
    QMenu *transfers = menu->addMenu(QStringLiteral("文件传输"));
    const auto add = [this, transfers](const QString &text, P p, D d) {
        const bool missing = p == P::ZModem && TransferRun::lrzszProgram(d).isEmpty();
        QAction *a =
            addCommandItem(transfers, missing ? text + QStringLiteral("（未安装 lrzsz）") : text,
                           !missing, QStringLiteral("ZMODEM 需要 lrzsz 软件包（sz 和 rz）"));
        connect(a, &QAction::triggered, this, [this, p, d] { emit transferRequested(p, d); });
    };
    add(QStringLiteral("XMODEM 发送…"), P::XModemCrc, D::Send);
    add(QStringLiteral("XMODEM-1K 发送…"), P::XModem1k, D::Send);
    add(QStringLiteral("YMODEM 发送…"), P::YModem, D::Send);
    add(QStringLiteral("ZMODEM 发送…"), P::ZModem, D::Send);
    transfers->addSeparator();
    add(QStringLiteral("XMODEM 接收…"), P::XModemCrc, D::Receive);
    add(QStringLiteral("YMODEM 接收"), P::YModem, D::Receive);
    add(QStringLiteral("ZMODEM 接收"), P::ZModem, D::Receive);
}

bool SendBoxMenu::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ContextMenu) {
        auto *e = static_cast<QContextMenuEvent *>(event);
        QPoint pos = e->globalPos();
        if (e->reason() == QContextMenuEvent::Keyboard) // the Menu key: at the caret
            pos = m_box->viewport()->mapToGlobal(m_box->cursorRect().bottomLeft());
        showMenu(pos);
        return true;
    }
    if (watched == m_box && event->type() == QEvent::KeyPress) {
        auto *k = static_cast<QKeyEvent *>(event);
        if (k->key() == Qt::Key_F10 && k->modifiers() == Qt::ShiftModifier) {
            showMenu(m_box->viewport()->mapToGlobal(m_box->cursorRect().bottomLeft()));
            return true;
        }
        if (k->modifiers() == Qt::ControlModifier &&
            (k->key() == Qt::Key_Up || k->key() == Qt::Key_Down)) {
            const auto e = k->key() == Qt::Key_Up ? m_recent.older(draft()) : m_recent.newer();
            if (e)
                putBack(*e);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
