#include "app/app_setup.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#ifdef __GLIBC__
#include <malloc.h>
#endif

void configureApplication()
{
#ifdef __GLIBC__
    // Small blocks that are freed go back to the allocator's ordinary lists at
    // once. Held in its fast lists instead, they were all sorted again at the
    // first larger request of every frame, a tenth of the cost of showing a
    // trickle of data.
    mallopt(M_MXFAST, 0);
#endif
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
