// The host's settings store keeps values as they were written.

#include "emgr.h"

#include <QtTest>

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void values_survive_a_new_store_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("string with blanks") << QVariant(QString("  rtmp://x/y  "));
        QTest::newRow("chinese path") << QVariant(QString("/home/用户/视频"));
        QTest::newRow("int") << QVariant(3);
    }
    void values_survive_a_new_store()
    {
        QFETCH(QVariant, value);
        QTemporaryDir dir;
        const QString ini = dir.filePath("hexlune.ini");
        {
            EConfig config(ini);
            QVERIFY(config.write("grablivewidget/ip", value) && config.read("cfg_never_written").isNull());
        }
        EConfig again(ini);
        QCOMPARE(again.read("grablivewidget/ip").toString(), value.toString());
        QVERIFY(again.read("grablivewidget/dir").isNull());
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
