#pragma once

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What fault tables share: a run without the transcoder, small or read-only disks, and a record of the user's files.
namespace faults {

// While it lives, the plug-in looks for its executables in a folder of its
// own (DAVAZ_TOOLS_DIR), empty at first: as if none were installed.
class ToolsFolder
{
public:
    ToolsFolder() { qputenv("DAVAZ_TOOLS_DIR", QFile::encodeName(m_dir.path())); }
    ~ToolsFolder() { qunsetenv("DAVAZ_TOOLS_DIR"); }
    ToolsFolder(const ToolsFolder&) = delete;
    ToolsFolder& operator=(const ToolsFolder&) = delete;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// A tmpfs mounted over a folder ("size=256k" fills up, "ro" takes nothing) and unmounted when it goes.
class Disk
{
public:
    Disk() = default;
    ~Disk() { unmount(); }
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;
    // False where mounting is not allowed.
    bool mount(const QString& folder, const QString& options);
    void unmount();

private:
    QString m_folder;
};

// Every file under the folders with a hash of its bytes.
using Files = QMap<QString, QByteArray>;
Files files(const QStringList& folders);
// Files of `before` now gone or changed, leaving out the tool's own outputs.
QStringList touched(const Files& before, const QStringList& outputs);

// Sends SIGKILL to the processes whose command line holds `needle`; how many.
int kill_matching(const QString& needle);

} // namespace faults
