// Saves a picture of the window as it looks after start-up, for the README and
// for checking that every caption fits its control.
//   window_shot OUT.png
#include "app/app_setup.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "serial/qt_serial_control.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <pty.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
        ::close(slave);
        qputenv("QUORVEX_COM1", name);
    }
    QApplication app(argc, argv);
    configureApplication();
    QtSerialControl comm;
    QtDialogs dialogs;
    MainForm window(&comm, &dialogs);
    dialogs.setOwner(&window);
    window.formLoad();
    window.show();
    const QString out = QString::fromLocal8Bit(argv[1]);
    QTimer::singleShot(1500, [&] {
        const bool ok = window.grab().save(out);
        QApplication::exit(ok ? 0 : 1);
    });
    return app.exec();
}
