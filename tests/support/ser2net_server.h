#pragma once

#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// ser2net serving a device on a free loopback port, in RFC 2217 (Telnet) or
// raw mode, for as long as it lives. Tests only use 127.0.0.1.
class Ser2NetServer
{
public:
    Ser2NetServer(const QString &device, bool rfc2217) : m_device(device), m_rfc2217(rfc2217)
    {
        QTcpServer probe; // a port nobody uses now
        if (probe.listen(QHostAddress::LocalHost))
            m_port = probe.serverPort();
    }
    ~Ser2NetServer() { stop(); }

    quint16 port() const { return m_port; }

    // Starts the server and waits until it accepts connections.
    bool start()
    {
        const QString config = m_dir.filePath("ser2net.yaml");
        QFile f(config);
        if (!m_port || !f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral("%YAML 1.1\n---\nconnection: &c1\n"
                               "  accepter: %1tcp,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,9600n81,local\n"
                               "  options:\n    kickolduser: true\n")
                    .arg(m_rfc2217 ? QStringLiteral("telnet(rfc2217),") : QString())
                    .arg(m_port)
                    .arg(m_device)
                    .toUtf8());
        f.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("ser2net"),
                        {"-n", "-u", "-c", config, "-P", m_dir.filePath("ser2net.pid")});
        if (!m_process.waitForStarted(3000))
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            if (s.waitForConnected(100)) {
                s.disconnectFromHost();
                return true;
            }
            QTest::qWait(30);
        }
        return false;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }

private:
    QString m_device;
    bool m_rfc2217;
    quint16 m_port = 0;
    QTemporaryDir m_dir;
    QProcess m_process;
};
