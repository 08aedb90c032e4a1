// A history of any length in bounded memory: gigabytes of hexadecimal display
// and of text received at full speed through a pseudo-terminal, with the
// program's resident memory sampled all along; then the first rows shown after
// scrolling to the very top, the whole display saved, and the display cleared.
//   history_bench [MB of hex, default 4096] [MB of text, default 2048]
#include "app/app_setup.h"
#include "bench_support.h"
#include "receive/receive_display.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

pid_t startDevice(PtyPair &pty, bool binary, qint64 total)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const QByteArray pat = floodPattern(binary);
    qint64 sent = 0;
    while (sent < total) {
        const qint64 n = std::min<qint64>(total - sent, 64 * 1024);
        if (!pty.write(pat.mid(sent % pat.size(), n)))
            _exit(1);
        sent += n;
    }
    _exit(0);
}

void run(bool hex, qint64 mb)
{
    const qint64 total = mb << 20;
    BenchWindow win;
    win.w<QCheckBox>("ChkHexReceive")->setCheckState(hex ? Qt::Checked : Qt::Unchecked);
    auto *display = win.w<ReceiveDisplay>("TxtReceive");
    auto *rx = win.w<QLineEdit>("TxtRXCount");
    runFor(200);
    const qint64 baseKb = procStatusKb("VmRSS:");
    qint64 maxKb = baseKb;
    QElapsedTimer clock;
    clock.start();
    const pid_t device = startDevice(win.pty, hex, total);
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&] { maxKb = std::max(maxKb, procStatusKb("VmRSS:")); });
    sample.start(100);
    const QString done = QStringLiteral("RX:%1").arg(total);
    while (rx->text() != done && clock.elapsed() < 1800'000)
        runFor(50);
    sample.stop();
    const double seconds = clock.nsecsElapsed() / 1e9;
    int status = 0;
    waitpid(device, &status, 0);
    std::printf("%s, %lld MB at %.0f MB/s: resident at most %lld MB (%lld MB before), "
                "temporary file %.0f MB\n",
                hex ? "hex " : "text", mb, mb / seconds, maxKb / 1024, baseKb / 1024,
                display->temporaryFileBytes() / 1e6);
    if (rx->text() != done)
        std::printf("  !! only %s arrived\n", qPrintable(rx->text()));

    // The very top: scroll there and paint.
    QElapsedTimer t;
    t.start();
    display->verticalScrollBar()->setValue(0);
    display->viewport()->repaint();
    const double topMs = t.nsecsElapsed() / 1e6;
    const QString first = display->textRange(0, 24);
    std::printf("  scroll to the top and paint: %.1f ms; first characters \"%s\"\n", topMs,
                qPrintable(first));

    // Typing near the top: every row after the edit moves (in hex without line
    // breaks the second edit moves a pair to the next row, which would re-wrap
    // every row after it).
    const QString tail = display->textRange(display->length() - 24, display->length());
    double worstEditMs = 0;
    for (qint64 at : {1, 7, 1000, 30000}) {
        display->setSelection(at, at);
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("A"));
        t.restart();
        QCoreApplication::sendEvent(display, &key);
        display->viewport()->repaint();
        worstEditMs = std::max(worstEditMs, t.nsecsElapsed() / 1e6);
        std::printf("    edit at %lld: %.1f ms\n", at, t.nsecsElapsed() / 1e6);
    }
    const bool intact = display->textRange(display->length() - 24, display->length()) == tail &&
                        display->textRange(0, 2) == first.left(1) + "A";
    std::printf("  a character typed near the top, shown: at most %.1f ms (4 edits)%s\n",
                worstEditMs, intact ? "" : " !! content changed elsewhere");

    // A font change (system settings): the rows are laid out again in steps
    // while the window goes on; how long until the new rows took over, and
    // the longest the window waited meanwhile.
    {
        const qint64 rows = display->rowCount();
        LateProbe probe;
        probe.start();
        runFor(50);
        QFont font = display->font();
        if (font.pixelSize() > 0)
            font.setPixelSize(font.pixelSize() + 2);
        else
            font.setPointSizeF(font.pointSizeF() + 1);
        t.restart();
        display->setFont(font);
        const double changeMs = t.nsecsElapsed() / 1e6;
        while (display->relayoutPending() && t.elapsed() < 900'000)
            runFor(20);
        probe.stop();
        std::printf(
            "  font a size larger: the change %.1f ms, rows laid out again in %.1f s, the window "
            "waiting at most %.1f ms meanwhile; %lld rows -> %lld\n",
            changeMs, t.nsecsElapsed() / 1e9, probe.worstMs(), rows, display->rowCount());
        std::fflush(stdout);
    }

    // Save the whole display, memory still bounded.
    QTemporaryDir dir;
    win.w<QLineEdit>("TxtSavePath")->setText(dir.path());
    resetPeakRss();
    t.restart();
    win.w<QPushButton>("CmdSaveDisp")->click();
    const double saveS = t.nsecsElapsed() / 1e9;
    QFile saved(dir.filePath("1.txt"));
    QByteArray head;
    if (saved.open(QIODevice::ReadOnly))
        head = saved.read(64);
    std::printf("  save: %.1f s, %.0f MB written, peak resident %lld MB; file begins \"%s\"\n",
                saveS, saved.size() / 1e6, procStatusKb("VmHWM:") / 1024,
                qPrintable(QString::fromLocal8Bit(head.mid(head.indexOf('\n') + 1, 24))));
    saved.remove();

    t.restart();
    win.w<QPushButton>("CmdClearReceive")->click();
    const double clearMs = t.nsecsElapsed() / 1e6;
    runFor(300);
    std::printf("  clearing: %.1f ms; resident after it %lld MB\n", clearMs,
                procStatusKb("VmRSS:") / 1024);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    return historyBenchMain(argc, argv, run);
}
