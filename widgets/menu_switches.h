#pragma once

#include <QString>

class QAction;
class QMenu;

// Adds to a context menu an item standing for a switch that outlives the menu
// (the receive box's "记录到文件", say): its text, tooltip, enabled and checked
// state copied, and choosing it triggers the switch.
//
// Context menus are made afresh each time they open, and Qt's accessibility
// keeps one interface per action, tied to the first menu it was shown in: a
// lasting action put straight into a second menu is read by a screen reader as
// an empty object. An item of the menu's own is read with its name and state
// in every menu, as a check box when the switch is one.
QAction *addSwitchItem(QMenu *menu, QAction *lasting);

// The same for one choice of an exclusive group (a line ending, say): read as
// a radio button, checked when it is the choice.
QAction *addChoiceItem(QMenu *menu, QAction *lasting);

// A command item whose reason for being greyed (whyNot, shown as its tooltip)
// is read by screen readers too, as Qt's own menu items are not.
QAction *addCommandItem(QMenu *menu, const QString &text, bool enabled, const QString &whyNot);
