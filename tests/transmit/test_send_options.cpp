#include "transmit/recent_sends.h"
#include "transmit/saved_commands.h"
#include "transmit/send_options.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(Checksum)

// Checksums, the commands file and the recent sends: the rules without a window.
class TestSendOptions : public QObject
{
    Q_OBJECT

private slots:
    // The check values of the catalogue of CRC parameters (over "123456789"),
    // in the byte order each goes on the wire, and the well-known read request
    // of ten Modbus registers with its CRC.
    void checksums_data()
    {
        QTest::addColumn<Checksum>("checksum");
        QTest::addColumn<QByteArray>("over");
        QTest::addColumn<QByteArray>("appended");
        const QByteArray check("123456789");
        QTest::newRow("none") << Checksum::None << check << QByteArray();
        QTest::newRow("CRC-16/MODBUS")
            << Checksum::Crc16Modbus << check << QByteArray::fromHex("374B");
        QTest::newRow("MODBUS request")
            << Checksum::Crc16Modbus << QByteArray::fromHex("01030000000A")
            << QByteArray::fromHex("C5CD");
        QTest::newRow("CRC-16/CCITT-FALSE")
            << Checksum::Crc16CcittFalse << check << QByteArray::fromHex("29B1");
        QTest::newRow("CRC-16/XMODEM")
            << Checksum::Crc16Xmodem << check << QByteArray::fromHex("31C3");
        QTest::newRow("CRC-32") << Checksum::Crc32 << check << QByteArray::fromHex("2639F4CB");
        QTest::newRow("sum 8") << Checksum::Sum8 << check << QByteArray::fromHex("DD");
        QTest::newRow("sum 8 wraps")
            << Checksum::Sum8 << QByteArray::fromHex("FF02") << QByteArray::fromHex("01");
        QTest::newRow("xor 8") << Checksum::Xor8 << check << QByteArray::fromHex("31");
    }
    void checksums()
    {
        QFETCH(Checksum, checksum);
        QFETCH(QByteArray, over);
        QFETCH(QByteArray, appended);
        QCOMPARE(checksumBytes(checksum, over).toHex(' ').toUpper(), appended.toHex(' ').toUpper());
    }

    // What the file writes comes back the same, whatever the text holds.
    void commandsFileRoundTrip()
    {
        const QList<SavedCommand> commands = {
            {"读十个寄存器", "01 03 00 00 00 0A", true, LineEnding::None, Checksum::Crc16Modbus},
            {"a=b [command] \\n", "  AT+X=1\\r\nsecond\rline\\  ", false, LineEnding::CRLF,
             Checksum::None},
            {"#not a comment", "", false, LineEnding::CR, Checksum::Xor8},
        };
        const CommandsRead got = readCommands(writeCommands(commands));
        QVERIFY(!got.error);
        QCOMPARE(got.commands, commands);
        for (LineEnding e : kLineEndings)
            QCOMPARE(lineEndingFromKey(key(e)), e);
        for (Checksum c : kChecksums)
            QCOMPARE(checksumFromKey(key(c)), c);
    }

    void malformedFiles_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("line");
        QTest::newRow("key before a command") << QByteArray("# x\nname=a\n") << 2;
        QTest::newRow("unknown section") << QByteArray("[command]\nname=a\n[commands]\n") << 3;
        QTest::newRow("no equals sign") << QByteArray("[command]\nname a\n") << 2;
        QTest::newRow("unknown key") << QByteArray("[command]\nname=a\ncolour=red\n") << 3;
        QTest::newRow("repeated key") << QByteArray("[command]\nname=a\nname=b\n") << 3;
        QTest::newRow("bad type") << QByteArray("[command]\nname=a\ntype=binary\n") << 3;
        QTest::newRow("bad ending") << QByteArray("[command]\nname=a\nending=crcr\n") << 3;
        QTest::newRow("bad checksum") << QByteArray("[command]\nname=a\nchecksum=md5\n") << 3;
        QTest::newRow("bad escape") << QByteArray("[command]\nname=a\ncontent=\\t\n") << 3;
        QTest::newRow("no name") << QByteArray("[command]\ncontent=x\n[command]\nname=b\n") << 3;
        QTest::newRow("not UTF-8") << QByteArray("[command]\r\nname=\xff\r\n") << 2;
    }
    void malformedFiles()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, line);
        const CommandsRead got = readCommands(file);
        QVERIFY(got.error);
        QCOMPARE(got.error->line, line);
        QVERIFY(got.commands.isEmpty());
        QVERIFY(got.error->text().startsWith(QStringLiteral("第 %1 行：").arg(line)));
    }

    // A bad file is never written over: the first save moves it aside.
    void badFileKeptAside()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("q/commands.ini");
        const QList<SavedCommand> one = {{"a", "x", false, LineEnding::LF, Checksum::None}};
        QVERIFY(CommandStore(path).update([&](QList<SavedCommand> &l) { l = one; }));
        QCOMPARE(CommandStore(path).load().commands, one);

        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("[command]\nname=a\nbogus\n") > 0);
        f.close();
        CommandStore store(path);
        QCOMPARE(store.load().error->line, 3);
        QCOMPARE(store.update([&](QList<SavedCommand> &l) { l += one; }),
                 one); // from the empty list shown
        QCOMPARE(store.movedAside(), path + ".bad");
        QFile aside(path + ".bad");
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), QByteArray("[command]\nname=a\nbogus\n"));
        QCOMPARE(CommandStore(path).load().commands, one);
        QVERIFY(store.update(
            [](QList<SavedCommand> &l) { l.clear(); })); // a good file is simply written over
        QVERIFY(store.movedAside().isEmpty());
    }

    // Two windows on one file, each loaded before the other's change: every
    // change is made to the list as the file holds it, so none is lost. A new
    // file is the user's alone, and what a killed save left is cleaned.
    void sharedFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("commands.ini");
        const auto named = [](const char *name) { return SavedCommand{name, "x"}; };
        QVERIFY(CommandStore(path).update([&](QList<SavedCommand> &l) { l << named("shared-0"); }));
        QCOMPARE(int(QFileInfo(path).permissions() & 0x0077), 0); // neither group nor others
        QFile leftover(path + ".Ab12Cd");
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();

        CommandStore a(path), b(path);
        a.load();
        b.load();
        QVERIFY(a.update([&](QList<SavedCommand> &l) { l << named("from-A"); }));
        QVERIFY(b.changedOnDisk());
        const auto saved = b.update([&](QList<SavedCommand> &l) { l << named("from-B"); });
        const QList<SavedCommand> all = {named("shared-0"), named("from-A"), named("from-B")};
        QCOMPARE(saved, all);
        QCOMPARE(CommandStore(path).load().commands, all);
        QVERIFY(a.changedOnDisk());
        QCOMPARE(a.load().commands, all);
        QVERIFY(!QFileInfo::exists(leftover.fileName()));
        QVERIFY(QFileInfo::exists(path + ".lock")); // the lock's own file stays
    }

    void recentSends()
    {
        RecentSends r;
        for (int i = 0; i < RecentSends::kMax + 5; ++i)
            r.add({QString::number(i), i % 2 == 1});
        r.add({"3", true}); // again: moved to the top, not doubled
        QCOMPARE(r.entries().size(), RecentSends::kMax);
        QCOMPARE(r.entries().first(), (RecentSends::Entry{"3", true}));
        QCOMPARE(r.entries()[1].text, QString::number(RecentSends::kMax + 4));
        QCOMPARE(r.entries().count(RecentSends::Entry{"3", true}), 1);

        const RecentSends::Entry draft{"typing", false};
        QVERIFY(!r.newer()); // not stepping yet
        QCOMPARE(r.older(draft)->text, QStringLiteral("3"));
        QCOMPARE(r.older(draft)->text, QString::number(RecentSends::kMax + 4));
        QCOMPARE(r.newer()->text, QStringLiteral("3"));
        QCOMPARE(*r.newer(), draft);
        QVERIFY(!r.newer());
        for (int i = 0; i < RecentSends::kMax; ++i)
            QVERIFY(r.older(draft));
        QVERIFY(!r.older(draft)); // the oldest
        r.stopStepping();
        QCOMPARE(r.older({"x", false})->text, QStringLiteral("3"));
    }
};

QTEST_GUILESS_MAIN(TestSendOptions)
#include "test_send_options.moc"
