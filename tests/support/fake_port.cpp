#include "support/fake_port.h"

bool FakePort::openDevice(const QString &path, const LineSettings &settings, QString *error)
{
    if (busy.contains(path)) {
        *error = QStringLiteral("busy");
        return false;
    }
    if (!available.contains(path)) {
        *error = QStringLiteral("no such device");
        return false;
    }
    deviceSettings = settings;
    log << QStringLiteral("open %1 %2").arg(path).arg(settings.baud);
    return true;
}
