#pragma once

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <functional>

// Runs inspect on the popup menu that open() shows, while it is open, then
// closes it. False when no menu showed.
inline bool probeMenu(const std::function<void()> &open,
                      const std::function<void(QMenu *)> &inspect)
{
    bool seen = false;
    QTimer::singleShot(0, [&] {
        if (auto *m = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            inspect(m);
            seen = true;
            m->close();
        }
    });
    open();
    return seen;
}
