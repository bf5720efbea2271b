#include "hostapp.h"

#include "eframework.h"

namespace {
using GetPluginObject = EBase* (*)(EBase*);
}

HostApp::HostApp()
    : m_framework(std::make_unique<EFramework>())
{}

HostApp::~HostApp()
{
    unload();
}

bool HostApp::load(const QString& libraryPath, QString* error)
{
    m_library.setFileName(libraryPath);
    if (!m_library.load()) {
        *error = QStringLiteral("cannot load the plug-in %1: %2").arg(libraryPath, m_library.errorString());
        return false;
    }
    auto entry = reinterpret_cast<GetPluginObject>(m_library.resolve("get_plugin_object"));
    if (!entry) {
        *error = QStringLiteral("the plug-in %1 has no entry get_plugin_object").arg(libraryPath);
        m_library.unload();
        return false;
    }
    m_module = entry(m_framework.get());
    if (!m_module) {
        *error = QStringLiteral("the plug-in %1 returned no module").arg(libraryPath);
        m_library.unload();
        return false;
    }
    m_framework->register_module(QStringLiteral("DaVaz"), m_module);
    return true;
}

bool HostApp::send(const QString& msg)
{
    if (!m_module)
        return false;
    return m_module->recv_msg(msg, QVariant()).toBool();
}

void HostApp::unload()
{
    if (m_module) {
        m_framework->unregister_module(QStringLiteral("DaVaz"));
        delete m_module;
        m_module = nullptr;
    }
    if (m_library.isLoaded())
        m_library.unload();
}
