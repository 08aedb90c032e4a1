// A device that goes away and comes back: what waiting for it costs, and how
// soon the window has it open again. The device is a pseudo-terminal reached
// through a link that disappears and returns, as /dev/serial/by-id links do.
//   port_return_bench [seconds of waiting, default 10] [returns, default 20]
#include "app/app_setup.h"
#include "bench_support.h"
#include "serial/port_lister.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();
    const int waitSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 20;

    // The real port list, as the program lists it.
    {
        QtPortLister lister;
        QElapsedTimer t;
        t.start();
        const int found = int(lister.ports().size());
        const double first = t.nsecsElapsed() / 1e6;
        t.restart();
        for (int i = 0; i < 100; ++i)
            lister.ports();
        std::printf("port list: %d devices, first listing %.2f ms, unchanged /dev %.4f ms\n", found,
                    first, t.nsecsElapsed() / 1e6 / 100);
    }

    QTemporaryDir dir;
    const QString link = dir.filePath("ttyUSB0");
    auto pty = std::make_unique<PtyPair>();
    QFile::link(pty->devicePath(), link);
    qputenv("QUORVEX_COM1", link.toLocal8Bit());
    DevicePort port;
    RecordingDialogs dialogs;
    MainForm form(&port, &dialogs);
    form.formLoad();
    form.show();
    runFor(200);

    // For comparison: the same window, port open, nothing arriving.
    double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(waitSeconds * 1000);
    const double idleCpu = (cpuSeconds() - cpu0) / (wall.nsecsElapsed() / 1e9) * 100;
    std::printf("idle %d s with the port open: %.3f %% of one core\n", waitSeconds, idleCpu);

    // Waiting: the device is gone for a while.
    pty.reset();
    QFile::remove(link);
    while (port.isOpen())
        runFor(5);
    runFor(100);
    cpu0 = cpuSeconds();
    wall.restart();
    runFor(waitSeconds * 1000);
    const double waitingCpu = (cpuSeconds() - cpu0) / (wall.nsecsElapsed() / 1e9) * 100;
    std::printf("waiting %d s for the device: %.3f %% of one core\n", waitSeconds, waitingCpu);

    // Returns: from the link's return to the port open in the window.
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        pty = std::make_unique<PtyPair>();
        QElapsedTimer back;
        QFile::link(pty->devicePath(), link);
        back.start();
        while (!port.isOpen() && back.elapsed() < 5000)
            runFor(1);
        ms.push_back(port.isOpen() ? back.nsecsElapsed() / 1e6 : 1e9);
        pty.reset();
        QFile::remove(link);
        while (port.isOpen())
            runFor(5);
        runFor(int(37 * (i % 7))); // returns at different moments of the watch
    }
    std::sort(ms.begin(), ms.end());
    const int missed = int(std::count(ms.begin(), ms.end(), 1e9));
    std::printf("open again after the return (%d returns): median %.0f ms, worst %.0f ms%s\n",
                rounds, ms[ms.size() / 2], missed ? -1.0 : ms.back(),
                missed ? " (some never reopened)\n" : "\n");
    return missed ? 1 : 0;
}
