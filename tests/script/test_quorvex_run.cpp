#include "support/lrzsz_peer.h"
#include "support/pty_pair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// quorvex-run as CI runs it: its exit status, what it prints, the JUnit it
// writes (read back by junitparser), and the examples against the simulator.
class TestQuorvexRun : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString script(const QByteArray &code, const QString &name = QStringLiteral("t.lua"))
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(code);
        return path;
    }

    struct Ran {
        int status = -1;
        QString out, err;
        qint64 ms = 0;
    };
    static Ran run(const QStringList &args)
    {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(QStringLiteral(QUORVEX_RUN), args);
        p.waitForFinished(30000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError()), t.elapsed()};
    }

    static QStringList readJunit(const QString &path)
    {
        QProcess p;
        // Debian's own Python, which its python3-junitparser is for.
        p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(READ_JUNIT), path});
        p.waitForFinished(30000);
        if (p.exitCode() != 0)
            qWarning("%s", p.readAllStandardError().constData());
        return QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }

    struct Simulator {
        QProcess process;
        QString path;
        Simulator()
        {
            process.start(QStringLiteral(DEVSIM_PATH), QStringList());
            if (process.waitForReadyRead(5000))
                path = QString::fromLocal8Bit(process.readLine()).trimmed();
        }
        ~Simulator()
        {
            process.terminate();
            process.waitForFinished(3000);
        }
    };

private slots:
    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says"); // on standard output or error
        const QByteArray pass = "test('a', function() check(true) end)";
        QTest::newRow("all pass") << QStringList() << pass << 0 << "PASS a (";
        QTest::newRow("no cases") << QStringList() << QByteArray("log('hi')") << 0 << "passed 0";
        QTest::newRow("one fails")
            << QStringList() << pass + "\ntest('b', function() check(false, 'no') end)" << 1
            << "FAIL b: no (t.lua:2)";
        QTest::newRow("script fails outside a case")
            << QStringList() << QByteArray("error('x')") << 1 << "FAIL t.lua: x (t.lua:1)";
        QTest::newRow("does not load") << QStringList() << QByteArray("test(") << 2 << "t.lua:1:";
        QTest::newRow("port does not open") << QStringList{"--port", "/dev/quorvex-none"} << pass
                                            << 2 << "无法打开 /dev/quorvex-none";
        QTest::newRow("bad settings") << QStringList{"--port", "COM1", "--settings", "9600"} << pass
                                      << 2 << "端口设置“9600”无效";
        QTest::newRow("unknown option")
            << QStringList{"--verbose"} << pass << 2 << "unknown option";
        QTest::newRow("bad time-out")
            << QStringList{"--timeout", "soon"} << pass << 2 << "--timeout";
        QTest::newRow("time-out") << QStringList{"--timeout", "0.3"}
                                  << QByteArray("test('spin', function() while true do end end)")
                                  << 2 << "FAIL spin: 超过运行时限";
        QTest::newRow("os.exit ends the run")
            << QStringList() << pass + "\nos.exit(0)\ntest('never', function() end)" << 0
            << "passed 1, failed 0";
    }
    void exitStatus()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, code);
        QFETCH(int, status);
        QFETCH(QString, says);
        const Ran r = run(options << script(code));
        QVERIFY2(r.status == status, qPrintable(r.out + r.err));
        QVERIFY2((r.out + r.err).contains(says), qPrintable(r.out + r.err));
        QVERIFY(r.ms < 20000);
    }

    void usageAlone()
    {
        QCOMPARE(run({}).status, 2);
        const Ran help = run({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith(QStringLiteral("usage: quorvex-run")));
    }

    // The report as junitparser reads it: counts, verdicts, messages, and the
    // log as system-out, also where the device sent control characters.
    void junitReadBack()
    {
        const QString junit = m_dir.filePath(QStringLiteral("report.xml"));
        const QString logFile = m_dir.filePath(QStringLiteral("run.log"));
        const Ran r = run({"--junit", junit, "--log", logFile,
                           script("log('before')\n"
                                  "test('good', function() log('inside', 1) end)\n"
                                  "test('bad <&>', function()\n"
                                  "  log('\\27[0m 中文'); check(false, 'a \"quoted\" <message>')\n"
                                  "end)\n",
                                  QStringLiteral("suite.lua"))});
        QCOMPARE(r.status, 1);
        const QStringList lines = readJunit(junit);
        QCOMPARE(lines.value(0), QStringLiteral("suite\tsuite.lua\t2\t1\t0"));
        QCOMPARE(lines.value(1), QStringLiteral("pass\tgood\tTrue\t\tinside\t1"));
        QCOMPARE(lines.value(2),
                 QStringLiteral("fail\tbad <&>\tTrue\ta \"quoted\" <message>\t\\x1B[0m 中文"));
        QCOMPARE(lines.size(), 3);
        QFile log(logFile);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY2(text.contains(QStringLiteral("] before\n")) &&
                     text.contains(
                         QStringLiteral("] FAIL bad <&>: a \"quoted\" <message> (suite.lua:4)")),
                 qPrintable(text));
    }

    // A run that could not begin is still a report CI can show.
    void junitOfAPortThatFails()
    {
        const QString junit = m_dir.filePath(QStringLiteral("none.xml"));
        QCOMPARE(run({"--port", "/dev/quorvex-none", "--junit", junit, script("")}).status, 2);
        const QStringList lines = readJunit(junit);
        QCOMPARE(lines.value(0), QStringLiteral("suite\tt.lua\t1\t0\t1"));
        QVERIFY2(lines.value(1).startsWith(QStringLiteral("error\tt.lua\tTrue\t无法打开")),
                 qPrintable(lines.value(1)));
    }

    // The examples, as CI runs them against the simulator.
    void examples_data()
    {
        QTest::addColumn<QString>("example");
        for (const QString &name : QDir(QStringLiteral(EXAMPLES)).entryList({"*.lua"}))
            QTest::newRow(qPrintable(name)) << name;
    }
    void examples()
    {
        QFETCH(QString, example);
        Simulator sim;
        QVERIFY(sim.path.startsWith(QStringLiteral("/dev/")));
        const QString junit = m_dir.filePath(example + QStringLiteral(".xml"));
        const Ran r = run({"--port", sim.path, "--timeout", "20", "--junit", junit,
                           QStringLiteral(EXAMPLES "/") + example});
        QVERIFY2(r.status == 0, qPrintable(r.out + r.err));
        const QStringList lines = readJunit(junit);
        QVERIFY(lines.size() >= 2);
        for (const QString &l : lines.mid(1))
            QVERIFY2(l.startsWith(QStringLiteral("pass\t")), qPrintable(l));
    }

    // Without its answer rule the boot example's device boots on: the rule is what catches it.
    void bootPromptNeedsTheRule()
    {
        QFile f(QStringLiteral(EXAMPLES "/boot_prompt.lua"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray code = f.readAll();
        QVERIFY(code.contains("send(\" \")"));
        code.replace("send(\" \")", "");
        Simulator sim;
        const Ran r = run({"--port", sim.path, script(code)});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.out.contains(QStringLiteral("missed the autoboot window")), qPrintable(r.out));
    }

    // A script flashes a board and takes a file back: ysend to lrzsz's rb, then
    // zrecv from its sz, each true or nil and the reason; what the port
    // received meanwhile is not the script's to expect.
    void transfersFromAScript()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("rb")).isEmpty())
            QSKIP("lrzsz is not installed");
        QTemporaryDir board, here;
        QFile fw(here.filePath("fw.bin"));
        QVERIFY(fw.open(QIODevice::WriteOnly));
        const QByteArray image = QByteArray::fromHex("deadbeef").repeated(5000);
        fw.write(image);
        fw.close();
        QFile log(board.filePath("boot.log"));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("U-Boot 2026.01\n");
        log.close();
        const QByteArray code = QStringLiteral(R"(open("%1", "115200,N,8,1")
test("flash", function()
  local ok, why = ysend("%2")
  check(ok, why)
end)
test("a file that is not there", function()
  local ok, why = xsend("%3/none.bin")
  check(ok == nil and why:find("none.bin", 1, true), tostring(why))
end)
test("log back", function()
  local ok, why = zrecv("%3/in")
  check(ok, why)
end)
)")
                                    .arg("%1", here.filePath("fw.bin"), here.path())
                                    .toUtf8();
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString device = pty.devicePath();
        // rb for the first transfer; sz, started once rb is done, for the last.
        auto peer =
            std::make_unique<LrzszPeer>("rb", QStringList{"-b"}, board.path(), pty.masterFd());
        QProcess p;
        p.start(QStringLiteral(QUORVEX_RUN),
                {script(QByteArray(code).replace("%1", device.toUtf8()))});
        QCOMPARE(peer->wait(30000), 0);
        peer = std::make_unique<LrzszPeer>("sz", QStringList{"-b", "boot.log"}, board.path(),
                                           pty.masterFd());
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(p.exitCode() == 0, qPrintable(out + p.readAllStandardError()));
        QCOMPARE(peer->wait(10000), 0);
        QFile got(board.filePath("fw.bin"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QVERIFY(got.readAll() == image);
        QFile back(here.filePath("in/boot.log"));
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), QByteArray("U-Boot 2026.01\n"));
    }
};

QTEST_GUILESS_MAIN(TestQuorvexRun)
#include "test_quorvex_run.moc"
