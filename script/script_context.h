#pragma once

#include "script/match_stream.h"
#include "script/patterns.h"
#include "script/script_channel.h"
#include "script/script_run.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

struct lua_State;
class ScriptPort;

// Everything a running script has, on the script's thread: its Lua state,
// what it received and has not yet matched, its answer rules, the test case
// under way and the verdicts so far. The Lua functions (script_library.cpp)
// call in here; nothing here raises a Lua error itself (Lua's errors jump
// over C++ frames), but returns a Status that the function turns into one
// once every C++ object of its own is gone.
class ScriptContext
{
public:
    enum class Status {
        Ok,
        Error,    // error() says why: raised as a message with the script's line
        LuaError, // the error value is on top of the Lua stack: raised as it is
    };
    struct Events {
        std::function<void(qint64 ms, const QString &line)> logged;
        std::function<void(const ScriptCase &c)> caseFinished;
    };

    ScriptContext(std::shared_ptr<ScriptChannel> channel, ScriptPort *port, Events events);
    ~ScriptContext();
    ScriptOutcome run(const QString &path);
    // Before run: the port run opens once the script has loaded.
    void openFirst(const QString &port, const QString &settings)
    {
        m_firstPort = port;
        m_firstSettings = settings;
    }

    static ScriptContext *of(lua_State *L);
    const char *error() const { return m_error.constData(); }
    // A fixed error, or one with a message to show.
    Status fail(const QString &why);

    // The port, on its own thread: the request waits for its answer. flag:
    // what the answer says (control lines there).
    using Request = std::function<void(ScriptPort *, ScriptChannel::Reply)>;
    Status ask(const Request &request, bool *flag = nullptr);

    // Waiting for what the device sends.
    static constexpr qint64 kDefaultExpectMs = 10000;
    Status expect(std::vector<Pattern> patterns, qint64 timeoutMs,
                  std::optional<PatternMatch> *match);
    Status sleep(qint64 ms);
    QByteArray takeReceived();
    int addRule(Pattern pattern, int function); // function: a registry reference
    bool removeRule(int id);

    // Test cases and the log.
    Status beginCase(const QString &name, qint64 timeoutMs);
    // Ends the case under way: the status its function returned, with the
    // error value on top of the stack when it failed. Ok: the script goes
    // on; otherwise the value to raise again is on the stack.
    Status endCase(int luaStatus);
    void failCheck(const QString &message, const QString &where);
    void log(const QString &line);
    void exitRequested(bool success);

    // Lua hooks and handlers.
    static void hook(lua_State *L, void *ar);
    static int messageHandler(lua_State *L);
    // Pushes the value that ends the script (a stop) or the case (its time).
    Status pushStop();
    Status checkTime();

    qint64 elapsed() const;

private:
    Status pump(bool rules);
    Status runRules();
    Status waitUntil(qint64 deadline);
    QString describe(int index, QString *where);
    void finishCase(ScriptCase c);

    std::shared_ptr<ScriptChannel> m_channel;
    ScriptPort *m_port;
    Events m_events;
    lua_State *m_L = nullptr;
    size_t m_memory = 0;
    QString m_name;
    QString m_firstPort, m_firstSettings;
    qint64 m_start = 0;
    QByteArray m_error;

    MatchStream m_stream;
    qint64 m_cursor = 0; // what expect and received() took ends here
    struct Rule {
        PatternSearch search;
        int function;
    };
    std::map<int, Rule> m_rules;
    int m_nextRule = 1;
    bool m_inRule = false;

    std::optional<ScriptCase> m_case;
    qint64 m_caseStart = 0;
    qint64 m_caseDeadline = -1;
    qint64 m_caseLimit = 0;
    QString m_checkMessage, m_checkWhere; // of the last failed check
    const void *m_whereOf = nullptr;      // the error value m_errorWhere belongs to
    QString m_errorWhere;
    bool m_exitSuccess = true;
    ScriptOutcome m_outcome;

    static void *allocate(void *ud, void *ptr, size_t osize, size_t nsize);
};

// The functions scripts call, in the state's globals (script_library.cpp).
void openScriptLibrary(lua_State *L);
// The values that end a case or the script and that no ordinary error is.
extern const char kStopValue, kTimeValue, kCheckValue, kExitValue;
