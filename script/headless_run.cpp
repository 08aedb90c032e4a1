#include "script/headless_run.h"

#include "script/junit_report.h"
#include "script/script_port.h"
#include "script/script_run.h"
#include "serial/device_port.h"
#include "serial/port_lister.h"
#include "serial/port_session.h"
#include "transmit/send_feed.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace
{
constexpr int kUsage = 2;
// After the run's time is up, how long the script has to end before the
// program ends without it (a script stuck in a call of the system's).
constexpr int kGraceMs = 2000;

const char kUsageText[] =
    "usage: quorvex-run [--port P] [--settings S] [--junit FILE] [--log FILE]\n"
    "                   [--timeout SECONDS] SCRIPT\n"
    "  --port P         open P before the script starts (COM1, /dev/ttyUSB0,\n"
    "                   rfc2217://host:port, tcp://host:port)\n"
    "  --settings S     its settings, as 115200,N,8,1 (default 9600,N,8,1)\n"
    "  --junit FILE     write the verdicts as JUnit XML\n"
    "  --log FILE       write the run's log\n"
    "  --timeout SECONDS  end the run after this long (exit status 2)\n"
    "exit status: 0 all passed, 1 a test case failed, 2 usage, script, port or time-out\n";

struct Options {
    QString port, settings, junit, log, script;
    std::optional<double> timeout;
};

void say(FILE *f, const QString &line)
{
    const QByteArray b = line.toUtf8() + '\n';
    std::fwrite(b.constData(), 1, size_t(b.size()), f);
    std::fflush(f);
}

// Nothing, with the reason on standard error, for arguments that do not make a run.
std::optional<Options> parse(const QStringList &args, bool *help)
{
    Options o;
    const auto fail = [](const QString &why) {
        say(stderr, QStringLiteral("quorvex-run: ") + why);
        std::fputs(kUsageText, stderr);
        return std::nullopt;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QStringLiteral("-h") || a == QStringLiteral("--help")) {
            *help = true;
            return std::nullopt;
        }
        QString *value = a == QStringLiteral("--port")       ? &o.port
                         : a == QStringLiteral("--settings") ? &o.settings
                         : a == QStringLiteral("--junit")    ? &o.junit
                         : a == QStringLiteral("--log")      ? &o.log
                                                             : nullptr;
        if (a == QStringLiteral("--timeout")) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("--timeout needs a number of seconds"));
            bool ok = false;
            const double s = args[++i].toDouble(&ok);
            if (!ok || !(s > 0) || s > 1e7)
                return fail(QStringLiteral("--timeout needs a positive number of seconds, not ") +
                            args[i]);
            o.timeout = s;
        } else if (value) {
            if (i + 1 >= args.size() || args[i + 1].isEmpty())
                return fail(a + QStringLiteral(" needs a value"));
            *value = args[++i];
        } else if (a.startsWith(u'-') && a.size() > 1) {
            return fail(QStringLiteral("unknown option ") + a);
        } else if (o.script.isEmpty()) {
            o.script = a;
        } else {
            return fail(QStringLiteral("one script only (") + a + u')');
        }
    }
    if (o.script.isEmpty())
        return fail(QStringLiteral("no script given"));
    if (!o.settings.isEmpty() && o.port.isEmpty())
        return fail(QStringLiteral("--settings goes with --port"));
    return o;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        say(stderr, QStringLiteral("quorvex-run: cannot write %1: %2").arg(path, f.errorString()));
        return false;
    }
    return true;
}

QString stamp(qint64 ms, const QString &line)
{
    return QStringLiteral("[%1] %2").arg(double(ms) / 1000.0, 10, 'f', 3).arg(line);
}
} // namespace

int runHeadless(const QStringList &args)
{
    bool help = false;
    const std::optional<Options> o = parse(args, &help);
    if (help) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    if (!o)
        return kUsage;

    std::unique_ptr<QFile> log;
    if (!o->log.isEmpty()) {
        log = std::make_unique<QFile>(o->log);
        if (!log->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            say(stderr,
                QStringLiteral("quorvex-run: cannot write %1: %2").arg(o->log, log->errorString()));
            return kUsage;
        }
    }
    const QDateTime started = QDateTime::currentDateTime();

    DevicePort port;
    QtPortLister lister;
    PortSession session(&port, &lister);
    SendFeed send(&port);
    ScriptPort scriptPort(&port, &session, &send);
    ScriptRun run(&scriptPort);

    const auto report = [&](const ScriptOutcome &outcome, const QString &error) {
        if (!o->junit.isEmpty())
            writeFile(o->junit, junitReport(outcome, started, error));
    };

    int status = kUsage;
    QObject::connect(&run, &ScriptRun::logged, &run, [&](qint64 ms, const QString &line) {
        if (log) {
            log->write(stamp(ms, line).toUtf8() + '\n');
            log->flush();
        }
    });
    QObject::connect(&run, &ScriptRun::caseFinished, &run, [&](const ScriptCase &c) {
        say(stdout, c.passed ? QStringLiteral("PASS %1 (%2 ms)").arg(c.name).arg(c.ms)
                             : QStringLiteral("FAIL %1: %2%3")
                                   .arg(c.name, c.message,
                                        c.where.isEmpty() ? QString()
                                                          : QStringLiteral(" (%1)").arg(c.where)));
    });
    QObject::connect(&run, &ScriptRun::finished, &run, [&](const ScriptOutcome &outcome) {
        switch (outcome.end) {
        case ScriptOutcome::End::NotLoaded:
        case ScriptOutcome::End::NotOpened:
            say(stderr, QStringLiteral("quorvex-run: ") + outcome.error);
            status = kUsage;
            break;
        case ScriptOutcome::End::TimedOut:
        case ScriptOutcome::End::Stopped:
            say(stderr, QStringLiteral("quorvex-run: %1 (%2)").arg(outcome.error, outcome.script));
            status = kUsage;
            break;
        case ScriptOutcome::End::Finished:
            status = outcome.failed() > 0 ? 1 : 0;
            break;
        }
        say(stdout, QStringLiteral("passed %1, failed %2 (%3 ms)")
                        .arg(outcome.passed())
                        .arg(outcome.failed())
                        .arg(outcome.ms));
        report(outcome, {});
        QCoreApplication::exit(0);
    });

    QTimer limit;
    limit.setSingleShot(true);
    QTimer grace;
    grace.setSingleShot(true);
    if (o->timeout) {
        QObject::connect(&limit, &QTimer::timeout, &run, [&] {
            run.stop(true);
            grace.start(kGraceMs);
        });
        QObject::connect(&grace, &QTimer::timeout, &run, [&] {
            // The script is stuck where no stop reaches it: the run ends without it.
            const QString why = QStringLiteral("the run's time ran out and the script did not end");
            say(stderr, QStringLiteral("quorvex-run: ") + why);
            ScriptOutcome none;
            none.script = QFileInfo(o->script).fileName();
            none.end = ScriptOutcome::End::TimedOut;
            report(none, why);
            std::fflush(nullptr);
            std::_Exit(kUsage);
        });
        limit.start(int(std::min(*o->timeout * 1000.0, 2e9)));
    }
    std::optional<ScriptRun::Opening> first;
    if (!o->port.isEmpty())
        first = ScriptRun::Opening{o->port, o->settings};
    run.start(o->script, first);
    QCoreApplication::exec();
    return status;
}
