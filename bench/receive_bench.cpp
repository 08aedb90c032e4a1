// Receive path benchmark: data goes through the real path (pseudo-terminal,
// serial control on its I/O thread, communication event, display) in hex and in
// text display, unpaced and paced at 921600 baud. A child process plays the
// device, so the figures are the program's own.
//
//   receive_bench [MB for the floods, default 50]
//                 [paced | record | invisible | sent | txrx | plot [runs, default 3]]
// "record" runs the floods with 记录到文件 ticked and checks the record's size;
// "invisible" only the floods of CR and of NUL; "sent" the floods with a send
// every 10 ms, with 显示发送数据 off and on; "txrx" the window sending and
// receiving at 921600 baud both ways, with 记录收发 off and on; "plot" the
// floods with the 绘图 window closed and open, in turns, runs times each.
#include "app/app_setup.h"
#include "app/plot_window.h"
#include "bench_support.h"
#include "receive/receive_display.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

// CPU seconds of each thread of this process, by name.
QString threadCpu()
{
    QString out;
    const long tick = sysconf(_SC_CLK_TCK);
    for (const QString &tid :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f("/proc/self/task/" + tid + "/stat");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray st = f.readAll();
        const qsizetype close = st.lastIndexOf(')');
        const QByteArray name = st.mid(st.indexOf('(') + 1, close - st.indexOf('(') - 1);
        const QList<QByteArray> fields = st.mid(close + 2).split(' ');
        const double cpu = (fields[11].toLongLong() + fields[12].toLongLong()) / double(tick);
        if (cpu > 0.005)
            out += QStringLiteral(" %1=%2s").arg(QString::fromLatin1(name)).arg(cpu, 0, 'f', 2);
    }
    return out;
}

enum class Data { Binary, TextLines, TextNoBreaks, CarriageReturns, Nuls };

QByteArray pattern(Data kind)
{
    QByteArray out;
    QRandomGenerator rng(42);
    while (out.size() < 1 << 20) {
        switch (kind) {
        case Data::Binary:
            out += char(rng.bounded(256));
            break;
        case Data::TextLines:
            out += "temperature=23.5 humidity=41 \xd7\xb4\xcc\xac=OK seq=0001234\r\n";
            break;
        case Data::TextNoBreaks:
            out += "ABCDEFGHIJ0123456789 \xd6\xd0\xce\xc4 ";
            break;
        case Data::CarriageReturns: // a line that only ever returns to its start
            out += '\r';
            break;
        case Data::Nuls: // a wrong baud rate or a line held in break
            out += '\0';
            break;
        }
    }
    return out;
}

// The device: writes total bytes of the pattern, as fast as the line takes them
// or paced at bytesPerSecond, and reads and drops what the window sends.
pid_t startDevice(PtyPair &pty, const QByteArray &pat, qint64 total, double bytesPerSecond)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    qint64 sent = 0;
    while (sent < total) {
        qint64 n = std::min<qint64>(total - sent, 4096);
        if (bytesPerSecond > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double elapsed = (now.tv_sec - t0.tv_sec) + (now.tv_nsec - t0.tv_nsec) / 1e9;
            const qint64 allowed = qint64(elapsed * bytesPerSecond) - sent;
            if (allowed <= 0) {
                pty.read(1 << 16, 2);
                continue;
            }
            n = std::min(n, allowed);
        }
        const qint64 off = sent % pat.size();
        n = std::min<qint64>(n, pat.size() - off);
        if (!pty.write(pat.mid(off, n)))
            _exit(1);
        sent += n;
        pty.read(1 << 16, 0);
    }
    _exit(0);
}

struct Result {
    double seconds = 0, cpu = 0, mb = 0;
    std::vector<double> lateMs;
    qint64 peakKb = 0, displayBytes = 0, sentBytes = 0, logBytes = 0;
};

// What runs beside a flood.
struct Extras {
    bool record = false;   // 记录到文件
    bool txrx = false;     // 记录收发
    bool showSent = false; // 显示发送数据
    bool plot = false;     // the 绘图 window open
    int sendEveryMs = 0;   // a periodic send of sendText, 0 for none
    QString sendText;
    bool hexSend = false;
};

Extras recording()
{
    Extras x;
    x.record = true;
    return x;
}

Result flood(Data kind, bool hex, qint64 total, double bytesPerSecond, const Extras &x = {})
{
    BenchWindow win;
    QTemporaryDir recordDir;
    win.w<QLineEdit>("TxtSavePath")->setText(recordDir.path());
    if (x.record)
        win.w<ReceiveDisplay>("TxtReceive")->recordAction()->trigger();
    if (x.txrx)
        win.w<ReceiveDisplay>("TxtReceive")->txrxAction()->trigger();
    if (x.showSent)
        win.w<ReceiveDisplay>("TxtReceive")->showSentAction()->trigger();
    if (x.plot)
        emit win.w<ReceiveDisplay>("TxtReceive")->plotRequested();
    if (x.sendEveryMs > 0) {
        win.w<QCheckBox>("ChkHexSend")->setCheckState(x.hexSend ? Qt::Checked : Qt::Unchecked);
        win.w<QPlainTextEdit>("TxtSend")->setPlainText(x.sendText);
        win.w<QLineEdit>("TxtAutoSendTime")->setText(QString::number(x.sendEveryMs));
    }
    PtyPair &pty = win.pty;
    win.w<QCheckBox>("ChkHexReceive")->setCheckState(hex ? Qt::Checked : Qt::Unchecked);
    auto *rx = win.w<QLineEdit>("TxtRXCount");
    auto *display = win.w<ReceiveDisplay>("TxtReceive");
    QApplication::processEvents();

    Result r;
    const qint64 baseKb = procStatusKb("VmRSS:");
    resetPeakRss();
    QEventLoop loop;
    QElapsedTimer clock;
    // The event loop's answer: how late a 10 ms timer fires during the flood.
    LateProbe probe;
    QTimer done;
    done.setInterval(5);
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (rx->text() == QStringLiteral("RX:%1").arg(total))
            loop.quit();
    });
    const double cpu0 = cpuSeconds();
    clock.start();
    const pid_t device = startDevice(pty, pattern(kind), total, bytesPerSecond);
    if (x.sendEveryMs > 0)
        win.w<QCheckBox>("ChkAutoSend")->setCheckState(Qt::Checked);
    if (bytesPerSecond <= 0)
        probe.start(); // the paced runs measure CPU only; the probe would add its own wake-ups
    done.setInterval(bytesPerSecond > 0 ? 100 : 5);
    done.start();
    QTimer::singleShot(600'000, &loop, &QEventLoop::quit);
    loop.exec();
    r.seconds = clock.nsecsElapsed() / 1e9;
    r.lateMs = std::move(probe.lateMs);
    r.cpu = cpuSeconds() - cpu0;
    r.mb = total / 1e6;
    r.peakKb = procStatusKb("VmHWM:") - baseKb;
    r.displayBytes = display->memoryBytes();
    if (x.sendEveryMs > 0)
        win.w<QCheckBox>("ChkAutoSend")->setCheckState(Qt::Unchecked);
    r.sentBytes = win.w<QLineEdit>("TxtTXCount")->text().mid(3).toLongLong();
    if (x.plot && win.form->plotWindow()) {
        PlotFeed *feed = win.form->plotWindow()->feed();
        QElapsedTimer wait;
        wait.start();
        while (!feed->idle() && wait.elapsed() < 60'000)
            QThread::msleep(5);
        qint64 values = 0;
        feed->read([&](const plot::SeriesStore &st) {
            for (int i = 0; i < st.size(); ++i)
                values += st.count(i);
        });
        std::printf("  plot: %lld values kept, %lld lines not read (it fell behind), read %.1f s "
                    "after the flood\n",
                    static_cast<long long>(values), static_cast<long long>(feed->skippedLines()),
                    wait.elapsed() / 1000.0);
    }
    if (qEnvironmentVariableIsSet("QUORVEX_BENCH_THREADS"))
        std::printf("  threads:%s\n", qPrintable(threadCpu()));
    int status = 0;
    waitpid(device, &status, 0);
    if (rx->text() != QStringLiteral("RX:%1").arg(total))
        std::printf("  !! only %s of %lld bytes arrived\n", qPrintable(rx->text()), total);
    if (x.txrx) {
        win.w<ReceiveDisplay>("TxtReceive")->txrxAction()->trigger(); // closes the log
        const QFileInfoList files = QDir(recordDir.path()).entryInfoList({"txrx-*.log"});
        r.logBytes = files.size() == 1 ? files[0].size() : 0;
    }
    if (x.record) {
        win.w<ReceiveDisplay>("TxtReceive")->recordAction()->trigger(); // closes the record
        const QFileInfoList files = QDir(recordDir.path()).entryInfoList({"rx-*.log"});
        if (files.size() != 1 || files[0].size() != total)
            std::printf("  !! the record holds %lld of %lld bytes\n",
                        files.isEmpty() ? 0LL : qint64(files[0].size()), total);
    }
    return r;
}

void report(const char *name, const Result &r, bool latency)
{
    std::printf("%-34s %7.2f MB/s  %6.3f CPU s/MB", name, r.mb / r.seconds, r.cpu / r.mb);
    if (latency)
        std::printf("  loop late ms: median %.1f p95 %.1f max %.1f", percentile(r.lateMs, 0.5),
                    percentile(r.lateMs, 0.95), percentile(r.lateMs, 1.0));
    std::printf("\n");
}

// Time of one 1 KB append when the display already holds the given amount.
void appendTimes(bool hex)
{
    ReceiveDisplay box;
    box.resize(383, 317);
    box.show();
    const QByteArray bin = pattern(Data::Binary);
    const QString text = QString::fromLatin1(pattern(Data::TextLines)).left(1 << 20);
    qint64 held = 0;
    std::printf("%s append of 1 KB:", hex ? "hex " : "text");
    for (qint64 mark : {qint64(1) << 20, qint64(10) << 20, qint64(100) << 20}) {
        while (held < mark) {
            if (hex)
                box.appendReceivedHex(bin);
            else
                box.appendReceivedText(text);
            held += 1 << 20;
        }
        QApplication::processEvents();
        std::vector<double> us;
        for (int i = 0; i < 2000; ++i) {
            QElapsedTimer t;
            t.start();
            if (hex)
                box.appendReceivedHex(QByteArrayView(bin).sliced((i * 1024) % (1 << 19), 1024));
            else
                box.appendReceivedText(QStringView(text).mid((i * 1024) % (1 << 19), 1024));
            us.push_back(t.nsecsElapsed() / 1e3);
            if (i % 100 == 0)
                QApplication::processEvents(); // lets the throttled repaint run now and then
        }
        held += 2000 * 1024;
        std::printf("  %3lld MB held: median %.1f us, p99 %.1f us", mark >> 20, percentile(us, 0.5),
                    percentile(us, 0.99));
    }
    std::printf("\n");
}

// Characters drawn as nothing: rows must stay as short as any others, so these
// floods go at the speed of ordinary text in the same memory.
void invisibleFloods(qint64 total)
{
    for (const auto &[kind, name] : {std::pair{Data::CarriageReturns, "text display, only CR"},
                                     std::pair{Data::Nuls, "text display, only NUL"}}) {
        const Result r = flood(kind, false, total, 0);
        report(name, r, true);
        std::printf("%-34s peak RSS growth %.2f bytes per received byte\n", "",
                    r.peakKb * 1024.0 / total);
    }
}

// Floods with a send every 10 ms, the sends shown in the box or not.
void floodsWithSends(qint64 total)
{
    for (bool hexMode : {true, false}) {
        double rate[2] = {};
        for (bool shown : {false, true}) {
            Extras x;
            x.showSent = shown;
            x.sendEveryMs = 10;
            x.hexSend = hexMode;
            x.sendText =
                hexMode ? QStringLiteral("01 03 00 00 00 0A C5 CD") : QStringLiteral("READ? T RH");
            const Result r = flood(hexMode ? Data::Binary : Data::TextLines, hexMode, total, 0, x);
            rate[shown] = r.mb / r.seconds;
            const QString name = QStringLiteral("%1 display, sends %2")
                                     .arg(hexMode ? "hex" : "text", shown ? "shown" : "not shown");
            report(qPrintable(name), r, true);
            std::printf("%-34s %lld bytes sent in %lld sends\n", "", r.sentBytes,
                        r.sentBytes / (hexMode ? 8 : 10));
        }
        std::printf("%-34s %+.1f %% with the sends shown\n",
                    hexMode ? "hex display" : "text display",
                    100.0 * (rate[1] - rate[0]) / rate[0]);
    }
}

// The floods with the 绘图 window closed and open: random bytes in hex
// display (no lines, no numbers) and numeric lines in text display. Closed
// and open take turns, runs times each; the medians are compared.
void floodsWithPlot(qint64 total, int runs)
{
    for (bool hexMode : {true, false}) {
        std::vector<double> rates[2];
        for (int run = 0; run < runs; ++run) {
            for (bool open : {false, true}) {
                Extras x;
                x.plot = open;
                const Result r =
                    flood(hexMode ? Data::Binary : Data::TextLines, hexMode, total, 0, x);
                rates[open].push_back(r.mb / r.seconds);
                const QString name =
                    QStringLiteral("%1, plot %2")
                        .arg(hexMode ? "hex display, no numbers" : "text display, numeric lines",
                             open ? "open" : "closed");
                report(qPrintable(name), r, true);
            }
        }
        double median[2] = {};
        for (int open : {0, 1}) {
            std::sort(rates[open].begin(), rates[open].end());
            median[open] = rates[open][rates[open].size() / 2];
        }
        std::printf("%-34s %+.1f %% with the plot open (medians of %d: %.1f and %.1f MB/s)\n",
                    hexMode ? "hex display" : "text display",
                    100.0 * (median[1] - median[0]) / median[0], runs, median[0], median[1]);
    }
}

// Both ways at 921600 baud (92 160 bytes a second each way: 922 bytes sent
// every 10 ms), the two-way log off and on.
void bothWays(int seconds)
{
    const double baud = 921600 / 10.0;
    double share[2] = {};
    for (bool logging : {false, true}) {
        Extras x;
        x.txrx = logging;
        x.sendEveryMs = 10;
        x.sendText = QString(922, u'x');
        const Result r = flood(Data::TextLines, false, qint64(baud * seconds), baud, x);
        share[logging] = 100.0 * r.cpu / r.seconds;
        std::printf("%-34s %5.1f %% of one core over %.1f s, %.0f bytes/s sent, log %.1f MB\n",
                    logging ? "921600 baud both ways, logged" : "921600 baud both ways",
                    share[logging], r.seconds, r.sentBytes / r.seconds, r.logBytes / 1e6);
    }
    std::printf("%-34s %+.1f %% of one core\n", "the two-way log costs", share[1] - share[0]);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const qint64 mb = argc > 1 ? atoll(argv[1]) : 50;
    const qint64 total = mb * 1'000'000;

    const bool pacedOnly = argc > 2 && qstrcmp(argv[2], "paced") == 0;
    if (argc > 2 && qstrcmp(argv[2], "invisible") == 0) {
        std::printf("Receive path, %lld MB floods of characters drawn as nothing\n", mb);
        invisibleFloods(total);
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "sent") == 0) {
        std::printf("Receive path with a send every 10 ms, %lld MB floods\n", mb);
        floodsWithSends(total);
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "plot") == 0) {
        const int runs = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
        std::printf("Receive path with the 绘图 window closed and open, %lld MB floods\n", mb);
        floodsWithPlot(total, runs);
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "txrx") == 0) {
        std::printf("Sending and receiving at 921600 baud, 20 s each\n");
        bothWays(20);
        return 0;
    }
    if (argc > 2 && qstrcmp(argv[2], "record") == 0) {
        std::printf("Receive path with recording to a file, %lld MB floods\n", mb);
        report("hex display, unpaced, recording", flood(Data::Binary, true, total, 0, recording()),
               true);
        report("text display, unpaced, recording",
               flood(Data::TextLines, false, total, 0, recording()), true);
        return 0;
    }
    std::printf("Receive path, %lld MB floods through a pseudo-terminal\n", mb);
    if (!pacedOnly) {
        const Result hex = flood(Data::Binary, true, total, 0);
        report("hex display, unpaced", hex, true);
        std::printf(
            "%-34s peak RSS growth %.2f bytes per received byte; display holds %.2f bytes/byte\n",
            "hex display memory", hex.peakKb * 1024.0 / total, double(hex.displayBytes) / total);
        report("text display with line breaks", flood(Data::TextLines, false, total, 0), true);
        report("text display without line breaks", flood(Data::TextNoBreaks, false, total, 0),
               true);
        invisibleFloods(total);
    }

    const double baud = 921600 / 10.0; // bytes per second on an 8N1 line
    for (bool hexMode : {true, false}) {
        const Result r =
            flood(hexMode ? Data::Binary : Data::TextLines, hexMode, qint64(baud * 10), baud);
        std::printf("%-34s %5.1f %% of one core over %.1f s\n",
                    hexMode ? "hex display, 921600 baud" : "text display, 921600 baud",
                    100.0 * r.cpu / r.seconds, r.seconds);
    }
    if (!pacedOnly) {
        appendTimes(true);
        appendTimes(false);
    }
    return 0;
}
