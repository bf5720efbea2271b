#pragma once

#include "eframework.h"
#include "widgets/hostaccess.h"

// The host framework as the plug-in's module would see it, for tests of the
// layers below the module: g_base points at it while it lives.
struct TestHost : EFramework
{
    TestHost() { g_base = this; }
    ~TestHost() override { g_base = nullptr; }
    EConfig* config() { return host::config(); }
};
