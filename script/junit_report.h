#pragma once

#include "script/script_run.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A run's verdicts as JUnit XML, as CI systems read it: one testsuite named
// after the script, a testcase for each test case with its time, a failure
// with its message for each failed one, the log lines as system-out (each
// case's own, and the whole run's on the suite). An error that kept the
// script from running its cases (it did not load, the port did not open, the
// run's time ran out) is an error case named after the script.
QByteArray junitReport(const ScriptOutcome &outcome, const QDateTime &started,
                       const QString &error = {});

// Text made fit for XML 1.0: characters it cannot hold (control characters
// a device sent, lone surrogates) written as \xNN or \uNNNN.
QString xmlSafe(const QString &text);
