#pragma once

#include <QLibrary>
#include <QString>

#include <memory>

class EBase;
class EFramework;

// Loads the plug-in library and holds its module for the host's lifetime.
class HostApp
{
public:
    HostApp();
    ~HostApp();

    // Loads the library and builds its module; on failure `error` says why.
    bool load(const QString& libraryPath, QString* error);
    // Sends a message to the module; false if it is not loaded.
    bool send(const QString& msg);
    // Destroys the module (it deletes its windows) and unloads the library.
    void unload();

    EBase* module() const { return m_module; }
    EFramework* framework() const { return m_framework.get(); }

private:
    std::unique_ptr<EFramework> m_framework;
    QLibrary m_library;
    EBase* m_module = nullptr;
};
