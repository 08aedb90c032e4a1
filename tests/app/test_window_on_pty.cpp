#include "app/app_setup.h"
#include "app/main_window.h"
#include "receive/receive_display.h"
#include "serial/device_port.h"
#include "serial/port_watcher.h"
#include "support/choose_item.h"
#include "support/fake_port_lister.h"
#include "support/port_helpers.h"
#include "support/pty_pair.h"
#include "support/recording_dialogs.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

// The window with the real control, on pseudo-terminals standing in for COM1 and COM2.
class TestWindowOnPty : public QObject
{
    Q_OBJECT

    QString status(MainForm &f) { return f.findChild<QLineEdit *>("TxtStatus")->text(); }

    // The window after start-up on COM1 = com1, with a port list the test sets.
    struct Window {
        DevicePort comm;
        RecordingDialogs dialogs;
        FakePortLister lister;
        MainForm form{&comm, &dialogs};
        explicit Window(const QString &com1)
        {
            qputenv("QUORVEX_COM1", com1.toLocal8Bit());
            form.setPortLister(&lister);
            form.formLoad();
        }
    };

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // never the user's own files
        configureApplication();
    }

    void startUpSwitchAndDeviceLoss()
    {
        auto com1 = std::make_unique<PtyPair>();
        PtyPair com2;
        qputenv("QUORVEX_COM1", com1->devicePath().toLocal8Bit());
        qputenv("QUORVEX_COM2", com2.devicePath().toLocal8Bit());
        DevicePort comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        form.show();
        QVERIFY(comm.isOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));

        // Switch to COM2 through the selector, and back.
        auto *cbo = form.findChild<QComboBox *>("CboCom");
        QVERIFY(chooseFromList(cbo, QStringLiteral("COM2")));
        QVERIFY(comm.isOpen());
        QCOMPARE(comm.device(), com2.devicePath());
        QVERIFY(comm.write(QByteArray("hi")));
        QCOMPARE(com2.read(2), QByteArray("hi"));
        QVERIFY(chooseFromList(cbo, QStringLiteral("COM1")));
        QCOMPARE(comm.device(), com1->devicePath());

        // COM1 goes away: the window shows the port closed, and asks nothing.
        com1.reset();
        QTRY_COMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced（等待设备）"));
        QVERIFY(!comm.isOpen());
        QCOMPARE(form.findChild<QPushButton *>("CmdSwitch")->text(), QStringLiteral("打开串口"));
        QVERIFY(dialogs.messages.isEmpty());
    }

    // An adapter pulled and plugged in again: its link goes and comes back. The
    // window takes it up again by itself, also after a moment when another
    // program held it, and shows what it sends.
    void deviceThatComesBackIsTakenUpAgain()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyUSB0");
        auto device = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(device->devicePath(), link));
        Window win(link);
        auto &[comm, dialogs, lister, form] = win;
        QVERIFY(comm.isOpen());

        device.reset(); // pulled
        QVERIFY(QFile::remove(link));
        QTRY_COMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced（等待设备）"));
        device = std::make_unique<PtyPair>(); // plugged in, first taken by someone else
        QVERIFY(QFile::link(device->devicePath(), link));
        DevicePort other;
        QVERIFY(other.open(link, line("9600,N,8,1")));
        QTest::qWait(3 * PortWatcher::kLookEveryMs);
        QVERIFY(!comm.isOpen());
        other.close();
        QTRY_VERIFY(comm.isOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));
        QCOMPARE(form.findChild<QPushButton *>("CmdSwitch")->text(), QStringLiteral("关闭串口"));
        QVERIFY(form.findChild<QWidget *>("ImgSwitchOn")->isVisibleTo(&form));
        QVERIFY(device->write("hello\r\n"));
        QTRY_COMPARE(form.findChild<ReceiveDisplay *>("TxtReceive")->text(),
                     QStringLiteral("hello\r\n"));
        QVERIFY(dialogs.messages.isEmpty());
    }

    // A USB adapter that returns under another name is known by its ids and
    // serial number.
    void usbAdapterBackUnderAnotherName()
    {
        auto first = std::make_unique<PtyPair>();
        PtyPair second;
        const PortInfo identity{first->devicePath(), "USB Serial", "QinHeng", "X9", 0x1a86, 0x7523};
        Window win(first->devicePath());
        auto &[comm, dialogs, lister, form] = win;
        lister.list = {identity};      // asked once the opening is done
        QTRY_VERIFY(lister.asked > 0); // the identity of what was opened

        PortInfo stranger = identity;
        stranger.path = QStringLiteral("/dev/quorvex-none");
        stranger.serialNumber = QStringLiteral("OTHER");
        PortInfo back = identity;
        back.path = second.devicePath();
        lister.list = {stranger, back};
        first.reset();
        QTRY_VERIFY(comm.isOpen() && comm.device() == second.devicePath());
        QVERIFY(second.write("ok"));
        QTRY_COMPARE(form.findChild<ReceiveDisplay *>("TxtReceive")->text(), QStringLiteral("ok"));
    }

    // Pressing the switch ends the waiting: a device that returns afterwards stays closed.
    void switchEndsTheWait()
    {
        auto device = std::make_unique<PtyPair>();
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyACM0");
        QVERIFY(QFile::link(device->devicePath(), link));
        Window win(link);
        auto &[comm, dialogs, lister, form] = win;
        device.reset();
        QVERIFY(QFile::remove(link));
        QTRY_VERIFY(!comm.isOpen());
        QTest::mouseClick(form.findChild<QPushButton *>("CmdSwitch"), Qt::LeftButton);
        QCOMPARE(dialogs.messages.size(), 1); // nothing there to open yet
        device = std::make_unique<PtyPair>();
        QVERIFY(QFile::link(device->devicePath(), link));
        QTest::qWait(3 * PortWatcher::kLookEveryMs);
        QVERIFY(!comm.isOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced"));
    }

    // Typed paths that are no serial device are refused at once, never waited on.
    void typedPathsThatAreNoDevice_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("endless device") << "/dev/zero";
        QTest::newRow("ordinary file") << "file";
        QTest::newRow("folder") << "/tmp";
    }
    void typedPathsThatAreNoDevice()
    {
        QFETCH(QString, path);
        QTemporaryDir dir;
        if (path == "fifo") {
            path = dir.filePath("pipe");
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (path == "file") {
            QFile file(dir.filePath("plain"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            path = file.fileName();
        }
        PtyPair com1;
        qputenv("QUORVEX_COM1", com1.devicePath().toLocal8Bit());
        DevicePort comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        QTest::mouseClick(form.findChild<QPushButton *>("CmdSwitch"), Qt::LeftButton);
        form.findChild<QComboBox *>("CboCom")->setEditText(path);
        QTest::mouseClick(form.findChild<QPushButton *>("CmdSwitch"), Qt::LeftButton);
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有成功，请重试"));
        QVERIFY(!comm.isOpen());
    }

    void startUpOnABusyPort()
    {
        PtyPair com1;
        qputenv("QUORVEX_COM1", com1.devicePath().toLocal8Bit());
        DevicePort other;
        QVERIFY(other.open(com1.devicePath(), line("9600,N,8,1")));

        DevicePort comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有发现此串口或被占用"));
        QVERIFY(!comm.isOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced"));
    }
};

QTEST_MAIN(TestWindowOnPty)
#include "test_window_on_pty.moc"
