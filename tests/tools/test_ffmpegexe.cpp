#include "protocol/command.h"
#include "protocol/contract.h"
#include "protocol/privatefolder.h"
#include "protocol/transcoder.h"
#include "rtmpserver.h"
#include "rtspserver.h"
#include "testmedia.h"
#include "transcode/transcoderoutput.h"

#include <QtTest>

#include <QTcpServer>

#include <csignal>

namespace {

// A recording's pictures: the time from its first to its last (s) and the largest step between two in a row (ms).
QPair<double, double> picture_span(const QString& recording)
{
    QList<double> shown;
    for (const QString& at : testmedia::probed(recording, "packet=pts_time", "v")) {
        if (!at.section(',', 0, 0).isEmpty())
            shown << at.section(',', 0, 0).toDouble();
    }
    std::sort(shown.begin(), shown.end());
    double most = shown.size() > 1 ? 0 : 1e9;
    for (int i = 1; i < shown.size(); ++i)
        most = std::max(most, (shown[i] - shown[i - 1]) * 1000);
    return {shown.isEmpty() ? 0 : shown.last() - shown.first(), most};
}

// A record's frame and time in whole seconds as the plug-in reads them; {-1, -1} when it cannot.
QPair<qint64, qint64> parse(const QString& record)
{
    ProgressFields f;
    const std::optional<qint64> at =
        scan_progress_record(record.toUtf8(), f) == 3 ? position_seconds(f.time) : std::nullopt;
    return at ? QPair<qint64, qint64>{f.frame, *at} : QPair<qint64, qint64>{-1, -1};
}

} // namespace

class TestFfmpegExe : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_stubborn;
    QString m_clip;
    QMap<int, QString> m_gop_clips; // key pictures N s apart, published as "gN"
    RtmpServer m_server;
    int m_runs = 0;

private slots:
    void initTestCase()
    {
        QVERIFY(!(m_clip = testmedia::make_clip(m_dir.filePath("clip.mp4"), 10)).isEmpty());
        // An ffmpeg that answers neither "q" nor SIGINT; only a kill ends it.
        m_stubborn =
            testmedia::write_script(m_dir.filePath("stubborn-ffmpeg"), "trap '' INT TERM\nwhile :; do sleep 1; done\n");
        QVERIFY(!m_stubborn.isEmpty() && m_server.start(true));
        // G.711 sound, which FLV carries and MP4 does not.
        const QString mulaw = m_dir.filePath("mulaw.mkv");
        QVERIFY(
            testmedia::ffmpeg({"-i", m_clip, "-c:v", "copy", "-c:a", "pcm_mulaw", "-ar", "8000", "-ac", "1", mulaw}));
        for (const auto& [clip, stream] : {std::pair{m_clip, "s"}, {mulaw, "mulaw"}, {m_clip, "again"}})
            QVERIFY2(m_server.publish(clip, stream), qPrintable(m_server.log()));
        for (int gop : {1, 2, 4, 10}) {
            const QString clip = m_dir.filePath(QString("g%1.mp4").arg(gop));
            QVERIFY(!testmedia::make_clip(clip, 12, 320, 240, "25", true, 25 * gop).isEmpty());
            QVERIFY2(m_server.publish(m_gop_clips[gop] = clip, QString("g%1").arg(gop)), qPrintable(m_server.log()));
        }
    }
    void cleanupTestCase()
    {
        m_server.stop();
        QFile::remove(testenv::shared_temp(protocol::stop_file));
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_dir.path()).isEmpty(), 20000);
    }

    void run_data()
    {
        // end: "stop" writes the stop file once two seconds are captured ("stale stop": one left before must not stop
        // it; "restarts": after the publisher restarted twice, away 2 s each time); "sigint" interrupts FFmpeg.exe
        // then. exitCode -1 is any failure, with the phrase shown. lasts: the
        // output must be complete (it opens, has video) and last that many seconds at least; 0: not looked at. A first
        // argument NAME=value goes to the environment.
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<double>("lasts");
        const char* const rows[][6] = {
            // name, arguments, end, exit code, phrase, seconds the output lasts
            {"conversion", "-i %clip -r 25 -s 640x480 -b:v 800k %out.mp4", "", "0", "", "9.5"},
            // The stop request is the capture's: a conversion (or a push) of a local file runs on to its end.
            {"a stop request does not end a conversion", "-re -i %clip -b:v 800k %out.mp4", "stop", "0", "", "9.5"},
            {"capture stopped, a stop file left from an earlier run ignored", "-i %rtmp/live/s -vcodec copy %out.mp4",
             "stale stop", "0", "", "0.1"},
            {"interrupted while capturing", "-i %rtmp/live/s -vcodec copy %out.mp4", "sigint", "0", "", "0.1"},
            // Sound MP4 cannot hold becomes AAC.
            {"G.711 over rtmp to mp4", "-i %rtmp/live/mulaw -vcodec copy %out.mp4", "stop", "0", "", "0.1"},
            {"srt with Opus to mp4", "-i %srt -vcodec copy %out.mp4", "stop", "0", "", "0.1"},
            // Its time stamps start from zero again each time: the file keeps the time it was away, and its jumps are
            // said, once each.
            {"a publisher restarted twice, to mp4", "-i %rtmp/live/again -vcodec copy %out.mp4", "restarts", "0", "",
             "0.1"},
            {"a publisher restarted twice, to avi", "-i %rtmp/live/again -vcodec copy %out.avi", "restarts", "0", "",
             "0.1"},
            // ffmpeg does not read "q" here: the interrupt that follows must still finish the file.
            {"ffmpeg deaf to q", "-nostdin -i %rtmp/live/s -vcodec copy %out.mp4", "stop", "255", "", "0.1"},
            // 137: ended by a kill (128 + SIGKILL).
            {"ffmpeg deaf to everything", "DAVAZ_FFMPEG=%stubborn -i %clip %out.mp4", "sigint", "137", "", "0"},
            {"no arguments", "", "", "2", "usage", "0"},
            {"ffmpeg missing", "DAVAZ_FFMPEG=/nowhere/ffmpeg -i %clip %out.mp4", "", "127", "/nowhere/ffmpeg", "0"},
            {"connection refused", "-i %nowhere/live/x -vcodec copy %out.mp4", "", "-1", "failed to connect socket",
             "0"},
            {"stream never published", "-i %rtmp/live/nobody -vcodec copy %out.mp4", "", "-1",
             "failed to read RTMP packet header", "0"},
            {"stream already published", "-re -i %clip -c copy -f flv %rtmp/live/s", "", "-1",
             "failed to read RTMP packet header", "0"},
            {"unknown protocol", "-i foo://x -vcodec copy %out.mp4", "", "-1", "Protocol not found", "0"},
            {"missing input", "-i %clip.missing -vcodec copy %out.mp4", "", "-1", "No such file or directory", "0"},
            {"codec not allowed in the container", "-i %clip -vcodec copy %out.ogg", "", "-1", "Could not write header",
             "0"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]).split(' ', Qt::SkipEmptyParts) << QString(r[2]) << atoi(r[3])
                                << QString(r[4]) << atof(r[5]);
    }

    void run()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, end);
        QFETCH(int, exitCode);
        QFETCH(QString, phrase);
        QFETCH(double, lasts);

        // A stream that never comes ends in three seconds instead of ten.
        QStringList env = QProcess::systemEnvironment() << "DAVAZ_READ_TIMEOUT_MS=3000";
        if (!args.isEmpty() && args.first().startsWith("DAVAZ_FFMPEG="))
            env << args.takeFirst().replace("%stubborn", m_stubborn);
        const QString out = m_dir.filePath(QString("out%1").arg(++m_runs));
        for (QString& arg : args) {
            arg.replace("%nowhere", QString("rtmp://127.0.0.1:%1").arg(testmedia::free_port())).replace("%out", out);
            arg.replace("%rtmp", QString("rtmp://127.0.0.1:%1").arg(m_server.port())).replace("%clip", m_clip);
        }
        ClipListener listener; // an SRT source
        if (args.join(' ').contains("%srt")) {
            QVERIFY(listener.start(ClipListener::Kind::Srt, m_clip, {"-c:v", "copy", "-c:a", "libopus"}));
            args.replaceInStrings("%srt", listener.url());
        }
        const QString stop = testenv::shared_temp(protocol::stop_file);
        QFile::remove(stop);
        if (end == "stale stop")
            QVERIFY(testmedia::write_file(stop, {}));

        QElapsedTimer wall;
        double ran = 0; // seconds of the stream's time the capture ran
        QList<QByteArray> chunks;
        QProcess process;
        process.setEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        connect(&process, &QProcess::readyRead, [&] { chunks << process.readAll(); });
        QSignalSpy finished(&process, &QProcess::finished);
        process.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        const auto records = [&chunks] {
            return QString::fromUtf8(chunks.join()).split('\n').filter(QRegularExpression("^zo_progress"));
        };

        if (end == "sigint" && env.last() == "DAVAZ_FFMPEG=" + m_stubborn) {
            // Nothing to wait for: the stand-in prints nothing and ignores everything but a kill.
            QTRY_VERIFY_WITH_TIMEOUT(!testmedia::pids_matching(m_stubborn).isEmpty(), 30000);
            ::kill(pid_t(process.processId()), SIGINT);
        } else if (!end.isEmpty()) {
            QTRY_VERIFY2_WITH_TIMEOUT(!records().isEmpty() && parse(records().last()).second >= 2,
                                      chunks.join().constData(), 60000);
            QCOMPARE(process.state(), QProcess::Running);
            wall.start();
            for (int restart = 0; end == "restarts" && restart < 2; ++restart) {
                const qint64 at = parse(records().last()).second;
                QVERIFY(m_server.restart_publisher("again", 2000));
                QTRY_VERIFY_WITH_TIMEOUT(parse(records().last()).second >= at + 5, 60000);
            }
            ran = 2 + wall.elapsed() / 1000.0;
            if (end == "sigint") {
                ::kill(pid_t(process.processId()), SIGINT);
            } else {
                QCOMPARE(QFile::remove(stop), end == "stale stop");
                QVERIFY(testmedia::write_file(stop, {}));
            }
        }
        QVERIFY2(finished.count() || finished.wait(120000), chunks.join().constData());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        const QByteArray output = chunks.join();
        QVERIFY2(exitCode < 0 ? process.exitCode() != 0 : process.exitCode() == exitCode, output.constData());
        // A read that begins with a record holds nothing else: the plug-in sees nothing more in it.
        for (const QByteArray& chunk : chunks) {
            if (chunk.startsWith("zo_progress"))
                QCOMPARE(chunk.count('\n'), chunk.count("zo_progress"));
        }
        if (lasts > 0)
            QCOMPARE(testmedia::unplayable(args.last(), lasts), QString());
        if (lasts > 0 && args.last().endsWith(".mp4"))
            QCOMPARE(testmedia::streams(args.last()).filter(QRegularExpression("^(?!aac).*,audio")), QStringList());
        if (end == "restarts") {
            // 2 s away twice, closed up, would leave the file that much shorter than the capture ran.
            const double held = testmedia::duration(args.last());
            QVERIFY2(held >= ran - 1.5, qPrintable(QString("%1 s held, %2 s recorded").arg(held).arg(ran)));
            const QStringList streams = testmedia::probed(args.last(), "stream=duration");
            QVERIFY2(streams.size() == 2 && qAbs(streams[0].toDouble() - streams[1].toDouble()) < 0.5,
                     qPrintable(streams.join(' ')));
            QCOMPARE(QString(output).count("time jumped back"), 2);
            QVERIFY(!output.contains("Non-monotonous"));
        }
        // A recording left on the disk is reported once, before the marker; a conversion's output is not.
        const bool recording = args.join(' ').contains(QRegularExpression("-i \\w+://")) && QFile::exists(args.last());
        const QStringList reported = QString::fromUtf8(output).split('\n').filter(QRegularExpression("^zo_file\\|"));
        QCOMPARE(reported, recording ? QStringList{"zo_file|" + args.last()} : QStringList());
        // Killed on the way out; gone once the kernel has let it go.
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_stubborn).isEmpty(), 30000);
        if (exitCode != 0) {
            QVERIFY(!output.contains("zo_finished"));
            if (phrase.isEmpty())
                return;
            QVERIFY2(output.contains(phrase.toUtf8()), output.constData());
            if (phrase.startsWith("failed to")) // FFmpeg.exe's own phrases: once, on a line of their own
                QCOMPARE(output.split('\n').count(phrase.toUtf8()), 1);
            // The capture takes this for a bad stream address.
            QVERIFY(phrase == "No such file or directory" || !output.contains("No such file or directory"));
            return;
        }
        const QStringList found = records();
        QVERIFY2(found.size() >= 2, output.constData());
        QPair<qint64, qint64> previous{0, 0};
        for (const QString& record : found) {
            const QPair<qint64, qint64> now = parse(record);
            QVERIFY2(now.first >= previous.first && now.second >= previous.second, qPrintable(record));
            previous = now;
        }
        QVERIFY(previous.second > parse(found.first()).second);
        // No record of a 10 s clip lies past 10 s, whichever field a wrong scale would spill into.
        if (end.isEmpty())
            QVERIFY2(previous.second <= 10, qPrintable(found.last()));
        // The marker comes last, after the last record.
        QVERIFY(output.endsWith("\nzo_finished\n") && chunks.last().endsWith("zo_finished\n"));
        QVERIFY(!chunks.last().contains("zo_progress"));
    }

    // A capture begins with the first key picture that arrives and keeps what comes from it on: stopped a moment later
    // it holds as many pictures as the stock ffmpeg copying the same source over the same while; stopped before any
    // picture came, it keeps the sound.
    void short_capture_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("gop");    // seconds between key pictures
        QTest::addColumn<bool>("early"); // stopped a moment after it began
        // Key pictures 2 s apart, as most streaming software sends them, 1 and 4 s as others do, and 10 s, the
        // longest wait for one.
        for (const auto& [kind, gop] : {std::pair{"rtmp", 1},
                                        {"rtmp", 2},
                                        {"rtmp", 4},
                                        {"rtmp", 10},
                                        {"http-flv", 1},
                                        {"http-flv", 10},
                                        {"srt", 2},
                                        {"srt", 4},
                                        {"rtsp", 2}})
            QTest::newRow(qPrintable(QString("%1, key pictures %2 s apart").arg(kind).arg(gop)))
                << QString(kind) << gop << false;
        QTest::newRow("rtmp, stopped before its first key picture") << "rtmp" << 10 << true;
        QTest::newRow("srt, stopped a moment after its first key picture") << "srt" << 2 << true;
        // An SRT source already running, as a server's or an encoder's: its first key picture comes 2.5 s in.
        QTest::newRow("srt, joined between key pictures") << "srt joined" << 4 << false;
    }
    void short_capture()
    {
        QFETCH(QString, kind);
        QFETCH(int, gop);
        QFETCH(bool, early);
        const QString stream = QString("g%1").arg(gop);
        QString clip = m_gop_clips[gop];
        const QString name = m_dir.filePath(QString("%1-%2%3").arg(kind).arg(gop).arg(early ? "-early" : ""));
        QStringList sent{"-c", "copy"};
        if (kind == "srt joined") {
            kind = "srt";
            clip = name + "-from-1.5.ts";
            sent << "-copyinkf";
            QVERIFY(testmedia::ffmpeg({"-i", m_gop_clips[gop], "-ss", "1.5", "-c", "copy", "-copyinkf", clip}));
        }
        // Ours and the reference's: one reader each for a listener, the same stream for the servers.
        RtspServer rtsp;
        ClipListener listeners[2];
        QString urls[2];
        if (kind == "rtmp") {
            urls[0] = urls[1] = m_server.url(stream);
        } else if (kind == "rtsp") {
            QVERIFY(rtsp.start(clip, true));
            urls[0] = urls[1] = rtsp.url();
        } else {
            for (int i = 0; i < 2; ++i) {
                QVERIFY(listeners[i].start(kind == "srt" ? ClipListener::Kind::Srt : ClipListener::Kind::HttpFlv, clip,
                                           sent));
                urls[i] = listeners[i].url();
            }
        }
        const QString stop = testenv::shared_temp(protocol::stop_file);
        QFile::remove(stop);
        const int plays = m_server.log().count("play: name='" + stream + "'");
        QProcess capture;
        QByteArray said;
        connect(&capture, &QProcess::readyRead, [&] { said += capture.readAll(); });
        QStringList args;
        for (const std::string& arg : protocol::write_capture({urls[0].toStdString(), (name + ".mp4").toStdString()}))
            args << QString::fromStdString(arg);
        capture.setProcessChannelMode(QProcess::MergedChannels);
        capture.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        // On rtmp the reference asks after ours: it cannot have a key picture that ours was too late for.
        if (kind == "rtmp")
            QTRY_VERIFY_WITH_TIMEOUT(m_server.log().count("play: name='" + stream + "'") > plays, 60000);
        const QString reference = name + (kind == "rtsp" ? ".mkv" : kind == "srt" ? ".ts" : ".flv");
        QProcess plain;
        plain.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-y"} +
                                  (kind == "rtsp" ? QStringList{"-i", urls[1], "-c", "copy", reference}
                                                  : QStringList{"-f", "data", "-i", urls[1], "-map", "0", "-c", "copy",
                                                                "-f", "data", reference}));
        if (early)
            QTest::qWait(1500); // stopped a moment after it began, whatever came by then
        else
            QTRY_VERIFY2_WITH_TIMEOUT(said.contains("time=00:00:02"), said.constData(), 60000);
        QVERIFY(testmedia::write_file(stop, {}));
        plain.write("q");
        QVERIFY(capture.waitForFinished(60000) && plain.waitForFinished(60000));
        QVERIFY2(capture.exitCode() == 0 && said.endsWith("zo_finished\n"), said.constData());
        QCOMPARE(testmedia::decode_errors(name + ".mp4"), QString());
        // Pictures from the first key picture on, in each file.
        const auto pictures = [](const QString& file) {
            const QStringList flags =
                testmedia::run("ffprobe",
                               {"-v", "error", "-analyzeduration", "100M", "-probesize", "100M", "-select_streams",
                                "v:0", "-show_entries", "packet=flags", "-of", "csv=p=0", file})
                    .out.split('\n', Qt::SkipEmptyParts);
            const qsizetype key = flags.indexOf(QRegularExpression("^K"));
            return key < 0 ? 0 : flags.size() - key;
        };
        const qsizetype ours = pictures(name + ".mp4"), theirs = pictures(reference);
        QVERIFY2(ours >= theirs - 5, qPrintable(QString("%1 pictures, the stock ffmpeg %2").arg(ours).arg(theirs)));
        QVERIFY2(!early || testmedia::streams(name + ".mp4").contains("aac,audio"), said.constData());
    }

    // A capture that waits for a stream not yet published keeps it from its very first picture; by the time the stock
    // ffmpeg waiting beside it has 2 s of pictures, ours has written more than a second of them (nothing waits on an
    // analysis), and stopped then, it keeps as many.
    void capture_from_first_picture()
    {
        const QString stream = QString("fresh%1").arg(++m_runs), name = m_dir.filePath(stream);
        const QString stop = testenv::shared_temp(protocol::stop_file);
        QFile::remove(stop);
        QProcess capture, plain;
        QByteArray said, heard;
        connect(&capture, &QProcess::readyRead, [&] { said += capture.readAll(); });
        connect(&plain, &QProcess::readyReadStandardOutput, [&] { heard += plain.readAllStandardOutput(); });
        capture.setProcessChannelMode(QProcess::MergedChannels);
        capture.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe",
                      {"-i", m_server.url(stream), "-vcodec", "copy", name + ".mp4"});
        // The reference lists each picture as it comes.
        plain.start("ffmpeg",
                    {"-hide_banner", "-loglevel", "error", "-analyzeduration", "100000", "-i", m_server.url(stream),
                     "-map", "0:v", "-c", "copy", "-f", "framecrc", "-flush_packets", "1", "-"});
        QTRY_VERIFY_WITH_TIMEOUT(m_server.log().count("play: name='" + stream + "'") == 2, 60000);
        QVERIFY2(m_server.publish(m_gop_clips[4], stream), qPrintable(m_server.log()));
        const auto listed = [&] { return heard.count("\n0,"); };
        QTRY_VERIFY2_WITH_TIMEOUT(listed() >= 50, heard.constData(), 60000);
        const qsizetype theirs = listed();
        const QByteArray written = said.mid(said.lastIndexOf("time=") + 5, 11);
        QVERIFY(testmedia::write_file(stop, {}));
        const QList<QByteArray> hms = written.split(':');
        QVERIFY2(hms.size() == 3 && hms[0].toInt() * 3600 + hms[1].toInt() * 60 + hms[2].toDouble() > 1,
                 written.constData());
        plain.kill();
        QVERIFY(capture.waitForFinished(60000));
        QVERIFY2(capture.exitCode() == 0 && said.endsWith("zo_finished\n"), said.constData());
        // The window's clock starts with the first record: the writer's listing of its streams does not hold it back.
        QVERIFY2(said.indexOf("zo_progress") < said.indexOf("Stream mapping"), said.constData());
        const auto pictures = [](const QString& file) {
            return testmedia::run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_data_hash", "crc32",
                                              "-show_entries", "packet=flags,data_hash", "-of", "csv=p=0", file})
                .out.split('\n', Qt::SkipEmptyParts);
        };
        const QStringList ours = pictures(name + ".mp4"), sent = pictures(m_gop_clips[4]);
        QVERIFY2(!ours.isEmpty() && ours.first() == sent.first(), qPrintable(ours.value(0) + " " + sent.first()));
        QVERIFY2(ours.size() >= theirs - 5, qPrintable(QString("%1 of %2").arg(ours.size()).arg(theirs)));
    }

    // A publisher back at another size goes on in the next file, as MP4 holds one set of picture parameters: the
    // first file stays whole, both decode, each in its own size.
    void resized_publisher_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("rtmp, publisher restarted") << "rtmp";
        // One stream whose pictures change size part way, as a server passes on a publisher that restarted.
        QTest::newRow("srt, one connection") << "srt";
    }
    void resized_publisher()
    {
        QFETCH(QString, kind);
        const QString wide = testmedia::make_clip(m_dir.filePath("wide.mp4"), 6, 640, 360);
        QVERIFY(!wide.isEmpty());
        const QString name = m_dir.filePath("resized-" + kind);
        ClipListener listener;
        QString url = m_server.url("resized");
        if (kind == "srt") {
            QByteArray both;
            for (const auto& [clip, seconds] : {std::pair{m_clip, "3"}, {wide, "6"}}) {
                const QString part = name + "-" + seconds + ".ts";
                QVERIFY(testmedia::ffmpeg({"-i", clip, "-t", seconds, "-c", "copy", part}));
                QFile file(part);
                QVERIFY(file.open(QIODevice::ReadOnly));
                both += file.readAll();
            }
            QVERIFY(testmedia::write_file(name + ".ts", both));
            QVERIFY(listener.start(ClipListener::Kind::Srt, name + ".ts"));
            url = listener.url();
        } else {
            QVERIFY2(m_server.publish(m_clip, "resized"), qPrintable(m_server.log()));
        }
        QFile::remove(testenv::shared_temp(protocol::stop_file));
        QProcess capture;
        QByteArray said;
        connect(&capture, &QProcess::readyRead, [&] { said += capture.readAll(); });
        capture.setProcessChannelMode(QProcess::MergedChannels);
        capture.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe",
                      {"-i", url, "-vcodec", "copy", name + ".mp4"});
        QTRY_VERIFY2_WITH_TIMEOUT(said.contains("time=00:00:02"), said.constData(), 60000);
        if (kind == "rtmp")
            QVERIFY(m_server.restart_publisher("resized", 0, wide));
        const QByteArray next = "zo_next|" + name.toUtf8() + "_2.mp4\n";
        QTRY_VERIFY2_WITH_TIMEOUT(said.contains(next) && said.mid(said.indexOf(next)).count("zo_progress") >= 20,
                                  said.constData(), 60000);
        QVERIFY(testmedia::write_file(testenv::shared_temp(protocol::stop_file), {}));
        QVERIFY(capture.waitForFinished(60000));
        QVERIFY2(capture.exitCode() == 0 && said.endsWith("zo_finished\n"), said.constData());
        for (const auto& [file, width] : {std::pair{name + ".mp4", 320}, {name + "_2.mp4", 640}}) {
            QCOMPARE(testmedia::decode_errors(file), QString());
            const QList<QPair<double, int>> sizes = testmedia::picture_sizes(file);
            QVERIFY2(sizes.size() == 1 && sizes[0].second == width, qPrintable(file));
            QVERIFY(testmedia::duration(file) > 1.5);
        }
    }

    // A live HLS playlist recorded: one that says it is complete ends the capture well, with its last frames, none
    // missing at the end; one that stops growing ends it as a drop.
    void playlist_data()
    {
        QTest::addColumn<bool>("ended");
        QTest::newRow("ended") << true;
        QTest::newRow("stopped growing") << false;
    }
    void playlist()
    {
        QFETCH(bool, ended);
        QTemporaryDir hls;
        HttpServer http;
        QVERIFY2(http.start(hls.path()), qPrintable(http.output()));
        QProcess writer;
        writer.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop",
                                ended ? "0" : "5", "-i", m_clip, "-c", "copy", "-f", "hls", "-hls_time", "1",
                                "-hls_list_size", "0", hls.filePath("list.m3u8")});
        auto ends = qScopeGuard([&] {
            writer.kill();
            writer.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hls.filePath("list.m3u8")), 60000);
        const QString out = m_dir.filePath(QString("hls%1.mp4").arg(ended));
        QProcess capture;
        capture.setProcessChannelMode(QProcess::MergedChannels);
        QStringList args;
        for (const std::string& arg : protocol::write_capture({http.url("list.m3u8").toStdString(), out.toStdString()}))
            args << QString::fromStdString(arg);
        capture.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += capture.readAll()).contains("time=00:00:01"), 60000);
        if (!ended)
            writer.kill();
        QVERIFY(capture.waitForFinished(120000));
        said += capture.readAll();
        QVERIFY2(capture.exitCode() == (ended ? 0 : 1) && said.contains("zo_finished") == ended, said.constData());
        QCOMPARE(said.contains("stopped growing before its end"), !ended);
        QCOMPARE(testmedia::unplayable(out, 1.0) + testmedia::decode_errors(out), QString());
        if (!ended)
            return;
        QVERIFY(writer.waitForFinished(60000) && testmedia::read_file(hls.filePath("list.m3u8")).contains("ENDLIST"));
        // One checksum per frame, in order.
        const auto sums = [](const QString& file) {
            return testmedia::run("ffmpeg", {"-v", "error", "-i", file, "-map", "0:v", "-f", "framemd5", "-"})
                .out.split('\n', Qt::SkipEmptyParts)
                .filter(QRegularExpression("^[^#]"))
                .replaceInStrings(QRegularExpression("^.*,\\s*"), "");
        };
        const QStringList all = sums(hls.filePath("list.m3u8")), recorded = sums(out);
        QVERIFY2(recorded.size() >= 25 && recorded.size() <= all.size(), qPrintable(QString::number(recorded.size())));
        QCOMPARE(recorded, all.mid(all.size() - recorded.size()));
    }

    // One push to several destinations, each with a reader that stays connected and records: what befalls one
    // destination (its server restarted, one that never answers, a certificate refused) reaches no other, and one
    // tried again comes back at a key picture with the stream's headers, as a file or a list over one connection.
    void several_destinations_data()
    {
        // Each destination: "a" rtmp, "tls" rtmps taken unchecked and "checked" rtmps checked (on the first server),
        // "b" rtmp on a second server restarted mid-push, "srt" an SRT listener, "hole" one that never answers.
        QTest::addColumn<QString>("destinations");
        QTest::addColumn<bool>("list");
        QTest::addColumn<QString>("records"); // each destination's in turn, " | " between destinations
        QTest::newRow("a file to rtmp, rtmps and SRT, a server restarted")
            << "a tls b srt" << false << "on | on | on down|lost on | on";
        QTest::newRow("a list over one connection, a server restarted") << "a b" << true << "on | on down|lost on";
        QTest::newRow("one never answers, one's certificate refused")
            << "a hole checked" << false << "on | down|refused | down|certificate";
    }
    void several_destinations()
    {
        QFETCH(QString, destinations);
        QFETCH(bool, list);
        QFETCH(QString, records);
        const QStringList names = destinations.split(' ');
        const QString key = QString("to%1_").arg(++m_runs);
        RtmpServer b;
        QTcpServer hole; // listens, and never takes a connection
        QVERIFY(b.start() && hole.listen(QHostAddress::LocalHost));
        const quint16 srt = testmedia::free_port();
        std::list<QProcess> readers; // each destination's, then b's again
        const auto read = [&](const QString& from, const QString& recording) {
            readers.emplace_back().start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-rw_timeout", "60000000",
                                                    "-i", from, "-c", "copy", "-y", m_dir.filePath(recording)});
        };
        protocol::PushCommand push;
        push.file = m_clip.toStdString();
        push.list = list;
        for (const QString& name : names) {
            const QString stream = key + name;
            const QString address = name == "a"      ? m_server.url(stream)
                                    : name == "b"    ? b.url(stream)
                                    : name == "srt"  ? QString("srt://127.0.0.1:%1").arg(srt)
                                    : name == "hole" ? QString("rtmp://127.0.0.1:%1/live/x").arg(hole.serverPort())
                                                     : m_server.tls_url(stream);
            if (name == "srt") {
                read(address + "?mode=listener", stream + ".ts");
                QTRY_VERIFY_WITH_TIMEOUT(
                    testmedia::read_file("/proc/net/udp")
                        .contains(QString(":%1 ").arg(srt, 4, 16, QChar('0')).toUpper().toLatin1()),
                    60000);
            } else if (name != "hole") {
                read((name == "b" ? b : m_server).url(stream), stream + ".flv");
                QTRY_VERIFY_WITH_TIMEOUT((name == "b" ? b : m_server).log().contains("play: name='" + stream), 60000);
            }
            if (push.address.empty())
                push.address = address.toStdString(), push.any_certificate = name == "tls";
            else
                push.also.push_back({address.toStdString(), name == "tls"});
        }
        const int restarted = int(names.indexOf("b"));
        QStringList seen(names.size()); // each destination's records
        QByteArray said;
        double pushed_s = 0, at_hole_down = -1; // the position pushed, and where the one that never answers went down
        QProcess process;
        process.setEnvironment(QProcess::systemEnvironment() << "DAVAZ_READ_TIMEOUT_MS=8000");
        connect(&process, &QProcess::readyReadStandardOutput, [&] {
            said += process.readAllStandardOutput();
            for (int end; (end = said.indexOf('\n')) >= 0; said.remove(0, end + 1)) {
                const QByteArray line = said.left(end);
                const protocol::DestRecord dest = protocol::read_dest(line.toStdString());
                const protocol::EntryRecord entry = protocol::read_entry(line.toStdString());
                if (line.startsWith("zo_progress"))
                    pushed_s = parse(line).second;
                if (dest.state == protocol::DestState::Down && dest.destination == names.indexOf("hole"))
                    at_hole_down = pushed_s;
                if (dest.state != protocol::DestState::None)
                    seen[dest.destination] +=
                        (seen[dest.destination].isEmpty() ? "" : " ") + QString(line).section('|', 2);
                if (entry.state == protocol::EntryState::Want) // the file once more, then no more
                    process.write(protocol::write_answer(entry.entry == 1 ? m_clip.toStdString() : "").c_str());
            }
        });
        QStringList args;
        for (const std::string& arg : protocol::write_push(push))
            args << QString::fromStdString(arg);
        process.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        if (restarted >= 0) {
            QTRY_VERIFY_WITH_TIMEOUT(pushed_s >= 3, 60000);
            b.stop();
            QTRY_COMPARE_WITH_TIMEOUT(seen[restarted], QString("on down|lost"), 60000);
            QVERIFY(b.restart());
            read(b.url(key + "b"), key + "b2.flv");
            QTRY_VERIFY_WITH_TIMEOUT(b.log().contains("play: name='" + key + "b"), 60000);
            process.write(protocol::write_again(restarted).c_str());
        }
        QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(120000), said.constData());
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(seen.join(" | "), records);
        // However slow one destination, the push went on meanwhile.
        QVERIFY2(!names.contains("hole") || at_hole_down >= 4, qPrintable(QString::number(at_hole_down)));
        // The server does not tell its readers that the stream ended: they are interrupted (ffmpeg breaks off a read
        // at the second signal, then completes its file).
        for (QProcess& reader : readers) {
            reader.terminate();
            reader.terminate();
            if (reader.state() != QProcess::NotRunning && !reader.waitForFinished(20000))
                reader.kill();
            reader.waitForFinished();
        }
        for (const QString& name : names) {
            const QString recording = m_dir.filePath(key + name + (name == "srt" ? ".ts" : ".flv"));
            // Whole, no picture missing (a frame is 40 ms); the restarted one's reader was cut off.
            const QPair<double, double> span = picture_span(recording);
            if (name == "a" || name == "tls" || name == "srt")
                QVERIFY2(span.first >= 10 * (list ? 2 : 1) - 1 && span.second <= 80,
                         qPrintable(QString("%1: %2 s, a step of %3 ms").arg(name).arg(span.first).arg(span.second)));
        }
        // Back from a key picture, with the stream's headers: it decodes from its start.
        if (restarted >= 0) {
            const QString again = m_dir.filePath(key + "b2.flv");
            QCOMPARE(testmedia::run("ffmpeg", {"-v", "error", "-i", again, "-t", "2", "-f", "null", "-"}).err,
                     QString());
            QVERIFY(picture_span(again).first >= 2);
        }
    }

    // A play list over one connection, to a reader that started first: the
    // publisher's streams are fixed by the first entry, yet whichever entry
    // has sound, it reaches the reader beside its own pictures; an entry
    // without goes out silent, and the pictures run on.
    void list_push_sound_data()
    {
        // The entries in turn: 's' 2 s with a tone (640x360), 'n' 6 s without (320x240), longer than the
        // publisher looks ahead for streams; an entry the same as an earlier one is the list come round again.
        QTest::addColumn<QString>("entries");
        QTest::newRow("sound after an entry without, round twice") << "nsns";
        QTest::newRow("an entry without between two with") << "sns";
    }
    void list_push_sound()
    {
        QFETCH(QString, entries);
        const QString made[2] = {testmedia::make_clip(m_dir.filePath("quiet.mp4"), 6, 320, 240, "25", false),
                                 testmedia::make_clip(m_dir.filePath("tone.mp4"), 2, 640, 360)};
        QVERIFY(!made[0].isEmpty() && !made[1].isEmpty());
        const QString key = "sound" + entries, recording = m_dir.filePath(key + ".flv");
        // The reader ends by itself just short of the whole run: the server does not tell it the end.
        QProcess reader;
        reader.start("ffmpeg",
                     {"-hide_banner", "-loglevel", "error", "-rw_timeout", "60000000", "-i", m_server.url(key), "-c",
                      "copy", "-t", QString::number(2 * entries.size() + 4 * entries.count('n') - 0.2), "-f", "flv",
                      recording});
        QTRY_VERIFY_WITH_TIMEOUT(m_server.log().contains("play: name='" + key + "'"), 60000);

        QProcess process;
        QByteArray said;
        const auto path = [&](int entry) { return made[entries[entry] == 's']; };
        // Each entry asked for is named in turn; after the last, none.
        connect(&process, &QProcess::readyReadStandardOutput, [&] {
            said += process.readAllStandardOutput();
            for (int end; (end = said.indexOf('\n')) >= 0; said.remove(0, end + 1)) {
                const protocol::EntryRecord record = protocol::read_entry(said.left(end).toStdString());
                if (record.state == protocol::EntryState::Want)
                    process.write(QByteArray::fromStdString(protocol::write_answer(
                        (record.entry < entries.size() ? path(int(record.entry)) : QString()).toStdString())));
            }
        });
        QStringList args;
        for (const std::string& arg :
             protocol::write_push({path(0).toStdString(), m_server.url(key).toStdString(), 0, true, true, false, {}}))
            args << QString::fromStdString(arg);
        process.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(reader.waitForFinished(60000), qPrintable(reader.readAllStandardError()));

        QVERIFY2(testmedia::streams(recording).contains("aac,audio"),
                 qPrintable(testmedia::streams(recording).join(' ')));
        // Every frame decodes, whatever size its entry has (the parser's complaints of a size change do not count).
        const QStringList decoding = testmedia::decode_errors(recording).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(decoding.filter(QRegularExpression("^(?!\\[NULL @ )")), QStringList());
        // The pictures' decoding times only go on.
        const QList<QStringList> packets = testmedia::packets(recording);
        QCOMPARE(packets.size(), 2);
        const int video = packets[0].size() < packets[1].size() ? 0 : 1; // fewer pictures than sound frames
        double last = -1;
        for (const QString& packet : packets[video]) {
            QVERIFY2(packet.section(',', 1, 1).toDouble() > last, qPrintable(packet));
            last = packet.section(',', 1, 1).toDouble();
        }
        // Each entry where its pictures are: within it (a tenth of a second from its edges, where the
        // sound of a neighbour may run over), a tone sounds in every frame of one with sound, and
        // silence in one without.
        const QList<QPair<double, int>> spans = testmedia::picture_sizes(recording);
        QCOMPARE(spans.size(), entries.size());
        const QList<QPair<double, double>> levels = testmedia::sound_levels(recording);
        for (int e = 0; e < entries.size(); ++e) {
            const double from = spans[e].first + 0.1, to = e + 1 < spans.size() ? spans[e + 1].first - 0.1 : 1e9;
            int frames = 0;
            for (const auto& [at, peak] : levels) {
                if (at < from || at > to)
                    continue;
                ++frames;
                QVERIFY2((peak > -40) == (entries[e] == 's'),
                         qPrintable(QString("entry %1 (%2) at %3 s: %4 dB").arg(e).arg(entries[e]).arg(at).arg(peak)));
            }
            QVERIFY2(frames > 0, qPrintable(QString("no sound frames in entry %1 (%2)").arg(e).arg(entries[e])));
        }
    }
};

QTEST_GUILESS_MAIN(TestFfmpegExe)
#include "test_ffmpegexe.moc"
