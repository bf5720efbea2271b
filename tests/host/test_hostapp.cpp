// The real host application with the real plug-in.

#include "testmedia.h"

#include <QImage>
#include <QtTest>

class TestHostApp : public QObject
{
    Q_OBJECT
    const QString m_host = QCoreApplication::applicationDirPath() + "/davaz-host";

private slots:
    void screenshots_of_all_tools()
    {
        QTemporaryDir shots, home;
        const testmedia::Ran host =
            testmedia::run(m_host,
                           {"--show", "msg_show_mp4wd", "--show", "msg_show_movielive", "--show", "msg_show_tranformat",
                            "--show", "msg_show_grablive", "--screenshot", shots.path()},
                           120000, {"QT_QPA_PLATFORM=offscreen", "HEXLUNE_HOME=" + home.path()});
        QVERIFY2(host.code == 0, qPrintable(host.err));

        const QStringList expected{"DavazLauncher", "Mp4RPWidget", "VideoLiveWidget", "FormatCWidget",
                                   "GrabLiveWidget"};
        QCOMPARE(QDir(shots.path()).entryList({"*.png"}).size(), expected.size());
        for (const QString& name : expected) {
            const QImage image(shots.filePath(name + ".png"));
            QVERIFY2(image.width() > 100 && image.height() > 100, qPrintable(name));
        }
        // The module was destroyed as on a normal quit.
        QVERIFY(host.err.contains("FFMpegModule release start < ") &&
                host.err.contains("FFMpegModule release okay  > "));
    }
};

QTEST_GUILESS_MAIN(TestHostApp)
#include "test_hostapp.moc"
