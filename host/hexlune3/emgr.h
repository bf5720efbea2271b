#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>
#include <string>

// Persistent key/value store of the host (an INI file).
class EConfig
{
public:
    explicit EConfig(const QString& iniPath);
    ~EConfig();

    // A null QVariant means nothing is stored under the key.
    QVariant read(const char* key) const;
    bool write(const char* key, const QVariant& value);
    QString fileName() const;

private:
    std::unique_ptr<QSettings> m_settings;
};

class ECommon
{
public:
    explicit ECommon(const QString& dataPath);

    // True for an existing folder in which a file can be created.
    bool checkPathIsOk(const QString& path) const;
    // Removes the file if it exists; true when no file is left at the path.
    bool removeFile(const QString& path) const;
    // The host's data folder, created if missing.
    std::string getAppDataPath() const;

private:
    QString m_dataPath;
};

// Gives access to the host's services. HEXLUNE_HOME, when set, holds both the
// settings file and the data folder, so tests and demos never touch a user's own.
class EMgr
{
public:
    EMgr();
    ~EMgr();

    EConfig* e_config();
    ECommon* e_common();

    static EMgr* global();
    static QString homePath();

private:
    std::unique_ptr<EConfig> m_config;
    std::unique_ptr<ECommon> m_common;
};
