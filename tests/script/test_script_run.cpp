#include "script_fixture.h"
#include "support/pty_pair.h"
#include "support/ser2net_server.h"

#include <QElapsedTimer>
#include <QTimer>

// Scripts run on the core against a real pseudo-terminal: what they put on
// the wire, what they take from it, their verdicts, and how they end.
class TestScriptRun : public QObject
{
    Q_OBJECT

    static QStringList verdicts(const ScriptOutcome &o)
    {
        QStringList v;
        for (const ScriptCase &c : o.cases)
            v << (c.passed ? QStringLiteral("PASS ") + c.name
                           : QStringLiteral("FAIL %1: %2 @%3").arg(c.name, c.message, c.where));
        return v;
    }

private slots:
    // Sending is exact, counts in TX, and waits its turn behind a full queue.
    void sendsExactly()
    {
        PtyPair device;
        ScriptBench b;
        QCOMPARE(b.open(device.devicePath()), QString());
        const QByteArray expected = QByteArray("  AB \xd6\xd0 \r") +
                                    QByteArray::fromHex("0103000000000AC5CD").remove(5, 1) +
                                    QByteArray("\xff\0", 2) + QByteArray(10000, 'x') + "end";
        QByteArray got; // read as the script sends: a device that does not read holds it up
        const ScriptOutcome o =
            b.runToEnd(R"(
            send("  AB 中 \r")                        -- kept as given, in code page 936
            sendhex("01 03 00 00 00 0a", "crc16-modbus")
            sendraw("\255\0")
            send(string.rep("x", 10000))            -- more than the transmit queue holds
            send("end")
        )",
                       20000, [&] { got = device.readWithEvents(expected.size(), 10000); });
        QVERIFY2(o.end == ScriptOutcome::End::Finished && o.cases.empty(), describe(o));
        QCOMPARE(got.toHex(), expected.toHex());
        QCOMPARE(b.send.count(), expected.size());
    }

    // What the device sent while the script was busy is kept for expect; expect
    // consumes up to its match, received() takes the rest; a time-out is nil;
    // an answer rule answers each time its pattern comes, while the script waits.
    void receivesAndAnswers()
    {
        PtyPair device;
        ScriptBench b;
        QCOMPARE(b.open(device.devicePath()), QString());
        QTimer::singleShot(50, [&] { device.write("boot\r\nlogin: ERR7;tail"); });
        const ScriptOutcome o = b.runToEnd(R"(
            local t = os.clock()
            while os.clock() - t < 0.3 do end      -- busy, not waiting
            test("expect and received", function()
                local i, text = expect({"nothing", "login: "}, 1000)
                check(i == 2 and text == "login: ", tostring(i) .. tostring(text))
                local j, whole, code = expect(regex("ERR(\\d);"), 1000)
                check(j == 1 and whole == "ERR7;" and code == "7", tostring(code))
                check(received() == "tail", "the rest")
                check(received() == "", "taken once")
                check(expect("login: ", 50) == nil, "already consumed")
            end)
        )");
        QVERIFY2(o.end == ScriptOutcome::End::Finished, describe(o));
        QCOMPARE(verdicts(o), (QStringList{"PASS expect and received"}));
    }

    // An answer rule answers each time its pattern comes while the script waits.
    void answerRuleSendsEachTime()
    {
        PtyPair device;
        ScriptBench b;
        QCOMPARE(b.open(device.devicePath()), QString());
        QTimer::singleShot(100, [&] { device.write("Password:"); });
        QTimer::singleShot(200, [&] { device.write("Pass"); });
        QTimer::singleShot(250, [&] { device.write("word:"); }); // across two reads
        const ScriptOutcome o = b.runToEnd(R"(
            local n = 0
            local rule = on("Password:", function() n = n + 1; send("secret" .. n .. "\r") end)
            sleep(500)
            check(n == 2, "answered " .. n)
            check(off(rule) and not off(rule), "off once")
        )");
        QVERIFY2(o.end == ScriptOutcome::End::Finished && o.cases.empty(), describe(o));
        QCOMPARE(device.read(16), QByteArray("secret1\rsecret2\r"));
    }

    // Each failure names its message and the script's line; the script goes
    // on with the next case; an error outside a case fails the script itself.
    void verdictsAndPlaces()
    {
        ScriptBench b;
        const ScriptOutcome o = b.runToEnd(R"(test("passes", function() check(true) end)
test("check", function()
  check(1 + 1 == 3, "arithmetic")
end)
test("error", function() local t = nil; return t.x end)
test("time", function() while true do end end, 100)
test("expect on a closed port", function() expect("x", 100) end)
test("outer", function() test("inner", function() end) end)
local function helper() error("deep") end
test("in a helper", function() helper() end)
error("after the cases")
)");
        QCOMPARE(o.end, ScriptOutcome::End::Finished);
        QCOMPARE(verdicts(o),
                 (QStringList{
                     "PASS passes",
                     "FAIL check: arithmetic @case.lua:3",
                     "FAIL error: attempt to index a nil value (local 't') @case.lua:5",
                     "FAIL time: 超时（100 ms） @case.lua:6",
                     "FAIL expect on a closed port: 串口没有打开 @case.lua:7",
                     "FAIL outer: test 不能套在另一个 test 里 @case.lua:8",
                     "FAIL in a helper: deep @case.lua:9",
                     "FAIL case.lua: after the cases @case.lua:11",
                 }));
        QVERIFY(o.log.contains(QStringLiteral("FAIL check: arithmetic (case.lua:3)")));
    }

    void notLoaded()
    {
        ScriptBench b;
        const ScriptOutcome o = b.runToEnd("send('x')\nlocal = 1\n");
        QCOMPARE(o.end, ScriptOutcome::End::NotLoaded);
        QVERIFY2(o.error.startsWith(QStringLiteral("case.lua:2:")), qPrintable(o.error));
        QVERIFY(o.cases.empty());
    }

    // 停止 ends an endless loop, also one that catches errors, and a wait.
    void stopEndsAnything_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::newRow("loop") << QByteArray("while true do end");
        QTest::newRow("loop catching errors")
            << QByteArray("while true do pcall(function() while true do end end) end");
        QTest::newRow("sleep") << QByteArray("sleep(100000)");
        QTest::newRow("in a case") << QByteArray("test('t', function() while true do end end)");
    }
    void stopEndsAnything()
    {
        QFETCH(QByteArray, code);
        ScriptBench b;
        QSignalSpy ended(&b.run, &ScriptRun::finished);
        QVERIFY(b.run.start(b.write(code)));
        QTest::qWait(100);
        QVERIFY(b.run.isRunning());
        b.run.stop();
        QVERIFY(ended.wait(5000));
        const auto o = ended.at(0).at(0).value<ScriptOutcome>();
        QCOMPARE(o.end, ScriptOutcome::End::Stopped);
        QCOMPARE(o.error, QStringLiteral("已停止"));
        QCOMPARE(o.failed(), int(code.startsWith("test")));
    }

    // A device lost while expect waits fails it at once, with the reason.
    void lostPortFailsExpect()
    {
        auto device = std::make_unique<PtyPair>();
        ScriptBench b;
        QCOMPARE(b.open(device->devicePath()), QString());
        QTimer::singleShot(200, [&] { device.reset(); });
        QElapsedTimer t;
        t.start();
        const ScriptOutcome o =
            b.runToEnd(R"(test("wait", function() expect("never", 20000) end))");
        QVERIFY2(t.elapsed() < 10000, describe(o));
        QCOMPARE(o.cases.size(), size_t(1));
        QVERIFY2(o.cases[0].message.contains(QStringLiteral("已断开")), describe(o));
    }

    // open() takes the port selector's names and the settings text, and says
    // why it cannot.
    void openFromScript()
    {
        PtyPair device;
        ScriptBench b;
        const QByteArray code = QStringLiteral(R"(
            test("opens", function()
                open("%1", "115200,E,7,1")
                send("hi")
            end)
            test("bad settings", function() open("%1", "fast") end)
            test("no device", function() open("/dev/quorvex-none") end)
            test("closed after close", function() close(); send("x") end)
        )")
                                    .arg(device.devicePath())
                                    .toUtf8();
        const ScriptOutcome o = b.runToEnd(code);
        QCOMPARE(o.cases.size(), size_t(4));
        QVERIFY2(o.cases[0].passed, describe(o));
        QVERIFY(o.cases[1].message.contains(QStringLiteral("端口设置“fast”无效")));
        QVERIFY2(o.cases[2].message.startsWith(QStringLiteral("无法打开 /dev/quorvex-none：")),
                 describe(o));
        QCOMPARE(o.cases[3].message, QStringLiteral("串口没有打开"));
        QCOMPARE(b.port.device(), QStringLiteral("/dev/quorvex-none")); // the last opening tried
        QCOMPARE(device.read(2), QByteArray("hi"));
    }

    // A board on ser2net, as CI reaches it: open() waits for the connection,
    // and the script talks through it both ways.
    void throughSer2net()
    {
        PtyPair device;
        Ser2NetServer server(device.devicePath(), true);
        QVERIFY(server.start());
        ScriptBench b;
        const QByteArray code =
            QByteArray("test('remote', function()\n"
                       "  open('rfc2217://127.0.0.1:%1', '115200,N,8,1')\n"
                       "  send('hello')\n"
                       "  check(expect('olleh', 5000), 'no answer')\n"
                       "end)\n"
                       "test('nobody there', function() open('tcp://127.0.0.1:1') end)\n")
                .replace("%1", QByteArray::number(server.port()));
        const ScriptOutcome o = b.runToEnd(code, 20000, [&] {
            if (device.readWithEvents(5, 10000) == "hello")
                device.write("olleh");
        });
        QCOMPARE(o.cases.size(), size_t(2));
        QVERIFY2(o.cases[0].passed, describe(o));
        QVERIFY2(o.cases[1].message.startsWith(QStringLiteral("无法打开 tcp://127.0.0.1:1：")),
                 describe(o));
    }
};

QTEST_GUILESS_MAIN(TestScriptRun)
#include "test_script_run.moc"
