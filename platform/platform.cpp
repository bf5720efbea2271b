#include "platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include <climits>
#include <sys/statvfs.h>

namespace platform {

bool open_folder(const QString& path)
{
    if (path.isEmpty())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool show_in_file_manager(const QString& path)
{
    if (path.isEmpty() || path.toLocal8Bit().size() >= PATH_MAX)
        return false;
    const QString folder = QFileInfo(path).absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return open_folder(folder);

    // The file manager may take its time to start; the GUI must not wait for
    // it. Without one on the bus the folder is opened instead.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [folder](QDBusPendingCallWatcher* self) {
        if (self->isError())
            open_folder(folder);
        self->deleteLater();
    });
    return true;
}

bool start_detached(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

void sleep_ms(unsigned long ms)
{
    QThread::msleep(ms);
}

qint64 free_bytes(const QString& folder)
{
    struct statvfs fs;
    if (folder.isEmpty() || ::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return -1;
    // f_bavail: what is left to accounts other than root, which is what a full disk means to the user.
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

} // namespace platform
