#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP (a logout, kill, Ctrl+C in the terminal that
// started the program) are turned into an ordinary event of the window's
// thread, so the program can quit as its quit button does: the port closed
// (its lock and exclusive use let go), the record written out, nothing asked.
// One at a time per program; the handlers only write the signal's number to a
// pipe, which is all a signal handler may safely do.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    void received(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
};
