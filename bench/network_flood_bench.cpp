// Network ports under a flood from the server, in the window: resident memory
// (peak while flooding, and after the switch closed the port), the window's
// longest wait meanwhile, and how long the switch press took to close.
//   network_flood_bench [seconds per flood, default 20] [case]
// Cases: "tcp lines" (raw TCP, lines of text at full speed), "rfc2217 FF"
// (RFC 2217, every data byte 0xFF), "modem state" (NOTIFY-MODEMSTATE at full
// speed while the 控制线 window is open), "pty lines" (the same lines from a
// pseudo-terminal, to compare). Without a case, each runs in a process of its own.
#include "app/port_lines.h"
#include "bench_support.h"
#include "support/loopback_server.h"

#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <cstdio>

namespace
{
const char *const kCases[] = {"tcp lines", "rfc2217 FF", "modem state", "pty lines"};

QByteArray floodOf(const QString &which)
{
    if (which == "rfc2217 FF")
        return QByteArray(2 << 20, char(0xFF)); // 1 MB of data, IAC doubled
    if (which == "modem state") {
        std::string burst;
        for (int i = 0; i < 65536; ++i)
            burst += TelnetClient::command(TelnetClient::ComCommand(107), i % 2 ? 0x10 : 0xB0);
        return QByteArray::fromStdString(burst);
    }
    return floodPattern(false);
}

void runCase(const QString &which, int seconds)
{
    const QByteArray flood = floodOf(which);
    const bool rfc2217 = which != "tcp lines";
    std::atomic<qint64> sent{0};
    LoopbackServer server([&](LoopbackServer &s, int fd) {
        if (rfc2217)
            s.send(fd, LoopbackServer::confirm9600());
        while (s.send(fd, flood))
            sent += flood.size();
    });
    std::unique_ptr<BenchWindow> bench =
        std::make_unique<BenchWindow>(); // COM1 on a pseudo-terminal
    MainForm &form = *bench->form;
    runFor(300);
    const bool pty = which == "pty lines";
    if (!pty) {
        bench->w<QPushButton>("CmdSwitch")->click(); // closes COM1
        bench->w<QComboBox>("CboCom")->setEditText(server.address(rfc2217));
        bench->w<QPushButton>("CmdSwitch")->click();
        for (int i = 0; i < 100 && !bench->port.isOpen(); ++i)
            runFor(50);
    }
    if (which == "modem state")
        form.portLinesMenu()->linesWindow()->show();
    const qint64 before = procStatusKb("VmRSS:");
    resetPeakRss();
    LateProbe probe;
    probe.start();
    QElapsedTimer t;
    t.start();
    qint64 rx = 0;
    QObject::connect(&bench->port, &Port::received,
                     [&](const QByteArray &b, const auto &) { rx += b.size(); });
    while (t.elapsed() < seconds * 1000) {
        if (pty)
            bench->pty.write(flood);
        runFor(pty ? 5 : 100);
    }
    probe.stop();
    const qint64 peak = procStatusKb("VmHWM:");
    QElapsedTimer press;
    press.start();
    bench->w<QPushButton>("CmdSwitch")->click();
    const double pressMs = press.nsecsElapsed() / 1e6;
    const bool closedLook = bench->w<QLabel>("ImgSwitchOff")->isVisibleTo(&form);
    runFor(1000);
    std::printf(
        "%-12s %3d s: %7.1f MB received (%6.1f MB sent), resident %5.0f MB before, peak %5.0f MB, "
        "after closing %5.0f MB; window waited at most %6.1f ms (99th percentile %5.1f ms); "
        "switch press %5.2f ms%s\n",
        qPrintable(which), seconds, rx / 1e6, sent / 1e6, before / 1024.0, peak / 1024.0,
        procStatusKb("VmRSS:") / 1024.0, probe.worstMs(), percentile(probe.lateMs, 0.99), pressMs,
        closedLook ? "" : " !! not shown closed");
    std::fflush(stdout);
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    if (argc > 2) {
        QApplication app(argc, argv);
        configureApplication();
        runCase(QString::fromLocal8Bit(argv[2]), seconds);
        return 0;
    }
    QCoreApplication app(argc, argv);
    for (const char *c : kCases) {
        QProcess one;
        one.setProcessChannelMode(QProcess::ForwardedChannels);
        one.start(QCoreApplication::applicationFilePath(),
                  {QString::number(seconds), QString::fromLatin1(c)});
        one.waitForFinished(-1);
    }
    return 0;
}
