#pragma once

#include "serial/serial_control.h"

#include <QSet>
#include <QStringList>

// A serial control whose device is memory: tests say which devices exist or are
// busy, push received bytes in and read back what was written.
class FakeSerialControl : public SerialControl
{
    Q_OBJECT

public:
    using SerialControl::SerialControl;

    QSet<QString> available;   // devices that open
    QSet<QString> busy;        // devices that exist but are in use
    QStringList log;           // "open <path> <baud>", "close", "configure"
    QByteArray written;
    LineSettings lineSettings;

    void receive(const QByteArray &bytes, qint64 msecs = -1) { deliverReceived(session(), bytes, msecs); }
    void drain() { deliverDrained(session()); }
    void lose() { deliverLost(session()); }

protected:
    bool openDevice(const QString &path, const LineSettings &settings, QString *error) override;
    void closeDevice() override { log << QStringLiteral("close"); }
    bool configureDevice(const LineSettings &settings, QString *) override
    {
        lineSettings = settings;
        log << QStringLiteral("configure");
        return true;
    }
    bool writeDevice(const QByteArray &bytes, QString *) override
    {
        written += bytes;
        return true;
    }
    void discardDeviceOutput() override {}
};
