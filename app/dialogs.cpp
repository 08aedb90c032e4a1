#include "app/dialogs.h"

#include <QMessageBox>

void QtDialogs::message(const QString &text, Icon icon, Buttons buttons)
{
    QMessageBox box(icon == Icon::Exclamation ? QMessageBox::Warning : QMessageBox::Critical,
                    QStringLiteral("Tarvolin"), text,
                    buttons == Buttons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                 : QMessageBox::Ok,
                    m_owner);
    box.setObjectName(QStringLiteral("Tarvolin"));
    box.exec();
}
