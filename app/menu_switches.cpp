#include "app/menu_switches.h"

#include <QAction>
#include <QMenu>

QAction *addSwitchItem(QMenu *menu, QAction *lasting)
{
    auto *item = new QAction(lasting->text(), menu);
    item->setCheckable(lasting->isCheckable());
    item->setChecked(lasting->isChecked());
    item->setEnabled(lasting->isEnabled());
    item->setToolTip(lasting->toolTip());
    QObject::connect(item, &QAction::triggered, lasting, [lasting] { lasting->trigger(); });
    menu->addAction(item);
    return item;
}
