#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class ScriptChannel;
class ScriptPort;

// One test case's verdict.
struct ScriptCase {
    QString name;
    bool passed = false;
    QString message; // why it failed
    QString where;   // "boot.lua:14", where it failed
    qint64 ms = 0;
    QStringList log; // the log lines written while it ran
};

// How a run ended.
struct ScriptOutcome {
    enum class End {
        Finished,  // ran to its end (or os.exit)
        NotLoaded, // could not be read or compiled: error says why, with file and line
        NotOpened, // the port to open first did not open: error says why
        Stopped,   // 停止, or the run's owner stopped it
        TimedOut,  // the whole run's time-out
    };
    End end = End::Finished;
    QString error;
    QString script; // the file's name, "boot.lua"
    std::vector<ScriptCase> cases;
    QStringList log; // every line, verdicts among them, as the run's log shows them
    qint64 ms = 0;
    int passed() const;
    int failed() const;
};

// Runs one Lua script at a time on a thread of its own (owned, joined), while
// the port and everything else stay on this object's thread. What the script
// does to the port goes through the ScriptPort; its log lines and verdicts
// come back through the signals as they happen.
class ScriptRun : public QObject
{
    Q_OBJECT

public:
    explicit ScriptRun(ScriptPort *port, QObject *parent = nullptr);
    ~ScriptRun() override; // stops a run and waits for its thread

    // Starts path; false while a run is under way. A port given is opened
    // (as open() does) once the script has loaded and before it runs, so
    // nothing the device sends from its opening on escapes the script.
    struct Opening {
        QString port, settings;
    };
    bool start(const QString &path, const std::optional<Opening> &first = std::nullopt);
    bool isRunning() const { return m_running; }
    // Asks the run to end (an endless loop too, within a few milliseconds);
    // finished follows. timedOut: because the whole run took too long.
    void stop(bool timedOut = false);
    // Waits for the run's thread to end (after stop, or when it ends by
    // itself), at most ms; true when it has ended.
    bool wait(int ms);

    // The memory a script may take (Lua's own allocations).
    static constexpr size_t kMemoryLimit = size_t(1) << 30;

signals:
    // A line of the run's log: ms since the run began.
    void logged(qint64 ms, const QString &line);
    void caseFinished(const ScriptCase &c);
    void finished(const ScriptOutcome &outcome);

private:
    void join();
    void onEnded(const ScriptOutcome &outcome);

    ScriptPort *m_port;
    std::shared_ptr<ScriptChannel> m_channel;
    std::thread m_thread;
    std::atomic<bool> m_threadDone{false};
    bool m_running = false;
};

Q_DECLARE_METATYPE(ScriptCase)
Q_DECLARE_METATYPE(ScriptOutcome)
