// Saves a picture of the window as it looks after start-up, for the README and
// for checking that every caption fits its control. With --sample, a device on
// COM1 sends a few lines of text and then some bytes shown as hexadecimal.
//   window_shot OUT.png [--sample]
#include "app/app_setup.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "serial/device_port.h"

#include <QApplication>
#include <QCheckBox>
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
    DevicePort port;
    QtDialogs dialogs;
    MainForm window(&port, &dialogs);
    dialogs.setOwner(&window);
    window.formLoad();
    window.show();
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (argc > 2 && qstrcmp(argv[2], "--sample") == 0 && master >= 0) {
        // Code page 936 text, as a device would send it.
        const char text[] =
            "T=23.5 RH=41% \xd7\xb4\xcc\xac=OK\r\nT=23.6 RH=40% \xd7\xb4\xcc\xac=OK\r\n";
        QTimer::singleShot(200, [&] { (void)!::write(master, text, sizeof text - 1); });
        QTimer::singleShot(500, [&] {
            window.findChild<QCheckBox *>("ChkHexReceive")->setCheckState(Qt::Checked);
            const unsigned char reply[] = {0x01, 0x03, 0x14, 0x00, 0x17, 0x00, 0x29, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x5A, 0x3C};
            (void)!::write(master, reply, sizeof reply);
        });
    }
    QTimer::singleShot(1500, [&] {
        const bool ok = window.grab().save(out);
        QApplication::exit(ok ? 0 : 1);
    });
    return app.exec();
}
