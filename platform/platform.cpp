#include "platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include <climits>

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
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
    }
    return open_folder(QFileInfo(path).absolutePath());
}

bool start_detached(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

void sleep_ms(unsigned long ms)
{
    QThread::msleep(ms);
}

} // namespace platform
