#pragma once

#include <QString>
#include <QWidget>

class Dialogs;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class ScriptPort;
class ScriptRun;
struct ScriptCase;
struct ScriptOutcome;

// The 脚本 window: runs a device-test script on the window's port while
// everything else goes on (the receive box shows what comes, TX counts what
// the script sends, the user may still type and send). It shows the
// script's path, 运行 and 停止, the run's log lines and verdicts with their
// times as they come, and a summary: 通过 N，失败 M.
class ScriptWindow : public QWidget
{
    Q_OBJECT

public:
    // Takes port over; dialogs is used, not owned.
    ScriptWindow(ScriptPort *port, Dialogs *dialogs, QWidget *parent = nullptr);
    ~ScriptWindow() override; // a run under way is stopped and waited for

    ScriptPort *port() const { return m_port; }
    ScriptRun *run() const { return m_run; }
    // Asks for a script (in the folder last used, or the scripts folder) and runs it.
    void chooseAndRun(const QString &scriptsFolder);
    // Shows the window and runs path (a run under way is not disturbed).
    void runScript(const QString &path);
    // At quit: the run is stopped, and given a moment to end.
    void shutdown();

    QListWidget *logList() const { return m_log; }
    QLabel *summary() const { return m_summary; }
    QLabel *state() const { return m_state; }
    QPushButton *runButton() const { return m_runButton; }
    QPushButton *stopButton() const { return m_stopButton; }

private:
    void start();
    void onLogged(qint64 ms, const QString &line);
    void onCase(const ScriptCase &c);
    void onFinished(const ScriptOutcome &o);
    void showCounts();
    void setRunning(bool running);

    ScriptPort *m_port;
    ScriptRun *m_run;
    Dialogs *m_dialogs;
    QString m_lastFolder;
    QLineEdit *m_path;
    QPushButton *m_runButton;
    QPushButton *m_stopButton;
    QListWidget *m_log;
    QLabel *m_state;
    QLabel *m_summary;
    int m_passed = 0, m_failed = 0;
};
