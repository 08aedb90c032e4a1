#include "app/app_setup.h"

#include <QApplication>
#include <QFont>

void configureApplication()
{
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(11);
    QApplication::setFont(font);
}
