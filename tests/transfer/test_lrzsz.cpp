// Our XMODEM and YMODEM machines against lrzsz on a pseudo-terminal, both
// ways, every variant, at the sizes where blocks begin and end; and through a
// line that loses and damages bytes, where the file comes out exact or the
// transfer fails on both sides.
#include "support/lrzsz_peer.h"
#include "transfer/xmodem_receiver.h"
#include "transfer/xmodem_sender.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <future>
#include <memory>
#include <random>

using namespace xmodem;

namespace
{
const std::size_t kSizes[] = {1, 127, 128, 129, 1023, 1024, 1025, 1 << 20, 0};

QByteArray randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    QByteArray b(qsizetype(n), '\0');
    for (char &c : b)
        c = char(rng());
    return b;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// XMODEM does not tell the size: the file is its blocks, filled with SUB.
bool paddedEqual(const QByteArray &got, const QByteArray &sent)
{
    if (got.size() < sent.size() || got.size() - sent.size() >= 1024 || !got.startsWith(sent))
        return false;
    return std::all_of(got.begin() + sent.size(), got.end(), [](char c) { return c == char(SUB); });
}

Sender::Reader readerOf(const std::vector<QByteArray> &data)
{
    return [&data](std::size_t f, std::int64_t at, std::size_t n, std::string &out, std::string &) {
        out = data[f].mid(qsizetype(at), qsizetype(n)).toStdString();
        return true;
    };
}

struct Kept {
    std::vector<Receiver::FileInfo> infos;
    std::vector<QByteArray> data;
    int whole = 0, abandoned = 0;
    Receiver::Sink sink()
    {
        return {[this](const Receiver::FileInfo &i) {
                    infos.push_back(i);
                    data.emplace_back();
                    return std::string();
                },
                [this](std::string_view d) {
                    data.back().append(d.data(), qsizetype(d.size()));
                    return std::string();
                },
                [this] {
                    ++whole;
                    return std::string();
                },
                [this] { ++abandoned; }};
    }
};
// A transfer and its far end, run to the end on a thread of their own.
struct Outcome {
    bool ended = false;
    Status status = Status::Running;
    std::string reason;
    int retries = 0;
    int exit = -1;
    qint64 ms = 0;
};
Outcome finish(Machine &m, LrzszPeer &peer, int limitMs = 60000, LineFaults faults = {})
{
    Outcome o;
    QElapsedTimer clock;
    clock.start();
    o.ended = peer.started() && driveMachine(m, peer.master(), limitMs, faults);
    o.status = m.status();
    o.reason = m.reason();
    o.retries = m.progress().retries;
    o.exit = peer.wait();
    o.ms = clock.elapsed();
    return o;
}
} // namespace

class TestLrzsz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("sx")).isEmpty())
            QSKIP("lrzsz is not installed");
    }

    // Each variant both ways at every size, byte-exact (XMODEM: with its filling).
    void bothWays_data()
    {
        QTest::addColumn<bool>("weSend");
        QTest::addColumn<int>("mode"); // a Sender::Mode or a Receiver::Mode
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        const auto to = [](const char *name, Sender::Mode m, const char *program,
                           QStringList args) {
            QTest::newRow(name) << true << int(m) << QString(program) << args;
        };
        const auto from = [](const char *name, Receiver::Mode m, const char *program,
                             QStringList args) {
            QTest::newRow(name) << false << int(m) << QString(program) << args;
        };
        to("XMODEM to rx", Sender::Mode::XModem, "rx", {"-b", "got"});
        to("XMODEM-CRC to rx -c", Sender::Mode::XModemCrc, "rx", {"-b", "-c", "got"});
        to("XMODEM-CRC to rx", Sender::Mode::XModemCrc, "rx", {"-b", "got"});
        to("XMODEM-1K to rx -c", Sender::Mode::XModem1k, "rx", {"-b", "-c", "got"});
        to("YMODEM to rb", Sender::Mode::YModem, "rb", {"-b"});
        from("sx, checksums", Receiver::Mode::XModem, "sx", {"-b", "one.bin"});
        from("sx, CRC", Receiver::Mode::XModemCrc, "sx", {"-b", "one.bin"});
        from("sx -k", Receiver::Mode::XModemCrc, "sx", {"-b", "-k", "one.bin"});
        from("sb", Receiver::Mode::YModem, "sb", {"-b", "one.bin", "two.bin"});
    }
    void bothWays()
    {
        QFETCH(bool, weSend);
        QFETCH(int, mode);
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        const bool batch = weSend ? Sender::Mode(mode) == Sender::Mode::YModem
                                  : Receiver::Mode(mode) == Receiver::Mode::YModem;
        // The sizes run side by side, each with its own folder and far end.
        std::vector<std::unique_ptr<QTemporaryDir>> dirs;
        std::vector<std::vector<QByteArray>> data;
        std::vector<Kept> kept(std::size(kSizes));
        std::vector<std::future<Outcome>> runs;
        for (std::size_t n : kSizes) {
            dirs.push_back(std::make_unique<QTemporaryDir>());
            data.push_back({randomBytes(n, unsigned(n)), randomBytes(n / 2 + 3, 7)});
            if (!weSend) {
                QVERIFY(writeFile(dirs.back()->filePath("one.bin"), data.back()[0]));
                QVERIFY(writeFile(dirs.back()->filePath("two.bin"), data.back()[1]));
            }
        }
        for (std::size_t i = 0; i < std::size(kSizes); ++i) {
            runs.push_back(std::async(std::launch::async, [&, i] {
                LrzszPeer peer(program, args, dirs[i]->path());
                if (!weSend) {
                    Receiver r(Receiver::Mode(mode), kept[i].sink());
                    return finish(r, peer);
                }
                std::vector<Sender::File> files{{"one.bin", data[i][0].size(), 1700000000},
                                                {"two.bin", data[i][1].size(), 0}};
                if (!batch)
                    files.resize(1);
                Sender s(Sender::Mode(mode), files, readerOf(data[i]));
                return finish(s, peer);
            }));
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Outcome o = runs[i].get();
            const std::string n = std::to_string(kSizes[i]);
            QVERIFY2(o.ended && o.status == Status::Done, (n + ": " + o.reason).c_str());
            QVERIFY2(o.exit == 0, n.c_str());
            const QTemporaryDir &dir = *dirs[i];
            std::vector<QByteArray> got = kept[i].data;
            if (weSend)
                got = batch ? std::vector<QByteArray>{readFile(dir.filePath("one.bin")),
                                                      readFile(dir.filePath("two.bin"))}
                            : std::vector<QByteArray>{readFile(dir.filePath("got"))};
            else
                QCOMPARE(kept[i].whole, batch ? 2 : 1);
            QCOMPARE(got.size(), std::size_t(batch ? 2 : 1));
            if (!batch) {
                QVERIFY2(paddedEqual(got[0], data[i][0]), n.c_str());
                continue;
            }
            QVERIFY2(got[0] == data[i][0] && got[1] == data[i][1], n.c_str());
            if (weSend) {
                QCOMPARE(QFileInfo(dir.filePath("one.bin")).lastModified().toSecsSinceEpoch(),
                         1700000000);
            } else {
                QCOMPARE(kept[i].infos[0].name, std::string("one.bin"));
                QCOMPARE(kept[i].infos[0].size, std::int64_t(kSizes[i]));
            }
        }
    }

    // A line that loses and damages bytes both ways, with lrzsz waiting a
    // second for a byte and us three for an answer (a sender must wait longer
    // than its receiver, or the two ask again at once): exact, or failed on both sides.
    void noisyLine()
    {
        struct Case {
            const char *name;
            bool weSend;
            QString program;
            LineFaults faults;
            bool completes;
        };
        const Case cases[] = {
            {"to rb", true, "rb", {1e-4, 1e-4, 3}, true},
            {"from sb", false, "sb", {2e-4, 2e-4, 3}, true},
            {"from sx -k, damage", false, "sx", {0, 5e-4, 3}, true},
            {"to rb, a bad line", true, "rb", {0, 0.05, 3}, false},
        };
        const QByteArray data = randomBytes(30000, 11);
        const std::vector<QByteArray> files{data};
        std::vector<std::unique_ptr<QTemporaryDir>> dirs;
        std::vector<Kept> kept(std::size(cases));
        std::vector<std::future<Outcome>> runs;
        for (const Case &c : cases) {
            dirs.push_back(std::make_unique<QTemporaryDir>());
            if (!c.weSend)
                QVERIFY(writeFile(dirs.back()->filePath("n.bin"), data));
        }
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            runs.push_back(std::async(std::launch::async, [&, i] {
                const Case &c = cases[i];
                QStringList args{"-b", "-t", "10"};
                if (!c.weSend)
                    args << (c.program == "sx" ? QStringList{"-k", "n.bin"} : QStringList{"n.bin"});
                LrzszPeer peer(c.program, args, dirs[i]->path());
                Timing quick;
                quick.replyMs = c.weSend ? 3000 : 2000;
                quick.requestMs = 1000;
                std::unique_ptr<Machine> m;
                if (c.weSend)
                    m = std::make_unique<Sender>(Sender::Mode::YModem,
                                                 std::vector<Sender::File>{{"n.bin", 30000, 0}},
                                                 readerOf(files), quick);
                else
                    m = std::make_unique<Receiver>(c.program == "sx" ? Receiver::Mode::XModemCrc
                                                                     : Receiver::Mode::YModem,
                                                   kept[i].sink(), quick);
                return finish(*m, peer, 120000, c.faults);
            }));
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Case &c = cases[i];
            const Outcome o = runs[i].get();
            qInfo("%s: %s after %d retries in %lld ms %s", c.name,
                  o.status == Status::Done ? "done" : "failed", o.retries, o.ms, o.reason.c_str());
            QVERIFY(o.ended);
            if (!c.completes) {
                QCOMPARE(o.status, Status::Failed);
                QVERIFY(o.exit != 0);
                continue;
            }
            QCOMPARE(o.status, Status::Done);
            QVERIFY(o.retries > 0);
            if (c.weSend) {
                QCOMPARE(o.exit, 0);
                QVERIFY(readFile(dirs[i]->filePath("n.bin")) == data);
            } else {
                QCOMPARE(kept[i].whole, 1);
                QVERIFY(c.program == "sx" ? paddedEqual(kept[i].data[0], data)
                                          : kept[i].data[0] == data);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestLrzsz)
#include "test_lrzsz.moc"
