#include "app/app_setup.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "serial/qt_serial_control.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();

    QtSerialControl comm;
    QtDialogs dialogs;
    MainForm window(&comm, &dialogs);
    dialogs.setOwner(&window);
    QObject::connect(&window, &MainForm::quitRequested, &app, &QCoreApplication::quit);
    window.formLoad();
    window.show();
    // Lets the start-up benchmark see when the window is up.
    if (qEnvironmentVariableIsSet("QUORVEX_REPORT_SHOWN"))
        QTimer::singleShot(0, [] {
            std::puts("shown");
            std::fflush(stdout);
        });
    return app.exec();
}
