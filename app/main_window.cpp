#include "app/main_window.h"

#include "app/clock_text.h"
#include "app/commands_window.h"
#include "app/find_window.h"
#include "app/port_lines.h"
#include "app/port_status.h"
#include "app/send_box_menu.h"
#include "app/status_line.h"
#include "capture/save_file.h"
#include "receive/counter_box.h"
#include "receive/counters.h"
#include "receive/receive_display.h"
#include "receive/receive_feed.h"
#include "receive/receive_recorder.h"
#include "serial/port_lister.h"
#include "serial/port_names.h"
#include "serial/port_watcher.h"
#include "serial/settings_selector.h"
#include "transmit/interval_timer.h"
#include "transmit/saved_commands.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QAction>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>

namespace {
const QString kPortMissing = QStringLiteral("没有发现此串口或被占用");
const QString kRetry = QStringLiteral("没有成功，请重试");
const QString kCaptionClose = QStringLiteral("关闭串口");
const QString kCaptionOpen = QStringLiteral("打开串口");
constexpr int kComItems = 16; // COM1 to COM16 lead the port list

// Only a tick counts; clear and grey do not.
bool ticked(const QCheckBox *box)
{
    return box->checkState() == Qt::Checked;
}
} // namespace

MainForm::MainForm(Port *port, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent), m_port(port), m_dialogs(dialogs),
      m_now([] { return QDateTime::currentDateTime(); }), m_locale(QLocale::system())
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("QuorvexV1.0"));
    setFixedSize(layout::kClientSize);
    buildMainForm(this, c);
    setWindowIcon(windowIconPicture());
    m_txCount = new CounterBox(c.TxtTXCount, QStringLiteral("TX:"), this);

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
    for (SettingsSelector *cbo : {c.CboCom, c.CboBaudrate, c.CboParitybit, c.CboDatabit, c.CboStopbit})
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

    // Received bytes go one way: port, feed, receive box.
    m_recorder = new ReceiveRecorder(this);
    m_feed = new ReceiveFeed(c.TxtReceive, new CounterBox(c.TxtRXCount, QStringLiteral("RX:"), this),
                             m_recorder, this);
    connect(m_port, &Port::opened, m_feed, &ReceiveFeed::restart);
    connect(m_port, &Port::received, m_feed, &ReceiveFeed::take);
    connect(c.ChkHexReceive, &QCheckBox::stateChanged, m_feed,
            [this] { m_feed->setHex(ticked(c.ChkHexReceive)); });
    connect(c.ChkAutoClear, &QCheckBox::stateChanged, m_feed,
            [this] { m_feed->setAutoClear(ticked(c.ChkAutoClear)); });
    connect(m_port, &Port::drained, this, &MainForm::onDrained);
    connect(m_port, &Port::lost, this, &MainForm::onPortLost);
    connect(m_port, &Port::openFinished, this, &MainForm::onOpenFinished);
    connect(m_port, &Port::errorOccurred, this, &MainForm::onPortError);
    connect(m_port, &Port::opened, this, [this] { m_errorShown = false; });
    connect(m_recorder, &ReceiveRecorder::failed, this, &MainForm::onRecordFailed);
    connect(c.TxtReceive->recordAction(), &QAction::triggered, this, &MainForm::onRecordTriggered);
    connect(c.TxtReceive->stampAction(), &QAction::triggered, this, &MainForm::onStampsTriggered);
    // Told once: part of the history could not be read back from the temporary
    // file and shows (and saves) as a marked gap.
    connect(c.TxtReceive, &ReceiveDisplay::historyDamaged, this, [this] {
        c.TxtStatus->addNote(QStringLiteral("（部分接收数据无法读回，以▓标出）"));
    });

    // Finding text in the receive box's history.
    connect(c.TxtReceive, &ReceiveDisplay::findRequested, this, [this] { findWindow()->showFind(); });
    connect(c.TxtReceive, &ReceiveDisplay::findNextRequested, this,
            [this](bool down) { findWindow()->findNext(down); });

    // The port area's menu: the control lines.
    m_portLines = new PortLinesMenu(m_port, {c.ImgSwitchOn, c.ImgSwitchOff, c.CmdSwitch}, this);

    // The send box's menu and the saved commands, the first twelve on F1 to F12.
    m_sendMenu = new SendBoxMenu(c.TxtSend, c.ChkHexSend, this);
    connect(m_sendMenu, &SendBoxMenu::commandsRequested, this, [this] {
        commandsWindow()->show();
        commandsWindow()->raise();
        commandsWindow()->activateWindow();
    });
    m_commandStore = std::make_unique<CommandStore>(CommandStore::defaultPath());
    for (int n = 0; n < 12; ++n) {
        auto *key = new QShortcut(QKeySequence(Qt::Key_F1 + n), this);
        connect(key, &QShortcut::activated, this, [this, n] {
            if (n < commandsWindow()->commands().size())
                sendCommand(commandsWindow()->commands()[n]);
        });
    }

    m_ownLister = std::make_unique<QtPortLister>();
    m_lister = m_ownLister.get();
    m_watcher = new PortWatcher(m_lister, this);
    connect(c.CboCom, &SettingsSelector::listAboutToShow, this, &MainForm::refreshPortList);
    // COM1 to COM16 tell which device each opens, as the devices tell what they are.
    for (int n = 1; n <= kComItems; ++n) {
        const QString device = devicePathForPort(n);
        c.CboCom->setItemData(n - 1, device, Qt::ToolTipRole);
        c.CboCom->setItemData(n - 1, device, Qt::AccessibleDescriptionRole);
    }
}

void MainForm::setPortLister(PortLister *lister)
{
    m_lister = lister;
    m_watcher->setLister(lister);
}

MainForm::~MainForm() = default;

void MainForm::setCommandsFile(const QString &path)
{
    m_commandStore = std::make_unique<CommandStore>(path);
}

CommandsWindow *MainForm::commandsWindow()
{
    if (!m_commandsWindow) {
        m_commandsWindow = new CommandsWindow(m_commandStore.get(), m_dialogs, this);
        connect(m_commandsWindow, &CommandsWindow::sendRequested, this, &MainForm::sendCommand);
        m_commandsWindow->load();
    }
    return m_commandsWindow;
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
    const auto settings = ReadPortSettings();
    if (!settings)
        return;
    OpenPortAtStart(*settings);
}

// ---- port settings, opening and closing ------------------------------------

SelectorTexts MainForm::selectorTexts() const
{
    return {c.CboCom->currentText(), c.CboBaudrate->currentText(), c.CboParitybit->currentText(),
            c.CboDatabit->currentText(), c.CboStopbit->currentText()};
}

std::optional<PortSettings> MainForm::ReadPortSettings() const
{
    return readPortSettings(selectorTexts());
}

// Settings the port cannot take (a baud that is no number, an unknown parity
// letter, data or stop bits out of range) fail as a missing device does.
bool MainForm::openPort(const PortSettings &s)
{
    m_pending = Pending::None;
    const auto line = lineSettings(s);
    const bool ok = line && m_port->open(portDevice(s), *line);
    m_openFault = ok || !line ? Port::Fault::Other : m_port->fault();
    if (!ok && looksLikeOtherAddress(c.CboCom->currentText()))
        m_openFault = Port::Fault::BadAddress;
    return ok;
}

// The port closed after a failed opening, the status line telling why where
// that is known, and the message: the start-up's or the switch's.
void MainForm::failOpening(bool atStart)
{
    ClosePort();
    c.TxtStatus->addNote(faultNote(m_openFault));
    if (atStart)
        m_dialogs->message(kPortMissing, Dialogs::Icon::Exclamation, Dialogs::Buttons::OkCancel);
    else
        m_dialogs->message(kRetry, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
}

// A network port answers later: the closed look stays, and the status line
// says it is connecting, until onOpenFinished.
bool MainForm::awaitOpening(Pending which)
{
    if (!m_port->isOpening())
        return false;
    m_pending = which;
    m_pendingTexts = selectorTexts();
    if (which == Pending::Apply)
        setClosedLook(); // until it is open
    c.TxtStatus->showStatus(closedStatusLine() + QStringLiteral("（正在连接）"));
    return true;
}

// As a device that opens or cannot be opened does, only later.
void MainForm::onOpenFinished(bool ok)
{
    const Pending which = std::exchange(m_pending, Pending::None);
    if (which == Pending::None)
        return;
    if (!ok && which == Pending::Return) { // still away: the wait goes on
        m_watcher->waitForReturn([this](const QString &path) { return reopenReturned(path); });
        return;
    }
    if (!ok) {
        // The status line says why while the message is up, no longer that it connects.
        m_openFault = m_port->fault();
        failOpening(which == Pending::AtStart);
        return;
    }
    if (which != Pending::AtStart)
        setOpenLook();
    showOpenStatus(m_pendingTexts);
    m_openTexts = m_pendingTexts;
    m_watcher->remember(m_port->device());
}

void MainForm::OpenPortAtStart(const PortSettings &s)
{
    m_port->close();
    if (!openPort(s)) {
        m_dialogs->message(kPortMissing, Dialogs::Icon::Exclamation, Dialogs::Buttons::OkCancel);
        ClosePort();
        c.TxtStatus->addNote(faultNote(m_openFault));
        return;
    }
    if (awaitOpening(Pending::AtStart))
        return;
    showOpenStatus(selectorTexts());
    rememberOpened();
}

void MainForm::ApplyPortSettings(const PortSettings &s)
{
    m_port->close();
    if (!openPort(s)) {
        m_dialogs->message(kRetry, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        ClosePort();
        c.TxtStatus->addNote(faultNote(m_openFault));
        return;
    }
    if (awaitOpening(Pending::Apply))
        return;
    setOpenLook();
    showOpenStatus(selectorTexts());
    rememberOpened();
}

void MainForm::ClosePort()
{
    m_pending = Pending::None;
    m_port->close();
    c.TxtStatus->showStatus(closedStatusLine());
    setClosedLook();
}

// A network port's line tells, after the settings, what its server made of them.
void MainForm::showOpenStatus(const SelectorTexts &texts)
{
    c.TxtStatus->showStatus(openStatusLine(texts), kStatusNameFrom, texts.com.size());
    if (const auto served = m_port->served())
        c.TxtStatus->addNote(servedNote(*served));
}

// A fault that leaves the port open (a read or write error) is told once an
// opening; the port stays as the driver leaves it.
void MainForm::onPortError(const QString &what)
{
    if (std::exchange(m_errorShown, true))
        return;
    c.TxtStatus->addNote(QStringLiteral("（串口出错：%1）").arg(what));
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

void MainForm::onCmdSwitchClick()
{
    stopWaiting();
    if (m_port->isOpen()) {
        ClosePort();
        return;
    }
    if (const auto s = ReadPortSettings())
        ApplyPortSettings(*s);
}

// Any of the five selectors: re-open the port with all five texts as they stand.
// Texts that cannot be read leave the port as it is, as the switch does.
void MainForm::onSelectorClick()
{
    stopWaiting();
    if (const auto s = ReadPortSettings())
        ApplyPortSettings(*s);
}

// A device that disappears closes the port without a question; the window shows
// it, and takes the device up again when it returns, until the user decides
// otherwise (the switch, a selector, quitting).
void MainForm::onPortLost()
{
    ClosePort();
    c.TxtStatus->showStatus(awaitingStatusLine());
    m_watcher->waitForReturn([this](const QString &path) { return reopenReturned(path); });
}

// The user decides: the port stays as the next step leaves it, and the status
// line no longer promises a return.
void MainForm::stopWaiting()
{
    if (!m_watcher->isWaiting())
        return;
    m_watcher->stop();
    if (!m_port->isOpen())
        c.TxtStatus->showStatus(closedStatusLine());
}

bool MainForm::reopenReturned(const QString &path)
{
    if (m_port->isOpen())
        return true;
    if (!m_port->open(path, m_port->lineSettings()))
        return false;
    if (m_port->isOpening()) { // a network port: the answer comes in onOpenFinished
        m_pending = Pending::Return;
        m_pendingTexts = m_openTexts;
        return true;
    }
    setOpenLook();
    showOpenStatus(m_openTexts);
    return true;
}

void MainForm::rememberOpened()
{
    m_openTexts = selectorTexts();
    m_watcher->remember(m_port->device());
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

// The port has sent everything written: a text or file send is counted now (a
// hexadecimal send was counted when it was made).
void MainForm::onDrained()
{
    if (m_commandBytes) {
        TXCount = addCount(TXCount, std::exchange(*m_commandBytes, 0));
        m_txCount->show(TXCount);
        return;
    }
    if (!ticked(c.ChkHexSend))
        CountSentText();
}

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
    m_dialogs->message(QStringLiteral("无法写入记录文件：") + path, Dialogs::Icon::Exclamation,
                       Dialogs::Buttons::Ok);
}

void MainForm::onStampsTriggered(bool on)
{
    m_feed->setStamps(on);
    m_port->setExactReadTimes(on);
}

// A file send counts the file's bytes, as they went out; a text send the bytes
// it wrote (without the spaces trimmed off its ends, with its line ending).
// SentText then keeps the send box text counted last.
void MainForm::CountSentText()
{
    if (LastSendWasFile) {
        TXCount = addCount(TXCount, SendFileText.size());
    } else {
        SentText = sendBoxText();
        TXCount = addCount(TXCount, m_textBytes);
    }
    m_txCount->show(TXCount);
}

void MainForm::onCmdStopdispClick()
{
    m_feed->setStopped(!m_feed->stopped());
    c.CmdStopdisp->setText(m_feed->stopped() ? QStringLiteral("继续显示") : QStringLiteral("停止显示"));
}

void MainForm::onCmdClearReceiveClick()
{
    c.TxtReceive->clear();
}

void MainForm::onCmdClearCounterClick()
{
    TXCount = 0;
    m_feed->clearCount();
    m_txCount->show(TXCount, true);
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
    const bool saved = writeSaveFile(saveFolder(), m_now(), [this](const auto &put) {
        c.TxtReceive->forEachPiece(put);
    });
    c.TxtReceive->noteDamage();
    if (!saved)
        return;
    showText(c.TxtSavePath, QStringLiteral("OK,1.txt Save"));
    c.CmdSaveDisp->setEnabled(false);
    SaveNoticeStart = m_now().toMSecsSinceEpoch() / 1000.0;
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
    m_recorder->stop();
    stopWaiting();
    m_port->close();
    TmrNowTime->stop();
    TmrAutoSend->setEnabled(false);
    close();
    emit quitRequested();
}
