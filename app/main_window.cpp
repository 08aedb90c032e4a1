#include "app/main_window.h"

#include "app/clock_text.h"
#include "serial/serial_control.h"

#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {
const QString kPortMissing = QStringLiteral("没有发现此串口或被占用");
const QString kRetry = QStringLiteral("没有成功，请重试");
const QString kCaptionClose = QStringLiteral("关闭串口");
const QString kCaptionOpen = QStringLiteral("打开串口");
} // namespace

MainForm::MainForm(SerialControl *control, Dialogs *dialogs, QWidget *parent)
    : QWidget(parent), m_comm(control), m_dialogs(dialogs),
      m_now([] { return QDateTime::currentDateTime(); }), m_locale(QLocale::system())
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("QuorvexV1.0"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/pictures/icon_32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/pictures/icon_16.xpm"), QSize(16, 16));
    setWindowIcon(icon);
    setFixedSize(layout::kClientSize);
    buildMainForm(this, c);

    TmrNowTime = new QTimer(this);
    TmrNowTime->setObjectName(QStringLiteral("TmrNowTime"));
    TmrNowTime->setInterval(1000);
    connect(TmrNowTime, &QTimer::timeout, this, &MainForm::onClockTick);
    TmrNowTime->start();
    TmrAutoSend = new QTimer(this);
    TmrAutoSend->setObjectName(QStringLiteral("TmrAutoSend"));

    connect(c.CmdSwitch, &QPushButton::clicked, this, &MainForm::onCmdSwitchClick);
    for (QComboBox *cbo : {c.CboCom, c.CboBaudrate, c.CboParitybit, c.CboDatabit, c.CboStopbit})
        connect(cbo, &QComboBox::activated, this, &MainForm::onSelectorClick);
    connect(c.CmdQuit, &QPushButton::clicked, this, &MainForm::onCmdQuitClick);
    connect(m_comm, &SerialControl::portLost, this, &MainForm::onPortLost);
}

MainForm::~MainForm() = default;

QString MainForm::startupSendText()
{
    return QStringLiteral("http://www.quorvex.example/");
}

void MainForm::formLoad()
{
    c.TxtSend->setPlainText(startupSendText());
    if (m_comm->portOpen())
        m_comm->setPortOpen(false);
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

bool MainForm::selectPort(const PortSettings &s)
{
    return s.devicePath.isEmpty() ? m_comm->setCommPort(s.portNumber)
                                  : m_comm->setDevicePath(s.devicePath);
}

void MainForm::OpenPortAtStart(const PortSettings &s)
{
    if (m_comm->portOpen())
        m_comm->setPortOpen(false);
    bool ok = selectPort(s) && m_comm->setSettings(settingsString(s));
    if (ok) {
        m_comm->setInBufferSize(1024);
        m_comm->setOutBufferSize(4096);
        m_comm->setInBufferCount(0);
        m_comm->setOutBufferCount(0);
        m_comm->setSThreshold(1);
        m_comm->setRThreshold(1);
        m_comm->setOutBufferCount(0);
        m_comm->setInBufferCount(0);
        ok = m_comm->setPortOpen(true);
    }
    if (!ok) {
        m_dialogs->message(kPortMissing, Dialogs::Icon::Exclamation, Dialogs::Buttons::OkCancel);
        ClosePort();
        return;
    }
    c.TxtStatus->setText(m_comm->portOpen() ? openStatusLine(selectorTexts()) : closedStatusLine());
}

void MainForm::ApplyPortSettings(const PortSettings &s)
{
    if (m_comm->portOpen())
        m_comm->setPortOpen(false);
    const bool ok =
        selectPort(s) && m_comm->setSettings(settingsString(s)) && m_comm->setPortOpen(true);
    if (!ok) {
        m_dialogs->message(kRetry, Dialogs::Icon::Exclamation, Dialogs::Buttons::Ok);
        ClosePort();
        return;
    }
    if (m_comm->portOpen()) {
        setOpenLook();
        c.TxtStatus->setText(openStatusLine(selectorTexts()));
    } else {
        setClosedLook();
        c.TxtStatus->setText(closedStatusLine());
    }
}

void MainForm::ClosePort()
{
    if (m_comm->portOpen())
        m_comm->setPortOpen(false);
    c.TxtStatus->setText(closedStatusLine());
    setClosedLook();
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
    if (m_comm->portOpen()) {
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
    if (const auto s = ReadPortSettings())
        ApplyPortSettings(*s);
}

// A device that disappears closes the port without a question; the window shows it.
void MainForm::onPortLost()
{
    ClosePort();
}

// ---- clock and quit ---------------------------------------------------------

void MainForm::onClockTick()
{
    c.LblNewDate->setText(clockDateText(m_locale, m_now().date()));
    c.LblNowTime->setText(clockTimeText(m_locale, m_now().time()));
}

void MainForm::onCmdQuitClick()
{
    if (m_comm->portOpen())
        m_comm->setPortOpen(false);
    TmrNowTime->stop();
    TmrAutoSend->stop();
    close();
    emit quitRequested();
}
