// Steady streaming, as a board sends all day: 115200 and 921600 baud, text and
// hexadecimal display. A child process plays the device through a
// pseudo-terminal, writing what the line carries every millisecond and noting
// when; the window's paints are noted too, so the figures are
//  - CPU of the whole program (all its threads) as a share of one core,
//  - wake-ups a second of its busiest threads,
//  - how long after its arrival a byte is on screen (the first paint that shows it),
//  - the longest stall of the window (a 10 ms timer's lateness, in a run of its own),
//  - what Qt alone costs at the same frame rate: a bare widget of the receive
//    box's size and font repainted by a timer (nothing read, nothing stored),
//    filling its background only, then drawing the box's rows of text too.
// The platform is offscreen unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb).
// QUORVEX_BENCH_STAMPS=1 runs with timestamps shown; QUORVEX_BENCH_ONLY="text 921600"
// runs only that one.
//   steady_bench [seconds per run, default 20]
#include "app/app_setup.h"
#include "bench_support.h"
#include "receive/receive_display.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

qint64 nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Context switches of each thread: how often it slept and was woken.
struct ThreadFigures {
    QString name;
    qint64 switches;
    double cpuMs;
};
std::vector<ThreadFigures> threadSwitches()
{
    std::vector<ThreadFigures> out;
    for (const QString &tid :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f("/proc/self/task/" + tid + "/status");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QString name;
        qint64 n = 0;
        QFile st("/proc/self/task/" + tid + "/stat");
        double cpuMs = 0;
        if (st.open(QIODevice::ReadOnly)) {
            const QByteArray text = st.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            cpuMs =
                (fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 / sysconf(_SC_CLK_TCK);
        }
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromLatin1(line.mid(5).trimmed());
            if (line.startsWith("voluntary_ctxt_switches:") ||
                line.startsWith("nonvoluntary_ctxt_switches:"))
                n += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        out.push_back({name + "/" + tid, n, cpuMs});
    }
    return out;
}

struct Write {
    qint64 ns;
    qint64 total;
};

// The device: every millisecond, what the line has carried since the start.
pid_t startDevice(PtyPair &pty, bool binary, double bytesPerSecond, qint64 ms, Write *log)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    QByteArray pat;
    if (binary)
        for (int i = 0; i < 65536; ++i)
            pat += char((i * 131 + i / 256) & 0xff);
    else
        while (pat.size() < 65536)
            pat += "temperature=23.5 humidity=41 \xd7\xb4\xcc\xac=OK seq=0001234\r\n";
    const qint64 t0 = nowNs();
    qint64 sent = 0;
    for (qint64 i = 1; i <= ms; ++i) {
        const qint64 due = t0 + i * 1'000'000;
        while (nowNs() < due)
            usleep(std::max<qint64>(1, (due - nowNs()) / 1000));
        const qint64 target = qint64(i * bytesPerSecond / 1000);
        while (sent < target) {
            const qint64 off = sent % pat.size();
            const qint64 n = std::min(target - sent, pat.size() - off);
            if (!pty.write(pat.mid(off, n)))
                _exit(1);
            sent += n;
        }
        log[i - 1] = {nowNs(), sent};
    }
    _exit(0);
}

// What the display holds at each paint, in characters.
struct PaintLog : QObject {
    ReceiveDisplay *display;
    std::vector<Write> paints;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            paints.push_back({nowNs(), display->length()});
        return false;
    }
};

// Characters shown for the first n bytes the device sent: three per byte in hex;
// in text, the 50-byte line holds 48 characters (two of them two bytes each, and
// half a character is not shown).
qint64 shownChars(bool hex, qint64 n)
{
    if (hex)
        return 3 * n;
    const qint64 k = n % 50;
    const qint64 partial = k <= 29 ? k : k <= 33 ? 29 + (k - 29) / 2 : 31 + (k - 33);
    return n / 50 * 48 + partial;
}

struct Box {
    QSize size;
    QFont font;
    double framesPerSecond = 0;
};

void run(int baud, bool hex, int seconds, bool probeStalls, Box *box)
{
    // QUORVEX_BENCH_ONLY="hex 921600" runs that one (for a profiler).
    const QString only = qEnvironmentVariable("QUORVEX_BENCH_ONLY");
    if (!only.isEmpty() &&
        (probeStalls || only != QStringLiteral("%1 %2").arg(hex ? "hex" : "text").arg(baud)))
        return;
    BenchWindow win;
    win.w<QCheckBox>("ChkHexReceive")->setCheckState(hex ? Qt::Checked : Qt::Unchecked);
    QWidget *display = win.w<QWidget>("TxtReceive");
    PaintLog paints;
    paints.display = win.w<ReceiveDisplay>("TxtReceive");
    display->findChild<QWidget *>("qt_scrollarea_viewport")->installEventFilter(&paints);
    runFor(300);
    if (qEnvironmentVariableIsSet("QUORVEX_BENCH_NOPAINT")) // for finding where the time goes
        win.form->setUpdatesEnabled(false);
    // With timestamps shown (the port is then read as data comes); the display
    // holds the stamps too, so the time-to-screen figure does not apply.
    const bool stamps = qEnvironmentVariableIsSet("QUORVEX_BENCH_STAMPS");
    if (stamps)
        paints.display->stampAction()->trigger();

    const qint64 ms = qint64(seconds) * 1000 + 1000;
    auto *log = static_cast<Write *>(mmap(nullptr, sizeof(Write) * ms, PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::fill_n(log, ms, Write{0, 0});
    const double bytesPerSecond = baud / 10.0;
    const pid_t device = startDevice(win.pty, hex, bytesPerSecond, ms, log);
    runFor(1000); // settled

    LateProbe probe;
    if (probeStalls)
        probe.start();
    const auto switches0 = threadSwitches();
    const double cpu0 = cpuSeconds();
    const qint64 t0 = nowNs();
    runFor(seconds * 1000);
    const double wall = (nowNs() - t0) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const auto switches1 = threadSwitches();
    probe.stop();
    int status = 0;
    waitpid(device, &status, 0);
    runFor(200);

    // Latency of each write: the first paint at or after it that shows its bytes.
    std::vector<double> latency;
    std::size_t p = 0;
    for (qint64 i = 1000; i < ms - 200; ++i) {
        const Write &w = log[i];
        if (w.ns < t0 || w.ns > t0 + qint64(wall * 1e9))
            continue;
        while (p < paints.paints.size() &&
               (paints.paints[p].ns < w.ns || paints.paints[p].total < shownChars(hex, w.total)))
            ++p;
        if (p == paints.paints.size())
            break;
        latency.push_back((paints.paints[p].ns - w.ns) / 1e6);
    }
    munmap(log, sizeof(Write) * ms);
    qint64 painted = 0;
    for (const Write &w : paints.paints)
        painted += w.ns >= t0 && w.ns <= t0 + qint64(wall * 1e9);
    box->size = display->findChild<QWidget *>("qt_scrollarea_viewport")->size();
    box->font = display->font();
    box->framesPerSecond = std::max(box->framesPerSecond, painted / wall);

    std::printf("%-6s %6d Bd: %5.2f %% of one core", hex ? "hex" : "text", baud, 100 * cpu / wall);
    if (probeStalls)
        std::printf(" (with the stall probe)  stall: median %.2f p99 %.2f max %.2f ms",
                    percentile(probe.lateMs, 0.5), percentile(probe.lateMs, 0.99),
                    percentile(probe.lateMs, 1.0));
    else if (stamps)
        std::printf("  (timestamps shown)");
    else
        std::printf("  on screen after: median %.0f p99 %.0f max %.0f ms, %.0f frames/s",
                    percentile(latency, 0.5), percentile(latency, 0.99), percentile(latency, 1.0),
                    painted / wall);
    std::printf("\n         wake-ups/s and %% of a core by thread:");
    for (const ThreadFigures &t1 : switches1) {
        ThreadFigures t0{t1.name, 0, 0};
        for (const ThreadFigures &t : switches0)
            if (t.name == t1.name)
                t0 = t;
        if ((t1.switches - t0.switches) / wall >= 1)
            std::printf(" %s %.0f/s %.2f%%", qPrintable(t1.name.section('/', 0, 0)),
                        (t1.switches - t0.switches) / wall, (t1.cpuMs - t0.cpuMs) / wall / 10);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Qt's own share: a bare widget like the receive box, repainted as often as the
// busiest run painted it.
struct BareBox : QWidget {
    int rows = 0; // of text drawn besides the background
    int frame = 0;
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        const QFontMetrics fm(font());
        for (int i = 0; i < rows; ++i)
            p.drawText(2, fm.ascent() + i * fm.lineSpacing(),
                       QStringLiteral("temperature=23.5 humidity=41 \u72b6\u6001=OK seq=%1")
                           .arg(frame + i, 7, 10, QChar('0')));
        ++frame;
    }
};

void floorRun(const Box &box, int seconds)
{
    if (!qEnvironmentVariableIsEmpty("QUORVEX_BENCH_ONLY") || box.framesPerSecond <= 0)
        return;
    std::printf("Qt alone, a bare %dx%d widget repainted %.0f times a second:", box.size.width(),
                box.size.height(), box.framesPerSecond);
    const int rowsShown = box.size.height() / std::max(1, QFontMetrics(box.font).lineSpacing());
    for (int mode = 0; mode < 3; ++mode) {
        QWidget top;
        BareBox bare;
        bare.setParent(&top);
        bare.setAttribute(Qt::WA_OpaquePaintEvent);
        bare.setFont(box.font);
        bare.setGeometry(QRect(QPoint(10, 10), box.size));
        bare.rows = mode == 2 ? rowsShown : 0;
        top.resize(box.size + QSize(20, 20));
        top.show();
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (mode > 0)
                bare.update();
        });
        tick.start(int(1000 / box.framesPerSecond));
        runFor(500);
        const double cpu0 = cpuSeconds();
        const qint64 t0 = nowNs();
        runFor(seconds * 1000);
        const double wall = (nowNs() - t0) / 1e9;
        std::printf("%s %.2f %%",
                    mode == 0   ? " timer only"
                    : mode == 1 ? ", background"
                                : ", background and text",
                    100 * (cpuSeconds() - cpu0) / wall);
    }
    std::printf(" of one core\n");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 20;
    std::printf("Steady streaming on %s, %d s a run\n", qPrintable(QGuiApplication::platformName()),
                seconds);
    Box box;
    for (int baud : {115200, 921600})
        for (bool hex : {false, true})
            run(baud, hex, seconds, false, &box);
    for (int baud : {115200, 921600})
        for (bool hex : {false, true})
            run(baud, hex, std::min(seconds, 10), true, &box);
    floorRun(box, seconds);
    return 0;
}
