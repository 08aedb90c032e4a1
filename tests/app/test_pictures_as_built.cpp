#include "serial/device_port.h"
#include "support/port_helpers.h"
#include "support/pty_pair.h"

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

// Runs the program as built (and, from the package test, as installed and as
// unpacked from the .deb) and looks at what it shows: the unlit lamp beside the
// switch and the window's icon, pixel for pixel against the pictures' sources.
// QUORVEX_UNDER_TEST names the executables, separated by ':'. Also: the program
// as built, told to end by a signal while its port is open, quits at once and
// cleanly, leaving the device free for the next program.
class TestPicturesAsBuilt : public QObject
{
    Q_OBJECT

    static QImage source(const char *name)
    {
        return QImage(QStringLiteral(QUORVEX_SOURCE_DIR "/resources/%1.xpm").arg(name))
            .convertToFormat(QImage::Format_ARGB32);
    }

    // Every opaque pixel of the picture appears at offset in the shot.
    static int mismatches(const QImage &shot, const QImage &picture, QPoint offset)
    {
        int bad = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb want = picture.pixel(x, y);
                if (qAlpha(want) == 255 && shot.pixel(offset + QPoint(x, y)) != want)
                    ++bad;
            }
        return bad;
    }

    // The program offscreen, COM1 on com1, with one more setting in its environment.
    static void start(QProcess &program, const QString &executable, const PtyPair &com1,
                      const char *name, const QString &value)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QUORVEX_COM1"), com1.devicePath());
        env.insert(QString::fromLatin1(name), value);
        program.setProcessEnvironment(env);
        program.start(executable, {});
    }

private slots:
    void pictures_data()
    {
        QTest::addColumn<QString>("executable");
        QString list = qEnvironmentVariable("QUORVEX_UNDER_TEST");
        if (list.isEmpty())
            list = QStringLiteral(QUORVEX_EXECUTABLE);
        for (const QString &exe : list.split(u':', Qt::SkipEmptyParts))
            QTest::newRow(qPrintable(exe)) << exe;
    }

    void pictures()
    {
        QFETCH(QString, executable);
        QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable));
        PtyPair com1; // start-up opens COM1 without a question
        QTemporaryDir out;
        QProcess program;
        start(program, executable, com1, "QUORVEX_SNAPSHOT", out.path());
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 0);

        const QImage shot =
            QImage(out.filePath("window.png")).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(shot.size(), QSize(506, 424));
        // The unlit lamp: 8 px in and 112 px down in the frame, whose top is 7 px above the window.
        const QImage lamp = source("lamp_off");
        QCOMPARE(lamp.size(), QSize(30, 28));
        QCOMPARE(mismatches(shot, lamp, QPoint(8, 105)), 0);

        for (int size : {16, 32, 48}) {
            const QImage icon = QImage(out.filePath(QStringLiteral("icon-%1.png").arg(size)))
                                    .convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(icon.size(), QSize(size, size));
            QCOMPARE(mismatches(icon, source(qPrintable(QStringLiteral("icon_%1").arg(size))),
                                QPoint(0, 0)),
                     0);
        }
    }

    void signalsQuitCleanly()
    {
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            PtyPair com1;
            QProcess program;
            start(program, QStringLiteral(QUORVEX_EXECUTABLE), com1, "QUORVEX_REPORT_SHOWN", "1");
            QVERIFY(program.waitForReadyRead(30000));
            QCOMPARE(program.readLine().trimmed(), QByteArray("shown"));
            DevicePort other; // the port is open and locked: no other port has it
            QVERIFY(!other.open(com1.devicePath(), line("9600,N,8,1")));
            QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
            QVERIFY(program.waitForFinished(5000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
            QVERIFY(other.open(com1.devicePath(),
                               line("9600,N,8,1"))); // no lock, no exclusive use left behind
        }
    }
};

QTEST_GUILESS_MAIN(TestPicturesAsBuilt)
#include "test_pictures_as_built.moc"
