#pragma once

#include <QStringList>

// The whole of quorvex-run: arguments in, exit status out (0 passed, 1 a case
// failed, 2 usage, loading, port or time-out), verdicts on standard output as
// they come. Runs the event loop of the application that exists.
int runHeadless(const QStringList &args);
