#include "app/app_setup.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void configureApplication()
{
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(11);
    QApplication::setFont(font);
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quorvex.Quorvex"));

    // The window speaks Chinese whatever the desktop's language, and so does
    // every text Qt supplies itself: message box buttons, the file dialog,
    // the text boxes' context menus.
    auto *qtTexts = new QTranslator(qApp);
    if (qtTexts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                      QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtTexts);
    else
        delete qtTexts;
}
