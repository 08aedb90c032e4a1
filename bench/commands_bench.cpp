// The 常用指令 window with long lists: how long opening it takes, and one add,
// change, move and removal (each read, made and written under the file's
// lock, as in use), with resident memory.
//   commands_bench [commands, default 100000]
#include "app/commands_window.h"
#include "bench_support.h"

#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    configureApplication();
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    QTemporaryDir dir;
    const QString path = dir.filePath("commands.ini");
    {
        QList<SavedCommand> list;
        for (int i = 0; i < count; ++i)
            list.append({QStringLiteral("读寄存器 %1").arg(i),
                         QStringLiteral("01 03 00 %1 00 0A").arg(i % 256, 2, 16, QChar('0')),
                         i % 2 == 0, LineEnding::None,
                         i % 2 == 0 ? Checksum::Crc16Modbus : Checksum::None});
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(writeCommands(list));
    }
    const qint64 fileKb = QFileInfo(path).size() / 1024;
    RecordingDialogs dialogs;
    CommandStore store(path);
    const qint64 before = procStatusKb("VmRSS:");
    QElapsedTimer t;
    t.start();
    CommandsWindow window(&store, &dialogs);
    window.load();
    window.show();
    runFor(0);
    const double openMs = t.nsecsElapsed() / 1e6;

    const auto timed = [&](const std::function<void()> &op) {
        std::vector<double> ms;
        for (int i = 0; i < 9; ++i) {
            QElapsedTimer one;
            one.start();
            op();
            runFor(0); // the view's repaint
            ms.push_back(one.nsecsElapsed() / 1e6);
        }
        return percentile(ms, 0.5);
    };
    int n = 0;
    const double addMs = timed([&] {
        window.setEdited({QStringLiteral("新指令 %1").arg(n++), QStringLiteral("AT")});
        window.addEdited();
    });
    window.selectRow(count / 2);
    const double changeMs = timed([&] {
        window.setEdited({QStringLiteral("改过 %1").arg(n++), QStringLiteral("AT")});
        window.replaceSelected();
    });
    const double moveMs = timed([&] { window.moveSelected(n++ % 2 ? 1 : -1); });
    const double removeMs = timed([&] { window.removeSelected(); });
    std::printf(
        "%d commands (%lld KB file): window opened in %.0f ms; median of 9: add %.1f ms, change "
        "%.1f ms, "
        "move %.1f ms, remove %.1f ms; resident %.0f MB (%.0f MB more than before the window)%s\n",
        count, fileKb, openMs, addMs, changeMs, moveMs, removeMs, procStatusKb("VmRSS:") / 1024.0,
        (procStatusKb("VmRSS:") - before) / 1024.0,
        dialogs.messages.isEmpty() ? "" : " !! a message came");
    return 0;
}
