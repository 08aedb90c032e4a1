#pragma once

#include "app/dialogs.h"
#include "app/window_layout.h"
#include "serial/port.h"
#include "serial/port_session.h"
#include "serial/port_settings.h"
#include "transfer/transfer_run.h"
#include "transmit/send_options.h"

#include <QDateTime>
#include <QLocale>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class CommandStore;
class QCheckBox;
class CommandsWindow;
class CounterBox;
class FindWindow;
class IntervalTimer;
class PortLinesMenu;
class PortLister;
class PlotWindow;
class ReceiveFeed;
class ReceiveRecorder;
class TransferWindow;
class TxRxLog;
class SendBoxMenu;
class ScriptWindow;
class SendFeed;
struct SavedCommand;

// The program's one window. It wires its controls to short handlers: the port's
// life is the PortSession's, what is sent and its count the SendFeed's, what is
// received on its way to the receive box the ReceiveFeed's, the rules are the
// pure functions of serial/, receive/, transmit/ and capture/, and the questions
// to the user go through Dialogs.
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
    // The 脚本 window, made at its first use.
    ScriptWindow *scriptWindow();
    // The 文件传输 window, made at the first transfer.
    TransferWindow *transferWindow() const { return m_transferWindow; }
    TransferRun *transferRun() const { return m_transfer; }
    // The 绘图 window while it is open (it ends when closed).
    PlotWindow *plotWindow() const;
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
    void wireSession();
    void wireSending();
    void wireButtons();
    void wireReceiving();
    void wireMenus();
    void wireTwoWay();
    void wireTransfers();
    void wirePlot();
    void openPlot();

    // Port settings, opening and closing: the session does them, the window shows them.
    std::optional<PortSettings> ReadPortSettings() const;
    SelectorTexts selectorTexts() const;
    static bool ticked(const QCheckBox *box);
    void onOpenFailed(PortSession::Failure which);
    void openForScript(const SelectorTexts &texts);
    void setOpenLook();
    void setClosedLook();

    // Counting and long sessions: the receive box's context menu switches.
    void onRecordTriggered(bool on);
    void onStampsTriggered(bool on);
    void onRecordFailed(const QString &path);
    void tellRecordFailed(const QString &path);
    QString saveFolder() const;
    // Both directions: sends shown among received data, and the two-way log.
    void onShowSentTriggered(bool on);
    void onTxRxTriggered(bool on);
    void onTxRxFailed(const QString &path);
    // What the port is asked for while these are on.
    void orderWrites();
    // File transfers (the send box's 文件传输 menu).
    void onTransferRequested(TransferRun::Protocol protocol, TransferRun::Direction direction);
    void onTransferFinished(bool ok, const QString &result);

    // Sending.
    QString sendBoxText() const;
    bool sendSendBox();
    bool sendCommand(const SavedCommand &command);
    void sendSavedCommand(int n);
    bool portOpenToSend();

    // Handlers.
    void onCmdSelectFileClick();
    void onCmdSendFileClick();
    void onCmdSaveDispClick();
    void onCmdAmendClick();
    void endSaveNotice();
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
    void refreshPortList();

    Port *m_port;
    Dialogs *m_dialogs;
    MainFormControls c{};
    ReceiveRecorder *m_recorder;
    ReceiveFeed *m_feed;
    TxRxLog *m_txrx;
    PortSession *m_session;
    SendFeed *m_send;
    CounterBox *m_txCount;
    QTimer *TmrNowTime;
    IntervalTimer *TmrAutoSend;
    std::function<QDateTime()> m_now;
    QLocale m_locale;

    std::unique_ptr<PortLister> m_ownLister;
    PortLister *m_lister;

    SendBoxMenu *m_sendMenu;
    PortLinesMenu *m_portLines;
    std::unique_ptr<CommandStore> m_commandStore;
    CommandsWindow *m_commandsWindow = nullptr;
    FindWindow *m_findWindow = nullptr;
    ScriptWindow *m_scriptWindow = nullptr;
    TransferRun *m_transfer = nullptr;
    TransferWindow *m_transferWindow = nullptr;
    QPointer<PlotWindow> m_plotWindow;

    QTimer *m_saveNotice;
    int m_saveNoticeMs = 5000;

    // The chosen file's own bytes: it is sent exactly as it is on disk (without
    // the spaces at its ends), never decoded and encoded again.
    QByteArray SendFileText;
    QString SavePath;
};
