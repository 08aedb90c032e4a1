#include "script/script_context.h"

#include "script/script_port.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cstdlib>
#include <lua.hpp>

const char kStopValue = 0, kTimeValue = 0, kCheckValue = 0, kExitValue = 0;

namespace
{
constexpr int kHookEvery = 1000; // instructions between looks at a stop or the case's time

bool isValue(lua_State *L, int index, const char &which)
{
    return lua_islightuserdata(L, index) && lua_touserdata(L, index) == &which;
}

QString fromLua(lua_State *L, int index)
{
    size_t n = 0;
    const char *s = luaL_tolstring(L, index, &n);
    const QString text = QString::fromUtf8(s, qsizetype(n));
    lua_pop(L, 1);
    return text;
}
} // namespace

ScriptContext::ScriptContext(std::shared_ptr<ScriptChannel> channel, ScriptPort *port,
                             Events events)
    : m_channel(std::move(channel)), m_port(port), m_events(std::move(events))
{
    m_start = ScriptChannel::now();
    m_L = lua_newstate(&ScriptContext::allocate, this);
    *static_cast<ScriptContext **>(lua_getextraspace(m_L)) = this;
    luaL_openlibs(m_L);
    openScriptLibrary(m_L);
    lua_sethook(m_L, reinterpret_cast<lua_Hook>(&ScriptContext::hook), LUA_MASKCOUNT, kHookEvery);
}

ScriptContext::~ScriptContext()
{
    lua_close(m_L);
}

ScriptContext *ScriptContext::of(lua_State *L)
{
    return *static_cast<ScriptContext **>(lua_getextraspace(L));
}

// Lua's allocations, up to kMemoryLimit: beyond it an allocation fails, which
// Lua turns into a "not enough memory" error.
void *ScriptContext::allocate(void *ud, void *ptr, size_t osize, size_t nsize)
{
    auto *self = static_cast<ScriptContext *>(ud);
    const size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        std::free(ptr);
        self->m_memory -= old;
        return nullptr;
    }
    if (nsize > old && self->m_memory - old + nsize > ScriptRun::kMemoryLimit)
        return nullptr;
    void *p = std::realloc(ptr, nsize);
    if (p)
        self->m_memory = self->m_memory - old + nsize;
    return p;
}

qint64 ScriptContext::elapsed() const
{
    return ScriptChannel::now() - m_start;
}

ScriptContext::Status ScriptContext::fail(const QString &why)
{
    m_error = why.toUtf8();
    return Status::Error;
}

// ---- stopping ---------------------------------------------------------------

ScriptContext::Status ScriptContext::pushStop()
{
    lua_pushlightuserdata(m_L, const_cast<char *>(&kStopValue));
    return Status::LuaError;
}

ScriptContext::Status ScriptContext::checkTime()
{
    if (m_channel->stopped() != ScriptChannel::Stop::None)
        return pushStop();
    if (m_caseDeadline >= 0 && ScriptChannel::now() >= m_caseDeadline) {
        lua_pushlightuserdata(m_L, const_cast<char *>(&kTimeValue));
        return Status::LuaError;
    }
    return Status::Ok;
}

// Every kHookEvery instructions. Once the script is to end, at every
// instruction: a pcall in the script catches the value, but the next
// instruction outside it raises it again, so it reaches the top.
void ScriptContext::hook(lua_State *L, void *)
{
    ScriptContext *self = of(L);
    if (self->checkTime() == Status::Ok)
        return;
    lua_sethook(L, reinterpret_cast<lua_Hook>(&ScriptContext::hook), LUA_MASKCOUNT, 1);
    lua_error(L);
}

// Notes where in the script an error came from: the innermost line of the
// script's own file on the stack when it was raised.
int ScriptContext::messageHandler(lua_State *L)
{
    ScriptContext *self = of(L);
    const void *value = lua_topointer(L, 1);
    if (value && value == self->m_whereOf)
        return 1; // raised again on its way up: it came from where it was first noted
    self->m_whereOf = value;
    self->m_errorWhere.clear();
    const QByteArray source = "@" + self->m_name.toUtf8();
    lua_Debug ar;
    for (int level = 0; lua_getstack(L, level, &ar); ++level) {
        lua_getinfo(L, "Sl", &ar);
        if (ar.currentline > 0 && source == ar.source) {
            self->m_errorWhere = self->m_name + u':' + QString::number(ar.currentline);
            break;
        }
    }
    return 1;
}

// The message of the error value at index, without the place Lua put in
// front of it; where: the place.
QString ScriptContext::describe(int index, QString *where)
{
    *where = m_errorWhere;
    if (isValue(m_L, index, kCheckValue)) {
        *where = m_checkWhere;
        return m_checkMessage;
    }
    if (isValue(m_L, index, kTimeValue))
        return QStringLiteral("超时（%1 ms）").arg(m_caseLimit);
    if (isValue(m_L, index, kStopValue))
        return m_channel->stopped() == ScriptChannel::Stop::Time ? QStringLiteral("超过运行时限")
                                                                 : QStringLiteral("已停止");
    if (isValue(m_L, index, kExitValue))
        return QStringLiteral("os.exit 以失败结束");
    QString message = fromLua(m_L, index);
    // "boot.lua:14: attempt to ..." -> "attempt to ...", where "boot.lua:14".
    const qsizetype colon = message.indexOf(QStringLiteral(": "));
    if (colon > 0) {
        const QString place = message.left(colon);
        const qsizetype lineAt = place.lastIndexOf(u':');
        bool number = false;
        if (lineAt > 0)
            place.mid(lineAt + 1).toInt(&number);
        if (number) {
            if (where->isEmpty() || place == *where || place.startsWith(m_name))
                *where = place;
            message = message.mid(colon + 2);
        }
    }
    return message;
}

// ---- the run ----------------------------------------------------------------

ScriptOutcome ScriptContext::run(const QString &path)
{
    m_name = QFileInfo(path).fileName();
    m_outcome.script = m_name;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_outcome.end = ScriptOutcome::End::NotLoaded;
        m_outcome.error = QStringLiteral("无法读取 %1：%2").arg(path, file.errorString());
        log(m_outcome.error);
        return m_outcome;
    }
    const QByteArray code = file.readAll();
    const QByteArray chunk = "@" + m_name.toUtf8();
    lua_pushcfunction(m_L, &ScriptContext::messageHandler);
    const int handler = lua_gettop(m_L);
    if (luaL_loadbufferx(m_L, code.constData(), size_t(code.size()), chunk.constData(), "t") !=
        LUA_OK) {
        m_outcome.end = ScriptOutcome::End::NotLoaded;
        m_outcome.error = fromLua(m_L, -1);
        lua_pop(m_L, 1);
        log(m_outcome.error);
        m_outcome.ms = elapsed();
        return m_outcome;
    }
    if (!m_firstPort.isEmpty()) {
        const Status opened = ask([this](ScriptPort *port, ScriptChannel::Reply reply) {
            port->open(m_firstPort, m_firstSettings, std::move(reply));
        });
        if (opened != Status::Ok) {
            m_outcome.end = opened == Status::Error ? ScriptOutcome::End::NotOpened
                                                    : ScriptOutcome::End::Stopped;
            m_outcome.error =
                opened == Status::Error ? QString::fromUtf8(m_error) : QStringLiteral("已停止");
            lua_settop(m_L, 0);
            log(m_outcome.error);
            m_outcome.ms = elapsed();
            return m_outcome;
        }
    }
    const int status = lua_pcall(m_L, 0, 0, handler);
    if (status != LUA_OK) {
        if (isValue(m_L, -1, kStopValue)) {
            m_outcome.end = m_channel->stopped() == ScriptChannel::Stop::Time
                                ? ScriptOutcome::End::TimedOut
                                : ScriptOutcome::End::Stopped;
            m_outcome.error = describe(-1, &m_errorWhere);
            log(m_outcome.error);
        } else if (!isValue(m_L, -1, kExitValue) || !m_exitSuccess) {
            // An error outside any test case: the script itself fails, as a case of its name.
            ScriptCase c;
            c.name = m_name;
            c.message = describe(-1, &c.where);
            c.ms = elapsed();
            finishCase(c);
        }
        lua_pop(m_L, 1);
    }
    m_outcome.ms = elapsed();
    return m_outcome;
}

// A line of the run's log (and of the case's, while one runs).
void ScriptContext::log(const QString &line)
{
    m_outcome.log << line;
    if (m_case)
        m_case->log << line;
    if (m_events.logged)
        m_events.logged(elapsed(), line);
}

void ScriptContext::exitRequested(bool success)
{
    m_exitSuccess = success;
}

void ScriptContext::failCheck(const QString &message, const QString &where)
{
    m_checkMessage = message;
    m_checkWhere = where;
}

ScriptContext::Status ScriptContext::beginCase(const QString &name, qint64 timeoutMs)
{
    if (m_case)
        return fail(QStringLiteral("test 不能套在另一个 test 里"));
    m_case = ScriptCase{};
    m_case->name = name;
    m_caseStart = ScriptChannel::now();
    m_caseLimit = timeoutMs;
    m_caseDeadline = timeoutMs >= 0 ? m_caseStart + timeoutMs : -1;
    return Status::Ok;
}

ScriptContext::Status ScriptContext::endCase(int luaStatus)
{
    ScriptCase c = std::move(*m_case);
    m_case.reset();
    m_caseDeadline = -1;
    // Back to the usual look at a stop (a time-out may have made it every instruction).
    lua_sethook(m_L, reinterpret_cast<lua_Hook>(&ScriptContext::hook), LUA_MASKCOUNT, kHookEvery);
    c.ms = ScriptChannel::now() - m_caseStart;
    c.passed = luaStatus == LUA_OK;
    bool goOn = true;
    if (!c.passed) {
        const bool exiting = isValue(m_L, -1, kExitValue);
        goOn = !isValue(m_L, -1, kStopValue) && !exiting;
        if (exiting && m_exitSuccess)
            c.passed = true;
        else
            c.message = describe(-1, &c.where);
        if (goOn)
            lua_pop(m_L, 1);
        if (exiting)
            m_exitSuccess = true; // told with the case; the script ends well
    }
    finishCase(c);
    return goOn ? Status::Ok : Status::LuaError;
}

void ScriptContext::finishCase(ScriptCase c)
{
    m_whereOf = nullptr;
    const QString verdict =
        c.passed ? QStringLiteral("PASS %1 (%2 ms)").arg(c.name).arg(c.ms)
                 : QStringLiteral("FAIL %1: %2%3")
                       .arg(c.name, c.message,
                            c.where.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(c.where));
    m_outcome.log << verdict;
    if (m_events.logged)
        m_events.logged(elapsed(), verdict);
    m_outcome.cases.push_back(c);
    if (m_events.caseFinished)
        m_events.caseFinished(c);
}

// ---- the port ---------------------------------------------------------------

ScriptContext::Status ScriptContext::ask(const Request &request, bool *flag)
{
    const auto answer = m_channel->newAnswer();
    QMetaObject::invokeMethod(
        m_port,
        [port = m_port, request, reply = m_channel->replyTo(answer)] { request(port, reply); },
        Qt::QueuedConnection);
    QString error;
    bool answered = false;
    if (!m_channel->waitFor(*answer, &error, flag ? flag : &answered))
        return pushStop();
    return error.isEmpty() ? Status::Ok : fail(error);
}

// ---- what is received -------------------------------------------------------

ScriptContext::Status ScriptContext::pump(bool rules)
{
    ScriptChannel::Taken taken = m_channel->take();
    m_stream.skip(taken.skipped);
    for (const ScriptChannel::Piece &p : taken.pieces) {
        if (p.restart)
            m_stream.restart();
        m_stream.append(p.bytes);
    }
    const Status s = rules ? runRules() : Status::Ok;
    qint64 keep = m_cursor;
    for (const auto &[id, rule] : m_rules)
        keep = std::min(keep, rule.search.from());
    m_stream.release(keep);
    return s;
}

// Each rule's function, once for every time its pattern came, in the order
// the rules were made. A rule's function does not set off rules itself.
ScriptContext::Status ScriptContext::runRules()
{
    if (m_inRule || m_rules.empty())
        return Status::Ok;
    m_inRule = true;
    Status result = Status::Ok;
    for (int id = 0; result == Status::Ok;) {
        const auto it = m_rules.upper_bound(id);
        if (it == m_rules.end())
            break;
        id = it->first;
        std::optional<PatternMatch> m = it->second.search.find(m_stream);
        if (!m) {
            continue;
        }
        // An empty match moves on by a byte, so that it is not found forever.
        const qint64 from = it->second.search.from();
        it->second.search.restartAt(m->byteEnd > from ? m->byteEnd : from + 1);
        lua_pushcfunction(m_L, &ScriptContext::messageHandler);
        lua_rawgeti(m_L, LUA_REGISTRYINDEX, it->second.function);
        const QByteArray text = it->second.search.patterns()[0].kind == Pattern::Kind::Bytes
                                    ? m->bytes
                                    : m->text.toUtf8();
        lua_pushlstring(m_L, text.constData(), size_t(text.size()));
        const int status = lua_pcall(m_L, 1, 0, -3);
        lua_remove(m_L, status == LUA_OK ? -1 : -2); // the handler
        if (status != LUA_OK)
            result = Status::LuaError;
        --id; // the same rule again, for a later match
    }
    m_inRule = false;
    return result;
}

ScriptContext::Status ScriptContext::waitUntil(qint64 deadline)
{
    if (const Status s = checkTime(); s != Status::Ok)
        return s;
    const qint64 until = m_caseDeadline < 0 ? deadline
                         : deadline < 0     ? m_caseDeadline
                                            : std::min(deadline, m_caseDeadline);
    m_channel->wait(until);
    return checkTime();
}

ScriptContext::Status ScriptContext::expect(std::vector<Pattern> patterns, qint64 timeoutMs,
                                            std::optional<PatternMatch> *match)
{
    const int losses = m_channel->losses();
    PatternSearch search(std::move(patterns), m_cursor);
    const qint64 deadline = ScriptChannel::now() + std::max<qint64>(0, timeoutMs);
    for (bool first = true;; first = false) {
        if (const Status s = pump(true); s != Status::Ok)
            return s;
        if ((*match = search.find(m_stream))) {
            m_cursor = (*match)->byteEnd;
            return Status::Ok;
        }
        if (m_channel->losses() != losses)
            return fail(m_channel->lostWhy());
        if (first && m_channel->portState() == ScriptChannel::PortState::Closed)
            return fail(QStringLiteral("串口没有打开"));
        if (ScriptChannel::now() >= deadline)
            return Status::Ok;
        if (const Status s = waitUntil(deadline); s != Status::Ok)
            return s;
    }
}

ScriptContext::Status ScriptContext::sleep(qint64 ms)
{
    const qint64 deadline = ScriptChannel::now() + std::max<qint64>(0, ms);
    for (;;) {
        if (const Status s = pump(true); s != Status::Ok)
            return s;
        if (ScriptChannel::now() >= deadline)
            return Status::Ok;
        if (const Status s = waitUntil(deadline); s != Status::Ok)
            return s;
    }
}

QByteArray ScriptContext::takeReceived()
{
    pump(false);
    const QByteArray bytes = m_stream.bytes(m_cursor).toByteArray();
    m_cursor = m_stream.end();
    return bytes;
}

int ScriptContext::addRule(Pattern pattern, int function)
{
    const int id = m_nextRule++;
    std::vector<Pattern> one;
    one.push_back(std::move(pattern));
    m_rules.emplace(id, Rule{PatternSearch(std::move(one), m_cursor), function});
    return id;
}

bool ScriptContext::removeRule(int id)
{
    const auto it = m_rules.find(id);
    if (it == m_rules.end())
        return false;
    luaL_unref(m_L, LUA_REGISTRYINDEX, it->second.function);
    m_rules.erase(it);
    return true;
}
