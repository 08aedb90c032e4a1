// Device-test scripts: how fast an answer rule answers a prompt (headless and
// in the window while text streams), what matching costs under a flood, how
// soon quorvex-run puts its first byte on the wire, and how soon 停止 ends a
// busy script. Every figure is printed.
//
//   bench_script [latency|window|flood|start|stop|all] [count]
#include "bench_support.h"

#include "app/script_window.h"
#include "script/patterns.h"
#include "script/script_port.h"
#include "script/script_run.h"
#include "serial/port_lister.h"
#include "serial/port_session.h"
#include "transmit/send_feed.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The device: the master end of a raw pseudo-terminal (the slave stays open
// here, so the device lives while the program opens and closes it).
struct Device {
    int master = -1, slave = -1;
    QString path;
    Device()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        path = QString::fromLocal8Bit(name);
    }
    ~Device()
    {
        ::close(master);
        ::close(slave);
    }
    void write(const char *p, size_t n) const
    {
        while (n > 0) {
            const ssize_t w = ::write(master, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
            } else {
                pollfd f{master, POLLOUT, 0};
                ::poll(&f, 1, 100);
            }
        }
    }
    // Waits for byte c (others are skipped); false after ms without it.
    bool waitFor(char c, int ms) const
    {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        char buf[256];
        while (Clock::now() < until) {
            pollfd f{master, POLLIN, 0};
            if (::poll(&f, 1, 1) <= 0)
                continue;
            const ssize_t n = ::read(master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == c)
                    return true;
        }
        return false;
    }
};

QString runner()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../quorvex-run");
}

QString writeScript(QTemporaryDir &dir, const QByteArray &code)
{
    const QString path = dir.filePath(QStringLiteral("bench.lua"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(code);
    return path;
}

void report(const char *what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    std::printf("%s over %zu: median %.3f ms, p99 %.3f ms, worst %.3f ms\n", what, ms.size(),
                at(0.5), at(0.99), ms.back());
    std::fflush(stdout);
}

// Prompts at random moments, each answered by the rule; from the write of the
// prompt's last byte to the read of the answer.
std::vector<double> prompts(const Device &d, int count)
{
    std::vector<double> ms;
    QRandomGenerator rng(32);
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng.bounded(10000)));
        d.write("PROMPT>", 7);
        const auto t0 = Clock::now();
        if (!d.waitFor('A', 2000)) {
            std::fprintf(stderr, "prompt %d was not answered\n", i);
            break;
        }
        ms.push_back(msBetween(t0, Clock::now()));
    }
    return ms;
}

const QByteArray kRule = "on('PROMPT>', function() sendraw('A') end)\nsendraw('R')\nsleep(1e9)\n";

void latencyHeadless(int count)
{
    Device d;
    QTemporaryDir dir;
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(runner(), {"--port", d.path, writeScript(dir, kRule)});
    if (!d.waitFor('R', 5000)) {
        std::fprintf(stderr, "quorvex-run did not start: %s\n",
                     p.readAllStandardError().constData());
        return;
    }
    report("answer latency, headless", prompts(d, count));
    p.kill();
    p.waitForFinished();
}

void latencyWindow(int count)
{
    Device d;
    qputenv("QUORVEX_COM1", d.path.toLocal8Bit());
    DevicePort port;
    RecordingDialogs dialogs;
    MainForm form(&port, &dialogs);
    form.formLoad();
    form.show();
    QTemporaryDir dir;
    // 115200 Bd of text: 11.5 bytes a millisecond, written every millisecond.
    std::atomic<bool> stop{false};
    std::atomic<qint64> streamed{0};
    std::vector<double> ms;
    std::thread device([&] {
        if (!d.waitFor('R', 5000)) {
            std::fprintf(stderr, "the script did not start\n");
            stop = true;
            return;
        }
        std::thread stream([&] {
            const QByteArray line = "T=23.5 RH=41% P=1013.2 hPa\r\n";
            qint64 due = 0;
            const auto start = Clock::now();
            while (!stop) {
                const double elapsed = msBetween(start, Clock::now());
                const qint64 owed = qint64(elapsed * 11.52) - due;
                for (qint64 k = 0; k < owed; ++k)
                    d.write(line.constData() + (due + k) % line.size(), 1);
                due += std::max<qint64>(0, owed);
                streamed = due;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        ms = prompts(d, count);
        stop = true;
        stream.join();
    });
    form.scriptWindow()->runScript(writeScript(dir, kRule));
    while (!stop)
        runFor(50);
    device.join();
    std::printf("(%lld bytes of text streamed meanwhile)\n", streamed.load());
    report("answer latency, in the window while 115200 Bd of text streams", ms);
    form.scriptWindow()->shutdown();
}

void flood(int megabytes)
{
    // The matcher alone: the same patterns over the same text, in reads of 4 KB.
    std::vector<Pattern> patterns;
    for (const char *t : {"login:", "Password:", "ERROR", "FATAL", "panic", "Kernel", "OK\r\n",
                          "READY", "# ", "END-OF-FLOOD"})
        patterns.push_back(Pattern::fromText(QString::fromLatin1(t)));
    QString why;
    patterns.push_back(*Pattern::fromRegex(QStringLiteral("ERR(\\d{4})X"), &why));
    patterns.push_back(*Pattern::fromRegex(QStringLiteral("FAULT:\\s+\\w+!"), &why));
    QByteArray lines;
    for (int i = 0; lines.size() < 64 * 1024; ++i)
        lines += QByteArray("T=23.5 RH=41% P=1013.2 hPa seq ") + QByteArray::number(i) + "\r\n";
    const QByteArray text = lines.left(4096);
    // Reads of 4 KB (a pseudo-terminal's) and of 64 KB (a fast adapter under a flood).
    for (const QByteArray &piece : {text, lines.left(64 * 1024)}) {
        MatchStream stream;
        PatternSearch search(patterns, 0);
        const qint64 total = qint64(megabytes) << 20;
        const auto t0 = Clock::now();
        for (qint64 fed = 0; fed < total; fed += piece.size()) {
            stream.append(piece);
            if (search.find(stream)) {
                std::fprintf(stderr, "matched in the flood\n");
                return;
            }
            stream.release(search.from());
        }
        const double s = msBetween(t0, Clock::now()) / 1000;
        std::printf("matching alone, 10 texts and 2 regular expressions, reads of %lld KB: "
                    "%d MB in %.2f s, %.0f MB/s\n",
                    qint64(piece.size() / 1024), megabytes, s, megabytes / s);
    }
    if (qEnvironmentVariableIsSet("QUORVEX_BENCH_MATCH_ONLY"))
        return;
    // Headless, end to end: the device floods a pseudo-terminal while expect waits.
    Device d;
    QTemporaryDir dir;
    const QByteArray code =
        "sendraw('R')\n"
        "local i = expect({'login:', 'Password:', 'ERROR', 'FATAL', 'panic', 'Kernel', 'OK\\r\\n',"
        " 'READY', '# ', 'END-OF-FLOOD', regex('ERR(\\\\d{4})X'), regex('FAULT:\\\\s+\\\\w+!')},"
        " 600000)\n"
        "sendraw(i == 10 and 'D' or 'F')\nsleep(500)\n";
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(runner(), {"--port", d.path, writeScript(dir, code)});
    if (!d.waitFor('R', 5000)) {
        std::fprintf(stderr, "quorvex-run did not start\n");
        return;
    }
    std::atomic<bool> done{false};
    std::atomic<long> peakKb{0};
    std::thread watch([&, pid = p.processId()] {
        while (!done) {
            QFile status(QStringLiteral("/proc/%1/status").arg(pid));
            if (status.open(QIODevice::ReadOnly))
                for (const QByteArray &l : status.readAll().split('\n'))
                    if (l.startsWith("VmRSS:"))
                        peakKb = std::max(peakKb.load(), l.mid(6).trimmed().split(' ')[0].toLong());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto t0 = Clock::now();
    const qint64 total = qint64(megabytes) << 20;
    QByteArray big;
    while (big.size() < (1 << 20))
        big += text;
    for (qint64 sent = 0; sent < total; sent += big.size())
        d.write(big.constData(), size_t(big.size()));
    d.write("END-OF-FLOOD", 12);
    const bool answered = d.waitFor('D', 60000);
    const double s = msBetween(t0, Clock::now()) / 1000;
    done = true;
    watch.join();
    if (!answered)
        std::fprintf(stderr, "the end of the flood was not matched\n");
    std::printf("headless flood through a pseudo-terminal: %d MB in %.2f s, %.0f MB/s, "
                "quorvex-run's resident memory at most %.1f MB\n",
                megabytes, s, megabytes / s, peakKb / 1024.0);
    p.waitForFinished(5000);
}

void startToFirstByte(int runs)
{
    Device d;
    QTemporaryDir dir;
    const QString script = writeScript(dir, "sendraw('x')\n");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        const auto t0 = Clock::now();
        p.start(runner(), {"--port", d.path, script});
        if (!d.waitFor('x', 5000)) {
            std::fprintf(stderr, "no byte from quorvex-run\n");
            return;
        }
        ms.push_back(msBetween(t0, Clock::now()));
        p.waitForFinished(5000);
    }
    report("quorvex-run from start to the first byte on the wire", ms);
}

void stopLatency(int runs)
{
    DevicePort port;
    QtPortLister lister;
    PortSession session(&port, &lister);
    SendFeed send(&port);
    ScriptPort scriptPort(&port, &session, &send);
    ScriptRun run(&scriptPort);
    QTemporaryDir dir;
    const QString script = writeScript(dir, "while true do local t = {} end\n");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        bool ended = false;
        auto c = QObject::connect(&run, &ScriptRun::finished, [&] { ended = true; });
        run.start(script);
        runFor(100);
        const auto t0 = Clock::now();
        run.stop();
        while (!ended)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        ms.push_back(msBetween(t0, Clock::now()));
        QObject::disconnect(c);
    }
    report("停止 to the end of an endless loop", ms);
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const QByteArray what = argc > 1 ? QByteArray(argv[1]) : QByteArray("all");
    const int n = argc > 2 ? std::atoi(argv[2]) : 0;
    const bool all = what == "all";
    if (all || what == "latency")
        latencyHeadless(n ? n : 1000);
    if (all || what == "window")
        latencyWindow(n ? n : 1000);
    if (all || what == "flood")
        flood(n ? n : 100);
    if (all || what == "start")
        startToFirstByte(n ? n : 20);
    if (all || what == "stop")
        stopLatency(n ? n : 20);
    return 0;
}
