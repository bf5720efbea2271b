// The host's settings store keeps values as they were written.

#include "emgr.h"

#include <QtTest>

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void values_survive_a_new_store()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath("hexlune.ini");
        const std::pair<const char*, QVariant> values[] = {{"grablivewidget/ip", QString("  rtmp://x/y  ")},
                                                           {"grablivewidget/dir", QString("/home/用户/视频")},
                                                           {"cfg_format_ext_index", 3}};
        {
            EConfig config(ini);
            for (const auto& [key, value] : values)
                QVERIFY(config.write(key, value));
            QVERIFY(config.read("cfg_never_written").isNull());
        }
        EConfig again(ini);
        for (const auto& [key, value] : values)
            QCOMPARE(again.read(key).toString(), value.toString());
        QVERIFY(again.read("cfg_never_written").isNull());
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
