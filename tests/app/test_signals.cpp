#include "serial/qt_serial_control.h"
#include "support/pty_pair.h"

#include <QProcess>
#include <QTest>
#include <csignal>

// The program as built, told to end by a signal while its port is open: it
// quits at once and cleanly, leaving the device free for the next program.
class TestSignals : public QObject
{
    Q_OBJECT

private slots:
    void signalsQuitCleanly_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void signalsQuitCleanly()
    {
        QFETCH(int, signal);
        PtyPair com1;
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QUORVEX_COM1"), com1.devicePath());
        env.insert(QStringLiteral("QUORVEX_REPORT_SHOWN"), QStringLiteral("1"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(QUORVEX_EXECUTABLE), {});
        QVERIFY(program.waitForReadyRead(30000));
        QCOMPARE(program.readLine().trimmed(), QByteArray("shown"));

        // Open, and locked: another control cannot have it.
        QtSerialControl other;
        QVERIFY(other.setDevicePath(com1.devicePath()));
        QVERIFY(!other.setPortOpen(true));

        QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(other.setPortOpen(true)); // no lock, no exclusive use left behind
    }
};

QTEST_GUILESS_MAIN(TestSignals)
#include "test_signals.moc"
