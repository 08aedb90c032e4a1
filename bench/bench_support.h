#pragma once

#include "app/app_setup.h"
#include "app/main_window.h"
#include "serial/device_port.h"
#include "support/pty_pair.h"
#include "support/recording_dialogs.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <vector>

// CPU seconds of this process, all its threads.
inline double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for ms (QTest::qWait would sleep between rounds).
inline void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// How late a 10 ms timer fires: how long the window's thread kept it waiting.
struct LateProbe {
    QTimer timer;
    QElapsedTimer clock;
    qint64 expected = 0;
    std::vector<double> lateMs;

    LateProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            lateMs.push_back(std::max<qint64>(0, now - expected) / 1e6);
            expected = now + 10'000'000;
        });
    }
    void start()
    {
        clock.start();
        expected = 10'000'000;
        timer.start();
    }
    void stop() { timer.stop(); }
    double worstMs() const
    {
        return lateMs.empty() ? 0 : *std::max_element(lateMs.begin(), lateMs.end());
    }
};

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

// A figure from /proc/self/status in kB, such as "VmRSS:" or "VmHWM:".
inline qint64 procStatusKb(const char *key)
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    return 0;
}

// Starts a new peak for VmHWM.
inline void resetPeakRss()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The window after start-up with a port on the device, COM1 on a
// pseudo-terminal whose other end the benchmark plays.
struct BenchWindow {
    PtyPair pty;
    DevicePort port;
    RecordingDialogs dialogs;
    std::unique_ptr<MainForm> form;

    BenchWindow()
    {
        qputenv("QUORVEX_COM1", pty.devicePath().toLocal8Bit());
        form = std::make_unique<MainForm>(&port, &dialogs);
        form->formLoad();
        form->show();
    }
    template <typename T = QWidget> T *w(const char *name)
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }
};

// A megabyte of what a board streams for hours: bytes of every value for hex
// display, or lines of readings with Chinese in them (code page 936).
inline QByteArray floodPattern(bool binary)
{
    QByteArray pat;
    if (binary)
        for (int i = 0; i < (1 << 20); ++i)
            pat += char((i * 131 + i / 256) & 0xff);
    else
        while (pat.size() < (1 << 20))
            pat += "temperature=23.5 humidity=41 \xd7\xb4\xcc\xac=OK seq=0001234\r\n";
    pat.truncate(1 << 20);
    return pat;
}

// The long-history benchmarks: run(hex, MB) for hex display, then for text,
// with the sizes given on the command line (4096 and 2048 MB by default).
inline int historyBenchMain(int argc, char *argv[], void (*run)(bool hex, qint64 mb))
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const qint64 hexMb = argc > 1 ? atoll(argv[1]) : 4096;
    const qint64 textMb = argc > 2 ? atoll(argv[2]) : 2048;
    run(true, hexMb);
    run(false, textMb);
    return 0;
}
