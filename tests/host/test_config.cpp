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
        const QVariantMap values{{"grablivewidget/ip", QString("  rtmp://x/y  ")},
                                 {"grablivewidget/dir", QString("/home/用户/视频")},
                                 {"cfg_format_ext_index", 3}};
        {
            EConfig config(ini);
            for (auto it = values.begin(); it != values.end(); ++it)
                QVERIFY(config.write(it.key(), it.value()));
            QVERIFY(config.read("cfg_never_written").isNull());
        }
        EConfig again(ini);
        for (auto it = values.begin(); it != values.end(); ++it)
            QCOMPARE(again.read(it.key()).toString(), it.value().toString());
        QVERIFY(again.read("cfg_never_written").isNull());
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "test_config.moc"
