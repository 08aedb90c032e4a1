// Finding text in a long history while the device goes on sending: gigabytes
// of hexadecimal display and of text received through a pseudo-terminal, with a
// word at the very start and one at the very end; then searches for them from
// the far end (down and up), and for a match on screen, each timed from the
// press of 查找下一个 (the caret already placed and painted) to the answer, with the longest wait
// of the window meanwhile and the resident memory against its peak while filling.
//   search_bench [MB of hex, default 4096] [MB of text, default 2048]
#include "app/app_setup.h"
#include "app/find_window.h"
#include "bench_support.h"
#include "receive/history_search.h"
#include "receive/receive_display.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The flood between the two words, then a line every 10 ms until killed.
pid_t startDevice(PtyPair &pty, bool binary, qint64 total, const QByteArray &head,
                  const QByteArray &tail)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const QByteArray pat = floodPattern(binary);
    if (!pty.write(head))
        _exit(1);
    for (qint64 sent = 0; sent < total;) {
        const qint64 n = std::min<qint64>(total - sent, 64 * 1024);
        if (!pty.write(pat.mid(sent % pat.size(), n)))
            _exit(1);
        sent += n;
    }
    if (!pty.write(tail))
        _exit(1);
    for (;;) {
        usleep(10'000);
        if (!pty.write(binary ? QByteArray("\x11\x22\x33", 3) : QByteArray("tick 0001\r\n")))
            _exit(1);
    }
}

struct Searched {
    double ms = 0, waitMs = 0;
    qint64 found = -1;
};

Searched search(FindWindow *find, ReceiveDisplay *display, const QString &text, bool matchCase,
                bool down, qint64 origin)
{
    find->findChild<QLineEdit *>("FindText")->setText(text);
    find->findChild<QCheckBox *>("FindMatchCase")->setChecked(matchCase);
    display->setCaretPosition(origin);
    runFor(100); // the box painted where the caret went (Ctrl+Home, say) before the press
    bool answered = false;
    const QMetaObject::Connection c = QObject::connect(find->search(), &HistorySearch::finished,
                                                       [&answered] { answered = true; });
    LateProbe probe;
    probe.start();
    QElapsedTimer t;
    t.start();
    find->findNext(down);
    while (!answered && t.elapsed() < 600'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(c);
    Searched s;
    s.ms = t.nsecsElapsed() / 1e6;
    probe.stop();
    s.waitMs = probe.worstMs();
    s.found = answered ? display->selectionStart() : -2;
    return s;
}

void run(bool hex, qint64 mb)
{
    const qint64 total = mb << 20;
    BenchWindow win;
    win.w<QCheckBox>("ChkHexReceive")->setCheckState(hex ? Qt::Checked : Qt::Unchecked);
    auto *display = win.w<ReceiveDisplay>("TxtReceive");
    auto *rx = win.w<QLineEdit>("TxtRXCount");
    FindWindow *find = win.form->findWindow();
    runFor(200);
    const QByteArray head =
        hex ? QByteArray::fromHex("CAFEBABE") : QByteArray("boot: first line\r\n");
    const QByteArray tail =
        hex ? QByteArray::fromHex("DEADBEEF") : QByteArray("kernel PANIC: watchdog\r\n");
    const qint64 bytes = total + head.size() + tail.size();
    qint64 maxKb = procStatusKb("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    const pid_t device = startDevice(win.pty, hex, total, head, tail);
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&] { maxKb = std::max(maxKb, procStatusKb("VmRSS:")); });
    sample.start(100);
    while (rx->text().mid(3).toLongLong() < bytes && clock.elapsed() < 1800'000)
        runFor(50);
    const qint64 fillPeakKb = maxKb;
    const double chars = double(display->length());
    std::printf("%s, %lld MB in %.0f s, %.2f G display characters: resident at most %lld MB while "
                "filling\n",
                hex ? "hex " : "text", mb, clock.elapsed() / 1e3, chars / 1e9, fillPeakKb / 1024);
    std::fflush(stdout);

    maxKb = 0;
    const qint64 beforeKb = procStatusKb("VmRSS:");
    const QString first = hex ? QStringLiteral("CA FE BA BE") : QStringLiteral("first");
    const QString last = hex ? QStringLiteral("DE AD BE EF") : QStringLiteral("panic");
    auto report = [&](const char *what, const Searched &s, qint64 want) {
        std::printf("  %-34s %8.1f ms, %6.2f G chars/s, window waiting at most %5.1f ms%s\n", what,
                    s.ms, chars / (s.ms / 1e3) / 1e9, s.waitMs,
                    s.found == want ? "" : "  !! wrong match");
        std::fflush(stdout);
    };
    // The match is what was asked for (a wrong one shows as !!).
    auto check = [&](const QString &text, bool matchCase) {
        return display->selectedText().compare(text, matchCase ? Qt::CaseSensitive
                                                               : Qt::CaseInsensitive) == 0
                   ? display->selectionStart()
                   : -3;
    };
    Searched s = search(find, display, last, false, true, 0);
    report("far end, down:", s, check(last, false));
    if (!hex) {
        s = search(find, display, QStringLiteral("PANIC"), true, true, 0);
        report("far end, down, matching case:", s, check("PANIC", true));
    }
    s = search(find, display, first, false, false, display->length());
    report("far end, up:", s, check(first, false));
    const qint64 near = display->selectionStart(); // the word at the start: on screen now
    s = search(find, display, first, false, true, std::max<qint64>(0, near - 200));
    report("on screen, down:", s, check(first, false));
    s = search(find, display, first, false, false, near + 300);
    report("on screen, up:", s, check(first, false));
    sample.stop();
    std::printf("  resident while searching at most %lld MB (%lld MB before; %lld MB at most while "
                "filling)\n",
                std::max(maxKb, procStatusKb("VmRSS:")) / 1024, beforeKb / 1024, fillPeakKb / 1024);
    kill(device, SIGKILL);
    int status = 0;
    waitpid(device, &status, 0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    return historyBenchMain(argc, argv, run);
}
