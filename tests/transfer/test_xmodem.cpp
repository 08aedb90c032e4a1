// XMODEM and YMODEM machines against each other on a simulated line (its
// clock, its delay, its faults), and against a hand-made far end where the
// protocol's corners are.
#include "transfer/xmodem_receiver.h"
#include "transfer/xmodem_sender.h"

#include <QTest>
#include <deque>
#include <random>

using namespace xmodem;
Q_DECLARE_METATYPE(Sender::Mode)
Q_DECLARE_METATYPE(Receiver::Mode)
Q_DECLARE_METATYPE(Check)

namespace
{
std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = char(rng());
    return s;
}

// What a receiver handed on.
struct Files {
    struct File {
        Receiver::FileInfo info;
        std::string data;
        bool whole = false;
    };
    std::vector<File> files;
    int abandoned = 0;
    Receiver::Sink sink()
    {
        return {[this](const Receiver::FileInfo &i) {
                    files.push_back({i, {}, false});
                    return std::string();
                },
                [this](std::string_view d) {
                    files.back().data.append(d);
                    return std::string();
                },
                [this] {
                    files.back().whole = true;
                    return std::string();
                },
                [this] { ++abandoned; }};
    }
};

Sender::Reader readerOf(const std::vector<std::string> &data)
{
    return [&data](std::size_t f, std::int64_t at, std::size_t n, std::string &out, std::string &) {
        out = data[f].substr(std::size_t(at), n);
        return true;
    };
}

// Two machines joined by a line that takes 2 ms each way and drops or
// changes each byte with the given odds.
struct Line {
    double drop = 0, flip = 0;
    std::mt19937 rng{1};
    struct Piece {
        std::int64_t at;
        std::string bytes;
    };
    std::deque<Piece> toReceiver, toSender;

    void carry(std::string bytes, std::deque<Piece> &q, std::int64_t now)
    {
        std::uniform_real_distribution<double> odds(0, 1);
        std::string out;
        for (char c : bytes) {
            const double r = odds(rng);
            if (r < drop)
                continue;
            out.push_back(r < drop + flip ? char(c ^ (1 + rng() % 255)) : c);
        }
        if (!out.empty())
            q.push_back({now + 2, std::move(out)});
    }

    // Runs until both have ended or a simulated hour has passed; the time it took.
    std::int64_t run(Machine &s, Machine &r)
    {
        std::int64_t now = 0;
        s.start(now);
        r.start(now);
        while (now < 3600 * 1000) {
            carry(s.takeOutput(), toReceiver, now);
            carry(r.takeOutput(), toSender, now);
            if (s.status() != Status::Running && r.status() != Status::Running &&
                toReceiver.empty() && toSender.empty())
                break;
            std::int64_t next = std::numeric_limits<std::int64_t>::max();
            for (const auto *q : {&toReceiver, &toSender})
                if (!q->empty())
                    next = std::min(next, q->front().at);
            for (const Machine *m : {&s, &r})
                if (m->deadline() >= 0)
                    next = std::min(next, m->deadline());
            if (next == std::numeric_limits<std::int64_t>::max())
                break;
            now = std::max(now, next);
            if (!toReceiver.empty() && toReceiver.front().at <= now) {
                r.feed(toReceiver.front().bytes, now);
                toReceiver.pop_front();
            }
            if (!toSender.empty() && toSender.front().at <= now) {
                s.feed(toSender.front().bytes, now);
                toSender.pop_front();
            }
            s.tick(now);
            r.tick(now);
        }
        return now;
    }
};

bool isXModem(Receiver::Mode m)
{
    return m != Receiver::Mode::YModem;
}

// XMODEM keeps whole blocks: the data, then SUB to the end of a block.
void verifyPadded(const std::string &got, const std::string &sent)
{
    QVERIFY(got.size() >= sent.size());
    QVERIFY(got.size() - sent.size() < 128 || (sent.empty() && got.empty()));
    QVERIFY(got.size() % 128 == 0);
    QVERIFY(got.compare(0, sent.size(), sent) == 0);
    QVERIFY(got.find_first_not_of(char(SUB), sent.size()) == std::string::npos);
}
} // namespace

class TestXModem : public QObject
{
    Q_OBJECT

private slots:
    void checksAndBlocks()
    {
        QCOMPARE(crc16("123456789"), std::uint16_t(0x31c3));
        QCOMPARE(checksum("\xff\x02"), std::uint8_t(1));
        const std::string b = block(7, "ab", 128, Check::Crc);
        QCOMPARE(b.size(), std::size_t(133));
        QCOMPARE(b.substr(0, 5), std::string("\x01\x07\xf8"
                                             "ab"));
        QCOMPARE(b[100], char(SUB));
        const std::uint16_t crc = crc16(b.substr(3, 128));
        QCOMPARE(std::uint8_t(b[131]), std::uint8_t(crc >> 8));
        QCOMPARE(block(1, "", 1024, Check::Sum).size(), std::size_t(1028));
        QCOMPARE(block(1, "", 1024, Check::Sum)[0], char(STX));
    }

    void headers_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("mtime");
        QTest::newRow("lrzsz") << QByteArray("fw.bin\0"
                                             "1048576 14722414137 100644 0 1 1048576\0",
                                             46)
                               << QByteArray("fw.bin") << qint64(1048576)
                               << qint64(01472241413 * 8 + 7);
        QTest::newRow("size alone") << QByteArray("a\0"
                                                  "12\0\0\0",
                                                  6)
                                    << QByteArray("a") << qint64(12) << qint64(0);
        QTest::newRow("no numbers")
            << QByteArray("a\0\0", 3) << QByteArray("a") << qint64(-1) << qint64(0);
        QTest::newRow("no NUL") << QByteArray("abc") << QByteArray("abc") << qint64(-1)
                                << qint64(0);
        QTest::newRow("end of batch")
            << QByteArray(128, '\0') << QByteArray() << qint64(-1) << qint64(0);
        QTest::newRow("negative size")
            << QByteArray("a\0-5 1\0", 7) << QByteArray("a") << qint64(-1) << qint64(0);
        QTest::newRow("size too large") << QByteArray("a\0"
                                                      "99999999999999999999\0",
                                                      23)
                                        << QByteArray("a") << qint64(-1) << qint64(0);
    }
    void headers()
    {
        QFETCH(QByteArray, data);
        const Receiver::FileInfo i =
            Receiver::parseHeader(std::string_view(data.constData(), data.size()));
        QFETCH(QByteArray, name);
        QFETCH(qint64, size);
        QFETCH(qint64, mtime);
        QCOMPARE(QByteArray::fromStdString(i.name), name);
        QCOMPARE(qint64(i.size), size);
        QCOMPARE(qint64(i.mtime), mtime);
        // What our sender writes reads back the same.
        const std::string h = Sender::header({"固件 v2.bin", 129, 1700000000}, Check::Crc);
        const Receiver::FileInfo back = Receiver::parseHeader(std::string_view(h).substr(3, 128));
        QCOMPARE(back.name, std::string("固件 v2.bin"));
        QCOMPARE(back.size, 129);
        QCOMPARE(back.mtime, 1700000000);
    }

    void pairs_data()
    {
        QTest::addColumn<Sender::Mode>("sendMode");
        QTest::addColumn<Receiver::Mode>("receiveMode");
        QTest::addColumn<Check>("check");
        struct Pair {
            const char *name;
            Sender::Mode s;
            Receiver::Mode r;
            Check check;
        };
        const Pair pairs[] = {
            {"checksum", Sender::Mode::XModem, Receiver::Mode::XModem, Check::Sum},
            {"checksum sender, CRC receiver falls back", Sender::Mode::XModem,
             Receiver::Mode::XModemCrc, Check::Sum},
            {"CRC", Sender::Mode::XModemCrc, Receiver::Mode::XModemCrc, Check::Crc},
            {"CRC sender, checksum receiver", Sender::Mode::XModemCrc, Receiver::Mode::XModem,
             Check::Sum},
            {"1K", Sender::Mode::XModem1k, Receiver::Mode::XModemCrc, Check::Crc},
            {"YMODEM", Sender::Mode::YModem, Receiver::Mode::YModem, Check::Crc},
        };
        for (const Pair &p : pairs)
            QTest::newRow(p.name) << p.s << p.r << p.check;
    }
    void pairs()
    {
        QFETCH(Sender::Mode, sendMode);
        QFETCH(Receiver::Mode, receiveMode);
        QFETCH(Check, check);
        for (std::size_t n : {0, 1, 127, 128, 129, 1023, 1024, 1025, 70000}) {
            const std::vector<std::string> data{randomBytes(n, unsigned(n)),
                                                randomBytes(n / 3 + 5, 9)};
            std::vector<Sender::File> files{{"a.bin", std::int64_t(n), 1700000000},
                                            {"b.bin", std::int64_t(data[1].size()), 0}};
            if (sendMode != Sender::Mode::YModem)
                files.resize(1);
            Sender s(sendMode, files, readerOf(data));
            Files got;
            Receiver r(receiveMode, got.sink());
            Line().run(s, r);
            QVERIFY2(s.status() == Status::Done, s.reason().c_str());
            QVERIFY2(r.status() == Status::Done, r.reason().c_str());
            QCOMPARE(s.check(), check);
            QCOMPARE(got.files.size(), files.size());
            QCOMPARE(r.progress().files, int(files.size()));
            QCOMPARE(r.progress().retries, 0);
            if (!isXModem(receiveMode)) // what both count as the batch's bytes
                QCOMPARE(r.progress().done, std::int64_t(data[0].size() + data[1].size()));
            QCOMPARE(s.progress().done,
                     std::int64_t(isXModem(receiveMode) ? n : data[0].size() + data[1].size()));
            for (std::size_t i = 0; i < files.size(); ++i) {
                QVERIFY(got.files[i].whole);
                if (isXModem(receiveMode)) {
                    verifyPadded(got.files[i].data, data[i]);
                } else {
                    QCOMPARE(got.files[i].info.name, files[i].name);
                    QCOMPARE(got.files[i].info.size, files[i].size);
                    QVERIFY(got.files[i].data == data[i]);
                }
            }
        }
    }

    // Each transfer over a line that loses and damages bytes either ends with
    // the file exactly as sent or fails on both sides; never a damaged success.
    void noisyLine_data()
    {
        QTest::addColumn<Sender::Mode>("sendMode");
        QTest::addColumn<Receiver::Mode>("receiveMode");
        QTest::addColumn<double>("drop");
        QTest::addColumn<double>("flip");
        QTest::newRow("CRC, damage")
            << Sender::Mode::XModemCrc << Receiver::Mode::XModemCrc << 0.0 << 3e-4;
        QTest::newRow("checksum, losses")
            << Sender::Mode::XModem << Receiver::Mode::XModem << 3e-4 << 0.0;
        QTest::newRow("1K, both") << Sender::Mode::XModem1k << Receiver::Mode::XModemCrc << 1e-4
                                  << 1e-4;
        QTest::newRow("YMODEM, both")
            << Sender::Mode::YModem << Receiver::Mode::YModem << 1e-4 << 1e-4;
        QTest::newRow("YMODEM, a bad line")
            << Sender::Mode::YModem << Receiver::Mode::YModem << 2e-3 << 2e-3;
    }
    void noisyLine()
    {
        QFETCH(Sender::Mode, sendMode);
        QFETCH(Receiver::Mode, receiveMode);
        QFETCH(double, drop);
        QFETCH(double, flip);
        int done = 0, retried = 0;
        for (unsigned seed = 1; seed <= 12; ++seed) {
            const std::vector<std::string> data{randomBytes(20000, seed)};
            Sender s(sendMode, {{"n.bin", 20000, 0}}, readerOf(data));
            Files got;
            Receiver r(receiveMode, got.sink());
            Line line;
            line.drop = drop;
            line.flip = flip;
            line.rng.seed(seed);
            line.run(s, r);
            QVERIFY(s.status() != Status::Running && r.status() != Status::Running);
            if (r.status() == Status::Done) {
                ++done;
                retried += r.progress().retries > 0;
                QCOMPARE(got.files.size(), std::size_t(1));
                if (isXModem(receiveMode))
                    verifyPadded(got.files[0].data, data[0]);
                else
                    QVERIFY(got.files[0].data == data[0]);
            } else {
                QVERIFY(!r.reason().empty());
                QVERIFY(got.files.empty() || !got.files.back().whole);
                QCOMPARE(got.abandoned, int(got.files.size()));
            }
        }
        if (QTest::currentDataTag() != QLatin1String("YMODEM, a bad line")) {
            QCOMPARE(done, 12);
            QVERIFY(retried > 6);
        }
    }

    void cancelEitherSide()
    {
        const std::vector<std::string> data{randomBytes(50000, 3)};
        for (bool bySender : {true, false}) {
            Sender s(Sender::Mode::YModem, {{"c.bin", 50000, 0}}, readerOf(data));
            Files got;
            Receiver r(Receiver::Mode::YModem, got.sink());
            s.start(0);
            r.start(0);
            // Run a while, then one side gives up.
            std::int64_t now = 0;
            for (int i = 0; i < 10; ++i) {
                s.feed(r.takeOutput(), ++now);
                r.feed(s.takeOutput(), ++now);
            }
            QVERIFY(r.progress().bytes > 0);
            Machine *quitter = bySender ? static_cast<Machine *>(&s) : &r;
            Machine &other = bySender ? static_cast<Machine &>(r) : s;
            s.takeOutput(); // what either said before
            r.takeOutput();
            quitter->cancel();
            QCOMPARE(quitter->reason(), std::string("已取消"));
            other.feed(quitter->takeOutput(), ++now);
            QCOMPARE(other.status(), Status::Failed);
            QCOMPARE(other.reason(), std::string("对方取消了传输"));
            QCOMPARE(other.takeOutput(), std::string()); // it does not answer a cancel
            QCOMPARE(got.abandoned, 1);
        }
    }

    void farEndThatLies()
    {
        // A YMODEM size beyond what comes: the file is not whole.
        Files got;
        Receiver r(Receiver::Mode::YModem, got.sink());
        r.start(0);
        r.feed(Sender::header({"big.bin", 5000, 0}, Check::Crc), 1);
        r.feed(block(1, std::string(1024, 'x'), 1024, Check::Crc), 2);
        r.feed(std::string(1, char(EOT)), 3);
        QCOMPARE(r.status(), Status::Running); // the first EOT is answered with NAK
        r.feed(std::string(1, char(EOT)), 4);
        QCOMPARE(r.status(), Status::Failed);
        QVERIFY(r.reason().find("5000") != std::string::npos);
        QCOMPARE(got.abandoned, 1);
        QVERIFY(!got.files[0].whole);
        QVERIFY(r.takeOutput().find(Machine::cancelSequence()) != std::string::npos);

        // A block out of order ends it; a repeated one is answered again and dropped.
        Files got2;
        Receiver x(Receiver::Mode::XModemCrc, got2.sink());
        x.start(0);
        x.feed(block(1, "one", 128, Check::Crc), 1);
        x.feed(block(1, "one", 128, Check::Crc), 2);
        QCOMPARE(x.takeOutput(), std::string("C\x06\x06"));
        QCOMPARE(got2.files[0].data.size(), std::size_t(128));
        x.feed(block(3, "three", 128, Check::Crc), 3);
        QCOMPARE(x.status(), Status::Failed);
        QCOMPARE(got2.abandoned, 1);

        // Noise and a damaged block: NAK once the line is quiet, then the block is taken.
        Files got3;
        Receiver y(Receiver::Mode::XModem, got3.sink());
        y.start(0);
        std::string damaged = block(1, "abc", 128, Check::Sum);
        damaged[10] ^= 0x40;
        y.feed("\x55\x77" + damaged, 1);
        y.tick(100);
        QCOMPARE(y.takeOutput(), std::string("\x15"));
        y.tick(1 + Timing().purgeMs);
        QCOMPARE(y.takeOutput(), std::string("\x15"));
        y.feed(block(1, "abc", 128, Check::Sum), 300);
        QCOMPARE(y.takeOutput(), std::string("\x06"));
        QCOMPARE(y.progress().retries, 1);
    }

    void timeouts()
    {
        // A receiver nobody answers: 'C' three times, then NAK, and it gives up after a minute.
        Files got;
        Receiver r(Receiver::Mode::XModemCrc, got.sink());
        r.start(0);
        std::string asked = r.takeOutput();
        while (r.deadline() >= 0) {
            r.tick(r.deadline());
            asked += r.takeOutput();
        }
        QCOMPARE(r.status(), Status::Failed);
        QCOMPARE(asked.substr(0, 4), std::string("CCC\x15"));
        QCOMPARE(std::count(asked.begin(), asked.end(), char(NAK)), 17);
        QVERIFY(asked.ends_with(Machine::cancelSequence()));

        // A sender whose blocks are refused sends each at most 11 times.
        const std::vector<std::string> data{randomBytes(300, 1)};
        Sender s(Sender::Mode::XModemCrc, {{"", 300, 0}}, readerOf(data));
        s.start(0);
        int blocks = 0;
        s.feed("C", 1);
        for (int i = 0; s.status() == Status::Running && i < 50; ++i) {
            blocks += int(s.takeOutput().size() / 133);
            s.feed(i % 2 ? "\x15" : "", 2 + i);
            s.tick(s.deadline()); // and silence
        }
        QCOMPARE(s.status(), Status::Failed);
        QCOMPARE(blocks, 11);
        QCOMPARE(s.progress().retries, 10);

        // NAKs in one read are answered once; an ACK behind the answer is not taken for the next
        // block.
        Sender burst(Sender::Mode::XModemCrc, {{"", 300, 0}}, readerOf(data));
        burst.start(0);
        burst.feed("CCC", 1);
        QCOMPARE(burst.takeOutput().size(), std::size_t(133));
        burst.feed("\x15\x15\x15\x06", 2);
        QCOMPARE(burst.takeOutput().size(), std::size_t(133));
        QCOMPARE(burst.progress().blocks, 0);

        // No receiver at all: the sender waits a minute for one.
        Sender idle(Sender::Mode::XModem, {{"", 1, 0}}, readerOf(data));
        idle.start(0);
        idle.feed("CCC", 10); // the checksum sender does not take 'C'
        idle.tick(59999);
        QCOMPARE(idle.status(), Status::Running);
        idle.tick(60000);
        QCOMPARE(idle.status(), Status::Failed);
    }
};

QTEST_APPLESS_MAIN(TestXModem)
#include "test_xmodem.moc"
