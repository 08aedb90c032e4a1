// Sending a large file through the window to a pseudo-terminal: time, and the
// program's peak memory against the file's size.
//   file_send_bench [MB, default 100]
#include "app/app_setup.h"
#include "bench_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const qint64 size = (argc > 1 ? atoll(argv[1]) : 100) * 1'000'000;

    QTemporaryDir dir;
    const QString path = dir.filePath("big.txt");
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        QByteArray line("0123456789 \xd6\xd0\xce\xc4 ABCDEFGHIJKLMNOPQRSTUVWXYZ "
                        "abcdefghijklmnopqrstuvwxyz\r\n");
        QByteArray block;
        while (block.size() < (1 << 20))
            block += line;
        for (qint64 written = 0; written < size;) {
            const qint64 n = std::min<qint64>(block.size(), size - written);
            f.write(block.constData(), n);
            written += n;
        }
    }

    BenchWindow win;
    PtyPair &pty = win.pty;
    QApplication::processEvents();

    std::atomic<qint64> received{0};
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            const QByteArray got = pty.read(1 << 20, 20);
            received += got.size();
        }
    });

    const qint64 baseKb = procStatusKb("VmRSS:");
    resetPeakRss();

    QElapsedTimer t;
    t.start();
    win.dialogs.fileAnswer = path;
    win.w<QPushButton>("CmdSelectFile")->click();
    const qint64 readMs = t.elapsed();
    win.w<QPushButton>("CmdSendFile")->click();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (received >= size || t.elapsed() > 300000)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    const double seconds = t.nsecsElapsed() / 1e9;
    stop = true;
    device.join();
    const qint64 peakKb = procStatusKb("VmHWM:") - baseKb;
    std::printf("file of %.0f MB: read in %lld ms, all %s at the device after %.2f s (%.1f MB/s); "
                "peak memory growth %.2f times the file's size\n",
                size / 1e6, readMs, received == size ? "bytes" : "!! NOT all bytes", seconds,
                size / 1e6 / seconds, peakKb * 1024.0 / size);
    return received == size ? 0 : 1;
}
