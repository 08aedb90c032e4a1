#include "app/main_window.h"

#include "app/clock_text.h"
#include "app/commands_window.h"
#include "app/find_window.h"
#include "app/port_lines.h"
#include "app/script_window.h"
#include "app/send_box_menu.h"
#include "capture/save_file.h"
#include "receive/counters.h"
#include "receive/receive_display.h"
#include "receive/receive_feed.h"
#include "receive/receive_recorder.h"
#include "receive/txrx_log.h"
#include "script/script_port.h"
#include "script/script_run.h"
#include "serial/port_lister.h"
#include "serial/port_names.h"
#include "transmit/interval_timer.h"
#include "transmit/saved_commands.h"
#include "transmit/send_feed.h"
#include "widgets/counter_box.h"
#include "widgets/settings_selector.h"
#include "widgets/status_line.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>

namespace
{
const QString kPortMissing = QStringLiteral("没有发现此串口或被占用");
const QString kRetry = QStringLiteral("没有成功，请重试");
const QString kCaptionClose = QStringLiteral("关闭串口");
const QString kCaptionOpen = QStringLiteral("打开串口");
constexpr int kComItems = 16; // COM1 to COM16 lead the port list
} // namespace

// Only a tick counts; clear and grey do not.
bool MainForm::ticked(const QCheckBox *box)
{
    return box->checkState() == Qt::Checked;
}

MainForm::MainForm(Port *port, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent), m_port(port), m_dialogs(dialogs),
      m_now([] { return QDateTime::currentDateTime(); }), m_locale(QLocale::system())
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("QuorvexV1.0"));
    setFixedSize(layout::kClientSize);
    buildMainForm(this, c);
    setWindowIcon(windowIconPicture());
    m_ownLister = std::make_unique<QtPortLister>();
    m_lister = m_ownLister.get();
    wireSession();
    wireSending();
    wireButtons();
    wireReceiving();
    wireMenus();
    wireTransfers();
    wirePlot();
}

void MainForm::wireSession()
{
    // The port's life: the session opens and closes, the window shows it.
    m_session = new PortSession(m_port, m_lister, this);
    connect(m_session, &PortSession::lookChanged, this,
            [this](bool open) { open ? setOpenLook() : setClosedLook(); });
    connect(m_session, &PortSession::statusChanged, c.TxtStatus, &StatusLine::showStatus);
    connect(m_session, &PortSession::noteAdded, c.TxtStatus, &StatusLine::addNote);
    connect(m_session, &PortSession::openFailed, this, &MainForm::onOpenFailed);

    connect(c.CboCom, &SettingsSelector::listAboutToShow, this, &MainForm::refreshPortList);
    // COM1 to COM16 tell which device each opens, as the devices tell what they are.
    for (int n = 1; n <= kComItems; ++n) {
        const QString device = devicePathForPort(n);
        c.CboCom->setItemData(n - 1, device, Qt::ToolTipRole);
        c.CboCom->setItemData(n - 1, device, Qt::AccessibleDescriptionRole);
    }
}

void MainForm::wireSending()
{
    m_txCount = new CounterBox(c.TxtTXCount, QStringLiteral("TX:"), this);
    // What is sent, and its count.
    m_send = new SendFeed(m_port, this);
    connect(m_send, &SendFeed::countChanged, m_txCount, &CounterBox::show);
    connect(c.ChkHexSend, &QCheckBox::stateChanged, m_send,
            [this] { m_send->setHexSend(ticked(c.ChkHexSend)); });
}

// The clock, the automatic sender and the buttons.
void MainForm::wireButtons()
{
    TmrNowTime = new QTimer(this);
    TmrNowTime->setObjectName(QStringLiteral("TmrNowTime"));
    TmrNowTime->setInterval(1000);
    TmrNowTime->setTimerType(Qt::PreciseTimer);
    connect(TmrNowTime, &QTimer::timeout, this, &MainForm::onClockTick);
    TmrNowTime->start();
    TmrAutoSend = new IntervalTimer(this);
    TmrAutoSend->setObjectName(QStringLiteral("TmrAutoSend"));
    connect(TmrAutoSend, &IntervalTimer::timeout, this, &MainForm::onTmrAutoSendTimer);

    connect(c.CmdSwitch, &QPushButton::clicked, this, &MainForm::onCmdSwitchClick);
    for (SettingsSelector *cbo :
         {c.CboCom, c.CboBaudrate, c.CboParitybit, c.CboDatabit, c.CboStopbit})
        connect(cbo, &SettingsSelector::itemChosen, this, &MainForm::onSelectorClick);
    connect(c.CmdQuit, &QPushButton::clicked, this, &MainForm::onCmdQuitClick);
    connect(c.CmdSend, &QPushButton::clicked, this, &MainForm::onCmdSendClick);
    connect(c.CmdClearSend, &QPushButton::clicked, this, &MainForm::onCmdClearSendClick);
    // Ticking or unticking from the program runs the same handling as a click.
    connect(c.ChkAutoSend, &QCheckBox::stateChanged, this, &MainForm::onChkAutoSendChanged);
    connect(c.CmdSelectFile, &QPushButton::clicked, this, &MainForm::onCmdSelectFileClick);
    connect(c.CmdSendFile, &QPushButton::clicked, this, &MainForm::onCmdSendFileClick);
    connect(c.CmdSaveDisp, &QPushButton::clicked, this, &MainForm::onCmdSaveDispClick);
    connect(c.CmdAmend, &QPushButton::clicked, this, &MainForm::onCmdAmendClick);
    m_saveNotice = new QTimer(this);
    m_saveNotice->setSingleShot(true);
    m_saveNotice->setTimerType(Qt::PreciseTimer); // a coarse timer may end the notice early
    connect(m_saveNotice, &QTimer::timeout, this, &MainForm::endSaveNotice);
    connect(c.CmdStopdisp, &QPushButton::clicked, this, &MainForm::onCmdStopdispClick);
    connect(c.CmdClearReceive, &QPushButton::clicked, this, &MainForm::onCmdClearReceiveClick);
    connect(c.CmdClearCounter, &QPushButton::clicked, this, &MainForm::onCmdClearCounterClick);
}

void MainForm::wireReceiving()
{
    // Received bytes go one way: port, feed, receive box.
    m_recorder = new ReceiveRecorder(this);
    m_feed = new ReceiveFeed(c.TxtReceive, m_recorder, this);
    connect(m_feed, &ReceiveFeed::countChanged,
            new CounterBox(c.TxtRXCount, QStringLiteral("RX:"), this), &CounterBox::show);
    connect(m_port, &Port::opened, m_feed, &ReceiveFeed::restart);
    connect(m_port, &Port::received, m_feed, &ReceiveFeed::take);
    connect(c.ChkHexReceive, &QCheckBox::stateChanged, m_feed,
            [this] { m_feed->setHex(ticked(c.ChkHexReceive)); });
    connect(c.ChkAutoClear, &QCheckBox::stateChanged, m_feed,
            [this] { m_feed->setAutoClear(ticked(c.ChkAutoClear)); });
    connect(m_recorder, &ReceiveRecorder::failed, this, &MainForm::onRecordFailed);
    connect(c.TxtReceive->recordAction(), &QAction::triggered, this, &MainForm::onRecordTriggered);
    connect(c.TxtReceive->stampAction(), &QAction::triggered, this, &MainForm::onStampsTriggered);
    wireTwoWay();
    // Told once: part of the history could not be read back from the temporary
    // file and shows (and saves) as a marked gap.
    connect(c.TxtReceive, &ReceiveDisplay::historyDamaged, this,
            [this] { c.TxtStatus->addNote(QStringLiteral("（部分接收数据无法读回，以▓标出）")); });

    // Finding text in the receive box's history.
    connect(c.TxtReceive, &ReceiveDisplay::findRequested, this,
            [this] { findWindow()->showFind(); });
    connect(c.TxtReceive, &ReceiveDisplay::findNextRequested, this,
            [this](bool down) { findWindow()->findNext(down); });
}

// The port area's, the send box's and the receive box's tools.
void MainForm::wireMenus()
{
    // The control lines.
    m_portLines = new PortLinesMenu(m_port, {c.ImgSwitchOn, c.ImgSwitchOff, c.CmdSwitch}, this);

    // The send box's menu and the saved commands, the first twelve on F1 to F12.
    m_sendMenu = new SendBoxMenu(c.TxtSend, c.ChkHexSend, this);
    connect(m_sendMenu, &SendBoxMenu::scriptRequested, this,
            [this] { scriptWindow()->chooseAndRun(folderPickerRoot()); });
    connect(m_sendMenu, &SendBoxMenu::commandsRequested, this, [this] {
        commandsWindow()->show();
        commandsWindow()->raise();
        commandsWindow()->activateWindow();
    });
    m_commandStore = std::make_unique<CommandStore>(CommandStore::defaultPath());
    for (int n = 0; n < 12; ++n) {
        auto *key = new QShortcut(QKeySequence(Qt::Key_F1 + n), this);
        connect(key, &QShortcut::activated, this, [this, n] { sendSavedCommand(n); });
    }
}

void MainForm::setPortLister(PortLister *lister)
{
    m_lister = lister;
    m_session->setLister(lister);
}

// A script still running is stopped and waited for while everything it
// works with is still there.
MainForm::~MainForm()
{
    delete m_scriptWindow;
}

void MainForm::setCommandsFile(const QString &path)
{
    m_commandStore = std::make_unique<CommandStore>(path);
}

CommandsWindow *MainForm::commandsWindow()
{
    if (!m_commandsWindow) {
        m_commandsWindow = new CommandsWindow(m_commandStore.get(), m_dialogs, this);
        connect(m_commandsWindow, &CommandsWindow::sendRequested, this,
                [this](const SavedCommand &command) { sendCommand(command); });
        m_commandsWindow->load();
    }
    return m_commandsWindow;
}

ScriptWindow *MainForm::scriptWindow()
{
    if (!m_scriptWindow) {
        auto *port = new ScriptPort(m_port, m_session, m_send);
        port->setOpener(
            [this](const PortSettings &, const SelectorTexts &texts) { openForScript(texts); });
        m_scriptWindow = new ScriptWindow(port, m_dialogs, this);
        // The script's log and verdicts go into the two-way log while it runs.
        connect(m_scriptWindow->run(), &ScriptRun::logged, m_txrx,
                [this](qint64, const QString &line) { m_txrx->note(line); });
        // A script's file transfer has what the port receives, as one from the menu does.
        connect(port, &ScriptPort::transferring, this, [this](bool on, const QString &result) {
            if (on)
                m_feed->holdForTransfer();
            else
                m_feed->release(
                    QStringLiteral("（脚本的文件传输：%1；传输中收到的 %2 字节交给了传输，未显示）")
                        .arg(result)
                        .arg(m_feed->heldBytes()));
        });
    }
    return m_scriptWindow;
}

FindWindow *MainForm::findWindow()
{
    if (!m_findWindow)
        m_findWindow = new FindWindow(c.TxtReceive, m_dialogs, this);
    return m_findWindow;
}

QString MainForm::startupSendText()
{
    return QStringLiteral("http://www.quorvex.example/");
}

void MainForm::formLoad()
{
    c.TxtSend->setPlainText(startupSendText());
    m_port->close();
    if (const auto settings = ReadPortSettings())
        m_session->OpenPortAtStart(*settings, selectorTexts());
}

// ---- port settings, opening and closing ------------------------------------

SelectorTexts MainForm::selectorTexts() const
{
    return {c.CboCom->currentText(), c.CboBaudrate->currentText(), c.CboParitybit->currentText(),
            c.CboDatabit->currentText(), c.CboStopbit->currentText()};
}

std::optional<PortSettings> MainForm::ReadPortSettings() const
{
    return parsePortSettings(selectorTexts());
}

// A script's open(): the selectors take its texts, and the port opens as a
// selector's choice opens it.
void MainForm::openForScript(const SelectorTexts &texts)
{
    c.CboCom->setEditText(texts.com);
    c.CboBaudrate->setEditText(texts.baud);
    c.CboParitybit->setEditText(texts.parity);
    c.CboDatabit->setEditText(texts.dataBits);
    c.CboStopbit->setEditText(texts.stopBits);
    onSelectorClick();
}

// A script's own opening tells its failure in the script, not in a message box.
void MainForm::onOpenFailed(PortSession::Failure which)
{
    if (m_scriptWindow && m_scriptWindow->port()->opening())
        return;
    if (which == PortSession::Failure::AtStart)
        m_dialogs->message(kPortMissing, Dialogs::Icon::Exclamation, Dialogs::Buttons::OkCancel);
    else
        m_dialogs->message(kRetry, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
}

void MainForm::setOpenLook()
{
    c.CmdSwitch->setText(kCaptionClose);
    c.ImgSwitchOn->show();
    c.ImgSwitchOff->hide();
}

void MainForm::setClosedLook()
{
    c.CmdSwitch->setText(kCaptionOpen);
    c.ImgSwitchOn->hide();
    c.ImgSwitchOff->show();
}

// Decided from the port, not from the caption.
void MainForm::onCmdSwitchClick()
{
    m_session->stopWaiting();
    if (m_port->isOpen()) {
        m_session->ClosePort();
        return;
    }
    if (const auto s = ReadPortSettings())
        m_session->ApplyPortSettings(*s, selectorTexts());
}

// Any of the five selectors: re-open the port with all five texts as they stand.
// Texts that cannot be read leave the port as it is, as the switch does.
void MainForm::onSelectorClick()
{
    m_session->stopWaiting();
    if (const auto s = ReadPortSettings())
        m_session->ApplyPortSettings(*s, selectorTexts());
}

// COM1 to COM16 first, then the machine's serial devices as they are now.
void MainForm::refreshPortList()
{
    QList<PortInfo> ports = m_lister->ports();
    sortPorts(ports);
    QList<SettingsSelector::ExtraItem> items;
    for (const PortInfo &p : ports)
        items.append({p.path, portDetails(p)});
    c.CboCom->setExtraItems(kComItems, items);
}

// ---- counting and long sessions: record to file, timestamps ------------------

// The folder 保存显示数据 writes to (during the save notice the box shows the notice).
QString MainForm::saveFolder() const
{
    return resolveFolder(m_saveNotice->isActive() ? SavePath : c.TxtSavePath->text(),
                         QDir::homePath());
}

void MainForm::onRecordTriggered(bool on)
{
    if (!on) {
        m_recorder->stop();
        return;
    }
    const QString folder = saveFolder();
    const QString path = ReceiveRecorder::recordFilePath(folder, m_now());
    // An empty save folder box names no folder (not the root of the file system).
    if (folder.isEmpty() || !m_recorder->start(path))
        onRecordFailed(folder.isEmpty() ? QFileInfo(path).fileName() : path);
}

void MainForm::onRecordFailed(const QString &path)
{
    c.TxtReceive->recordAction()->setChecked(false);
    tellRecordFailed(path);
}

void MainForm::tellRecordFailed(const QString &path)
{
    m_dialogs->message(QStringLiteral("无法写入记录文件：") + path, Dialogs::Icon::Exclamation,
                       Dialogs::Buttons::Ok);
}

void MainForm::onStampsTriggered(bool on)
{
    m_feed->setStamps(on);
    orderWrites();
}

void MainForm::onCmdStopdispClick()
{
    m_feed->setStopped(!m_feed->stopped());
    c.CmdStopdisp->setText(m_feed->stopped() ? QStringLiteral("继续显示")
                                             : QStringLiteral("停止显示"));
}

void MainForm::onCmdClearReceiveClick()
{
    c.TxtReceive->clear();
}

// TX first, then RX, as their boxes are told.
void MainForm::onCmdClearCounterClick()
{
    m_send->clearCount();
    m_feed->clearCount();
}

// ---- saving the display ------------------------------------------------------

QString MainForm::folderPickerRoot()
{
    const QString scripts = QDir::homePath() + QStringLiteral("/Scripts");
    return QFileInfo(scripts).isDir() ? scripts : QDir::homePath();
}

// A save that fails (no such folder and none can be made, no room, no
// permission) changes nothing visible and leaves the previous file whole.
void MainForm::onCmdSaveDispClick()
{
    SavePath = c.TxtSavePath->text();
    const bool saved = writeSaveFile(saveFolder(), m_now(),
                                     [this](const auto &put) { c.TxtReceive->forEachPiece(put); });
    c.TxtReceive->noteDamage();
    if (!saved)
        return;
    showText(c.TxtSavePath, QStringLiteral("OK,1.txt Save"));
    c.CmdSaveDisp->setEnabled(false);
    // A timer instead of a waiting loop: everything else goes on meanwhile, and
    // closing the window during the notice simply drops it.
    m_saveNotice->start(m_saveNoticeMs);
}

void MainForm::endSaveNotice()
{
    showText(c.TxtSavePath, SavePath);
    c.CmdSaveDisp->setEnabled(true);
}

void MainForm::onCmdAmendClick()
{
    const auto folder =
        m_dialogs->chooseFolder(QStringLiteral("选择目录:"), folderPickerRoot(), saveFolder());
    if (!folder)
        return;
    showText(c.TxtSavePath, *folder);
    SavePath = c.TxtSavePath->text();
}

// ---- clock and quit ---------------------------------------------------------

void MainForm::onClockTick()
{
    c.LblNewDate->setText(clockDateText(m_locale, m_now().date()));
    c.LblNowTime->setText(clockTimeText(m_locale, m_now().time()));
}

void MainForm::onCmdQuitClick()
{
    quit();
}

void MainForm::quit()
{
    if (m_scriptWindow)
        m_scriptWindow->shutdown();
    m_recorder->stop();
    m_session->quit();
    TmrNowTime->stop();
    TmrAutoSend->setEnabled(false);
    close();
    emit quitRequested();
}
