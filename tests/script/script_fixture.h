#pragma once

#include "script/script_port.h"
#include "script/script_run.h"
#include "serial/device_port.h"
#include "serial/port_session.h"
#include "support/fake_port_lister.h"
#include "transmit/send_feed.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

// The core as quorvex-run puts it together, with a script written to a file.
struct ScriptBench {
    DevicePort port;
    FakePortLister lister;
    PortSession session{&port, &lister};
    SendFeed send{&port};
    ScriptPort scriptPort{&port, &session, &send};
    ScriptRun run{&scriptPort};
    QTemporaryDir dir;

    QString write(const QByteArray &code, const QString &name = QStringLiteral("case.lua"))
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(code);
        return path;
    }

    // Opens path as the script's open() does; the error, empty when it opened.
    QString open(const QString &path, const QString &settings = {})
    {
        QString error = QStringLiteral("no answer");
        bool done = false;
        scriptPort.open(path, settings, [&](const QString &e, bool) {
            error = e;
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 5000))
            return QStringLiteral("no answer in 5 s");
        return error;
    }

    // Runs code to its end (at most ms); the outcome. During: what the test
    // does meanwhile (the device's part), with the events going on.
    ScriptOutcome runToEnd(const QByteArray &code, int ms = 20000,
                           const std::function<void()> &during = {})
    {
        QSignalSpy ended(&run, &ScriptRun::finished);
        ScriptOutcome none;
        none.end = ScriptOutcome::End::Stopped;
        none.error = QStringLiteral("the run did not start or end in time");
        if (!run.start(write(code)))
            return none;
        if (during)
            during();
        if (ended.isEmpty() && !ended.wait(ms))
            return none;
        return ended.at(0).at(0).value<ScriptOutcome>();
    }
};

// A failed case's account, for messages.
inline QByteArray describe(const ScriptOutcome &o)
{
    QStringList lines = o.log;
    lines.prepend(QStringLiteral("end %1 %2").arg(int(o.end)).arg(o.error));
    return lines.join(u'\n').toUtf8();
}
