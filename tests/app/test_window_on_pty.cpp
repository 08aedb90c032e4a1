#include "app/app_setup.h"
#include "app/main_window.h"
#include "serial/qt_serial_control.h"
#include "support/choose_item.h"
#include "support/pty_pair.h"
#include "support/recording_dialogs.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

// The window with the real control, on pseudo-terminals standing in for COM1 and COM2.
class TestWindowOnPty : public QObject
{
    Q_OBJECT

    QString status(MainForm &f) { return f.findChild<QLineEdit *>("TxtStatus")->text(); }

private slots:
    void initTestCase() { configureApplication(); }

    void startUpSwitchAndDeviceLoss()
    {
        auto com1 = std::make_unique<PtyPair>();
        PtyPair com2;
        qputenv("QUORVEX_COM1", com1->devicePath().toLocal8Bit());
        qputenv("QUORVEX_COM2", com2.devicePath().toLocal8Bit());
        QtSerialControl comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        form.show();
        QVERIFY(comm.portOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));

        // Switch to COM2 through the selector, and back.
        auto *cbo = form.findChild<QComboBox *>("CboCom");
        QVERIFY(chooseFromList(cbo, QStringLiteral("COM2")));
        QVERIFY(comm.portOpen());
        QCOMPARE(comm.deviceName(), com2.devicePath());
        QVERIFY(comm.output(QByteArray("hi")));
        QCOMPARE(com2.read(2), QByteArray("hi"));
        QVERIFY(chooseFromList(cbo, QStringLiteral("COM1")));
        QCOMPARE(comm.deviceName(), com1->devicePath());

        // COM1 goes away: the window shows the port closed, and asks nothing.
        com1.reset();
        QTRY_COMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced"));
        QVERIFY(!comm.portOpen());
        QCOMPARE(form.findChild<QPushButton *>("CmdSwitch")->text(), QStringLiteral("打开串口"));
        QVERIFY(dialogs.messages.isEmpty());
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
        QtSerialControl comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        QTest::mouseClick(form.findChild<QPushButton *>("CmdSwitch"), Qt::LeftButton);
        form.findChild<QComboBox *>("CboCom")->setEditText(path);
        QTest::mouseClick(form.findChild<QPushButton *>("CmdSwitch"), Qt::LeftButton);
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有成功，请重试"));
        QVERIFY(!comm.portOpen());
    }

    void startUpOnABusyPort()
    {
        PtyPair com1;
        qputenv("QUORVEX_COM1", com1.devicePath().toLocal8Bit());
        QtSerialControl other;
        other.setDevicePath(com1.devicePath());
        QVERIFY(other.setPortOpen(true));

        QtSerialControl comm;
        RecordingDialogs dialogs;
        MainForm form(&comm, &dialogs);
        form.formLoad();
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("没有发现此串口或被占用"));
        QVERIFY(!comm.portOpen());
        QCOMPARE(status(form), QStringLiteral("STATUS：COM Port Cloced"));
    }
};

QTEST_MAIN(TestWindowOnPty)
#include "test_window_on_pty.moc"
