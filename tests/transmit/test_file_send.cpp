#include "support/pty_window.h"
#include "transmit/send_file.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <sys/stat.h>

// Choosing and sending a file, through the window to a pseudo-terminal.
class TestFileSend : public PtyWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QString file(const char *name, const QByteArray &content)
    {
        QFile f(dir->filePath(QString::fromUtf8(name)));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return f.fileName();
    }
    void choose(const QString &path)
    {
        dialogs->fileAnswer = path;
        QTest::mouseClick(w("CmdSelectFile"), Qt::LeftButton);
    }
    void sendFile() { QTest::mouseClick(w("CmdSendFile"), Qt::LeftButton); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        openWindow();
    }
    void cleanup() { closeWindow(); }

    void nothingToSend_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<bool>("emptyFile");
        QTest::addColumn<QString>("message");
        QTest::newRow("no file yet") << true << false << "发送的文件为空";
        QTest::newRow("empty file") << true << true << "发送的文件为空";
        QTest::newRow("port closed, no file") << false << false << "串口没有打开，请打开串口";
    }
    void nothingToSend()
    {
        QFETCH(bool, open);
        QFETCH(bool, emptyFile);
        QFETCH(QString, message);
        if (emptyFile)
            choose(file("empty.txt", ""));
        if (!open)
            QTest::mouseClick(w("CmdSwitch"), Qt::LeftButton);
        QVERIFY(dialogs->messages.isEmpty()); // choosing an empty file says nothing
        sendFile();
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages[0].text, message);
        QCOMPARE(device->read(1, 100), QByteArray());
    }

    // The file's own bytes go out without the spaces at its ends, and are counted
    // whole when the send event comes.
    void bytesOnTheWire_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("A B CR LF") << QByteArray("AB\r\n") << QByteArray("AB\r\n");
        QTest::newRow("spaces at the ends") << QByteArray("  AB  ") << QByteArray("AB");
        QTest::newRow("code page 936")
            << QByteArray("\xd6\xd0 \xce\xc4") << QByteArray("\xd6\xd0 \xce\xc4");
        QTest::newRow("not code page 936")
            << QByteArray("\xc3\xa9\x80\xff\x81\x20", 6) << QByteArray("\xc3\xa9\x80\xff\x81", 5);
        QTest::newRow("binary") << QByteArray("\x00\x01\x02\xfe", 4)
                                << QByteArray("\x00\x01\x02\xfe", 4);
    }
    void bytesOnTheWire()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, wire);
        choose(file("data.txt", content));
        QCOMPARE(w<QLineEdit>("TxtSendPath")->text(), dir->filePath("data.txt"));
        sendFile();
        QCOMPARE(device->read(wire.size()), wire);
        QTRY_COMPARE(tx(), "TX:" + QString::number(content.size()));
        QVERIFY(dialogs->messages.isEmpty());
    }

    void sentWithHexSendTickedIsNotCounted()
    {
        choose(file("a.txt", "hello"));
        w<QCheckBox>("ChkHexSend")->setCheckState(Qt::Checked);
        sendFile();
        QCOMPARE(device->read(5), QByteArray("hello"));
        QTest::qWait(150);
        QCOMPARE(tx(), QStringLiteral("TX:0"));
    }

    void fileChangedAfterChoosing()
    {
        const QString path = file("live.txt", "old");
        choose(path);
        file("live.txt", "new!");
        sendFile();
        QCOMPARE(device->read(3), QByteArray("old"));
        choose(path);
        sendFile();
        QCOMPARE(device->read(4), QByteArray("new!"));
    }

    // What the box names is what is sent: after a choice that cannot be read,
    // the previous file's content is gone, and sending answers as for an empty file.
    void unreadableChoiceLeavesNothingToSend_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("no name") << "";
        QTest::newRow("missing file") << "/nonexistent/quorvex.txt";
        QTest::newRow("a folder") << "/tmp";
        QTest::newRow("an endless device") << "/dev/zero";
        QTest::newRow("a terminal") << "/dev/tty";
        QTest::newRow("a named pipe nobody writes to") << "fifo";
    }
    void unreadableChoiceLeavesNothingToSend()
    {
        QFETCH(QString, answer);
        if (answer == "fifo") {
            answer = dir->filePath("pipe.txt");
            QCOMPARE(::mkfifo(QFile::encodeName(answer).constData(), 0600), 0);
        }
        choose(file("kept.txt", "kept"));
        choose(answer);
        QCOMPARE(w<QLineEdit>("TxtSendPath")->text(), answer);
        QVERIFY(dialogs->messages.isEmpty()); // choosing says nothing
        sendFile();
        QCOMPARE(dialogs->messages.value(0).text, QStringLiteral("发送的文件为空"));
        QCOMPARE(device->read(1, 100), QByteArray());
    }

    // The real dialog: a cancel reports the name chosen before, so the box and
    // what is sent stay that file (read again, as a choice of it would).
    void realDialogCancelKeepsTheChoice()
    {
        QtDialogs real(form.get());
        const QString path = file("chosen.txt", "v1");
        auto answer = [&](bool accept) {
            QTimer::singleShot(100, this, [&, accept] {
                auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                if (!d)
                    qFatal("no file dialog shown");
                if (accept) {
                    d->findChild<QLineEdit *>("fileNameEdit")->setText(path);
                    static_cast<QDialog *>(d)->accept(); // QFileDialog hides it
                } else {
                    d->reject();
                }
            });
        };
        answer(true);
        QCOMPARE(real.chooseFileToOpen(), path);
        answer(false);
        QCOMPARE(real.chooseFileToOpen(), path);
    }

    // Up to the limit and no further; a file that says it is empty is read to its end.
    void readingBounds()
    {
        const QString eleven = file("eleven.txt", "hello world");
        QCOMPARE(readFileToSend(eleven, 11), QByteArray("hello world"));
        QCOMPARE(readFileToSend(eleven, 10), std::nullopt);
        const auto status = readFileToSend(QStringLiteral("/proc/self/status"));
        QVERIFY(status && status->startsWith("Name:"));
    }

    void folderAndFileNamesWithChineseAndSpaces()
    {
        QVERIFY(QDir(dir->path()).mkpath(QString::fromUtf8("测试 数据")));
        choose(file("测试 数据/样本 1.txt", "ok"));
        sendFile();
        QCOMPARE(device->read(2), QByteArray("ok"));
    }
};

QTEST_MAIN(TestFileSend)
#include "test_file_send.moc"
