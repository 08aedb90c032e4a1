#include "receive/receive_recorder.h"
#include "support/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The record file, written on a thread of its own.
class TestReceiveRecorder : public QObject
{
    Q_OBJECT

    static QByteArray contents(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    }

private slots:
    // Pieces of every size, several buffers' worth and single bytes, come out
    // whole and in order; they reach the disk while recording goes on.
    void everyByteInOrder()
    {
        QTemporaryDir dir;
        ReceiveRecorder r;
        QVERIFY(r.start(dir.filePath("a/b/rx.log"))); // folders made as needed
        QRandomGenerator rng(3);
        QByteArray sent;
        for (int i = 0; i < 300; ++i) {
            QByteArray piece(i % 50 == 7 ? 1500 * 1024 : int(rng.bounded(1, 5000)),
                             Qt::Uninitialized);
            for (char &b : piece)
                b = char(rng.bounded(256));
            r.record(piece);
            sent += piece;
        }
        QTRY_COMPARE_WITH_TIMEOUT(contents(r.path()).size(), sent.size(),
                                  3 * ReceiveRecorder::kFlushMs);
        r.record("tail");
        r.stop();
        r.record("after the stop");
        QVERIFY(contents(r.path()) == sent + "tail");
        QCOMPARE(QFile(r.path()).permissions() & 0x7077,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // A name that is taken (a file, a link, a folder) gets the next free
    // suffix; when all are taken, recording does not start.
    void takenNames()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("rx.log");
        QFile(dir.filePath("other")).open(QIODevice::WriteOnly);
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(dir.filePath("other"), ReceiveRecorder::suffixed(path, 1)));
        QVERIFY(QDir().mkdir(ReceiveRecorder::suffixed(path, 2)));
        ReceiveRecorder r;
        QVERIFY(r.start(path));
        QCOMPARE(r.path(), dir.filePath("rx-3.log"));
        r.record("x");
        r.stop();
        QCOMPARE(contents(dir.filePath("other")), QByteArray());
        for (int n = 3; n <= ReceiveRecorder::kMaxSuffix; ++n)
            QFile(ReceiveRecorder::suffixed(path, n)).open(QIODevice::WriteOnly);
        QVERIFY(!r.start(path));
        QVERIFY(!r.recording());
    }

    // A file that can grow no further: reported once, on the recorder's
    // thread's owner, and what was written stays.
    void writeFailureStopsTheRecording()
    {
        QTemporaryDir dir;
        ReceiveRecorder r;
        QSignalSpy failed(&r, &ReceiveRecorder::failed);
        {
            FileSizeLimit full(4096);
            QVERIFY(r.start(dir.filePath("rx.log")));
            r.record(QByteArray(3000, 'a'));
            QTRY_COMPARE(contents(r.path()).size(), 3000);
            r.record(QByteArray(3000, 'b'));
            QTRY_COMPARE(failed.count(), 1);
        }
        QCOMPARE(failed.first().first().toString(), r.path());
        r.record("more");
        QTest::qWait(2 * ReceiveRecorder::kFlushMs);
        QCOMPARE(failed.count(), 1);
        QVERIFY(contents(r.path()).startsWith(QByteArray(3000, 'a')));
    }
};

QTEST_GUILESS_MAIN(TestReceiveRecorder)
#include "test_receive_recorder.moc"
