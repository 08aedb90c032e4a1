#include "serial/port_names.h"
#include "serial/port_settings.h"

#include <QTest>

namespace
{
// A port's line settings written out as "9600,N,8,1" (empty when refused), so
// tables can state them briefly.
QString written(const std::optional<LineSettings> &ls)
{
    if (!ls)
        return {};
    const char parity[] = {'N', '?', 'E', 'O', 'S', 'M'};
    const char *stop = ls->stopBits == QSerialPort::OneStop          ? "1"
                       : ls->stopBits == QSerialPort::OneAndHalfStop ? "1.5"
                                                                     : "2";
    return QStringLiteral("%1,%2,%3,%4")
        .arg(ls->baud)
        .arg(QChar(parity[ls->parity]))
        .arg(int(ls->dataBits))
        .arg(stop);
}

// Selector values from a line like "9600,N,8,1".
PortSettings fields(const QString &text)
{
    const QStringList f = text.split(u',');
    return {1, {}, f[0], f[1], f[2].toInt(), f[3].toDouble()};
}
} // namespace

class TestPortSettings : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("com");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("settings");
        QTest::newRow("start-up") << "COM1"
                                  << "8"
                                  << "1" << true << 1 << "9600,N,8,1";
        QTest::newRow("two digits") << "COM16"
                                    << "8"
                                    << "1" << true << 16 << "9600,N,8,1";
        QTest::newRow("three digits read two") << "COM999"
                                               << "8"
                                               << "1" << true << 99 << "9600,N,8,1";
        QTest::newRow("letter gives 0") << "COMX"
                                        << "8"
                                        << "1" << true << 0 << "9600,N,8,1";
        QTest::newRow("short text gives 0") << "COM"
                                            << "8"
                                            << "1" << true << 0 << "9600,N,8,1";
        QTest::newRow("empty gives 0") << ""
                                       << "8"
                                       << "1" << true << 0 << "9600,N,8,1";
        QTest::newRow("negative port") << "COM-1"
                                       << "8"
                                       << "1" << false << 0 << "";
        QTest::newRow("data 08") << "COM1"
                                 << "08"
                                 << "1" << true << 1 << "9600,N,8,1";
        QTest::newRow("stop 1.5") << "COM1"
                                  << "8"
                                  << "1.5" << true << 1 << "9600,N,8,1.5";
        QTest::newRow("stop 2.0") << "COM1"
                                  << "7"
                                  << "2.0" << true << 1 << "9600,N,7,2";
        QTest::newRow("data letters") << "COM1"
                                      << "abc"
                                      << "1" << false << 0 << "";
        QTest::newRow("data empty") << "COM1"
                                    << ""
                                    << "1" << false << 0 << "";
        QTest::newRow("stop letters") << "COM1"
                                      << "8"
                                      << "x" << false << 0 << "";
    }
    void read()
    {
        QFETCH(QString, com);
        QFETCH(QString, data);
        QFETCH(QString, stop);
        QFETCH(bool, valid);
        QFETCH(int, port);
        QFETCH(QString, settings);
        const auto s = parsePortSettings({com, "9600", "NONE", data, stop});
        QCOMPARE(s.has_value(), valid);
        if (!valid)
            return;
        QCOMPARE(s->portNumber, port);
        QVERIFY(s->devicePath.isEmpty());
        QCOMPARE(written(lineSettings(*s)), settings);
    }

    void parityLetter_data()
    {
        QTest::addColumn<QString>("parity");
        QTest::addColumn<QString>("letter");
        QTest::newRow("NONE") << "NONE"
                              << "N";
        QTest::newRow("ODD") << "ODD"
                             << "O";
        QTest::newRow("ENEV") << "ENEV"
                              << "E";
        QTest::newRow("SPACE") << "SPACE"
                               << "S";
        QTest::newRow("MARK") << "MARK"
                              << "M";
        QTest::newRow("lower case kept") << "even"
                                         << "e";
        QTest::newRow("empty") << ""
                               << "";
    }
    void parityLetter()
    {
        QFETCH(QString, parity);
        QFETCH(QString, letter);
        const SelectorTexts t{"COM1", "115200", parity, "8", "1"};
        QCOMPARE(parsePortSettings(t)->parity, letter);
        QCOMPARE(written(lineSettings(*parsePortSettings(t))),
                 letter.isEmpty() ? QString() : "115200," + letter.toUpper() + ",8,1");
    }

    void devicePath()
    {
        const auto s = parsePortSettings({"/dev/ttyUSB0", "9600", "NONE", "8", "1"});
        QVERIFY(s);
        QCOMPARE(s->devicePath, QStringLiteral("/dev/ttyUSB0"));
    }

    void portDevices()
    {
        qputenv("QUORVEX_COM7", "/dev/ttyUSB3");
        qunsetenv("QUORVEX_COM8");
        auto device = [](const char *com) {
            return portDevice(*parsePortSettings({com, "9600", "N", "8", "1"}));
        };
        QCOMPARE(device("COM7"), QStringLiteral("/dev/ttyUSB3"));
        QCOMPARE(device("COM8"), QStringLiteral("/dev/ttyS7"));
        QCOMPARE(device("/dev/ttyACM0"), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(device("COMX"), QString()); // port 0 names no device
    }

    void networkAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("name") << "rfc2217://lab-rack-3:7001"
                              << "lab-rack-3" << 7001 << true;
        QTest::newRow("IPv4, raw") << "tcp://192.168.1.20:4001"
                                   << "192.168.1.20" << 4001 << false;
        QTest::newRow("IPv6") << "RFC2217://[fe80::1]:2217"
                              << "fe80::1" << 2217 << true;
        QTest::newRow("IPv6 without brackets") << "tcp://fe80::1:2217"
                                               << "" << 0 << false;
        QTest::newRow("no port") << "tcp://host"
                                 << "" << 0 << false;
        QTest::newRow("port 0") << "tcp://host:0"
                                << "" << 0 << false;
        QTest::newRow("port too large") << "tcp://host:65536"
                                        << "" << 0 << false;
        QTest::newRow("no host") << "tcp://:80"
                                 << "" << 0 << false;
        QTest::newRow("a path in it") << "tcp://host/x:80"
                                      << "" << 0 << false;
    }
    void networkAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, rfc2217);
        const auto a = networkAddress(text);
        QCOMPARE(a.has_value(), !host.isEmpty());
        if (a) {
            QCOMPARE(a->host, host);
            QCOMPARE(int(a->port), port);
            QCOMPARE(a->rfc2217, rfc2217);
        }
        // Whatever its form, the port selector takes it as the device to open.
        QCOMPARE(parsePortSettings({text, "9600", "N", "8", "1"})->devicePath, text);
    }

    // The status line shows the selector texts as typed, not the values applied.
    void statusLines()
    {
        QCOMPARE(openStatusLine({"COM1", "9600", "NONE", "8", "1"}),
                 QStringLiteral("STATUS：COM1 OPEND，9600,N,8,1"));
        QCOMPARE(openStatusLine({"COM12", "115200", "ENEV", "08", "1.5"}),
                 QStringLiteral("STATUS：COM12 OPEND，115200,E,08,1.5"));
        QCOMPARE(closedStatusLine(), QStringLiteral("STATUS：COM Port Cloced"));
    }

    void lineSettingsRead_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("9600,N,8,1") << "9600,N,8,1" << true;
        QTest::newRow("lower parity") << "9600,e,7,2" << true;
        QTest::newRow("1.5 stop") << "9600,N,5,1.5" << true;
        QTest::newRow("four data bits") << "9600,N,4,1" << true;
        QTest::newRow("custom baud") << "250000,N,8,1" << true;
        QTest::newRow("baud letters") << "abc,N,8,1" << false;
        QTest::newRow("baud empty") << ",N,8,1" << false;
        QTest::newRow("baud zero") << "0,N,8,1" << false;
        QTest::newRow("baud blank") << " 9600,N,8,1" << false;
        QTest::newRow("parity empty") << "9600,,8,1" << false;
        QTest::newRow("parity X") << "9600,X,8,1" << false;
        QTest::newRow("data 9") << "9600,N,9,1" << false;
        QTest::newRow("data 3") << "9600,N,3,1" << false;
        QTest::newRow("stop 3") << "9600,N,8,3" << false;
        QTest::newRow("stop 0") << "9600,N,8,0" << false;
    }
    void lineSettingsRead()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(lineSettings(fields(text)).has_value(), valid);
    }

    void parsedValues()
    {
        const auto ls = lineSettings(fields("115200,O,7,2"));
        QVERIFY(ls);
        QCOMPARE(ls->baud, 115200);
        QCOMPARE(ls->parity, QSerialPort::OddParity);
        QCOMPARE(ls->dataBits, QSerialPort::Data7);
        QCOMPARE(ls->stopBits, QSerialPort::TwoStop);
    }
};

QTEST_GUILESS_MAIN(TestPortSettings)
#include "test_port_settings.moc"
