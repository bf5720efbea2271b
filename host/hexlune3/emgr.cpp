#include "emgr.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

EConfig::EConfig(const QString& iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{}

EConfig::~EConfig()
{
    m_settings->sync();
}

QVariant EConfig::read(const char* key) const
{
    const QString k = QString::fromUtf8(key);
    if (!m_settings->contains(k))
        return {};
    return m_settings->value(k);
}

bool EConfig::write(const char* key, const QVariant& value)
{
    m_settings->setValue(QString::fromUtf8(key), value);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QString EConfig::fileName() const
{
    return m_settings->fileName();
}

ECommon::ECommon(const QString& dataPath)
    : m_dataPath(dataPath)
{}

bool ECommon::checkPathIsOk(const QString& path) const
{
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return false;
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".hexlune-probe-XXXXXX")));
    return probe.open();
}

bool ECommon::removeFile(const QString& path) const
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return true;
    return QFile::remove(path);
}

std::string ECommon::getAppDataPath() const
{
    QDir().mkpath(m_dataPath);
    return m_dataPath.toStdString();
}

EMgr::EMgr()
{
    const QString home = homePath();
    QString ini;
    QString data;
    if (!home.isEmpty()) {
        ini = home + QStringLiteral("/hexlune.ini");
        data = home + QStringLiteral("/data");
    } else {
        ini = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              QStringLiteral("/hexlune/hexlune.ini");
        data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/hexlune");
    }
    m_config = std::make_unique<EConfig>(ini);
    m_common = std::make_unique<ECommon>(data);
}

EMgr::~EMgr() = default;

EConfig* EMgr::e_config()
{
    return m_config.get();
}

ECommon* EMgr::e_common()
{
    return m_common.get();
}

EMgr* EMgr::global()
{
    static EMgr mgr;
    return &mgr;
}

QString EMgr::homePath()
{
    return qEnvironmentVariable("HEXLUNE_HOME");
}
