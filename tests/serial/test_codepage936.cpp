#include "serial/codepage936.h"

#include <QRandomGenerator>
#include <QTest>

class TestCodePage936 : public QObject
{
    Q_OBJECT

private slots:
    void encode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("ascii") << "AB\r\n" << QByteArray("AB\r\n");
        QTest::newRow("chinese") << QString::fromUtf8("中文") << QByteArray("\xd6\xd0\xce\xc4");
        QTest::newRow("euro") << QString::fromUtf8("€") << QByteArray("\x80");
        QTest::newRow("not representable")
            << QString::fromUtf8("A\xE0\xB8\x81") << QByteArray("A?");
        QTest::newRow("empty") << "" << QByteArray();
    }
    void encode()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(cp936::encode(text), bytes);
        QCOMPARE(cp936::byteLength(text), bytes.size());
    }

    // The streaming encoder gives what encode gives, for every character of the
    // plane and for random text with surrogates (paired, lone, split between
    // pieces) cut anywhere.
    void streamEncoderAsEncode()
    {
        QString all;
        for (int c = 1; c < 0x10000; ++c)
            all += QChar(char16_t(c));
        QRandomGenerator rng(936);
        QList<QString> texts{all};
        const char16_t pool[] = {u'A', u'中', u'€', 0xD83D, 0xDE00, 0xDC00, 0xD800, u'\r', 0x0E01};
        for (int i = 0; i < 500; ++i) {
            QString t;
            for (int n = int(rng.bounded(40)); n > 0; --n)
                t += QChar(pool[rng.bounded(int(std::size(pool)))]);
            texts << t;
        }
        for (const QString &text : texts) {
            cp936::StreamEncoder e;
            QByteArray out;
            for (qsizetype at = 0; at < text.size();) {
                const qsizetype n = std::min<qsizetype>(text.size() - at, 1 + rng.bounded(7));
                e.encode(QStringView(text).mid(at, n), out);
                at += n;
            }
            e.finish(out);
            // A lone half at the very end is a "?" too (encode leaves it out).
            const bool halfAtEnd = !text.isEmpty() && text.back().isHighSurrogate();
            QCOMPARE(out, cp936::encode(text) + (halfAtEnd ? "?" : ""));
        }
    }

    // A character whose two bytes arrive in two reads comes out whole.
    // The offset decoder gives StreamDecoder's characters for every pair of
    // bytes and for random streams of them cut anywhere, and each character's
    // start is the position of a byte that begins it.
    void offsetDecoderAsStreamDecoder()
    {
        QRandomGenerator rng(9360);
        QList<QByteArray> streams;
        QByteArray pairs;
        for (int l = 0x80; l < 0x100; ++l)
            for (int t = 0; t < 0x100; ++t)
                pairs.append(char(l)).append(char(t)).append(' ');
        streams << pairs;
        const char pool[] = {'A',    ' ',    '\x80', '\x81', '\xd6', '\xd0', '\xff',
                             '\x7f', '\x40', '\xa1', '\xfe', '\r',   '\0',   '\x30'};
        for (int i = 0; i < 2000; ++i) {
            QByteArray b;
            for (int n = int(rng.bounded(30)); n > 0; --n)
                b += pool[rng.bounded(int(std::size(pool)))];
            streams << b;
        }
        for (const QByteArray &bytes : streams) {
            cp936::StreamDecoder reference;
            cp936::OffsetDecoder d;
            QString expected, text;
            std::vector<quint32> starts;
            std::vector<quint32> room(bytes.size() + 1);
            const qint64 origin = 0xFFFFFFF0LL; // positions past 2^32 keep their low bits
            for (qsizetype at = 0; at < bytes.size();) {
                const qsizetype n = std::min<qsizetype>(bytes.size() - at, 1 + rng.bounded(5));
                expected += reference.decode(bytes.mid(at, n));
                const qsizetype k = d.decode(bytes.mid(at, n), origin + at, text, room.data());
                starts.insert(starts.end(), room.begin(), room.begin() + k);
                at += n;
            }
            QCOMPARE(text, expected);
            // Never a surrogate: the matcher's regular expressions take the text unchecked.
            QVERIFY(
                std::none_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); }));
            QCOMPARE(starts.size(), size_t(text.size()));
            quint32 previous = quint32(origin) - 1;
            for (quint32 s : starts) {
                QVERIFY(qint32(s - previous) >= 1 && qint32(s - previous) <= 2);
                previous = s;
            }
        }
    }

    void splitCharacter()
    {
        cp936::StreamDecoder d;
        const QString first = d.decode(QByteArray("A\xd6", 2));
        const QString second = d.decode(QByteArray("\xd0"
                                                   "B",
                                                   2));
        QCOMPARE(first + second, QString::fromUtf8("A中B"));
        QCOMPARE(first, QStringLiteral("A"));
    }

    void invalidBytes()
    {
        cp936::StreamDecoder d;
        QCOMPARE(d.decode(QByteArray("\x81\x20Z", 3)), QString::fromUtf8("\xEF\xBF\xBD Z"));
    }

    // A new session starts clean: a half character from before is not carried in.
    void resetDropsHalfCharacter()
    {
        cp936::StreamDecoder d;
        d.decode(QByteArray("\xd6", 1));
        d.reset();
        QCOMPARE(d.decode(QByteArray("AB")), QStringLiteral("AB"));
    }
};

QTEST_GUILESS_MAIN(TestCodePage936)
#include "test_codepage936.moc"
