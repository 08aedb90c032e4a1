#include "script/script_run.h"

#include "script/script_channel.h"
#include "script/script_context.h"
#include "script/script_port.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <chrono>

int ScriptOutcome::passed() const
{
    return int(
        std::count_if(cases.begin(), cases.end(), [](const ScriptCase &c) { return c.passed; }));
}

int ScriptOutcome::failed() const
{
    return int(cases.size()) - passed();
}

ScriptRun::ScriptRun(ScriptPort *port, QObject *parent) : QObject(parent), m_port(port)
{
    qRegisterMetaType<ScriptCase>();
    qRegisterMetaType<ScriptOutcome>();
}

ScriptRun::~ScriptRun()
{
    stop();
    join();
    m_port->detach();
}

bool ScriptRun::start(const QString &path, const std::optional<Opening> &first)
{
    if (m_running)
        return false;
    join();
    m_running = true;
    m_threadDone = false;
    m_channel = std::make_shared<ScriptChannel>();
    m_port->attach(m_channel);
    ScriptContext::Events events;
    events.logged = [this](qint64 ms, const QString &line) {
        QMetaObject::invokeMethod(
            this, [this, ms, line] { emit logged(ms, line); }, Qt::QueuedConnection);
    };
    events.caseFinished = [this](const ScriptCase &c) {
        QMetaObject::invokeMethod(
            this, [this, c] { emit caseFinished(c); }, Qt::QueuedConnection);
    };
    m_thread = std::thread([this, path, first, channel = m_channel, port = m_port, events] {
        ScriptOutcome outcome;
        {
            ScriptContext context(channel, port, events);
            if (first)
                context.openFirst(first->port, first->settings);
            outcome = context.run(path);
        }
        m_threadDone = true;
        QMetaObject::invokeMethod(
            this, [this, outcome] { onEnded(outcome); }, Qt::QueuedConnection);
    });
    return true;
}

void ScriptRun::stop(bool timedOut)
{
    if (m_channel)
        m_channel->stop(timedOut ? ScriptChannel::Stop::Time : ScriptChannel::Stop::User);
}

bool ScriptRun::wait(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (m_running && !m_threadDone && std::chrono::steady_clock::now() < until) {
        // What the script asks of the port is done here meanwhile.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return !m_running || m_threadDone;
}

void ScriptRun::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void ScriptRun::onEnded(const ScriptOutcome &outcome)
{
    join();
    m_port->detach();
    m_channel.reset();
    m_running = false;
    emit finished(outcome);
}
