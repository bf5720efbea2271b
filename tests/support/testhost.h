#pragma once

#include "eframework.h"
#include "widgets/hostaccess.h"

// The host framework as the plug-in's module would see it, for tests of the
// layers below the module: g_base points at it while it lives.
class TestHost
{
public:
    TestHost() { g_base = &m_framework; }
    ~TestHost() { g_base = nullptr; }

    EFramework& framework() { return m_framework; }
    EConfig* config() { return host::config(); }

private:
    EFramework m_framework;
};
