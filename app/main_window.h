#pragma once

#include "app/dialogs.h"
#include "app/window_layout.h"
#include "serial/port_settings.h"
#include "serial/port.h"
#include "transmit/send_options.h"

#include <QDateTime>
#include <QLocale>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class CommandStore;
class CommandsWindow;
class CounterBox;
class FindWindow;
class IntervalTimer;
class PortLinesMenu;
class PortLister;
class PortWatcher;
class ReceiveFeed;
class ReceiveRecorder;
class SendBoxMenu;
struct SavedCommand;

// The program's one window. Handlers are short: the rules live in the pure
// functions of serial/, receive/, transmit/ and capture/, the device behind the
// Port, what is received on its way to the receive box in the ReceiveFeed, the
// questions to the user in Dialogs.
class MainForm : public QWidget
{
    Q_OBJECT

public:
    // The window uses port and dialogs without owning them.
    MainForm(Port *port, Dialogs *dialogs, QWidget *parent = nullptr);
    ~MainForm() override;

    // Start-up: runs once, before the window is first shown.
    void formLoad();

    // Where the clock reads the time and the regional formats from (tests pass their own).
    void setClock(std::function<QDateTime()> now) { m_now = std::move(now); }
    void setLocale(const QLocale &locale) { m_locale = locale; }

    // Where the port list finds the machine's serial devices (tests pass their own).
    void setPortLister(PortLister *lister);

    // Where the saved commands are kept (tests pass their own); before their first use.
    void setCommandsFile(const QString &path);
    // The 常用指令 window, made and its list read at its first use.
    CommandsWindow *commandsWindow();
    // The 查找 window, made at its first use.
    FindWindow *findWindow();
    SendBoxMenu *sendBoxMenu() const { return m_sendMenu; }
    PortLinesMenu *portLinesMenu() const { return m_portLines; }

    // How long the save notice stays (tests shorten it).
    void setSaveNoticeDuration(int ms) { m_saveNoticeMs = ms; }

    // The folder picker's root: Scripts in the home folder, or the home folder.
    static QString folderPickerRoot();

    // The text start-up puts into the send box.
    static QString startupSendText();

    // Quits as the quit button does: the port closed, the record written out,
    // the window closed; then quitRequested.
    void quit();

signals:
    // The quit button was pressed: the port is closed and the window gone; the
    // program ends.
    void quitRequested();

private:
    // Port settings, opening and closing.
    std::optional<PortSettings> ReadPortSettings() const;
    void OpenPortAtStart(const PortSettings &s);
    void ApplyPortSettings(const PortSettings &s);
    void ClosePort();
    bool openPort(const PortSettings &s);
    void failOpening(bool atStart);
    void onPortError(const QString &what);
    enum class Pending;
    bool awaitOpening(Pending which);
    void showOpenStatus(const SelectorTexts &texts);
    void stopWaiting();
    void setOpenLook();
    void setClosedLook();
    SelectorTexts selectorTexts() const;

    // Counting and long sessions: the receive box's context menu switches.
    void onRecordTriggered(bool on);
    void onStampsTriggered(bool on);
    void onRecordFailed(const QString &path);
    QString saveFolder() const;
    void CountSentText();

    // Sending.
    QString sendBoxText() const;
    bool sendSendBox();
    bool SendHexText();
    bool sendText(const QString &text, LineEnding ending);
    bool sendHex(const QString &text, Checksum checksum);
    void sendCommand(const SavedCommand &command);

    // Handlers.
    void onCmdSelectFileClick();
    void onCmdSendFileClick();
    void onCmdSaveDispClick();
    void onCmdAmendClick();
    void endSaveNotice();
    void onDrained();
    void onCmdSendClick();
    void onCmdClearSendClick();
    void onChkAutoSendChanged();
    void onTmrAutoSendTimer();
    void onCmdStopdispClick();
    void onCmdClearReceiveClick();
    void onCmdClearCounterClick();
    void onCmdSwitchClick();
    void onSelectorClick();
    void onClockTick();
    void onCmdQuitClick();
    void onPortLost();
    void onOpenFinished(bool ok);
    bool reopenReturned(const QString &path);
    void rememberOpened();
    void refreshPortList();

    Port *m_port;
    Dialogs *m_dialogs;
    MainFormControls c{};
    ReceiveRecorder *m_recorder;
    ReceiveFeed *m_feed;
    CounterBox *m_txCount;
    QTimer *TmrNowTime;
    IntervalTimer *TmrAutoSend;
    std::function<QDateTime()> m_now;
    QLocale m_locale;

    std::unique_ptr<PortLister> m_ownLister;
    PortLister *m_lister;
    PortWatcher *m_watcher;
    SelectorTexts m_openTexts; // of the last opening: its status line is shown again on a return
    // An opening that connects (a network port) and has not answered yet: which
    // one (start-up's or the switch's and selectors'), with the texts it was made with.
    enum class Pending { None, AtStart, Apply, Return } m_pending = Pending::None;
    SelectorTexts m_pendingTexts;
    Port::Fault m_openFault = Port::Fault::Other; // why the last opening failed
    bool m_errorShown = false;                     // a port fault was told since the opening

    SendBoxMenu *m_sendMenu;
    PortLinesMenu *m_portLines;
    std::unique_ptr<CommandStore> m_commandStore;
    CommandsWindow *m_commandsWindow = nullptr;
    FindWindow *m_findWindow = nullptr;
    // The bytes the last text send wrote (counted when the port has sent them).
    qint64 m_textBytes = 0;
    // Set while a saved command was the last send: what it counts when the
    // port has sent it (a text command; a hex command counted when it was sent).
    std::optional<qint64> m_commandBytes;

    QTimer *m_saveNotice;
    int m_saveNoticeMs = 5000;

    // Window state.
    // The chosen file's own bytes: it is sent exactly as it is on disk (without
    // the spaces at its ends), never decoded and encoded again.
    QByteArray SendFileText;
    qint64 TXCount = 0;
    QString SentText;
    bool LastSendWasFile = false;
    double SaveNoticeStart = 0;
    QString SavePath;
};
