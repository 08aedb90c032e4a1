#pragma once

#include <QAbstractItemView>
#include <QComboBox>
#include <QTest>

// Chooses item text from the selector's list as a user does: the list opens,
// the item is picked and Enter takes it. False when the list lacks the item.
inline bool chooseFromList(QComboBox *cbo, const QString &text)
{
    const int i = cbo->findText(text);
    if (i < 0)
        return false;
    cbo->showPopup();
    cbo->view()->setCurrentIndex(cbo->model()->index(i, cbo->modelColumn()));
    QTest::keyClick(cbo->view(), Qt::Key_Return);
    return !cbo->view()->isVisible() && cbo->currentText() == text;
}
