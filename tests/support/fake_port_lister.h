#pragma once

#include "serial/port_lister.h"

// The machine's serial devices as a test sets them.
class FakePortLister : public PortLister
{
public:
    QList<PortInfo> list;
    int asked = 0;
    QList<PortInfo> ports() override
    {
        ++asked;
        return list;
    }
};
