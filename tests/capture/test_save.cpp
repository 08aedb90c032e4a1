#include "capture/save_file.h"
#include "receive/receive_display.h"
#include "support/fake_window.h"
#include "support/file_size_limit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Saving the display, with the clock fixed.
class TestSave : public FakeWindowTest
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    const QDateTime now{QDate(2024, 3, 5), QTime(9, 7, 2)};

    QLineEdit *pathBox() { return w<QLineEdit>("TxtSavePath"); }
    void save() { QTest::mouseClick(w("CmdSaveDisp"), Qt::LeftButton); }
    QByteArray saved(const QString &folder)
    {
        QFile f(folder + "/1.txt");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    }
    QByteArray expectedStamp()
    {
        return QByteArray("2024\xc4\xea"
                          "3\xd4\xc2"
                          "5\xc8\xd5"
                          "9\xca\xb1"
                          "7\xb7\xd6"
                          "2\xc3\xeb\r\n");
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        makeWindow();
        form->setClock([this] { return now; });
        form->setSaveNoticeDuration(300);
        form->show();
    }
    void cleanup() { closeWindow(); }

    void timestamps_data()
    {
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<QString>("text");
        QTest::newRow("no leading zeros")
            << QDateTime(QDate(2024, 3, 5), QTime(9, 7, 2)) << "2024年3月5日9时7分2秒";
        QTest::newRow("24-hour") << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59))
                                 << "1999年12月31日23时59分59秒";
        QTest::newRow("midnight") << QDateTime(QDate(2026, 1, 1), QTime(0, 0, 0))
                                  << "2026年1月1日0时0分0秒";
    }
    void timestamps()
    {
        QFETCH(QDateTime, at);
        QFETCH(QString, text);
        QCOMPARE(saveTimestamp(at), text);
    }

    void exactFileBytes_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("text") << QString::fromUtf8("温度 OK\r\n")
                              << QByteArray("\xce\xc2\xb6\xc8 OK\r\n");
        QTest::newRow("empty display") << "" << QByteArray();
    }
    void exactFileBytes()
    {
        QFETCH(QString, display);
        QFETCH(QByteArray, body);
        const QString folder = dir->filePath("out");
        pathBox()->setText(folder); // missing: made with its parents
        w<ReceiveDisplay>("TxtReceive")->setText(display);
        save();
        QCOMPARE(saved(folder), expectedStamp() + body + "\r\n");
    }

    void hexDisplaySavedAsShown()
    {
        pathBox()->setText(dir->path());
        w<ReceiveDisplay>("TxtReceive")->appendReceivedHex(QByteArray("\x01\xff", 2));
        save();
        QCOMPARE(saved(dir->path()), expectedStamp() + "01 FF \r\n");
    }

    void noticeThenFolderBack()
    {
        form->setSaveNoticeDuration(5000);
        pathBox()->setText(dir->path());
        QElapsedTimer t;
        t.start();
        save();
        QCOMPARE(pathBox()->text(), QStringLiteral("OK,1.txt Save"));
        QVERIFY(!w("CmdSaveDisp")->isEnabled());
        // Other events are handled meanwhile.
        comm->available << "/dev/fake";
        w<ReceiveDisplay>("TxtReceive")->appendReceivedText(u"later");
        QTRY_COMPARE_WITH_TIMEOUT(pathBox()->text(), dir->path(), 7000);
        QVERIFY(t.elapsed() >= 4900);
        QVERIFY(w("CmdSaveDisp")->isEnabled());
    }

    void twoSavesInARow()
    {
        pathBox()->setText(dir->path());
        auto *display = w<ReceiveDisplay>("TxtReceive");
        display->setText("first, longer text");
        save();
        QTRY_VERIFY(w("CmdSaveDisp")->isEnabled());
        display->setText("second");
        save();
        QCOMPARE(saved(dir->path()), expectedStamp() + "second\r\n");
    }

    void folderChosenDuringTheNotice()
    {
        pathBox()->setText(dir->path());
        save();
        dialogs->folderAnswer = dir->filePath("picked");
        QTest::mouseClick(w("CmdAmend"), Qt::LeftButton);
        pathBox()->setText("typed during the notice");
        QTRY_VERIFY(w("CmdSaveDisp")->isEnabled());
        QCOMPARE(pathBox()->text(), dir->filePath("picked"));
    }

    void picker()
    {
        QCOMPARE(dialogs->folderTitle, QString());
        dialogs->folderAnswer = std::nullopt; // cancelled: nothing changes
        const QString before = pathBox()->text();
        QTest::mouseClick(w("CmdAmend"), Qt::LeftButton);
        QCOMPARE(dialogs->folderTitle, QStringLiteral("选择目录:"));
        QCOMPARE(dialogs->folderRoot, MainForm::folderPickerRoot());
        QCOMPARE(pathBox()->text(), before);
        dialogs->folderAnswer = dir->path();
        QTest::mouseClick(w("CmdAmend"), Qt::LeftButton);
        QCOMPARE(pathBox()->text(), dir->path());
        save();
        QVERIFY(QFile::exists(dir->path() + "/1.txt"));
    }

    void foldersFromTheHome()
    {
        const std::pair<QString, QString> typedAndMeant[] = {{"~", "/home/u"},
                                                             {"~/qv", "/home/u/qv"},
                                                             {"qv/a", "/home/u/qv/a"},
                                                             {"/srv", "/srv"},
                                                             {"", ""}};
        for (const auto &[typed, meant] : typedAndMeant)
            QCOMPARE(resolveFolder(typed, "/home/u"), meant);
    }

    // A save to "~/qvtest" goes below the home folder, never into a folder "~"
    // in the working folder; the box keeps what was typed, and the picker
    // starts at that folder.
    void tildeInTheSaveFolder()
    {
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", dir->path().toLocal8Bit());
        pathBox()->setText("~/qvtest");
        save();
        QCOMPARE(saved(dir->path() + "/qvtest"), expectedStamp() + "\r\n");
        QTRY_COMPARE(pathBox()->text(), QStringLiteral("~/qvtest"));
        QTest::mouseClick(w("CmdAmend"), Qt::LeftButton);
        QCOMPARE(dialogs->folderCurrent, dir->path() + "/qvtest");
        qputenv("HOME", home);
    }

    // A new 1.txt is for this user's eyes only; a link at its name that another
    // user planted is not written through (the save fails as any other).
    void savedFileIsPrivateAndNotThroughALink()
    {
        pathBox()->setText(dir->path());
        save();
        QFile saved(dir->path() + "/1.txt");
        QCOMPARE(saved.permissions() & 0x7077,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner); // owner, group, others
        QVERIFY(saved.remove());
        const QString victim = dir->path() + "/victim";
        QFile(victim).open(QIODevice::WriteOnly);
        QVERIFY(QFile::link(victim, saved.fileName()));
        if (::lchown(QFile::encodeName(saved.fileName()).constData(), 65534, 65534) != 0)
            QSKIP("needs root to plant a link of another user");
        QTest::qWait(350); // the notice of the first save ends
        save();
        QCOMPARE(QFileInfo(victim).size(), 0);
        QVERIFY(QFileInfo(saved.fileName()).isSymLink());
        QVERIFY(w("CmdSaveDisp")->isEnabled());
    }

    // Nothing visible happens, and an older file stays whole.
    void failedSaves_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("path names a file") << "file";
        QTest::newRow("cannot make folder") << "proc";
        QTest::newRow("empty path") << "empty";
    }
    void failedSaves()
    {
        QFETCH(QString, kind);
        QString folder;
        if (kind == "file") {
            folder = dir->filePath("plain");
            QFile f(folder);
            f.open(QIODevice::WriteOnly);
        } else if (kind == "proc") {
            folder = "/proc/quorvex-cannot/exist";
        }
        pathBox()->setText(folder);
        save();
        QCOMPARE(pathBox()->text(), folder);
        QVERIFY(w("CmdSaveDisp")->isEnabled());
    }

    // A 1.txt that is a named pipe, or the folder box naming a device, never
    // makes the window wait: the pipe is replaced by the saved file.
    void specialNamesDoNotBlock()
    {
        const QString pipe = dir->filePath("1.txt");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        pathBox()->setText(dir->path());
        save();
        QCOMPARE(pathBox()->text(), QStringLiteral("OK,1.txt Save"));
        QCOMPARE(saved(dir->path()), expectedStamp() + "\r\n");
        QTRY_VERIFY(w("CmdSaveDisp")->isEnabled());
        pathBox()->setText(QStringLiteral("/dev/zero"));
        save();
        QCOMPARE(pathBox()->text(), QStringLiteral("/dev/zero"));
    }

    void failingWriteLeavesTheOldFile()
    {
        pathBox()->setText(dir->path());
        w<ReceiveDisplay>("TxtReceive")->setText("old");
        save();
        QTRY_VERIFY(w("CmdSaveDisp")->isEnabled());
        const QByteArray old = saved(dir->path());

        // A disk that fills up: files may not grow past 4 KB while saving.
        w<ReceiveDisplay>("TxtReceive")->setText(QString(100000, u'x'));
        {
            FileSizeLimit full(4096);
            save();
        }
        QCOMPARE(saved(dir->path()), old);
        QCOMPARE(pathBox()->text(), dir->path());
        QVERIFY(w("CmdSaveDisp")->isEnabled());
    }

    void quitDuringTheNotice()
    {
        pathBox()->setText(dir->path());
        save();
        QTest::mouseClick(w("CmdQuit"), Qt::LeftButton);
        form.reset();
        QTest::qWait(400); // the notice's end must not touch the window that is gone
    }
};

QTEST_MAIN(TestSave)
#include "test_save.moc"
