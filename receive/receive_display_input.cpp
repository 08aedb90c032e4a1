#include "receive/receive_display.h"
#include "receive/receive_display_parts.h"

#include "widgets/menu_switches.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <utility>

using namespace receive_box;

// The receive box's input: keys, the mouse, the context menu, input methods,
// and the caret's blinking.

// ---- keyboard and mouse --------------------------------------------------------

void ReceiveDisplay::moveVertically(int rows, bool keepAnchor)
{
    const QRect r = characterRect(m_cursor);
    if (m_targetX < 0)
        m_targetX = r.left();
    const qint64 row = std::clamp<qint64>(caretRow() + rows, 0, m_layout.rowCount() - 1);
    const qint64 pos = positionInRow(row, m_targetX - kMargin);
    const int keep = m_targetX;
    setCaretPosition(pos, keepAnchor);
    m_targetX = keep;
}

// F3 and Shift+F3 find the next match here, before the window's own shortcuts.
static bool findKey(const QKeyEvent *e)
{
    const auto mods = e->modifiers() & ~Qt::KeypadModifier;
    return (e->key() == Qt::Key_F3 && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) ||
           e->matches(QKeySequence::Find);
}

bool ReceiveDisplay::event(QEvent *e)
{
    if (e->type() == QEvent::ShortcutOverride && findKey(static_cast<QKeyEvent *>(e))) {
        e->accept();
        return true;
    }
    return QAbstractScrollArea::event(e);
}

void ReceiveDisplay::keyPressEvent(QKeyEvent *e)
{
    if (commandKey(e))
        return;
    // The column kept while moving up and down goes with any other key.
    const int keepX = std::exchange(m_targetX, -1);
    if (movementKey(e, keepX) || editingKey(e))
        return;
    const QString t = e->text();
    if (!t.isEmpty() && !(e->modifiers() & Qt::ControlModifier) && t.at(0).isPrint()) {
        insertText(t);
        return;
    }
    QAbstractScrollArea::keyPressEvent(e);
}

// Finding, and the clipboard's keys.
bool ReceiveDisplay::commandKey(QKeyEvent *e)
{
    if (findKey(e)) {
        if (e->key() == Qt::Key_F3)
            emit findNextRequested(!(e->modifiers() & Qt::ShiftModifier));
        else
            emit findRequested();
    } else if (e == QKeySequence::SelectAll) {
        selectAll();
    } else if (e == QKeySequence::Copy) {
        copy();
    } else if (e == QKeySequence::Cut) {
        cut();
    } else if (e == QKeySequence::Paste) {
        paste();
    } else {
        return false;
    }
    return true;
}

// The caret's keys; with Shift they stretch the selection.
bool ReceiveDisplay::movementKey(QKeyEvent *e, int keepX)
{
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const qint64 row = caretRow();
    auto vertically = [&](int rows) {
        m_targetX = keepX;
        moveVertically(rows, shift);
    };
    switch (e->key()) {
    case Qt::Key_Left:
        setCaretPosition(!shift && hasSelection() ? selectionStart() : previousPosition(m_cursor),
                         shift);
        return true;
    case Qt::Key_Right:
        setCaretPosition(!shift && hasSelection() ? selectionEnd() : nextPosition(m_cursor), shift);
        return true;
    case Qt::Key_Up:
        vertically(-1);
        return true;
    case Qt::Key_Down:
        vertically(1);
        return true;
    case Qt::Key_PageUp:
        vertically(-visibleRows());
        return true;
    case Qt::Key_PageDown:
        vertically(visibleRows());
        return true;
    case Qt::Key_Home:
        setCaretPosition(ctrl ? 0 : m_layout.rowStart(row), shift);
        return true;
    case Qt::Key_End: {
        if (ctrl) {
            setCaretPosition(m_doc.size(), shift);
            return true;
        }
        qint64 end = m_layout.rowEnd(row, m_doc.size());
        if (end > m_layout.rowStart(row) && m_doc.at(end - 1) == u'\n')
            end = previousPosition(end);
        else if (row + 1 < m_layout.rowCount())
            end = previousPosition(end); // stay on this row, before the wrap point
        setCaretPosition(end, shift);
        return true;
    }
    default:
        return false;
    }
}

// Deleting, a line break, and the context menu from the keyboard.
bool ReceiveDisplay::editingKey(QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Backspace:
        if (hasSelection())
            insertText(QString());
        else if (m_cursor > 0)
            edit(previousPosition(m_cursor), m_cursor, QString());
        return true;
    case Qt::Key_Delete:
        if (hasSelection())
            insertText(QString());
        else if (m_cursor < m_doc.size())
            edit(m_cursor, nextPosition(m_cursor), QString());
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        insertText(QStringLiteral("\r\n"));
        return true;
    case Qt::Key_F10:
        if (!(e->modifiers() & Qt::ShiftModifier))
            return false;
        [[fallthrough]];
    case Qt::Key_Menu: // at the caret
        contextMenu()->exec(viewport()->mapToGlobal(characterRect(m_cursor).bottomLeft()));
        return true;
    default:
        return false;
    }
}

void ReceiveDisplay::mousePressEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    m_targetX = -1;
    setCaretPosition(positionAt(e->position().toPoint()), e->modifiers() & Qt::ShiftModifier);
}

void ReceiveDisplay::mouseMoveEvent(QMouseEvent *e)
{
    if (e->buttons() & Qt::LeftButton)
        setCaretPosition(positionAt(e->position().toPoint()), true);
}

void ReceiveDisplay::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    // Selects the run of non-blank characters under the pointer.
    const qint64 pos = positionAt(e->position().toPoint());
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    qint64 from = pos, to = pos;
    const qint64 row = m_layout.rowOf(pos);
    const qint64 rowFrom = m_layout.rowStart(row), rowTo = m_layout.rowEnd(row, m_doc.size());
    while (from > rowFrom && !blank(m_doc.at(from - 1)))
        --from;
    while (to < rowTo && !blank(m_doc.at(to)))
        ++to;
    setSelection(from, to);
}

void ReceiveDisplay::contextMenuEvent(QContextMenuEvent *e)
{
    contextMenu()->exec(e->globalPos());
}

std::unique_ptr<QMenu> ReceiveDisplay::contextMenu()
{
    auto owned = std::make_unique<QMenu>(this);
    QMenu &menu = *owned;
    menu.addAction(QStringLiteral("剪切"), this, &ReceiveDisplay::cut)->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("复制"), this, &ReceiveDisplay::copy)->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("粘贴"), this, &ReceiveDisplay::paste)
        ->setEnabled(!QApplication::clipboard()->text().isEmpty());
    menu.addAction(QStringLiteral("删除"), this, [this] { insertText(QString()); })
        ->setEnabled(hasSelection());
    menu.addSeparator();
    menu.addAction(QStringLiteral("全选"), this, &ReceiveDisplay::selectAll)
        ->setEnabled(!m_doc.isEmpty());
    QAction *find = menu.addAction(QStringLiteral("查找…"), this, &ReceiveDisplay::findRequested);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WidgetShortcut); // shown in the menu; the box takes the key itself
    menu.addAction(QStringLiteral("绘图…"), this, &ReceiveDisplay::plotRequested);
    menu.addSeparator();
    addSwitchItem(&menu, m_recordAction);
    addSwitchItem(&menu, m_txrxAction);
    addSwitchItem(&menu, m_stampAction);
    addSwitchItem(&menu, m_showSentAction);
    return owned;
}

void ReceiveDisplay::inputMethodEvent(QInputMethodEvent *e)
{
    if (!e->commitString().isEmpty())
        insertText(e->commitString());
    e->accept();
}

QVariant ReceiveDisplay::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImCursorRectangle:
    case Qt::ImAnchorRectangle:
        return characterRect(m_cursor).translated(viewport()->pos());
    case Qt::ImCursorPosition:
        return int(m_cursor - m_layout.rowStart(caretRow()));
    case Qt::ImSurroundingText: {
        qint64 start;
        return rowText(caretRow(), &start);
    }
    case Qt::ImCurrentSelection:
        return selectionEnd() - selectionStart() <= kMaxTextChars ? selectedText() : QString();
    case Qt::ImEnabled:
        return true;
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

// ---- caret blinking --------------------------------------------------------------

void ReceiveDisplay::restartBlink()
{
    m_caretOn = true;
    const int ms = QApplication::cursorFlashTime() / 2;
    if (hasFocus() && ms > 0)
        m_blink.start(ms, this);
    else
        m_blink.stop();
}

void ReceiveDisplay::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_relayout.timerId()) {
        continueRelayout();
        return;
    }
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        // The caret's row as a stripe, found from its number alone: the paint
        // takes the row from its cache, and the blink never makes the row again.
        const qint64 y = (caretRow() - firstVisibleRow()) * lineHeight() + kMargin;
        if (y > -lineHeight() && y < viewport()->height())
            viewport()->update(QRect(0, int(y) - 1, viewport()->width(), lineHeight() + 2));
        return;
    }
    QAbstractScrollArea::timerEvent(e);
}

void ReceiveDisplay::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    restartBlink();
    viewport()->update();
}

void ReceiveDisplay::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    m_blink.stop();
    viewport()->update();
}
