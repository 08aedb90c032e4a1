#include "support/choose_item.h"
#include "support/fake_port_lister.h"
#include "support/fake_window.h"
#include "support/port_helpers.h"
#include "widgets/status_line.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyleOptionComboBox>
#include <QTest>
#include <memory>

// Window flows, driven by the controls' names, with a fake port behind them.
class TestMainWindow : public FakeWindowTest
{
    Q_OBJECT

    const QString openCaption = QStringLiteral("打开串口");
    const QString closeCaption = QStringLiteral("关闭串口");

    QString status() { return w<QLineEdit>("TxtStatus")->text(); }
    bool lit() { return w("ImgSwitchOn")->isVisibleTo(form.get()); }
    bool unlit() { return w("ImgSwitchOff")->isVisibleTo(form.get()); }
    QString caption() { return w<QPushButton>("CmdSwitch")->text(); }

    void start()
    {
        form->formLoad();
        form->show();
    }
    void choose(const char *selector, const QString &item)
    {
        QVERIFY(chooseFromList(w<QComboBox>(selector), item));
    }

private slots:
    void init() { makeWindow(); }
    void cleanup() { closeWindow(); }

    void windowAsLaidOut()
    {
        QCOMPARE(form->size(), QSize(506, 424));
        QCOMPARE(form->windowTitle(), QStringLiteral("QuorvexV1.0"));
        QVERIFY(!form->windowIcon().isNull());
        QCOMPARE(form->palette().color(QPalette::Window), QColor(202, 202, 145));
        QCOMPARE(w("TxtReceive")->geometry(), QRect(120, 0, 383, 317));
        QCOMPARE(w("Frame1")->geometry(), QRect(0, -7, 110, 147));
        QCOMPARE(w("CmdSwitch")->mapTo(form.get(), QPoint(0, 0)), QPoint(48, 109));
        QCOMPARE(w("CmdQuit")->geometry(), QRect(440, 384, 58, 33));
        QCOMPARE(w<QLineEdit>("TxtStatus")->palette().color(QPalette::Base), QColor(202, 202, 145));
        QVERIFY(w<QPlainTextEdit>("TxtSend")->palette().color(QPalette::Base) !=
                QColor(202, 202, 145));
        QVERIFY(!lit());
        QVERIFY(unlit());
        QCOMPARE(caption(), closeCaption);
        QCOMPARE(w<QLineEdit>("TxtRXCount")->text(), QStringLiteral("RX:0"));
        QCOMPARE(w<QLineEdit>("TxtSendPath")->text(), QStringLiteral("还没有选择文件"));
        QCOMPARE(w<QLineEdit>("TxtSavePath")->text(), QDir::homePath() + "/COMDATA");
        QCOMPARE(w<QComboBox>("CboBaudrate")->count(), 12);
        QCOMPARE(w<QComboBox>("CboParitybit")->itemText(2), QStringLiteral("ENEV"));
        QVERIFY(w<QComboBox>("CboStopbit")->isEditable());
        for (const char *name : {"ChkAutoClear", "ChkHexReceive", "ChkHexSend", "ChkAutoSend"})
            QCOMPARE(w<QCheckBox>(name)->checkState(), Qt::Unchecked);
    }

    // The dialog font must hold every caption within its control.
    void captionsFit()
    {
        for (auto *l : form->findChildren<QLabel *>()) {
            if (l->text().isEmpty())
                continue;
            const QFontMetrics fm(l->font());
            QVERIFY2(fm.horizontalAdvance(l->text()) <= l->width(), qPrintable(l->objectName()));
            QVERIFY2(fm.height() <= l->height() + 2, qPrintable(l->objectName()));
        }
        for (auto *b : form->findChildren<QPushButton *>()) {
            const QFontMetrics fm(b->font());
            QVERIFY2(fm.horizontalAdvance(b->text()) + 4 <= b->width(),
                     qPrintable(b->objectName()));
        }
        const QStringList longest{"115200", "256000", "SPACE", "COM16"};
        for (auto *cbo : form->findChildren<QComboBox *>()) {
            QStyleOptionComboBox opt;
            opt.initFrom(cbo);
            opt.editable = true;
            const QRect field = cbo->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                             QStyle::SC_ComboBoxEditField, cbo);
            for (const QString &t : longest)
                QVERIFY2(QFontMetrics(cbo->font()).horizontalAdvance(t) + 2 <= field.width(),
                         qPrintable(cbo->objectName() + " " + t));
        }
        auto *statusBox = w<QLineEdit>("TxtStatus");
        QVERIFY(QFontMetrics(statusBox->font())
                        .horizontalAdvance(QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1")) +
                    8 <=
                statusBox->width());
    }

    void tabOrderAndFocus()
    {
        start();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), w("TxtReceive"));
        const QStringList expected{
            "TxtReceive",    "CmdSwitch",   "CmdClearReceive", "CmdStopdisp",     "ChkAutoClear",
            "ChkHexReceive", "TxtSavePath", "TxtSend",         "CmdClearSend",    "CmdSend",
            "ChkHexSend",    "ChkAutoSend", "TxtStatus",       "TxtRXCount",      "TxtTXCount",
            "CmdSelectFile", "TxtSendPath", "CmdSendFile",     "CmdClearCounter", "CmdQuit",
            "CboCom",        "CboBaudrate", "CboParitybit",    "CboDatabit",      "CboStopbit",
            "CmdSaveDisp",   "CmdAmend",    "TxtAutoSendTime"};
        QStringList seen;
        QWidget *at = w("TxtReceive");
        do {
            if (at->focusPolicy() & Qt::TabFocus && at->isVisibleTo(form.get()) &&
                !at->objectName().isEmpty() && at->parentWidget() &&
                !qobject_cast<QComboBox *>(at->parentWidget()))
                seen << at->objectName();
            at = at->nextInFocusChain();
        } while (at != w("TxtReceive"));
        QCOMPARE(seen, expected);
    }

    // Controls are named by the labels beside them (or for what they show), and
    // what they hold is their value.
    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("ChkAutoClear") << "ChkAutoClear"
                                      << "自动清空"
                                      << "";
        QTest::newRow("ChkHexReceive") << "ChkHexReceive"
                                       << "十六进制显示"
                                       << "";
        QTest::newRow("ChkHexSend") << "ChkHexSend"
                                    << "十六进制发送"
                                    << "";
        QTest::newRow("ChkAutoSend") << "ChkAutoSend"
                                     << "自动发送(周期改变后重选)"
                                     << "";
        QTest::newRow("CboCom") << "CboCom"
                                << "串口"
                                << "COM1";
        QTest::newRow("CboBaudrate") << "CboBaudrate"
                                     << "波特率"
                                     << "9600";
        QTest::newRow("TxtReceive") << "TxtReceive"
                                    << "接收区"
                                    << "";
        QTest::newRow("TxtStatus") << "TxtStatus"
                                   << "串口状态"
                                   << "STATUS：COM1 OPEND，9600,N,8,1";
        QTest::newRow("TxtRXCount") << "TxtRXCount"
                                    << "接收计数"
                                    << "RX:0";
        QTest::newRow("TxtTXCount") << "TxtTXCount"
                                    << "发送计数"
                                    << "TX:0";
        QTest::newRow("TxtSavePath") << "TxtSavePath"
                                     << "保存目录" << QDir::homePath() + "/COMDATA";
    }
    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(QString, value);
        start();
        QWidget *widget = w(control.toLatin1());
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
        QCOMPARE(iface->text(QAccessible::Name), name);
        if (!value.isEmpty())
            QCOMPARE(iface->text(QAccessible::Value), value);
        if (auto *cbo = qobject_cast<QComboBox *>(widget)) { // its field takes the focus
            QCOMPARE(iface->role(), QAccessible::ComboBox);
            QCOMPARE(iface->child(1)->object(), cbo->lineEdit());
            QCOMPARE(iface->child(1)->text(QAccessible::Name), name);
            iface->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
            QVERIFY(cbo->view()->isVisible());
            cbo->hidePopup();
        }
    }

    void startUpOpensCom1()
    {
        start();
        QVERIFY(dialogs->messages.isEmpty());
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->lineSettings(), line("9600,N,8,1"));
        QCOMPARE(comm->log, QStringList{"open /dev/fake-com1 9600"});
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));
        // The start-up opening leaves the switch display as the window began.
        QCOMPARE(caption(), closeCaption);
        QVERIFY(unlit() && !lit());
        QCOMPARE(w<QPlainTextEdit>("TxtSend")->toPlainText(), MainForm::startupSendText());
    }

    void startUpFailure_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::newRow("missing") << false;
        QTest::newRow("in use") << true;
    }
    void startUpFailure()
    {
        QFETCH(bool, busy);
        comm->available.clear();
        if (busy)
            comm->busy << com1;
        start();
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("没有发现此串口或被占用"));
        QCOMPARE(dialogs->messages[0].icon, Dialogs::Icon::Exclamation);
        QCOMPARE(dialogs->messages[0].buttons, Dialogs::Buttons::OkCancel);
        QVERIFY(!comm->isOpen());
        QCOMPARE(status(), QStringLiteral("STATUS：COM Port Cloced"));
        QCOMPARE(caption(), openCaption);
        QVERIFY(unlit() && !lit());
        QCOMPARE(w<QPlainTextEdit>("TxtSend")->toPlainText(), MainForm::startupSendText());
    }

    void switchClosesAndOpens()
    {
        start();
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(!comm->isOpen());
        QCOMPARE(status(), QStringLiteral("STATUS：COM Port Cloced"));
        QCOMPARE(caption(), openCaption);
        QVERIFY(!lit() && unlit());

        w<QComboBox>("CboBaudrate")->setEditText("19200"); // typed, takes effect at the switch
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->lineSettings(), line("19200,N,8,1"));
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，19200,N,8,1"));
        QCOMPARE(caption(), closeCaption);
        QVERIFY(lit() && !unlit());
        QVERIFY(dialogs->messages.isEmpty());
    }

    void switchFailsToOpen()
    {
        start();
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        w<QComboBox>("CboCom")->setEditText("COM2");
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("没有成功，请重试"));
        QCOMPARE(dialogs->messages[0].buttons, Dialogs::Buttons::Ok);
        QVERIFY(!comm->isOpen());
        QCOMPARE(status(), QStringLiteral("STATUS：COM Port Cloced"));
        QCOMPARE(caption(), openCaption);
    }

    // Texts that cannot be read end the handler silently and leave everything as it was.
    void unreadableSelectorTexts_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("text");
        QTest::newRow("data bits letters") << "CboDatabit"
                                           << "abc";
        QTest::newRow("data bits empty") << "CboDatabit"
                                         << "";
        QTest::newRow("stop bits letters") << "CboStopbit"
                                           << "x";
        QTest::newRow("negative port") << "CboCom"
                                       << "COM-5";
    }
    void unreadableSelectorTexts()
    {
        QFETCH(QString, selector);
        QFETCH(QString, text);
        start();
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton); // closed now
        w<QComboBox>(selector.toLatin1())->setEditText(text);
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(!comm->isOpen());
        QCOMPARE(caption(), openCaption);
        choose("CboBaudrate", "4800");
        QVERIFY(!comm->isOpen());
        QVERIFY(dialogs->messages.isEmpty());
        QCOMPARE(status(), QStringLiteral("STATUS：COM Port Cloced"));
    }

    // Texts the port refuses: the failure message and the closed look.
    void refusedSelectorTexts_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("text");
        QTest::newRow("baud letters") << "CboBaudrate"
                                      << "abc";
        QTest::newRow("baud empty") << "CboBaudrate"
                                    << "";
        QTest::newRow("port 999") << "CboCom"
                                  << "COM999";
        QTest::newRow("port 0") << "CboCom"
                                << "COM0";
        QTest::newRow("port letters") << "CboCom"
                                      << "abc";
        QTest::newRow("data 1.5") << "CboDatabit"
                                  << "1.5";
        QTest::newRow("missing path") << "CboCom"
                                      << "/dev/quorvex-none";
    }
    void refusedSelectorTexts()
    {
        QFETCH(QString, selector);
        QFETCH(QString, text);
        start();
        w<QComboBox>(selector.toLatin1())->setEditText(text);
        choose("CboParitybit", "ODD");
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, QStringLiteral("没有成功，请重试"));
        QVERIFY(!comm->isOpen());
        QCOMPARE(status(), QStringLiteral("STATUS：COM Port Cloced"));
        QCOMPARE(caption(), openCaption);
        QVERIFY(unlit());
    }

    void selectorReopensWithNewSettings()
    {
        start();
        comm->log.clear();
        choose("CboBaudrate", "115200");
        QCOMPARE(comm->log, (QStringList{"close", "open /dev/fake-com1 115200"}));
        QCOMPARE(comm->lineSettings(), line("115200,N,8,1"));
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，115200,N,8,1"));
        QCOMPARE(caption(), closeCaption);
        QVERIFY(lit());

        w<QComboBox>("CboDatabit")->setEditText("08");
        choose("CboParitybit", "ENEV");
        QCOMPARE(comm->lineSettings(), line("115200,E,8,1"));
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，115200,E,08,1"));

        choose("CboStopbit", "1.5");
        QCOMPARE(comm->lineSettings(), line("115200,E,8,1.5"));
    }

    void selectorOpensAClosedPort()
    {
        start();
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        choose("CboDatabit", "7");
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->lineSettings(), line("9600,N,7,1"));
        QVERIFY(lit());
    }

    void selectorToAMissingPortClosesTheOpenOne()
    {
        start();
        choose("CboCom", "COM2");
        QCOMPARE(dialogs->messages.size(), 1);
        QVERIFY(!comm->isOpen());
        comm->available << com2;
        choose("CboCom", "COM2");
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->device(), com2);
        QCOMPARE(status(), QStringLiteral("STATUS：COM2 OPEND，9600,N,8,1"));
    }

    void devicePathInThePortSelector()
    {
        comm->available << "/dev/ttyUSB0";
        start();
        w<QComboBox>("CboCom")->setEditText("/dev/ttyUSB0");
        choose("CboBaudrate", "57600");
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->device(), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(status(), QStringLiteral("STATUS：/dev/ttyUSB0 OPEND，57600,N,8,1"));
    }

    void deviceLossShowsClosedWithoutAMessage()
    {
        start();
        comm->lose();
        QTRY_VERIFY(!comm->isOpen());
        QTRY_COMPARE(status(), QStringLiteral("STATUS：COM Port Cloced（等待设备）"));
        QCOMPARE(caption(), openCaption);
        QVERIFY(unlit());
        QVERIFY(dialogs->messages.isEmpty());
        comm->available << com1;
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(comm->isOpen());
    }

    // A fault that leaves the port open is told once in the status line, and
    // again after the next opening; the port stays open, without a message.
    void portFaultToldOnce()
    {
        start();
        const QString open = status();
        comm->fault("Input/output error");
        comm->fault("Input/output error");
        QTRY_COMPARE(status(), open + QStringLiteral("（串口出错：Input/output error）"));
        QTest::qWait(50);
        QCOMPARE(status(), open + QStringLiteral("（串口出错：Input/output error）"));
        QVERIFY(comm->isOpen() && dialogs->messages.isEmpty());
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QCOMPARE(status(), open);
        comm->fault("Broken pipe");
        QTRY_COMPARE(status(), open + QStringLiteral("（串口出错：Broken pipe）"));
    }

    void clockTicks()
    {
        form->setLocale(QLocale("zh_CN"));
        form->setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(9, 7, 2)); });
        start();
        QCOMPARE(w<QLabel>("LblNowTime")->text(), QStringLiteral("当前时间"));
        QCOMPARE(w<QLabel>("LblNewDate")->text(), QStringLiteral("显示日前"));
        QTRY_COMPARE_WITH_TIMEOUT(w<QLabel>("LblNowTime")->text(), QStringLiteral("09:07:02"),
                                  3000);
        QCOMPARE(w<QLabel>("LblNewDate")->text(), QStringLiteral("2024/3/5"));
    }

    void quitClosesThePortOnly()
    {
        start();
        QSignalSpy quit(form.get(), &MainForm::quitRequested);
        QTest::mouseClick(w("CmdQuit"), Qt::LeftButton);
        QCOMPARE(quit.count(), 1);
        QVERIFY(!comm->isOpen());
        QVERIFY(!form->isVisible());
        // Closed directly: the status line is not rewritten.
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));
    }

    // Typing, completing, Enter in the field, Tab and the wheel choose nothing:
    // the port stays as start-up opened it and nothing is asked.
    void selectorGesturesThatChooseNothing_data()
    {
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("typed");
        QTest::newRow("baud 1 then Tab") << "CboBaudrate"
                                         << "1";
        QTest::newRow("baud 4800 then Tab") << "CboBaudrate"
                                            << "4800";
        QTest::newRow("parity ODD") << "CboParitybit"
                                    << "ODD";
        QTest::newRow("data bits 7") << "CboDatabit"
                                     << "7";
        QTest::newRow("stop bits 2") << "CboStopbit"
                                     << "2";
        QTest::newRow("port COM2") << "CboCom"
                                   << "COM2";
    }
    void selectorGesturesThatChooseNothing()
    {
        QFETCH(QString, selector);
        QFETCH(QString, typed);
        start();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto *cbo = w<QComboBox>(selector.toLatin1());
        const QStringList opened = comm->log;
        cbo->setFocus();
        cbo->lineEdit()->selectAll();
        QTest::keyClicks(cbo->lineEdit(), typed);
        QCOMPARE(cbo->currentText(), typed); // nothing completed
        QTest::keyClick(cbo->lineEdit(), Qt::Key_Return);
        QWheelEvent wheel(QPointF(5, 5), cbo->mapToGlobal(QPointF(5, 5)), {}, QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(cbo, &wheel);
        QCOMPARE(cbo->currentText(), typed);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(!cbo->hasFocus());
        QCOMPARE(comm->log, opened);
        QVERIFY(dialogs->messages.isEmpty());
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));
    }

    // After a failed start-up, a keyboard user tabs through all five selectors
    // (the texts still match their items) without a single message.
    void tabbingThroughSelectorsAfterAFailedStartUp()
    {
        comm->available.clear();
        start();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        dialogs->messages.clear();
        w("CmdQuit")->setFocus();
        for (int i = 0; i < 7; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w("CmdAmend"));
        QVERIFY(dialogs->messages.isEmpty());
        QVERIFY(!comm->isOpen());
    }

    // A typed port takes effect at the switch; leaving the field opens nothing
    // that the switch would then close.
    void typedPortThenSwitch()
    {
        comm->available << com2;
        start();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton); // closed
        auto *cbo = w<QComboBox>("CboCom");
        cbo->setFocus();
        cbo->lineEdit()->selectAll();
        QTest::keyClicks(cbo->lineEdit(), "COM2");
        w("CmdSwitch")->setFocus(); // the click takes the focus first
        QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(comm->isOpen());
        QCOMPARE(comm->device(), com2);
        QCOMPARE(caption(), closeCaption);
    }

    // Stepping with the arrow keys over a closed selector chooses, as in the list.
    void arrowKeysChoose()
    {
        start();
        auto *cbo = w<QComboBox>("CboBaudrate");
        cbo->setCurrentIndex(cbo->findText("9600"));
        QTest::keyClick(cbo, Qt::Key_Down);
        QCOMPARE(cbo->currentText(), QStringLiteral("14400"));
        QCOMPARE(comm->lineSettings(), line("14400,N,8,1"));
        QCOMPARE(status(), QStringLiteral("STATUS：COM1 OPEND，14400,N,8,1"));
    }

    // Tab moves on from the send box; Enter presses the focused button.
    void tabAndEnter()
    {
        start();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto *send = w<QPlainTextEdit>("TxtSend");
        send->setFocus();
        QTest::keyClick(send, Qt::Key_Tab);
        QCOMPARE(send->toPlainText(), MainForm::startupSendText());
        QCOMPARE(QApplication::focusWidget(), w("CmdClearSend"));
        QTest::keyClick(w("CmdClearSend"), Qt::Key_Return);
        QVERIFY(send->toPlainText().isEmpty());
        QTest::keyClick(w("CmdStopdisp"), Qt::Key_Enter);
        QCOMPARE(w<QPushButton>("CmdStopdisp")->text(), QStringLiteral("继续显示"));
    }

    // No single-line box stops at Qt's 32,767 characters.
    void singleLineBoxesHoldLongTexts()
    {
        const QString longText(40000, u'7');
        for (auto *box : form->findChildren<QLineEdit *>()) {
            box->setText(longText);
            QVERIFY2(box->text() == longText, qPrintable(box->objectName()));
        }
    }

    // A status too long for its box keeps its whole text (read, copied, and
    // shown as the tooltip); the box draws it with the middle of the port's
    // name left out, so the settings stay readable.
    void longStatusLine()
    {
        const QString path =
            QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0");
        comm->available << path;
        start();
        w<QComboBox>("CboCom")->setEditText(path);
        w<QComboBox>("CboParitybit")->setEditText("ODD");
        w<QComboBox>("CboDatabit")->setEditText("7");
        QVERIFY(chooseFromList(w<QComboBox>("CboBaudrate"), "115200"));
        auto *box = w<StatusLine>("TxtStatus");
        const QString whole = "STATUS：" + path + " OPEND，115200,O,7,1";
        QCOMPARE(box->text(), whole);
        QCOMPARE(box->toolTip(), whole);
        const QString shown = box->shownText();
        QVERIFY2(shown.startsWith("STATUS：/") && shown.contains(u'…') &&
                     shown.endsWith("0 OPEND，115200,O,7,1") &&
                     box->fontMetrics().horizontalAdvance(shown) < box->width(),
                 qPrintable(shown));
        QTest::keyClicks(box,
                         "x"); // typed into, the box no longer knows the name: its end gives way
        QVERIFY(box->shownText().startsWith("xSTATUS：/dev/serial") &&
                box->shownText().endsWith(u'…'));
        box->showStatus(closedStatusLine()); // a short status is shown as it is
        QCOMPARE(box->shownText(), closedStatusLine());
    }

    // The boxes' own context menus speak Chinese too (a mnemonic letter and a
    // shortcut aside).
    void contextMenusInChinese()
    {
        const QRegularExpression english(QStringLiteral("[A-Za-z]{2,}"));
        std::unique_ptr<QMenu> menus[] = {
            std::unique_ptr<QMenu>(w<QPlainTextEdit>("TxtSend")->createStandardContextMenu()),
            std::unique_ptr<QMenu>(w<QComboBox>("CboCom")->lineEdit()->createStandardContextMenu()),
            std::unique_ptr<QMenu>(w<QLineEdit>("TxtAutoSendTime")->createStandardContextMenu())};
        for (const auto &menu : menus) {
            QVERIFY(menu->actions().size() > 3);
            for (QAction *a : menu->actions())
                QVERIFY2(a->isSeparator() || !a->text().split(u'\t').first().contains(english),
                         qPrintable(a->text()));
        }
    }

    // COM1 to COM16, then the machine's devices in natural order, brought up to
    // date at each opening of the list without touching the typed text.
    void portListShowsTheMachinesDevices()
    {
        FakePortLister lister;
        lister.list = {{"/dev/ttyUSB10", "", "", "", {}, {}},
                       {"/dev/ttyUSB2", "USB Serial", "FTDI", "A10K", 0x0403, 0x6001},
                       {"/dev/ttyACM0", "", "", "", {}, {}}};
        form->setPortLister(&lister);
        start();
        auto *cbo = w<QComboBox>("CboCom");
        cbo->setEditText("COM7x");
        cbo->showPopup();
        QStringList items;
        for (int i = 0; i < cbo->count(); ++i)
            items << cbo->itemText(i);
        QCOMPARE(items.size(), 19);
        QCOMPARE(items.first(), QStringLiteral("COM1"));
        QCOMPARE(items[15], QStringLiteral("COM16"));
        QCOMPARE(items.mid(16), QStringList({"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10"}));
        QCOMPARE(cbo->currentText(), QStringLiteral("COM7x"));
        const QString details =
            QStringLiteral("描述：USB Serial\n制造商：FTDI\n序列号：A10K\nUSB：VID 0403，PID 6001");
        QCOMPARE(cbo->itemData(17, Qt::ToolTipRole).toString(), details);
        QCOMPARE(cbo->itemData(17, Qt::AccessibleDescriptionRole).toString(), details);
        QVERIFY(cbo->itemData(16, Qt::ToolTipRole).toString().isEmpty());
        // COM items tell the device they open.
        QCOMPARE(cbo->itemData(0, Qt::ToolTipRole).toString(), com1);
        QCOMPARE(cbo->itemData(2, Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("/dev/ttyS2"));
        cbo->hidePopup();
        QCOMPARE(comm->log.size(), 1); // opening the list chose nothing

        lister.list.removeFirst(); // ttyUSB10 unplugged
        comm->available << QStringLiteral("/dev/ttyUSB2");
        QVERIFY(chooseFromList(cbo, "/dev/ttyUSB2"));
        QCOMPARE(cbo->count(), 18);
        QCOMPARE(comm->device(), QStringLiteral("/dev/ttyUSB2"));
        QCOMPARE(status(), QStringLiteral("STATUS：/dev/ttyUSB2 OPEND，9600,N,8,1"));
    }

    // The real message box, closed by a timer as a person would close it.
    void realMessageBox()
    {
        QtDialogs real(form.get());
        form->show();
        QString seenText, seenTitle;
        QTimer::singleShot(100, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seenText = box->text();
            seenTitle = box->windowTitle();
            QCOMPARE(box->icon(), QMessageBox::Warning);
            QVERIFY(box->button(QMessageBox::Cancel));
            // Qt's own texts speak the window's language.
            QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
            QCOMPARE(box->button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
            box->button(QMessageBox::Cancel)->click();
        });
        real.message(QStringLiteral("没有发现此串口或被占用"), Dialogs::Icon::Exclamation,
                     Dialogs::Buttons::OkCancel);
        QCOMPARE(seenText, QStringLiteral("没有发现此串口或被占用"));
        QCOMPARE(seenTitle, QStringLiteral("Tarvolin"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
