#include "serial/port_watcher.h"
#include "support/fake_port_lister.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Waiting for a lost device, with files standing in for devices.
class TestPortWatcher : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString dev(const char *name) { return dir.filePath(name); }
    static void plug(const QString &path) { QFile(path).open(QIODevice::WriteOnly); }
    static PortInfo usb(const QString &path, const QString &serial)
    {
        PortInfo p;
        p.path = path;
        p.vendorId = 0x1a86;
        p.productId = 0x7523;
        p.serialNumber = serial;
        return p;
    }
    static void waitLooks(int n) { QTest::qWait(n * PortWatcher::kLookEveryMs + 50); }

private slots:
    // The same path comes back; an opening that fails is tried again at the
    // next look; stop() ends the wait.
    void samePath()
    {
        FakePortLister lister;
        PortWatcher watcher(&lister);
        const QString a = dev("ttyS9");
        watcher.remember(a);
        QStringList tried;
        int refusals = 1;
        watcher.waitForReturn([&](const QString &path) {
            tried << path;
            return refusals-- <= 0;
        });
        waitLooks(2);
        QVERIFY(tried.isEmpty());
        QVERIFY(watcher.isWaiting());
        plug(a);
        QTRY_COMPARE(tried, (QStringList{a, a}));
        QVERIFY(!watcher.isWaiting());

        watcher.waitForReturn([&](const QString &path) { return tried << path, false; });
        watcher.stop();
        waitLooks(2);
        QCOMPARE(tried.size(), 2);
    }

    // A USB adapter is known by its identity: back under another name it is
    // taken there, also when another device now has its old name; two alike
    // adapters cannot be told apart, and neither is taken.
    void usbAdapterUnderAnotherName_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<bool>("otherAtOldName");
        QTest::addColumn<bool>("twoAlike");
        QTest::addColumn<bool>("taken");
        QTest::newRow("renamed") << "S1" << false << false << true;
        QTest::newRow("another device at the old name") << "S1" << true << false << true;
        QTest::newRow("two alike without serial numbers") << "" << false << true << false;
    }
    void usbAdapterUnderAnotherName()
    {
        QFETCH(QString, serial);
        QFETCH(bool, otherAtOldName);
        QFETCH(bool, twoAlike);
        QFETCH(bool, taken);
        const QString a = dev("ttyUSB0"), b = dev("ttyUSB1"), c = dev("ttyUSB2");
        for (const QString &path : {a, b, c})
            QFile::remove(path);
        plug(a);
        FakePortLister lister;
        lister.list = {usb(a, serial)};
        PortWatcher watcher(&lister);
        watcher.remember(a);
        QTest::qWait(PortWatcher::kIdentifyAfterMs + 50); // identified by now
        QFile::remove(a);
        lister.list.clear();
        QStringList tried;
        watcher.waitForReturn([&](const QString &path) { return tried << path, true; });

        plug(b);
        lister.list = {usb(b, serial)};
        if (otherAtOldName) {
            plug(a);
            lister.list << usb(a, "OTHER");
        }
        if (twoAlike) {
            plug(c);
            lister.list << usb(c, serial);
        }
        waitLooks(2);
        QCOMPARE(tried, taken ? QStringList{b} : QStringList{});
        QCOMPARE(watcher.path(), taken ? b : a);
    }
};

QTEST_GUILESS_MAIN(TestPortWatcher)
#include "test_port_watcher.moc"
