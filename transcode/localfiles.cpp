#include "localfiles.h"

#include "protocol/privatefolder.h"

#include <QCoreApplication>
#include <QFile>

QString tool_path(const char* name)
{
    QString folder = qEnvironmentVariable("DAVAZ_TOOLS_DIR");
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    return folder + QLatin1Char('/') + QString::fromUtf8(name);
}

TempFile temp_file(const char* name)
{
    const protocol::TempFolder folder = protocol::temp_folder();
    const QString path = QFile::decodeName(folder.path.c_str());
    TempFile file;
    switch (folder.problem) {
    case protocol::TempFolder::None:
        file.path = path + QLatin1Char('/') + QFile::decodeName(name);
        break;
    case protocol::TempFolder::CannotCreate:
        file.problem = QCoreApplication::translate("TempFolder", "无法创建临时文件夹 %1：%2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(folder.error)));
        break;
    case protocol::TempFolder::Link:
        file.problem = QCoreApplication::translate("TempFolder",
                                                   "临时文件夹 %1 是一个符号链接，为安全起见不予使用，请删除后重试。")
                           .arg(path);
        break;
    case protocol::TempFolder::NotFolder:
        file.problem =
            QCoreApplication::translate("TempFolder", "临时文件夹 %1 不是文件夹，为安全起见不予使用，请删除后重试。")
                .arg(path);
        break;
    case protocol::TempFolder::OtherOwner:
        file.problem =
            QCoreApplication::translate("TempFolder", "临时文件夹 %1 属于其他用户，为安全起见不予使用。").arg(path);
        break;
    }
    return file;
}
