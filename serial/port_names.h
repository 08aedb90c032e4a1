#pragma once

#include <QString>

// The device that port number n stands for: the path in QUORVEX_COM<n> when that
// is set, else /dev/ttyS<n-1> (COMn on Windows). Empty for port 0 and below.
QString devicePathForPort(int n);
