#include "serial/port_lister.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(PortInfo)

class TestPortLister : public QObject
{
    Q_OBJECT

private slots:
    void naturalOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("less");
        QTest::newRow("2 before 10") << "/dev/ttyUSB2"
                                     << "/dev/ttyUSB10" << true;
        QTest::newRow("10 after 2") << "/dev/ttyUSB10"
                                    << "/dev/ttyUSB2" << false;
        QTest::newRow("ACM before USB") << "/dev/ttyACM9"
                                        << "/dev/ttyUSB0" << true;
        QTest::newRow("equal") << "/dev/ttyS1"
                               << "/dev/ttyS1" << false;
        QTest::newRow("prefix first") << "/dev/ttyS"
                                      << "/dev/ttyS0" << true;
        QTest::newRow("leading zeros") << "/dev/x007"
                                       << "/dev/x10" << true;
        QTest::newRow("huge numbers") << "/dev/x99999999999999999999"
                                      << "/dev/x100000000000000000000" << true;
        QTest::newRow("digits inside") << "/dev/ttyUSB1a"
                                       << "/dev/ttyUSB1b" << true;
    }
    void naturalOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, less);
        QCOMPARE(naturalLess(a, b), less);
    }

    void details_data()
    {
        QTest::addColumn<PortInfo>("port");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing known") << PortInfo{"/dev/ttyS0", "", "", "", {}, {}} << "";
        QTest::newRow("USB without serial")
            << PortInfo{"/dev/ttyUSB0", "USB2.0-Serial", "", "", 0x1a86, 0x7523}
            << "描述：USB2.0-Serial\nUSB：VID 1A86，PID 7523";
        QTest::newRow("vendor id alone is no USB id")
            << PortInfo{"/dev/ttyACM0", "", "Arduino", "", 0x2341, {}} << "制造商：Arduino";
    }
    void details()
    {
        QFETCH(PortInfo, port);
        QFETCH(QString, text);
        QCOMPARE(portDetails(port), text);
    }

    // A link such as /dev/serial/by-id/… finds the device it points to.
    void findThroughALink()
    {
        QTemporaryDir dir;
        QFile target(dir.filePath("ttyUSB3"));
        QVERIFY(target.open(QIODevice::WriteOnly));
        const QString link = dir.filePath("usb-FTDI_A10K-if00-port0");
        QVERIFY(QFile::link(target.fileName(), link));
        const QList<PortInfo> ports{{"/dev/ttyS0", "", "", "", {}, {}},
                                    {target.fileName(), "", "", "A10K", 0x0403, 0x6001}};
        QCOMPARE(findPort(ports, link)->serialNumber, QStringLiteral("A10K"));
        QVERIFY(!findPort(ports, dir.filePath("none")));
    }
};

QTEST_GUILESS_MAIN(TestPortLister)
#include "test_port_lister.moc"
