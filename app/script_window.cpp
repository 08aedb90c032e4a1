#include "app/script_window.h"

#include "app/dialogs.h"
#include "app/tool_window.h"
#include "script/script_port.h"
#include "script/script_run.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
// Lines kept in the list; the oldest go first (the run's own log keeps all).
constexpr int kMaxLines = 10000;
// How long quitting waits for a run to end.
constexpr int kQuitWaitMs = 1000;
} // namespace

ScriptWindow::ScriptWindow(ScriptPort *port, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_port(port), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("ScriptWindow"));
    setWindowTitle(QStringLiteral("脚本"));
    setAccessibleName(QStringLiteral("脚本"));
    resize(560, 420);
    m_port->setParent(this);
    m_run = new ScriptRun(m_port, this);

    m_path = new QLineEdit(this);
    m_path->setReadOnly(true);
    m_path->setAccessibleName(QStringLiteral("脚本文件"));
    auto *pathLabel = new QLabel(QStringLiteral("脚本(&F):"), this);
    pathLabel->setBuddy(m_path);
    m_runButton = new QPushButton(QStringLiteral("运行(&R)"), this);
    m_runButton->setAccessibleDescription(QStringLiteral("从头运行这个脚本"));
    m_stopButton = new QPushButton(QStringLiteral("停止(&S)"), this);
    m_stopButton->setAccessibleDescription(QStringLiteral("停止正在运行的脚本"));
    auto *top = new QHBoxLayout;
    top->addWidget(pathLabel);
    top->addWidget(m_path, 1);
    top->addWidget(m_runButton);
    top->addWidget(m_stopButton);

    m_log = new QListWidget(this);
    m_log->setObjectName(QStringLiteral("ScriptLog"));
    m_log->setAccessibleName(QStringLiteral("运行记录"));
    m_log->setUniformItemSizes(true);
    m_state = new QLabel(QStringLiteral("未运行"), this);
    // Read by what they say; what they are is their description.
    m_state->setAccessibleDescription(QStringLiteral("状态"));
    m_summary = new QLabel(this);
    m_summary->setAccessibleDescription(QStringLiteral("结果"));
    auto *foot = new QHBoxLayout;
    foot->addWidget(m_state, 1);
    foot->addWidget(m_summary);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_log, 1);
    layout->addLayout(foot);
    addCloseKeys(this, layout);
    setTabOrder(m_path, m_runButton);
    setTabOrder(m_runButton, m_stopButton);
    setTabOrder(m_stopButton, m_log);

    connect(m_runButton, &QPushButton::clicked, this, &ScriptWindow::start);
    connect(m_stopButton, &QPushButton::clicked, m_run, [this] { m_run->stop(); });
    connect(m_run, &ScriptRun::logged, this, &ScriptWindow::onLogged);
    connect(m_run, &ScriptRun::caseFinished, this, &ScriptWindow::onCase);
    connect(m_run, &ScriptRun::finished, this, &ScriptWindow::onFinished);
    showCounts();
    setRunning(false);
}

ScriptWindow::~ScriptWindow()
{
    delete m_run; // before the port it talks to
}

void ScriptWindow::chooseAndRun(const QString &scriptsFolder)
{
    const auto path =
        m_dialogs->chooseScript(m_lastFolder.isEmpty() ? scriptsFolder : m_lastFolder);
    if (!path)
        return;
    m_lastFolder = QFileInfo(*path).absolutePath();
    runScript(*path);
}

void ScriptWindow::runScript(const QString &path)
{
    show();
    raise();
    activateWindow();
    if (m_run->isRunning())
        return;
    m_path->setText(path);
    start();
}

void ScriptWindow::start()
{
    if (m_run->isRunning() || m_path->text().isEmpty())
        return;
    m_log->clear();
    m_passed = m_failed = 0;
    showCounts();
    if (m_run->start(m_path->text()))
        setRunning(true);
}

void ScriptWindow::shutdown()
{
    m_run->stop();
    m_run->wait(kQuitWaitMs);
}

void ScriptWindow::onLogged(qint64 ms, const QString &line)
{
    auto *item = new QListWidgetItem(
        QStringLiteral("%1  %2").arg(double(ms) / 1000.0, 8, 'f', 3).arg(line), m_log);
    if (line.startsWith(QStringLiteral("FAIL ")))
        item->setForeground(Qt::darkRed);
    if (m_log->count() > kMaxLines)
        delete m_log->takeItem(0);
    m_log->scrollToBottom();
}

void ScriptWindow::onCase(const ScriptCase &c)
{
    ++(c.passed ? m_passed : m_failed);
    showCounts();
}

void ScriptWindow::onFinished(const ScriptOutcome &o)
{
    setRunning(false);
    switch (o.end) {
    case ScriptOutcome::End::Finished:
        m_state->setText(QStringLiteral("已结束"));
        break;
    case ScriptOutcome::End::NotLoaded:
        m_state->setText(QStringLiteral("无法载入：") + o.error);
        break;
    case ScriptOutcome::End::NotOpened:
        m_state->setText(QStringLiteral("无法打开串口：") + o.error);
        break;
    case ScriptOutcome::End::Stopped:
    case ScriptOutcome::End::TimedOut:
        m_state->setText(QStringLiteral("已停止"));
        break;
    }
    m_state->setToolTip(m_state->text());
}

void ScriptWindow::showCounts()
{
    m_summary->setText(QStringLiteral("通过 %1，失败 %2").arg(m_passed).arg(m_failed));
}

void ScriptWindow::setRunning(bool running)
{
    m_runButton->setEnabled(!running && !m_path->text().isEmpty());
    m_stopButton->setEnabled(running);
    if (running)
        m_state->setText(QStringLiteral("正在运行"));
}
