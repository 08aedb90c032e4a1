#include "serial/port_names.h"

#include <QtGlobal>

QString devicePathForPort(int n)
{
    if (n < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    const QString mapped = qEnvironmentVariable(QStringLiteral("QUORVEX_COM%1").arg(n).toLatin1());
    if (!mapped.isEmpty())
        return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}
