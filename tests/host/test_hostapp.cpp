// The real host application with the real plug-in.

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestHostApp : public QObject
{
    Q_OBJECT
private slots:
    void screenshots_of_all_tools();
    void bad_plugin_fails_cleanly_data();
    void bad_plugin_fails_cleanly();

private:
    QString host() const { return QCoreApplication::applicationDirPath() + "/davaz-host"; }
};

void TestHostApp::screenshots_of_all_tools()
{
    QTemporaryDir shots;
    QTemporaryDir home;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HEXLUNE_HOME", home.path());
    p.setProcessEnvironment(env);
    p.start(host(), {"--show", "msg_show_mp4wd", "--show", "msg_show_movielive", "--show", "msg_show_tranformat",
                     "--show", "msg_show_grablive", "--screenshot", shots.path()});
    QVERIFY(p.waitForFinished(120000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, qPrintable(err));

    const QStringList expected{"DavazLauncher", "Mp4RPWidget", "VideoLiveWidget", "FormatCWidget", "GrabLiveWidget"};
    QCOMPARE(QDir(shots.path()).entryList({"*.png"}).size(), expected.size());
    for (const QString& name : expected) {
        const QImage image(shots.filePath(name + ".png"));
        QVERIFY2(!image.isNull(), qPrintable(name));
        QVERIFY(image.width() > 100 && image.height() > 100);
    }
    // The module was destroyed as on a normal quit.
    QVERIFY(err.contains("FFMpegModule release start < "));
    QVERIFY(err.contains("FFMpegModule release okay  > "));
}

void TestHostApp::bad_plugin_fails_cleanly_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing library") << "/nonexistent/libdavaz.so"
                                     << "cannot load the plug-in";
    QTest::newRow("library without entry") << QCoreApplication::applicationDirPath() + "/libhexlune3.so"
                                           << "has no entry get_plugin_object";
}

void TestHostApp::bad_plugin_fails_cleanly()
{
    QFETCH(QString, plugin);
    QFETCH(QString, message);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(host(), {"--library", plugin});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(message));
}

QTEST_GUILESS_MAIN(TestHostApp)
#include "test_hostapp.moc"
