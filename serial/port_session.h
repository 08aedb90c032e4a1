#pragma once

#include "serial/port.h"
#include "serial/port_settings.h"

#include <QObject>
#include <QString>

class PortLister;
class PortWatcher;

// The life of the port as the user sees it: opening at start-up, applying the
// selectors' settings, closing, waiting for a lost device and opening it again
// when it returns, and network openings that answer later. It keeps the texts
// of the last opening (its status line is shown again on a return) and tells
// the window what to show through its signals, in the order the window is to
// show it. It never opens a dialog: openFailed asks the window for the
// message, and the session goes on once the window returns from it.
class PortSession : public QObject
{
    Q_OBJECT

public:
    // Which message a failed opening is told with.
    enum class Failure { AtStart, Apply };

    // Uses port and lister without owning them.
    PortSession(Port *port, PortLister *lister, QObject *parent = nullptr);
    ~PortSession() override;
    void setLister(PortLister *lister);

    bool isOpen() const { return m_port->isOpen(); }

    // s as read from the selectors, shown: their texts as they stand (the
    // status line is built from them).
    void OpenPortAtStart(const PortSettings &s, const SelectorTexts &shown);
    void ApplyPortSettings(const PortSettings &s, const SelectorTexts &shown);
    void ClosePort();

    // The user decides (the switch, a selector): a wait for a lost device ends,
    // and the status line no longer promises a return.
    void stopWaiting();
    bool isWaiting() const;
    // Quitting: the port closed directly, nothing shown.
    void quit();

signals:
    // The switch's look: open (caption 关闭串口, the lit picture) or closed.
    void lookChanged(bool open);
    // The whole status line; the port's name is nameLength characters from
    // nameFrom (none when nameFrom is -1).
    void statusChanged(const QString &line, qsizetype nameFrom, qsizetype nameLength);
    // A note after the status line (why an opening failed, what a server made
    // of the settings, a port fault).
    void noteAdded(const QString &note);
    // The window tells the user with the message of which; the session goes
    // on when the window returns.
    void openFailed(PortSession::Failure which);

private:
    enum class Pending { None, AtStart, Apply, Return };
    bool openPort(const PortSettings &s, const SelectorTexts &shown);
    void failNow(Failure which);
    void failOpening(Failure which);
    bool awaitOpening(Pending which, const SelectorTexts &shown);
    void onOpenFinished(bool ok);
    void showOpenStatus(const SelectorTexts &texts);
    void rememberOpened(const SelectorTexts &texts);
    void onPortLost();
    void onPortError(const QString &what);
    bool reopenReturned(const QString &path);
    void status(const QString &line) { emit statusChanged(line, -1, 0); }
    void note(const QString &text)
    {
        if (!text.isEmpty())
            emit noteAdded(text);
    }

    Port *m_port;
    PortWatcher *m_watcher;
    SelectorTexts m_openTexts; // of the last opening
    // An opening that connects (a network port) and has not answered yet: which
    // one, with the texts it was made with.
    Pending m_pending = Pending::None;
    SelectorTexts m_pendingTexts;
    Port::Fault m_openFault = Port::Fault::Other; // why the last opening failed
    bool m_errorShown = false;                    // a port fault was told since the opening
};
