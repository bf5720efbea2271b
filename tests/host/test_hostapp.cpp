// The real host application with the real plug-in.

#include "testmedia.h"

#include <QImage>
#include <QtTest>

class TestHostApp : public QObject
{
    Q_OBJECT
    const QString m_host = QCoreApplication::applicationDirPath() + "/davaz-host";

private slots:
    // Every tool opens, in the language of the locale, or of the host's
    // setting when one is stored; the module goes as on a normal quit.
    void language_data()
    {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("titles"); // launcher, repair, live push, conversion, capture
        const QStringList chinese{"DaVaz 视频工具箱", "视频修复", "直播视频", "格式转换", "串流存盘"};
        const QStringList english{"DaVaz Video Toolbox", "Video Repair", "Live Push", "Format Conversion",
                                  "Stream Capture"};
        const QStringList c{"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "LANGUAGE="};
        const QStringList en{"LANG=en_US.UTF-8", "LC_ALL=", "LANGUAGE="};
        QTest::newRow("C") << c << "" << chinese;
        QTest::newRow("English") << en << "" << english;
        QTest::newRow("C forced to English") << c << "en" << english;
        QTest::newRow("English forced to Chinese") << en << "zh" << chinese;
    }
    void language()
    {
        QFETCH(QStringList, env);
        QFETCH(QString, setting);
        QFETCH(QStringList, titles);
        QTemporaryDir shots, home;
        if (!setting.isEmpty())
            QVERIFY(testmedia::write_file(home.filePath("hexlune.ini"), "[General]\ncfg_language=" + setting.toUtf8()));
        const testmedia::Ran host =
            testmedia::run(m_host,
                           {"--show", "msg_show_mp4wd", "--show", "msg_show_movielive", "--show", "msg_show_tranformat",
                            "--show", "msg_show_grablive", "--screenshot", shots.path()},
                           120000, QStringList{"QT_QPA_PLATFORM=offscreen", "HEXLUNE_HOME=" + home.path()} + env);
        QVERIFY2(host.code == 0, qPrintable(host.err));
        const QStringList names{"DavazLauncher", "Mp4RPWidget", "VideoLiveWidget", "FormatCWidget", "GrabLiveWidget"};
        QCOMPARE(QDir(shots.path()).entryList({"*.png"}).size(), names.size());
        for (int i = 0; i < names.size(); ++i) {
            const QString line = QString("window: %1 \"%2\"").arg(names[i], titles[i]);
            QVERIFY2(host.out.contains(line), qPrintable(line + "\n" + host.out));
            const QImage image(shots.filePath(names[i] + ".png"));
            QVERIFY2(image.width() > 100 && image.height() > 100, qPrintable(names[i]));
        }
        QVERIFY(host.err.contains("FFMpegModule release start < ") &&
                host.err.contains("FFMpegModule release okay  > "));
    }
};

QTEST_GUILESS_MAIN(TestHostApp)
#include "test_hostapp.moc"
