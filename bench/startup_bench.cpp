// Time from process start to the window shown, over repeated launches of the
// real program under the offscreen platform.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString program = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                     : QCoreApplication::applicationDirPath() + "/../quorvex";
    const int runs = argc > 2 ? atoi(argv[2]) : 20;
    // COM1 is a pseudo-terminal, so start-up opens a port and shows no message.
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    ::close(slave);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QUORVEX_COM1", QString::fromLocal8Bit(name));
        env.insert("QUORVEX_REPORT_SHOWN", "1");
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(program, {});
        // The program prints one line once its window is on screen.
        if (!p.waitForReadyRead(10000)) {
            std::fprintf(stderr, "no report from %s\n", qPrintable(program));
            return 1;
        }
        ms.push_back(t.nsecsElapsed() / 1e6);
        p.kill();
        p.waitForFinished();
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "start-up to window shown over %d runs: median %.1f ms, best %.1f ms, worst %.1f ms\n",
        runs, ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
