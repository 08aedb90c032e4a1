#include "script/patterns.h"
#include "serial/codepage936.h"

#include <QTest>

// The matcher behind expect and on: what it finds in a stream that arrives in
// pieces, and what it keeps.
class TestPatterns : public QObject
{
    Q_OBJECT

    static Pattern text(const char *utf8) { return Pattern::fromText(QString::fromUtf8(utf8)); }
    static Pattern hex(const char *h)
    {
        QString why;
        return *Pattern::fromHex(QString::fromLatin1(h), &why);
    }
    static Pattern regex(const char *r)
    {
        QString why;
        return *Pattern::fromRegex(QString::fromUtf8(r), &why);
    }

private slots:
    // Each row: patterns, the stream in pieces (cut at "|"), and what the
    // first match must be (index, text, captures), or -1 for none.
    void firstMatch_data()
    {
        QTest::addColumn<std::vector<Pattern>>("patterns");
        QTest::addColumn<QByteArray>("pieces");
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("matched"); // for bytes patterns, the bytes; else UTF-8
        QTest::addColumn<QStringList>("captures");
        QTest::addColumn<qint64>("end");

        QTest::newRow("text across reads")
            << std::vector{text("login:")} << QByteArray("boot ok\r\nlog|in|: ") << 0
            << QByteArray("login:") << QStringList() << qint64(15);
        // 中文 is D6 D0 CE C4: cut inside the first character.
        QTest::newRow("gbk split across reads")
            << std::vector{text("中文")} << QByteArray("x\xd6|\xd0\xce|\xc4y") << 0
            << QByteArray("中文") << QStringList() << qint64(5);
        // A trail byte that looks like ASCII does not start a text match.
        QTest::newRow("no match inside a character")
            << std::vector{text("A")} << QByteArray("\x81\x41") << -1 << QByteArray()
            << QStringList() << qint64(0);
        QTest::newRow("bytes with wildcards, also inside characters")
            << std::vector{hex("41 ?? 03")} << QByteArray("\x81\x41|\xff\x03") << 0
            << QByteArray("\x41\xff\x03") << QStringList() << qint64(4);
        QTest::newRow("regex captures across reads")
            << std::vector{regex("ERR(\\d+):(\\w+)?;")} << QByteArray("ok ER|R12:|;") << 0
            << QByteArray("ERR12:;") << QStringList{"12", QString()} << qint64(10);
        QTest::newRow("the match that ends first wins")
            << std::vector{text("ABCD"), text("BC")} << QByteArray("xABCD") << 1 << QByteArray("BC")
            << QStringList() << qint64(4);
        QTest::newRow("ending together: the first given")
            << std::vector{text("CD"), regex("[A-Z]+D")} << QByteArray("ABCD") << 0
            << QByteArray("CD") << QStringList() << qint64(4);
        QTest::newRow("nothing yet")
            << std::vector{text("OK"), hex("06"), regex("^\\d{3}$")} << QByteArray("O|K?") << 0
            << QByteArray("OK") << QStringList() << qint64(2);
        QTest::newRow("none at all")
            << std::vector{text("OK"), hex("06"), regex("E\\d")} << QByteArray("O|k|E|x") << -1
            << QByteArray() << QStringList() << qint64(0);
    }
    void firstMatch()
    {
        QFETCH(std::vector<Pattern>, patterns);
        QFETCH(QByteArray, pieces);
        QFETCH(int, index);
        QFETCH(QByteArray, matched);
        QFETCH(QStringList, captures);
        QFETCH(qint64, end);
        MatchStream stream;
        PatternSearch search(patterns, 0);
        std::optional<PatternMatch> m;
        for (const QByteArray &piece : pieces.split('|')) {
            QVERIFY(!m); // found no earlier than its last byte came
            stream.append(piece);
            m = search.find(stream);
        }
        QCOMPARE(m ? m->index : -1, index);
        if (!m)
            return;
        const bool bytes = patterns[size_t(index)].kind == Pattern::Kind::Bytes;
        QCOMPARE(bytes ? m->bytes : m->text.toUtf8(), matched);
        QCOMPARE(m->captures, captures);
        QCOMPARE(m->byteEnd, end);
    }

    // Successive searches move on: each starts where the last match ended,
    // and a pattern that came once is not found twice.
    void searchesMoveOn()
    {
        MatchStream stream;
        stream.append("> ok\r\n> ok\r\n> ");
        qint64 from = 0;
        QList<qint64> ends;
        for (int i = 0; i < 4; ++i) {
            PatternSearch s({Pattern::fromText(QStringLiteral("> "))}, from);
            const auto m = s.find(stream);
            if (!m)
                break;
            ends << m->byteEnd;
            from = m->byteEnd;
        }
        QCOMPARE(ends, (QList<qint64>{2, 8, 14}));
    }

    // A flood with no match keeps the stream within its bound, and what came
    // in the last kKeep bytes is still found, with its true position.
    void boundedAndStillFound()
    {
        MatchStream stream;
        PatternSearch search({text("READY"), regex("E(\\d)X")}, 0);
        const QByteArray chunk(64 * 1024, 'z');
        qint64 fed = 0;
        for (int i = 0; i < 800; ++i) { // 50 MiB
            stream.append(chunk);
            fed += chunk.size();
            QVERIFY(!search.find(stream));
            QVERIFY(stream.end() - stream.begin() <= MatchStream::kMaxKept);
            stream.release(search.from()); // the search's start is not let go: the bound holds
        }
        QCOMPARE(stream.end(), fed);
        stream.append("\xd6\xd0READY"); // 中READY
        const auto m = search.find(stream);
        QVERIFY(m);
        QCOMPARE(m->byteEnd, fed + 7);
    }

    void badPatterns_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::newRow("lone digit") << "01 0";
        QTest::newRow("not hex") << "01 0G";
        QTest::newRow("half wildcard") << "0? 01";
        QTest::newRow("empty") << " ";
        QTest::newRow("full-width digits") << "０１";
    }
    void badPatterns()
    {
        QFETCH(QString, hex);
        QString why;
        QVERIFY(!Pattern::fromHex(hex, &why));
        QVERIFY(!why.isEmpty());
        QVERIFY(!Pattern::fromRegex(QStringLiteral("ERR(\\d+"), &why));
        QVERIFY(why.contains(QStringLiteral("ERR(")));
    }
};

QTEST_GUILESS_MAIN(TestPatterns)
#include "test_patterns.moc"
