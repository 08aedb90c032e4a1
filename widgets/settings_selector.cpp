#include "widgets/settings_selector.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

namespace
{

// What assistive technology reads of a selector: its name is the label beside
// it, its value the text in its field. (Qt's own combo box reads the text as
// the name on Linux, so every selector would be called "9600" or "COM1".)
// Children and actions as Qt's: the list, then the field (an editable one's);
// open or close the list.
class SelectorAccessible : public QAccessibleWidget
{
public:
    explicit SelectorAccessible(QComboBox *w) : QAccessibleWidget(w, QAccessible::ComboBox) {}
    QComboBox *combo() const { return static_cast<QComboBox *>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return combo()->currentText();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return combo()->lineEdit() ? 2 : 1; }
    QAccessibleInterface *child(int index) const override
    {
        QWidget *c = index == 0   ? static_cast<QWidget *>(combo()->view())
                     : index == 1 ? combo()->lineEdit()
                                  : nullptr;
        return c ? QAccessible::queryAccessibleInterface(c) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (child->object() == combo()->view())
            return 0;
        return child->object() == combo()->lineEdit() ? 1 : -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QWidget *field = combo()->lineEdit();
        return field && QRect(field->mapToGlobal(QPoint(0, 0)), field->size()).contains(x, y)
                   ? child(1)
                   : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        return combo()->view()->isVisible() || !combo()->lineEdit() ? child(0) : child(1);
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString &action) override
    {
        if (action != showMenuAction() && action != pressAction())
            return;
        if (combo()->view()->isVisible())
            combo()->hidePopup();
        else
            combo()->showPopup();
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
};

QAccessibleInterface *selectorAccessible(const QString &className, QObject *object)
{
    if ((className == QLatin1String("SettingsSelector") ||
         className == QLatin1String("ChoiceBox")) &&
        object->isWidgetType())
        return new SelectorAccessible(static_cast<QComboBox *>(object));
    return nullptr;
}

void installSelectorAccessible()
{
    static const bool accessible = (QAccessible::installFactory(selectorAccessible), true);
    (void)accessible;
}

} // namespace

ChoiceBox::ChoiceBox(const QString &name, QWidget *parent) : QComboBox(parent)
{
    installSelectorAccessible();
    setAccessibleName(name);
}

SettingsSelector::SettingsSelector(QWidget *parent) : QComboBox(parent)
{
    installSelectorAccessible();
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
    list->setMinimumWidth(list->sizeHintForColumn(0) +
                          list->verticalScrollBar()->sizeHint().width() + 2 * list->frameWidth() +
                          4);
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
