#include "testmedia.h"
#include "transcode/conworker.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestConWorker : public QObject
{
    Q_OBJECT
private slots:
    void arguments_data();
    void arguments();
    void converts_to_requested_size();
    void stop_mid_run_reports_nothing();

private:
    QTemporaryDir m_dir;
};

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
    QFETCH(bool, useParams);
    QFETCH(int, sizeIndex);
    QFETCH(int, bitrate);
    QFETCH(int, fps);
    QFETCH(QStringList, middle);
    const CWParam param{sizeIndex, "/in/a b.mp4", "/out/a b_zo.avi", 1280, 720, bitrate, fps, useParams};
    QCOMPARE(ConWorker::build_arguments(param),
             QStringList({"-i", param.src_path}) + middle + QStringList{param.dst_path});
}

void TestConWorker::converts_to_requested_size()
{
    const QString clip = testmedia::make_clip(m_dir.filePath("clip.mp4"), 3);
    QVERIFY(!clip.isEmpty());
    QVERIFY(QDir(m_dir.path()).mkpath("run"));
    ConWorker job({1, clip, m_dir.path() + "\\run\\clip_zo.mp4", 640, 360, 800, 25, true});
    QSignalSpy progress(&job, &ConWorker::sg_progress);
    QSignalSpy finished(&job, &ConWorker::sg_finished);
    job.start();
    QCOMPARE(job.save_path(), m_dir.path() + "/run/clip_zo.mp4");

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

    // The output lies where the forward-slash path points, at the requested size.
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height", "-of",
                            "csv=p=0", job.save_path()});
    QVERIFY(probe.waitForFinished(60000));
    QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("640,360"));
}

void TestConWorker::stop_mid_run_reports_nothing()
{
    // Upscaling a long clip keeps the transcoder busy well past the first record.
    const QString clip = testmedia::make_clip(m_dir.filePath("long.mp4"), 30, 320, 240, "25", false);
    QVERIFY(!clip.isEmpty());
    const QString dst = m_dir.filePath("long_zo_stopped.mp4");
    ConWorker job({2, clip, dst, 1280, 720, 4000, 25, true});
    job.stop(); // nothing runs yet
    QSignalSpy progress(&job, &ConWorker::sg_progress);
    QSignalSpy finished(&job, &ConWorker::sg_finished);
    job.start();
    QVERIFY(progress.wait(120000));
    QVERIFY(progress.last().at(1).toInt() < 30);

    job.stop();
    job.stop();
    QVERIFY(!finished.wait(3000));
    QVERIFY(finished.isEmpty()); // close() delivers the end synchronously, before the wait
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(dst).isEmpty(), 30000);
}

QTEST_GUILESS_MAIN(TestConWorker)
#include "test_conworker.moc"
