// The functions a script calls, as Lua's own libraries keep theirs: one C
// function each, and a table that names them. Each takes its arguments first
// (a bad one raises before any C++ object exists), then lets the context do
// the work, and raises what the context reports only once the work's own
// objects are gone.

#include "script/script_context.h"
#include "script/script_port.h"
#include "serial/codepage936.h"
#include "serial/port.h"
#include "transfer/transfer_run.h"
#include "transmit/hex_send.h"
#include "transmit/send_options.h"

#include <QFileInfo>
#include <lua.hpp>

namespace
{
constexpr const char *kPatternType = "quorvex.pattern";

ScriptContext *ctx(lua_State *L)
{
    return ScriptContext::of(L);
}

// Raises what status says, or returns results.
int finish(lua_State *L, ScriptContext::Status status, int results)
{
    switch (status) {
    case ScriptContext::Status::Ok:
        return results;
    case ScriptContext::Status::Error:
        return luaL_error(L, "%s", ctx(L)->error());
    case ScriptContext::Status::LuaError:
        return lua_error(L);
    }
    return results;
}

QString utf8(lua_State *L, int index)
{
    size_t n = 0;
    const char *s = lua_tolstring(L, index, &n);
    return QString::fromUtf8(s, qsizetype(n));
}

bool validUtf8(lua_State *L, int index)
{
    size_t n = 0;
    const char *s = lua_tolstring(L, index, &n);
    QStringDecoder d(QStringDecoder::Utf8);
    (void)d.decode(QByteArrayView(s, qsizetype(n)));
    return !d.hasError();
}

void pushBytes(lua_State *L, const QByteArray &bytes)
{
    lua_pushlstring(L, bytes.constData(), size_t(bytes.size()));
}

// ---- patterns -------------------------------------------------------------

Pattern *toPattern(lua_State *L, int index)
{
    return static_cast<Pattern *>(luaL_testudata(L, index, kPatternType));
}

int patternGc(lua_State *L)
{
    if (Pattern *p = toPattern(L, 1))
        p->~Pattern();
    return 0;
}

int patternToString(lua_State *L)
{
    const Pattern *p = toPattern(L, 1);
    QByteArray text;
    if (p && p->kind == Pattern::Kind::Regex)
        text = "regex(" + p->regex.pattern().toUtf8() + ")";
    else if (p)
        text = "hex(" + p->bytes.toHex(' ').toUpper() + ")";
    pushBytes(L, text);
    return 1;
}

// The pattern make(argument 1) makes, or an error with why it could not.
template <typename Make> int makePattern(lua_State *L, Make make)
{
    luaL_checkstring(L, 1);
    ScriptContext::Status status = ScriptContext::Status::Ok;
    {
        QString why;
        std::optional<Pattern> p = make(utf8(L, 1), &why);
        if (!p) {
            status = ctx(L)->fail(why);
        } else {
            void *where = lua_newuserdatauv(L, sizeof(Pattern), 0);
            new (where) Pattern(std::move(*p));
            luaL_setmetatable(L, kPatternType);
        }
    }
    return finish(L, status, 1);
}

// hex("01 03 ?? 14")
int l_hex(lua_State *L)
{
    return makePattern(L, [](const QString &s, QString *why) { return Pattern::fromHex(s, why); });
}

// regex("ERR(\\d+)")
int l_regex(lua_State *L)
{
    return makePattern(L,
                       [](const QString &s, QString *why) { return Pattern::fromRegex(s, why); });
}

// One pattern at index: a text, or what hex() or regex() made.
bool readPattern(lua_State *L, int index, std::vector<Pattern> &out, QString *why)
{
    if (const Pattern *p = toPattern(L, index)) {
        out.push_back(*p);
        return true;
    }
    if (lua_type(L, index) != LUA_TSTRING) {
        *why = QStringLiteral("模式应是文字、hex(...) 或 regex(...)，而不是 %1")
                   .arg(QString::fromUtf8(luaL_typename(L, index)));
        return false;
    }
    if (lua_rawlen(L, index) == 0) {
        *why = QStringLiteral("模式是空的");
        return false;
    }
    if (!validUtf8(L, index)) {
        *why = QStringLiteral("文字模式不是有效的 UTF-8（字节请用 hex(...)）");
        return false;
    }
    out.push_back(Pattern::fromText(utf8(L, index)));
    return true;
}

// A pattern, or a list of them.
bool readPatterns(lua_State *L, int index, std::vector<Pattern> &out, QString *why)
{
    if (lua_type(L, index) != LUA_TTABLE)
        return readPattern(L, index, out, why);
    const lua_Integer n = lua_Integer(lua_rawlen(L, index));
    for (lua_Integer i = 1; i <= n; ++i) {
        lua_rawgeti(L, index, i);
        const bool ok = readPattern(L, -1, out, why);
        lua_pop(L, 1);
        if (!ok)
            return false;
    }
    if (out.empty()) {
        *why = QStringLiteral("没有模式");
        return false;
    }
    return true;
}

// expect(patterns [, timeout_ms]) -> index, text, captures... | nil
int l_expect(lua_State *L)
{
    luaL_checkany(L, 1);
    const lua_Integer timeout = luaL_optinteger(L, 2, ScriptContext::kDefaultExpectMs);
    ScriptContext::Status status;
    int results = 0;
    {
        std::vector<Pattern> patterns;
        QString why;
        if (!readPatterns(L, 1, patterns, &why)) {
            status = ctx(L)->fail(why);
        } else {
            std::vector<bool> bytes;
            for (const Pattern &p : patterns)
                bytes.push_back(p.kind == Pattern::Kind::Bytes);
            std::optional<PatternMatch> m;
            status = ctx(L)->expect(std::move(patterns), timeout, &m);
            if (status == ScriptContext::Status::Ok && !m) {
                lua_pushnil(L);
                results = 1;
            } else if (status == ScriptContext::Status::Ok) {
                lua_pushinteger(L, m->index + 1);
                pushBytes(L, bytes[size_t(m->index)] ? m->bytes : m->text.toUtf8());
                results = 2;
                for (const QString &c : m->captures) {
                    if (c.isNull())
                        lua_pushnil(L);
                    else
                        pushBytes(L, c.toUtf8());
                    ++results;
                }
            }
        }
    }
    return finish(L, status, results);
}

// received() -> the bytes not yet matched
int l_received(lua_State *L)
{
    {
        const QByteArray bytes = ctx(L)->takeReceived();
        pushBytes(L, bytes);
    }
    return 1;
}

// sleep(ms)
int l_sleep(lua_State *L)
{
    const lua_Integer ms = luaL_checkinteger(L, 1);
    return finish(L, ctx(L)->sleep(ms), 0);
}

// on(pattern, function) -> handle
int l_on(lua_State *L)
{
    luaL_checkany(L, 1);
    luaL_checktype(L, 2, LUA_TFUNCTION);
    ScriptContext::Status status = ScriptContext::Status::Ok;
    {
        std::vector<Pattern> one;
        QString why;
        if (lua_type(L, 1) == LUA_TTABLE || !readPattern(L, 1, one, &why)) {
            status = ctx(L)->fail(why.isEmpty() ? QStringLiteral("on 只接受一个模式") : why);
        } else {
            lua_pushvalue(L, 2);
            const int function = luaL_ref(L, LUA_REGISTRYINDEX);
            lua_pushinteger(L, ctx(L)->addRule(std::move(one.front()), function));
        }
    }
    return finish(L, status, 1);
}

// off(handle) -> whether it was a rule
int l_off(lua_State *L)
{
    const lua_Integer id = luaL_checkinteger(L, 1);
    lua_pushboolean(L, ctx(L)->removeRule(int(id)));
    return 1;
}

// ---- the port -------------------------------------------------------------

// open(port [, settings])
int l_open(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_optstring(L, 2, "");
    ScriptContext::Status status;
    {
        const QString name = utf8(L, 1);
        const QString settings = lua_isnoneornil(L, 2) ? QString() : utf8(L, 2);
        status = ctx(L)->ask([name, settings](ScriptPort *port, ScriptChannel::Reply reply) {
            port->open(name, settings, std::move(reply));
        });
    }
    return finish(L, status, 0);
}

int l_close(lua_State *L)
{
    return finish(L, ctx(L)->ask([](ScriptPort *port, ScriptChannel::Reply reply) {
        port->close(std::move(reply));
    }),
                  0);
}

ScriptContext::Status sendBytes(lua_State *L, const QByteArray &bytes)
{
    return ctx(L)->ask([bytes](ScriptPort *port, ScriptChannel::Reply reply) {
        port->send(bytes, std::move(reply));
    });
}

// send(text): UTF-8 in the script, code page 936 on the wire, nothing added or taken away.
int l_send(lua_State *L)
{
    luaL_checkstring(L, 1);
    ScriptContext::Status status;
    if (!validUtf8(L, 1)) {
        status = ctx(L)->fail(
            QStringLiteral("send 的文字不是有效的 UTF-8（原样的字节请用 sendraw 或 sendhex）"));
    } else {
        const QByteArray bytes = cp936::encode(utf8(L, 1));
        status = bytes.isEmpty() ? ScriptContext::Status::Ok : sendBytes(L, bytes);
    }
    return finish(L, status, 0);
}

// sendraw(bytes): a Lua string's bytes as they are.
int l_sendraw(lua_State *L)
{
    size_t n = 0;
    const char *s = luaL_checklstring(L, 1, &n);
    ScriptContext::Status status = ScriptContext::Status::Ok;
    if (n > 0)
        status = sendBytes(L, QByteArray(s, qsizetype(n)));
    return finish(L, status, 0);
}

// sendhex(hex [, checksum])
int l_sendhex(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_optstring(L, 2, "");
    ScriptContext::Status status;
    {
        const auto checksum =
            lua_isnoneornil(L, 2) ? std::optional(Checksum::None) : checksumFromKey(utf8(L, 2));
        QByteArray bytes = hexSendBytes(utf8(L, 1));
        if (!checksum) {
            QStringList keys;
            for (Checksum c : kChecksums)
                if (c != Checksum::None)
                    keys << key(c);
            status = ctx(L)->fail(QStringLiteral("没有“%1”这种校验；可用的有 %2")
                                      .arg(utf8(L, 2), keys.join(QStringLiteral("、"))));
        } else if (bytes.isEmpty()) {
            status = ctx(L)->fail(QStringLiteral("“%1”里没有十六进制字节").arg(utf8(L, 1)));
        } else {
            bytes += checksumBytes(*checksum, bytes);
            status = sendBytes(L, bytes);
        }
    }
    return finish(L, status, 0);
}

// dtr(on), rts(on) -> whether the port has the lines (the level holds either way)
int setLine(lua_State *L, bool dtr)
{
    luaL_checkany(L, 1);
    const bool on = lua_toboolean(L, 1);
    bool applied = false;
    const ScriptContext::Status status = ctx(L)->ask(
        [dtr, on](ScriptPort *port, ScriptChannel::Reply reply) {
            dtr ? port->setDtr(on, std::move(reply)) : port->setRts(on, std::move(reply));
        },
        &applied);
    lua_pushboolean(L, applied);
    return finish(L, status, 1);
}

int l_dtr(lua_State *L)
{
    return setLine(L, true);
}

int l_rts(lua_State *L)
{
    return setLine(L, false);
}

// pulse() -> whether the port has the lines to pulse
int l_pulse(lua_State *L)
{
    bool done = false;
    const ScriptContext::Status status = ctx(L)->ask(
        [](ScriptPort *port, ScriptChannel::Reply reply) { port->pulse(std::move(reply)); }, &done);
    lua_pushboolean(L, done);
    return finish(L, status, 1);
}

// sendbreak([ms]) -> whether the port could send one
int l_sendbreak(lua_State *L)
{
    const lua_Integer ms = luaL_optinteger(L, 1, Port::kBreakMs);
    luaL_argcheck(L, ms > 0 && ms <= 60000, 1, "1 to 60000 ms");
    bool done = false;
    const ScriptContext::Status status = ctx(L)->ask(
        [ms](ScriptPort *port, ScriptChannel::Reply reply) {
            port->sendBreak(int(ms), std::move(reply));
        },
        &done);
    lua_pushboolean(L, done);
    return finish(L, status, 1);
}

// ---- file transfers ----------------------------------------------------------

// Runs job on the port and pushes true, or nil and the reason.
int transferResult(lua_State *L, TransferRun::Job job)
{
    auto why = std::make_shared<QString>();
    bool ok = false;
    const ScriptContext::Status status = ctx(L)->ask(
        [job = std::move(job), why](ScriptPort *port, ScriptChannel::Reply reply) {
            port->transfer(job, why, std::move(reply));
        },
        &ok);
    if (status != ScriptContext::Status::Ok)
        return finish(L, status, 0);
    if (ok) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    const QByteArray reason = why->toUtf8();
    lua_pushlstring(L, reason.constData(), size_t(reason.size()));
    return 2;
}

QStringList pathArguments(lua_State *L, int from)
{
    QStringList paths;
    for (int i = from; i <= lua_gettop(L); ++i) {
        luaL_checkstring(L, i);
        paths << QFileInfo(utf8(L, i)).absoluteFilePath();
    }
    return paths;
}

TransferRun::Protocol xmodemVariant(lua_State *L, int index, const char *fallback)
{
    static const char *const names[] = {"xmodem", "xmodem-crc", "xmodem-1k", nullptr};
    const int v = luaL_checkoption(L, index, fallback, names);
    return v == 0   ? TransferRun::Protocol::XModem
           : v == 1 ? TransferRun::Protocol::XModemCrc
                    : TransferRun::Protocol::XModem1k;
}

// xsend(path [, "xmodem" | "xmodem-crc" | "xmodem-1k"]) -> true | nil, reason
int l_xsend(lua_State *L)
{
    const QStringList path = {
        QFileInfo(QString::fromUtf8(luaL_checkstring(L, 1))).absoluteFilePath()};
    const TransferRun::Protocol p = xmodemVariant(L, 2, "xmodem-crc");
    return transferResult(L, {p, TransferRun::Direction::Send, path, {}, {}});
}

// xrecv(path [, "xmodem" for checksums]) -> true | nil, reason
int l_xrecv(lua_State *L)
{
    const QFileInfo path(QString::fromUtf8(luaL_checkstring(L, 1)));
    const TransferRun::Protocol p = xmodemVariant(L, 2, "xmodem-crc");
    return transferResult(
        L, {p == TransferRun::Protocol::XModem ? p : TransferRun::Protocol::XModemCrc,
            TransferRun::Direction::Receive,
            {},
            path.absolutePath(),
            path.fileName()});
}

// ysend(path, ...) / zsend(path, ...) -> true | nil, reason
int sendFiles(lua_State *L, TransferRun::Protocol p)
{
    luaL_checkstring(L, 1);
    return transferResult(L, {p, TransferRun::Direction::Send, pathArguments(L, 1), {}, {}});
}
int l_ysend(lua_State *L)
{
    return sendFiles(L, TransferRun::Protocol::YModem);
}
int l_zsend(lua_State *L)
{
    return sendFiles(L, TransferRun::Protocol::ZModem);
}

// yrecv(folder) / zrecv(folder) -> true | nil, reason
int receiveFiles(lua_State *L, TransferRun::Protocol p)
{
    const QString folder = QFileInfo(QString::fromUtf8(luaL_checkstring(L, 1))).absoluteFilePath();
    return transferResult(L, {p, TransferRun::Direction::Receive, {}, folder, {}});
}
int l_yrecv(lua_State *L)
{
    return receiveFiles(L, TransferRun::Protocol::YModem);
}
int l_zrecv(lua_State *L)
{
    return receiveFiles(L, TransferRun::Protocol::ZModem);
}

// ---- test cases and the log ------------------------------------------------

// test(name, function [, timeout_ms])
int l_test(lua_State *L)
{
    luaL_checkstring(L, 1);
    luaL_checktype(L, 2, LUA_TFUNCTION);
    const lua_Integer timeout = luaL_optinteger(L, 3, -1);
    ScriptContext::Status status = ctx(L)->beginCase(utf8(L, 1), timeout);
    if (status != ScriptContext::Status::Ok)
        return finish(L, status, 0);
    lua_pushcfunction(L, &ScriptContext::messageHandler);
    lua_pushvalue(L, 2);
    const int result = lua_pcall(L, 0, 0, -2);
    // The handler stays under the error value (or alone), and goes.
    lua_remove(L, result == LUA_OK ? -1 : -2);
    return finish(L, ctx(L)->endCase(result), 0);
}

// check(condition [, message])
int l_check(lua_State *L)
{
    luaL_checkany(L, 1);
    if (lua_toboolean(L, 1))
        return 0;
    {
        luaL_where(L, 1);
        QString where = utf8(L, -1);
        lua_pop(L, 1);
        while (where.endsWith(u':') || where.endsWith(u' '))
            where.chop(1);
        QString message = QStringLiteral("check 失败");
        if (!lua_isnoneornil(L, 2)) {
            size_t n = 0;
            const char *s = luaL_tolstring(L, 2, &n);
            message = QString::fromUtf8(s, qsizetype(n));
            lua_pop(L, 1);
        }
        ctx(L)->failCheck(message, where);
    }
    lua_pushlightuserdata(L, const_cast<char *>(&kCheckValue));
    return lua_error(L);
}

// log(...): like print, into the run's log.
int l_log(lua_State *L)
{
    const int n = lua_gettop(L);
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    for (int i = 1; i <= n; ++i) {
        if (i > 1)
            luaL_addchar(&b, '\t');
        luaL_tolstring(L, i, nullptr);
        luaL_addvalue(&b);
    }
    luaL_pushresult(&b);
    {
        const QString line = utf8(L, -1);
        ctx(L)->log(line);
    }
    lua_pop(L, 1);
    return 0;
}

// os.exit([code]): the run ends here (the program, or the window, goes on).
int l_exit(lua_State *L)
{
    bool success = true;
    if (lua_isboolean(L, 1))
        success = lua_toboolean(L, 1);
    else if (!lua_isnoneornil(L, 1))
        success = luaL_optinteger(L, 1, 0) == 0;
    ctx(L)->exitRequested(success);
    lua_pushlightuserdata(L, const_cast<char *>(&kExitValue));
    return lua_error(L);
}

const luaL_Reg kFunctions[] = {
    {"open", l_open},         {"close", l_close},   {"send", l_send},   {"sendraw", l_sendraw},
    {"sendhex", l_sendhex},   {"expect", l_expect}, {"hex", l_hex},     {"regex", l_regex},
    {"received", l_received}, {"sleep", l_sleep},   {"on", l_on},       {"off", l_off},
    {"dtr", l_dtr},           {"rts", l_rts},       {"pulse", l_pulse}, {"sendbreak", l_sendbreak},
    {"test", l_test},         {"check", l_check},   {"log", l_log},     {"print", l_log},
    {"xsend", l_xsend},       {"xrecv", l_xrecv},   {"ysend", l_ysend}, {"yrecv", l_yrecv},
    {"zsend", l_zsend},       {"zrecv", l_zrecv},   {nullptr, nullptr},
};

const luaL_Reg kPatternMethods[] = {
    {"__gc", patternGc},
    {"__tostring", patternToString},
    {nullptr, nullptr},
};
} // namespace

void openScriptLibrary(lua_State *L)
{
    luaL_newmetatable(L, kPatternType);
    luaL_setfuncs(L, kPatternMethods, 0);
    lua_pop(L, 1);
    lua_pushglobaltable(L);
    luaL_setfuncs(L, kFunctions, 0);
    lua_pop(L, 1);
    lua_getglobal(L, "os");
    lua_pushcfunction(L, l_exit);
    lua_setfield(L, -2, "exit");
    lua_pop(L, 1);
}
