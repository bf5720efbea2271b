// The host's settings store and common services.

#include "emgr.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void values_survive_a_new_store_data();
    void values_survive_a_new_store();
    void check_path_data();
    void check_path();
    void home_holds_settings_and_data();
};

void TestConfig::values_survive_a_new_store_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("string with blanks") << QVariant(QString("  rtmp://x/y  "));
    QTest::newRow("chinese path") << QVariant(QString("/home/用户/视频"));
    QTest::newRow("int") << QVariant(3);
}

void TestConfig::values_survive_a_new_store()
{
    QFETCH(QVariant, value);
    QTemporaryDir dir;
    const QString ini = dir.filePath("hexlune.ini");
    {
        EConfig config(ini);
        QVERIFY(config.write("grablivewidget/ip", value));
        QVERIFY(config.read("cfg_never_written").isNull());
    }
    EConfig again(ini);
    QCOMPARE(again.read("grablivewidget/ip").toString(), value.toString());
    QVERIFY(again.read("grablivewidget/dir").isNull());
}

void TestConfig::check_path_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("ok");
    QTest::newRow("existing folder") << "dir" << true;
    QTest::newRow("missing folder") << "missing" << false;
    QTest::newRow("a file") << "file" << false;
}

void TestConfig::check_path()
{
    QFETCH(QString, kind);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    QString path = kind == "dir" ? dir.path() : kind == "empty" ? QString() : dir.filePath(kind);
    if (kind == "file")
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    ECommon common(dir.filePath("data"));
    QCOMPARE(common.checkPathIsOk(path), ok);
    if (kind == "dir") // the probe leaves nothing behind
        QCOMPARE(QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 0);
}

void TestConfig::home_holds_settings_and_data()
{
    QTemporaryDir home;
    qputenv("HEXLUNE_HOME", home.path().toUtf8());
    EMgr mgr;
    QVERIFY(mgr.e_config()->fileName().startsWith(home.path()));
    const QString data = QString::fromStdString(mgr.e_common()->getAppDataPath());
    QVERIFY(data.startsWith(home.path()));
    QVERIFY(QDir(data).exists());
}

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
