#include "serial/settings_selector.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QLineEdit>
#include <QTimer>
#include <QWheelEvent>

SettingsSelector::SettingsSelector(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
    // QComboBox also reports an item as activated when the typed text matches
    // one and the field loses the focus or takes Enter; only the gestures that
    // choose pass here.
    connect(this, &QComboBox::activated, this, &SettingsSelector::onActivated);
}

void SettingsSelector::onActivated()
{
    if (!m_choosing)
        return;
    m_choosing = false;
    emit itemChosen();
}

// The open list closes first and then reports the item taken from it; closing
// without a choice (Escape, a click elsewhere) reports nothing, and the mark
// lapses once the current event is handled.
void SettingsSelector::hidePopup()
{
    QComboBox::hidePopup();
    m_choosing = true;
    QTimer::singleShot(0, this, [this] { m_choosing = false; });
}

void SettingsSelector::keyPressEvent(QKeyEvent *event)
{
    const bool alt = event->modifiers() & Qt::AltModifier;
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (!alt) {
            m_choosing = true;
            QComboBox::keyPressEvent(event);
            m_choosing = false;
            return;
        }
        break;
    default:
        break;
    }
    QComboBox::keyPressEvent(event);
}

void SettingsSelector::wheelEvent(QWheelEvent *event)
{
    event->ignore();
}

void SettingsSelector::showPopup()
{
    emit listAboutToShow();
    // The list is as wide as its longest item ("COM16", a device path), not
    // only as wide as the selector.
    QAbstractItemView *list = view();
    list->setMinimumWidth(list->sizeHintForColumn(0) + list->verticalScrollBar()->sizeHint().width() +
                          2 * list->frameWidth() + 4);
    QComboBox::showPopup();
}

void SettingsSelector::setExtraItems(int fixedCount, const QList<ExtraItem> &items)
{
    const QString text = currentText();
    const int cursor = lineEdit()->cursorPosition();
    if (currentIndex() >= fixedCount)
        setCurrentIndex(-1);
    while (count() > fixedCount)
        removeItem(count() - 1);
    for (const ExtraItem &item : items) {
        addItem(item.text);
        setItemData(count() - 1, item.details, Qt::ToolTipRole);
        setItemData(count() - 1, item.details, Qt::AccessibleDescriptionRole);
    }
    if (currentText() != text) {
        setEditText(text);
        lineEdit()->setCursorPosition(cursor);
    }
}
