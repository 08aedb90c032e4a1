// The 绘图 window under a steady stream: series values at hz each (10 series
// at 1 kHz: 10 000 values a second) for the seconds given, fed as the port
// would, lines every 10 ms. Prints, each minute and at the end, the frames
// drawn a second, the process's share of one core (everything: reading the
// lines, keeping the values and drawing) and its resident memory over what
// it was before the window was made. Run it under Xvfb for the figures of a
// real display (QT_QPA_PLATFORM=xcb); it runs offscreen otherwise.
//
//   bench_plot [seconds, default 600] [series, default 10] [hz, default 1000]
#include "app/app_setup.h"
#include "app/plot_window.h"
#include "bench_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cmath>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 600;
    const int series = argc > 2 ? std::clamp(atoi(argv[2]), 1, 16) : 10;
    const int hz = argc > 3 ? std::max(1, atoi(argv[3])) : 1000;

    const qint64 baseKb = procStatusKb("VmRSS:");
    resetPeakRss();
    PlotWindow win(nullptr, QString());
    win.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    qint64 lines = 0;
    double cpu0 = cpuSeconds(), lastCpu = cpu0;
    qint64 lastFrames = 0, lastReport = 0;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    feed.setInterval(10);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const qint64 due = clock.elapsed() * hz / 1000;
        QByteArray bytes;
        for (; lines < due; ++lines) {
            for (int s = 0; s < series; ++s) {
                const double v = 100 * std::sin(lines * 0.001 * (s + 1)) + s;
                bytes += 'v' + QByteArray::number(s) + '=' + QByteArray::number(v, 'f', 3) +
                         (s + 1 < series ? ' ' : '\n');
            }
        }
        if (!bytes.isEmpty())
            win.take(bytes, {{bytes.size(), Port::nowUsecs() / 1000, Port::nowUsecs()}});
        const qint64 now = clock.elapsed();
        if (now - lastReport >= 60'000 || now >= seconds * 1000LL) {
            const double cpu = cpuSeconds();
            const qint64 frames = win.framesDrawn();
            const double span = (now - lastReport) / 1000.0;
            std::printf(
                "%5.0f s: %5.1f frames/s, %5.1f %% of a core, RSS +%.1f MB (peak +%.1f MB), "
                "%lld values\n",
                now / 1000.0, (frames - lastFrames) / span, 100 * (cpu - lastCpu) / span,
                (procStatusKb("VmRSS:") - baseKb) / 1024.0,
                (procStatusKb("VmHWM:") - baseKb) / 1024.0, static_cast<long long>(lines * series));
            std::fflush(stdout);
            lastReport = now;
            lastCpu = cpu;
            lastFrames = frames;
        }
        if (now >= seconds * 1000LL) {
            std::printf("overall: %.1f frames/s, %.1f %% of a core\n",
                        win.framesDrawn() / (now / 1000.0),
                        100 * (cpuSeconds() - cpu0) / (now / 1000.0));
            app.quit();
        }
    });
    feed.start();
    return app.exec();
}
