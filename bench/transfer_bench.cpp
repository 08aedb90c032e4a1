// File transfers: 1 MB (or the megabytes given) by XMODEM-1K and YMODEM from
// the window to lrzsz's rx and rb, and lrzsz to lrzsz side by side over the
// same kind of line: the receiver behind a relay on a pseudo-terminal's
// master, the sender (the window, or sx and sb) on its device end. First over
// a line paced to 115200 Bd (11,520 bytes a second each way), then unpaced.
// Each figure is the median of the runs asked for, taken in turn. Prints each
// one's time, its rate and, for the paced line, its share of the line rate;
// and how long the window's thread kept a 10 ms timer waiting during ours.
//
//   bench_transfer [mb] [paced|unpaced] [runs]
#include "app/send_box_menu.h"
#include "bench_support.h"
#include "serial/port_watcher.h"
#include "support/lrzsz_peer.h"
#include "support/pty_pair.h"
#include "transfer/transfer_run.h"

#include <QEventLoop>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

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
    // The window reads the port list once, a moment after its port opened
    // (10 to 20 ms on this thread): that is the opening's, not the transfer's.
    {
        QEventLoop settle;
        QTimer::singleShot(PortWatcher::kIdentifyAfterMs + 200, &settle, &QEventLoop::quit);
        settle.exec();
    }
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

// lrzsz at both ends of the same kind of line: as ours, the receiver's
// relay on a pseudo-terminal's master, and the sender on its device end
// (raw, as our port sets it) where the window would be.
Figure theirs(const QString &sender, const QStringList &sendArgs, const QString &receiver,
              const QStringList &receiveArgs, const QString &folder, int pace)
{
    QTemporaryDir into;
    PtyPair pty;
    const int device = ::open(pty.devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(device, &raw);
    cfmakeraw(&raw);
    tcsetattr(device, TCSANOW, &raw);
    LrzszPeer rx(receiver, receiveArgs, into.path(), pty.masterFd(), pace);
    QElapsedTimer clock;
    clock.start();
    pid_t sx = -1;
    {
        std::vector<QByteArray> argv8{sender.toLocal8Bit()};
        for (const QString &a : sendArgs)
            argv8.push_back(a.toLocal8Bit());
        std::vector<char *> argv;
        for (QByteArray &a : argv8)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, device, 0);
        posix_spawn_file_actions_adddup2(&actions, device, 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const QByteArray dir = folder.toLocal8Bit();
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
        posix_spawnp(&sx, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    int status = -1;
    waitpid(sx, &status, 0);
    Figure f;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && rx.wait(10000) == 0;
    f.seconds = clock.elapsed() / 1000.0;
    rx.stopRelay();
    ::close(device);
    return f;
}

// The median time; ok only if every run was; the worst wait of all runs.
Figure median(std::vector<Figure> runs)
{
    Figure m;
    m.ok = std::all_of(runs.begin(), runs.end(), [](const Figure &f) { return f.ok; });
    for (const Figure &f : runs)
        m.worstWaitMs = std::max(m.worstWaitMs, f.worstWaitMs);
    std::sort(runs.begin(), runs.end(),
              [](const Figure &a, const Figure &b) { return a.seconds < b.seconds; });
    m.seconds = runs[runs.size() / 2].seconds;
    return m;
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
    const int runs = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 1;
    const qint64 bytes = mb << 20;
    QTemporaryDir dir;
    const QString file = makeFile(dir, bytes);
    for (const bool paced : {true, false}) {
        if (!only.isEmpty() && only != (paced ? "paced" : "unpaced"))
            continue;
        const int pace = paced ? kLineBytesPerSecond : 0;
        std::printf("%s, %lld MB, median of %d runs taken in turn\n",
                    paced ? "Paced to 115200 Bd" : "Unpaced", static_cast<long long>(mb), runs);
        std::vector<Figure> f[4];
        for (int run = 0; run < runs; ++run) {
            f[0].push_back(
                ours(TransferRun::Protocol::XModem1k, "rx", {"-b", "-c", "got"}, file, pace));
            f[1].push_back(theirs("sx", {"-b", "-k", "image.bin"}, "rx", {"-b", "-c", "got"},
                                  dir.path(), pace));
            f[2].push_back(ours(TransferRun::Protocol::YModem, "rb", {"-b"}, file, pace));
            f[3].push_back(theirs("sb", {"-b", "image.bin"}, "rb", {"-b"}, dir.path(), pace));
        }
        report("XMODEM-1K, Quorvex to rx -c", median(f[0]), bytes, paced, true);
        report("XMODEM-1K, sx -k to rx -c", median(f[1]), bytes, paced, false);
        report("YMODEM, Quorvex to rb", median(f[2]), bytes, paced, true);
        report("YMODEM, sb to rb", median(f[3]), bytes, paced, false);
    }
    return 0;
}
