#pragma once

#include "serial/port.h"

#include <QString>

// What the status line adds about a port beyond its settings, in the window's
// words.

// Why an opening failed ("（连接被拒绝）"); empty where there is nothing more
// to say than the message box does (a device that cannot be opened).
QString faultNote(Port::Fault fault);

// How a network port's far end took the line settings: "（设置不经网络传送）"
// where they do not travel, "（服务器：115200,N,8,1）" where the server confirmed
// other values than those asked for, and empty where it confirmed them.
QString servedNote(const Port::Served &served);

// Text that names a network port of a kind there is none of ("ftp://…").
bool looksLikeOtherAddress(QStringView text);
