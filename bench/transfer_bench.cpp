// File transfers: 1 MB (or the megabytes given) by XMODEM-1K and YMODEM from
// the window to lrzsz's rx and rb, and lrzsz to lrzsz over the same kind of
// line side by side; first over a line paced to 115200 Bd (11,520 bytes a
// second each way), then unpaced. Prints each one's time, its rate and, for
// the paced line, its share of the line rate; and how long the window's
// thread kept a 10 ms timer waiting during our transfers.
//
//   bench_transfer [mb] [paced|unpaced]
#include "app/send_box_menu.h"
#include "bench_support.h"
#include "support/lrzsz_peer.h"
#include "transfer/transfer_run.h"

#include <QEventLoop>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>
#include <random>

namespace
{
constexpr int kLineBytesPerSecond = 11520;

struct Figure {
    double seconds = 0;
    bool ok = false;
    double worstWaitMs = 0;
};

QString makeFile(const QTemporaryDir &dir, qint64 bytes)
{
    const QString path = dir.filePath("image.bin");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    std::mt19937 rng(7);
    QByteArray chunk(1 << 16, '\0');
    for (qint64 done = 0; done < bytes; done += chunk.size()) {
        for (char &c : chunk)
            c = char(rng());
        f.write(chunk.constData(), std::min<qint64>(chunk.size(), bytes - done));
    }
    return path;
}

// Ours: the window sends file by protocol to program (rx -c, rb) on its port.
Figure ours(TransferRun::Protocol protocol, const QString &program, const QStringList &args,
            const QString &file, int pace)
{
    QTemporaryDir theirs;
    BenchWindow bw;
    LrzszPeer peer(program, args, theirs.path(), bw.pty.masterFd(), pace);
    bw.dialogs.sendFilesAnswer = {file};
    TransferRun *run = bw.form->transferRun();
    bool ended = false, ok = false;
    QEventLoop loop;
    QObject::connect(run, &TransferRun::finished, &loop, [&](bool good) {
        ended = true;
        ok = good;
        loop.quit();
    });
    LateProbe probe;
    QElapsedTimer clock;
    clock.start();
    probe.start();
    emit bw.form->sendBoxMenu()->transferRequested(protocol, TransferRun::Direction::Send);
    if (run->running())
        loop.exec();
    Figure f;
    f.seconds = clock.elapsed() / 1000.0;
    probe.stop();
    f.ok = ended && ok && peer.wait(10000) == 0;
    f.worstWaitMs = probe.worstMs();
    return f;
}

// lrzsz at both ends of the same kind of line.
Figure theirs(const QString &sender, const QStringList &sendArgs, const QString &receiver,
              const QStringList &receiveArgs, const QString &folder, int pace)
{
    QTemporaryDir into;
    LrzszPeer rx(receiver, receiveArgs, into.path());
    QElapsedTimer clock;
    clock.start();
    LrzszPeer sx(sender, sendArgs, folder, rx.master(), pace);
    Figure f;
    f.ok = sx.wait(30 * 60 * 1000) == 0 && rx.wait(10000) == 0;
    f.seconds = clock.elapsed() / 1000.0;
    return f;
}

void report(const char *what, const Figure &f, qint64 bytes, bool paced, bool window)
{
    const double rate = bytes / f.seconds;
    std::printf("%-34s %7.2f s %9.0f B/s", what, f.seconds, rate);
    if (paced)
        std::printf("  %5.1f %% of the line", 100.0 * rate / kLineBytesPerSecond);
    if (window)
        std::printf("  window waited at most %.1f ms", f.worstWaitMs);
    std::printf("%s\n", f.ok ? "" : "  FAILED");
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const qint64 mb = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1;
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    const qint64 bytes = mb << 20;
    QTemporaryDir dir;
    const QString file = makeFile(dir, bytes);
    for (const bool paced : {true, false}) {
        if (!only.isEmpty() && only != (paced ? "paced" : "unpaced"))
            continue;
        const int pace = paced ? kLineBytesPerSecond : 0;
        std::printf("%s, %lld MB\n", paced ? "Paced to 115200 Bd" : "Unpaced",
                    static_cast<long long>(mb));
        report("XMODEM-1K, Quorvex to rx -c",
               ours(TransferRun::Protocol::XModem1k, "rx", {"-b", "-c", "got"}, file, pace), bytes,
               paced, true);
        report("XMODEM-1K, sx -k to rx -c",
               theirs("sx", {"-b", "-k", "image.bin"}, "rx", {"-b", "-c", "got"}, dir.path(), pace),
               bytes, paced, false);
        report("YMODEM, Quorvex to rb",
               ours(TransferRun::Protocol::YModem, "rb", {"-b"}, file, pace), bytes, paced, true);
        report("YMODEM, sb to rb",
               theirs("sb", {"-b", "image.bin"}, "rb", {"-b"}, dir.path(), pace), bytes, paced,
               false);
    }
    return 0;
}
