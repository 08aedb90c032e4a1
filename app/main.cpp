#include "app/app_setup.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "app/quit_signals.h"
#include "serial/device_port.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

namespace
{
// QUORVEX_SNAPSHOT=DIR: once the window is up, write what it shows (window.png)
// and its icon (icon-16.png, icon-32.png, icon-48.png) into DIR and quit, so a
// test can see the program exactly as built or installed.
void snapshotAndQuit(QWidget *window, const QString &dir)
{
    QTimer::singleShot(300, window, [window, dir] {
        bool ok = QDir().mkpath(dir) && window->grab().save(dir + QStringLiteral("/window.png"));
        for (int size : {16, 32, 48})
            ok = ok && window->windowIcon()
                           .pixmap(size, size)
                           .save(dir + QStringLiteral("/icon-%1.png").arg(size));
        QCoreApplication::exit(ok ? 0 : 1);
    });
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();

    DevicePort port;
    QtDialogs dialogs;
    MainForm window(&port, &dialogs);
    dialogs.setOwner(&window);
    QObject::connect(&window, &MainForm::quitRequested, &app, &QCoreApplication::quit);
    // A signal to end quits as the quit button does, at once and without a question.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &window, &MainForm::quit);
    window.formLoad();
    window.show();
    // Lets the start-up benchmark see when the window is up.
    if (qEnvironmentVariableIsSet("QUORVEX_REPORT_SHOWN"))
        QTimer::singleShot(0, [] {
            std::puts("shown");
            std::fflush(stdout);
        });
    if (const QString dir = qEnvironmentVariable("QUORVEX_SNAPSHOT"); !dir.isEmpty())
        snapshotAndQuit(&window, dir);
    return app.exec();
}
