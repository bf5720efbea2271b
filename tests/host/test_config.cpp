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
    void missing_key_reads_null();
    void check_path_data();
    void check_path();
    void remove_file();
    void home_holds_settings_and_data();
};

void TestConfig::values_survive_a_new_store_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("string") << QVariant(QString("rtmp://127.0.0.1/live"));
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
        QVERIFY(config.write("cfg_some_key", value));
    }
    EConfig again(ini);
    const QVariant read = again.read("cfg_some_key");
    QVERIFY(!read.isNull());
    QCOMPARE(read.toString(), value.toString());
    if (value.typeId() == QMetaType::Int)
        QCOMPARE(read.toInt(), value.toInt());
}

void TestConfig::missing_key_reads_null()
{
    QTemporaryDir dir;
    EConfig config(dir.filePath("hexlune.ini"));
    QVERIFY(config.read("cfg_never_written").isNull());
    // Keys with a slash form groups in the INI file and still read back.
    config.write("grablivewidget/dir", QString("/tmp"));
    QCOMPARE(config.read("grablivewidget/dir").toString(), QString("/tmp"));
    QVERIFY(config.read("grablivewidget/ip").isNull());
}

void TestConfig::check_path_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("ok");
    QTest::newRow("existing folder") << "dir" << true;
    QTest::newRow("missing folder") << "missing" << false;
    QTest::newRow("a file") << "file" << false;
    QTest::newRow("empty path") << "empty" << false;
}

void TestConfig::check_path()
{
    QFETCH(QString, kind);
    QFETCH(bool, ok);
    QTemporaryDir dir;
    QString path;
    if (kind == "dir")
        path = dir.path();
    else if (kind == "missing")
        path = dir.filePath("nope");
    else if (kind == "file") {
        path = dir.filePath("a.txt");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    ECommon common(dir.filePath("data"));
    QCOMPARE(common.checkPathIsOk(path), ok);
    // The probe leaves nothing behind.
    if (kind == "dir")
        QCOMPARE(QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 0);
}

void TestConfig::remove_file()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("old_zo.mp4");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    ECommon common(dir.filePath("data"));
    QVERIFY(common.removeFile(path));
    QVERIFY(!QFile::exists(path));
    QVERIFY(common.removeFile(path)); // already gone: fine
}

void TestConfig::home_holds_settings_and_data()
{
    QTemporaryDir home;
    qputenv("HEXLUNE_HOME", home.path().toUtf8());
    EMgr mgr;
    mgr.e_config()->write("cfg_format_ext_index", 2);
    QVERIFY(mgr.e_config()->fileName().startsWith(home.path()));
    const QString data = QString::fromStdString(mgr.e_common()->getAppDataPath());
    QVERIFY(data.startsWith(home.path()));
    QVERIFY(QDir(data).exists());
}

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
