// quorvex-run: runs a device-test script without a window, for CI.
//
//   quorvex-run [--port P] [--settings S] [--junit FILE] [--log FILE]
//               [--timeout SECONDS] SCRIPT
//
// Exit status: 0 every test case passed, 1 one failed, 2 a usage error, a
// script that does not load, a port that cannot be opened, or the time-out.

#include "script/headless_run.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return runHeadless(app.arguments().mid(1));
}
