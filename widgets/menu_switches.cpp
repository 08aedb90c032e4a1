#include "widgets/menu_switches.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QPointer>

namespace
{

enum class Kind { Switch, Choice, Command };

// A menu item of our own: a switch, a choice of a group, or a command.
class SwitchItem : public QAction
{
    Q_OBJECT

public:
    SwitchItem(const QString &text, QObject *parent, Kind kind) : QAction(text, parent), kind(kind)
    {
    }
    const Kind kind;
};

// Read as a check box: Qt's own menu item is told to screen readers without
// its checkable state (the bridge has no such role), so an unticked switch
// would sound like a plain command.
class SwitchItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    explicit SwitchItemAccessible(QAction *item) : m_item(item) {}

    QMenu *menu() const { return m_item ? qobject_cast<QMenu *>(m_item->parent()) : nullptr; }
    bool isValid() const override { return menu() != nullptr; }
    QObject *object() const override { return m_item; }
    QWindow *window() const override { return menu() ? menu()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override
    {
        return menu() ? QAccessible::queryAccessibleInterface(menu()) : nullptr;
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        if (!m_item)
            return {};
        if (t == QAccessible::Name)
            return m_item->text().remove(u'&');
        if (t == QAccessible::Description)
            return m_item->toolTip() == m_item->text().remove(u'&') ? QString() : m_item->toolTip();
        return {};
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        QMenu *m = menu();
        return m ? m->actionGeometry(m_item).translated(m->mapToGlobal(QPoint(0, 0))) : QRect();
    }
    QAccessible::Role role() const override
    {
        auto *item = qobject_cast<SwitchItem *>(m_item.data());
        const Kind kind = item ? item->kind : Kind::Switch;
        return kind == Kind::Choice    ? QAccessible::RadioButton
               : kind == Kind::Command ? QAccessible::MenuItem
                                       : QAccessible::CheckBox;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        QMenu *m = menu();
        if (!m)
            return s;
        s.checkable = m_item->isCheckable();
        s.checked = m_item->isChecked();
        s.disabled = !m_item->isEnabled();
        s.focusable = true;
        s.focused = m->activeAction() == m_item;
        s.invisible = !m->isVisible() || !m_item->isVisible();
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this)
                                                 : nullptr;
    }
    QStringList actionNames() const override { return {toggleAction(), pressAction()}; }
    void doAction(const QString &name) override
    {
        if (isValid() && m_item->isEnabled() && actionNames().contains(name))
            m_item->trigger();
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPointer<QAction> m_item;
};

QAccessibleInterface *switchItemAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("SwitchItem"))
        return new SwitchItemAccessible(static_cast<QAction *>(object));
    return nullptr;
}

} // namespace

namespace
{
SwitchItem *newItem(const QString &text, QMenu *menu, Kind kind)
{
    static const bool accessible = (QAccessible::installFactory(switchItemAccessible), true);
    (void)accessible;
    return new SwitchItem(text, menu, kind);
}

QAction *addItem(QMenu *menu, QAction *lasting, bool choice)
{
    auto *item = newItem(lasting->text(), menu, choice ? Kind::Choice : Kind::Switch);
    item->setCheckable(lasting->isCheckable());
    item->setChecked(lasting->isChecked());
    item->setEnabled(lasting->isEnabled());
    item->setToolTip(lasting->toolTip());
    QObject::connect(item, &QAction::triggered, lasting, [lasting] { lasting->trigger(); });
    if (choice) { // drawn as the choices of one group
        auto *group = menu->findChild<QActionGroup *>(QString(), Qt::FindDirectChildrenOnly);
        (group ? group : new QActionGroup(menu))->addAction(item);
    }
    menu->addAction(item);
    return item;
}
} // namespace

QAction *addSwitchItem(QMenu *menu, QAction *lasting)
{
    return addItem(menu, lasting, false);
}

QAction *addChoiceItem(QMenu *menu, QAction *lasting)
{
    return addItem(menu, lasting, true);
}

QAction *addCommandItem(QMenu *menu, const QString &text, bool enabled, const QString &whyNot)
{
    QAction *item = newItem(text, menu, Kind::Command);
    item->setEnabled(enabled);
    item->setToolTip(enabled ? QString() : whyNot);
    menu->addAction(item);
    return item;
}

#include "menu_switches.moc"
