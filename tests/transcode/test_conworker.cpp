#include "testmedia.h"
#include "transcode/conworker.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestConWorker : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void arguments_data();
    void arguments();
    void start_rewrites_backslashes();
    void converts_to_requested_size();
    void failing_transcoder_passes_exit_code();
    void stop_mid_run_reports_nothing();

private:
    static QString frame_size(const QString& path);
    QTemporaryDir m_dir;
    QString m_clip;
};

void TestConWorker::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_clip = testmedia::make_clip(m_dir.filePath("clip.mp4"), 3);
    QVERIFY(!m_clip.isEmpty());
}

void TestConWorker::arguments_data()
{
    QTest::addColumn<bool>("useParams");
    QTest::addColumn<int>("sizeIndex");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<int>("fps");
    QTest::addColumn<QStringList>("middle"); // between "-i SRC" and DST

    QTest::newRow("parameters off") << false << 2 << 1600 << 25 << QStringList();
    QTest::newRow("own size, no bitrate") << true << 0 << 0 << 30 << QStringList();
    QTest::newRow("own size, bitrate") << true << 0 << 1200 << 25 << QStringList{"-r", "25", "-b:v", "1200k"};
    QTest::newRow("720P") << true << 2 << 1600 << 25 << QStringList{"-r", "25", "-s", "1280x720", "-b:v", "1600k"};
    QTest::newRow("size forces a bitrate")
        << true << 1 << 0 << 30 << QStringList{"-r", "30", "-s", "1280x720", "-b:v", "0k"};
}

void TestConWorker::arguments()
{
    QFETCH(QStringList, middle);
    CWParam param;
    QFETCH(bool, useParams);
    param.use_params = useParams;
    QFETCH(int, sizeIndex);
    param.size_index = sizeIndex;
    QFETCH(int, bitrate);
    param.bitrate = bitrate;
    QFETCH(int, fps);
    param.fps = fps;
    param.width = 1280;
    param.height = 720;
    param.src_path = "/in/a b.mp4";
    param.dst_path = "/out/a b_zo.avi";
    QCOMPARE(ConWorker::build_arguments(param),
             QStringList({"-i", param.src_path}) + middle + QStringList{param.dst_path});
}

void TestConWorker::start_rewrites_backslashes()
{
    CWParam param;
    param.src_path = m_dir.filePath("missing.mp4");
    param.dst_path = m_dir.path() + "\\sub\\out.mp4";
    ConWorker job(param);
    job.stop(); // nothing to stop yet
    QCOMPARE(job.save_path(), param.dst_path);
    job.start();
    QCOMPARE(job.save_path(), m_dir.path() + "/sub/out.mp4");
}

void TestConWorker::converts_to_requested_size()
{
    QVERIFY(QDir(m_dir.path()).mkpath("run"));
    CWParam param;
    param.src_path = m_clip;
    param.dst_path = m_dir.path() + "\\run\\clip_zo.mp4"; // the output lands at the forward-slash form
    param.use_params = true;
    param.size_index = 1;
    param.width = 640;
    param.height = 360;
    param.bitrate = 800;
    param.fps = 25;
    ConWorker job(param);
    QSignalSpy progress(&job, &ConWorker::sg_progress);
    QSignalSpy finished(&job, &ConWorker::sg_finished);
    job.start();

    QVERIFY(finished.wait(240000));
    QVERIFY(!progress.isEmpty());
    int last = 0;
    for (const QList<QVariant>& args : progress) {
        QCOMPARE(args.at(0).toInt(), 3);
        QVERIFY(args.at(1).toInt() >= last);
        last = args.at(1).toInt();
    }
    QCOMPARE(progress.last(), QVariantList({3, 3}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(frame_size(job.save_path()), QString("640,360"));
}

void TestConWorker::failing_transcoder_passes_exit_code()
{
    CWParam param;
    param.src_path = m_dir.filePath("missing.mp4");
    param.dst_path = m_dir.filePath("missing_zo.mp4");
    ConWorker job(param);
    QSignalSpy progress(&job, &ConWorker::sg_progress);
    QSignalSpy finished(&job, &ConWorker::sg_finished);
    job.start();
    QVERIFY(finished.wait(120000));
    QVERIFY(finished.first().at(0).toInt() != 0);
    QVERIFY(progress.isEmpty());
}

void TestConWorker::stop_mid_run_reports_nothing()
{
    const QString longClip = testmedia::make_clip(m_dir.filePath("long.mp4"), 30, 320, 240, "25", false);
    QVERIFY(!longClip.isEmpty());
    CWParam param;
    param.src_path = longClip;
    param.dst_path = m_dir.filePath("long_zo_stopped.mp4");
    param.use_params = true;
    param.size_index = 2;
    param.width = 1280;
    param.height = 720;
    param.bitrate = 4000;
    param.fps = 25;
    ConWorker job(param);
    QSignalSpy progress(&job, &ConWorker::sg_progress);
    QSignalSpy finished(&job, &ConWorker::sg_finished);
    job.start();
    QVERIFY(progress.wait(120000));
    QVERIFY(progress.last().at(1).toInt() < 30);

    job.stop();
    job.stop();
    QVERIFY(!finished.wait(3000));
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(param.dst_path).isEmpty(), 30000);
}

QString TestConWorker::frame_size(const QString& path)
{
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height", "-of",
                            "csv=p=0", path});
    probe.waitForFinished(60000);
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

QTEST_GUILESS_MAIN(TestConWorker)
#include "test_conworker.moc"
