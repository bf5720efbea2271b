#include "faults.h"

#include "testmedia.h"

#include <QCryptographicHash>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace faults {

namespace {

QByteArray digest(const QString& path)
{
    return QFile::exists(path) ? QCryptographicHash::hash(testmedia::read_file(path), QCryptographicHash::Md5) : "gone";
}

} // namespace

bool Disk::mount(const QString& folder, const QString& options)
{
    unmount();
    if (testmedia::run("mount", {"-t", "tmpfs", "-o", options, "tmpfs", folder}).code == 0) {
        m_folder = folder;
        return true;
    }
    // Without the right to mount, a folder of our own made read-only does as well.
    return options == "ro" && ::geteuid() != 0 && QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
}

void Disk::unmount()
{
    // Lazily: a transcoder that is still dying may hold a file open.
    if (!m_folder.isEmpty())
        testmedia::run("umount", {"-l", m_folder});
    m_folder.clear();
}

Files files(const QStringList& folders)
{
    Files found;
    for (const QString& folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            found[path] = digest(path);
        }
    }
    return found;
}

QStringList touched(const Files& before, const QStringList& outputs)
{
    QStringList changed;
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (!outputs.contains(it.key()) && digest(it.key()) != it.value())
            changed << it.key();
    }
    return changed;
}

int kill_matching(const QString& needle)
{
    const QList<qint64> pids = testmedia::pids_matching(needle);
    for (qint64 pid : pids)
        ::kill(pid_t(pid), SIGKILL);
    return int(pids.size());
}

} // namespace faults
