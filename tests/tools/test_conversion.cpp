// FFmpeg.exe converting what users have into every format the conversion
// window offers, each output looked at as a user would: it decodes cleanly,
// holds the input's streams, lasts as long, is shown the same way round and
// shape, its sound is in step and its picture close to the source's.

#include "protocol/conversion.h"
#include "testmedia.h"

#include <QtTest>

namespace {

// dB, against these short clips. RealMedia carries a picture in a packet of at most 64 KB, which holds back
// busy ones.
const double kBar = 36, kRealBar = 30;
const char* const kFormats[] = {".mp4", ".avi", ".rmvb", ".mkv", ".rm", ".mpg", ".3gp", ".wmv", ".flv"};

// Made at test time: pictures black and sound silent for their first half second, then a pattern and a tone.
const char* const kInputs[][3] = {
    // Fine detail all over, which a default bitrate blurs.
    {"odd size, busy", "odd.mp4", "b=854x480:25 a=44100:2 -c:v libx264 -crf 12 -pix_fmt yuv420p -c:a aac"},
    {"portrait phone, HEVC", "phone.mp4",
     "v=320x180:30:3 a=48000:2 turn -c:v libx265 -x265-params log-level=error -tag:v hvc1 -c:a aac"},
    {"web download, HEVC 10-bit and Opus", "web.mkv",
     "v=320x180:24:3 a=48000:2 -c:v libx265 -x265-params log-level=error -pix_fmt yuv420p10le -c:a libopus"},
    {"variable frame rate", "vfr.mp4",
     "v=320x240:30:3 a=48000:1 -vf select='not(eq(mod(n\\,4)\\,1))',settb=1/90000,setpts='PTS+mod(N*7\\,5)*90' "
     "-fps_mode vfr -video_track_timescale 90000 -c:v libx264 -c:a aac"},
    {"5.1 movie", "movie.mkv", "v=320x240:24:3 a=48000:6 -c:v libx264 -c:a ac3"},
    {"15 fps camera, 8 kHz mono", "camera.avi", "v=320x240:15:3 a=8000:1 -c:v mjpeg -q:v 3 -c:a pcm_s16le"},
    {"song with a cover", "song.mp3", "a=44100:2 cover -c:a libmp3lame -c:v mjpeg -disposition:v attached_pic"},
    {"voice memo", "memo.wma", "a=16000:1 -c:a wmav2"},
    {"interlaced TV recording", "tv.mpg",
     "v=720x576:50:3 a=48000:2 -vf interlace,setsar=64/45 -c:v mpeg2video -q:v 3 -flags +ilme+ildct -c:a mp2"},
};

QString arg(const char* text)
{
    return QString::fromUtf8(text);
}

// What a user gets from a file.
struct Seen
{
    bool video = false, audio = false;
    double duration = 0;
    double shown = 0; // the picture's width against its height, turned upright
    int width = 0, height = 0;
    qint64 bitrate = 0;  // of the video
    double picture = -1; // when the picture shows, after the black start
    double sound = -1;   // when the tone begins
    double psnr = -1;    // against the source
    double rate = 25;    // of the source's pictures, before any were dropped
    QString errors;
};

Seen probe(const QString& path)
{
    Seen seen;
    const QJsonObject json =
        QJsonDocument::fromJson(testmedia::run("ffprobe", {"-v", "error", "-show_entries",
                                                           "stream=codec_type,width,height,sample_aspect_ratio,"
                                                           "bit_rate:stream_side_data=rotation:stream_disposition="
                                                           "attached_pic:format=duration",
                                                           "-of", "json", path})
                                    .out.toUtf8())
            .object();
    seen.duration = json["format"]["duration"].toString().toDouble();
    for (const QJsonValue stream : json["streams"].toArray()) {
        if (stream["codec_type"] == "audio")
            seen.audio = true;
        if (stream["codec_type"] != "video" || stream["disposition"]["attached_pic"].toInt())
            continue;
        seen.video = true;
        const QStringList sar = stream["sample_aspect_ratio"].toString("1:1").split(':');
        const bool turned = qAbs(stream["side_data_list"][0]["rotation"].toInt()) == 90;
        seen.width = stream[turned ? "height" : "width"].toInt();
        seen.height = stream[turned ? "width" : "height"].toInt();
        const double ratio = sar.value(1).toDouble() > 0 ? sar[0].toDouble() / sar[1].toDouble() : 1.0;
        seen.shown = turned ? seen.width / (seen.height * ratio) : seen.width * ratio / seen.height;
        seen.bitrate = stream["bit_rate"].toString().toLongLong();
    }
    return seen;
}

// Decodes `path` whole, as a player would, and against `source` (its picture brought to the same size).
Seen look(const QString& path, const QString& source = {}, const Seen& original = {})
{
    Seen seen = probe(path);
    QStringList graph, maps;
    if (seen.video) {
        graph << "[0:v]split[v][c]"
              << "[v]blackdetect=d=0.1:pix_th=0.1[vo]";
        maps << "-map"
             << "[vo]";
    }
    if (seen.audio) {
        graph << "[0:a:0]silencedetect=n=-40dB:d=0.1[ao]";
        maps << "-map"
             << "[ao]";
    }
    QStringList inputs{"-i", path};
    if (seen.video && !source.isEmpty()) {
        // Each picture against the source's at its time, or the one just after when nearer (the time stamps of a
        // format may round); a few rows or columns may be cut off the edges.
        const bool cut = qAbs(original.width - seen.width) < 8 && qAbs(original.height - seen.height) < 8;
        const QString size = QString("%1:%2").arg(seen.width).arg(seen.height);
        graph << "[c]setpts=PTS-STARTPTS,setsar=1,format=yuv420p[o]"
              << QString("[1:v]settb=AVTB,setpts=PTS-STARTPTS-0.45/(%1*TB),yadif=deint=interlaced,%2,setsar=1,"
                         "format=yuv420p[s]")
                     .arg(original.rate)
                     .arg(cut ? "crop=" + size + ":0:0" : "scale=" + size)
              << "[o][s]psnr[po]";
        maps << "-map"
             << "[po]";
        inputs << "-i" << source;
    } else if (seen.video) {
        graph << "[c]nullsink";
    }
    const QString log =
        testmedia::run("ffmpeg", QStringList{"-hide_banner", "-nostdin", "-nostats", "-loglevel", "level+info"} +
                                     inputs + QStringList{"-filter_complex", graph.join(';')} + maps +
                                     QStringList{"-f", "null", "-"})
            .err;
    const auto after = [&log](const QString& key) {
        const QRegularExpressionMatch m = QRegularExpression(key + " ?([-0-9.inf]+)").match(log);
        return m.hasMatch() ? m.captured(1).toDouble() : -1.0;
    };
    seen.picture = after("black_end:");
    seen.sound = after("silence_end:");
    seen.psnr = after("PSNR y:[0-9.inf]+ u:[0-9.inf]+ v:[0-9.inf]+ average:");
    // What the decoders and the demuxer say; not the null muxer at the end of this check.
    seen.errors = log.split('\n').filter(QRegularExpression("^(?!.*\\[null @).*\\[(error|fatal)\\]")).join('\n');
    return seen;
}

// Each packet's size and checksum of the first stream of `kind`, as the file holds them.
QStringList packets(const QString& path, const char* kind)
{
    QStringList sums;
    const QString out = testmedia::run("ffmpeg", {"-v", "error", "-i", path, "-map", QString("0:%1:0").arg(kind), "-c",
                                                  "copy", "-f", "framemd5", "-"})
                            .out;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        if (!line.startsWith('#'))
            sums << line.section(',', 4, 5).simplified(); // not the side data: a decoder's hints
    }
    return sums;
}

} // namespace

class TestConversion : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QHash<QString, QString> m_inputs; // row name to file
    QHash<QString, Seen> m_seen;

    QString run(const QStringList& args, int& code)
    {
        const testmedia::Ran ran = testmedia::run(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
        code = ran.code;
        return ran.out + ran.err;
    }

private slots:
    void initTestCase()
    {
        for (const auto& input : kInputs) {
            QStringList args = arg(input[2]).split(' '), made;
            // v=SIZE:RATE:NOISE (b=SIZE:RATE, busy) and a=RATE:CHANNELS stand for the sources, black and
            // silent at first; the rest are ffmpeg's options.
            const QString black = ",drawbox=c=black:t=fill:enable='lt(t,0.5)'";
            const QString layouts[] = {"", "mono", "stereo", "", "", "", "5.1"};
            for (QString& a : args) {
                const QStringList p = a.mid(2).split(':');
                QString graph;
                if (a.startsWith("v="))
                    graph = QString("testsrc2=s=%1:r=%2:d=2,noise=alls=%3:allf=t").arg(p[0], p[1], p[2]) + black;
                else if (a.startsWith("b="))
                    graph = QString("sierpinski=s=%1:r=%2:type=carpet:seed=3[c];testsrc2=s=%1:r=%2:d=2[t];[c][t]"
                                    "blend=all_mode=average:shortest=1%3[out0]")
                                .arg(p[0], p[1], black);
                else if (a.startsWith("a="))
                    graph = QString("sine=f=440:sample_rate=%1:d=2,volume=enable='lt(t,0.5)':volume=0,aformat="
                                    "channel_layouts=%2")
                                .arg(p[0], layouts[p[1].toInt()]);
                else if (a == "cover")
                    graph = "color=red:s=64x64:d=0.04";
                else
                    continue;
                made << "-f"
                     << "lavfi"
                     << "-i" << graph;
                if (a[0] == 'v' || a[0] == 'b')
                    m_seen[input[0]].rate = p[1].toDouble();
                a.clear();
            }
            args.removeAll(QString());
            const QString file = m_dir.filePath(input[1]);
            const bool turn = args.removeAll("turn");
            QVERIFY2(testmedia::ffmpeg(made + args + QStringList{file + (turn ? ".mp4" : "")}), input[0]);
            // A phone turns its recording with a display matrix, which an encoding run does not write.
            if (turn)
                QVERIFY(testmedia::ffmpeg({"-i", file + ".mp4", "-c", "copy", "-metadata:s:v", "rotate=90", file}));
            m_inputs[input[0]] = file;
            const double rate = m_seen[input[0]].rate;
            m_seen[input[0]] = look(file);
            m_seen[input[0]].rate = rate;
        }
        // Garbage over a stretch in the middle of the pictures.
        QByteArray damaged = testmedia::read_file(m_inputs["odd size, busy"]);
        for (qsizetype i = damaged.size() / 2; i < damaged.size() / 2 + 20000; ++i)
            damaged[i] = char(i * 7919 % 251);
        QVERIFY(testmedia::write_file(m_inputs["damaged in the middle"] = m_dir.filePath("damaged.mp4"), damaged));
        m_seen["damaged in the middle"] = m_seen["odd size, busy"];
    }

    void convert_data()
    {
        // options: what the window adds ("copy": the lossless option); copied: the streams that must come out
        // bit for bit ("v", "a").
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("copied");
        for (const auto& input : kInputs) {
            for (const char* format : kFormats)
                QTest::addRow("%s to %s", input[0], format) << arg(input[0]) << arg(format) << QStringList() << "";
        }
        const char* const rows[][5] = {
            {"lossless, H.264 and AAC", "odd size, busy", ".mkv", "copy", "va"},
            {"lossless, H.264 and AAC", "odd size, busy", ".flv", "copy", "va"},
            {"lossless, H.264 and AAC", "odd size, busy", ".mp4", "copy", "va"},
            {"lossless, HEVC and Opus", "web download, HEVC 10-bit and Opus", ".mkv", "copy", "va"},
            {"lossless, HEVC and Opus", "web download, HEVC 10-bit and Opus", ".mp4", "copy", "v"},
            {"lossless, neither fits", "web download, HEVC 10-bit and Opus", ".flv", "copy", ""},
            // Matroska as this ffmpeg writes it would lose the turn.
            {"lossless, turned", "portrait phone, HEVC", ".mkv", "copy", "a"},
            {"lossless, turned", "portrait phone, HEVC", ".mp4", "copy", "va"},
            {"lossless, 5.1 AC-3", "5.1 movie", ".flv", "copy", "v"},
            {"lossless, a size asked", "odd size, busy", ".mp4", "copy -s 480x360 -b:v 600k -r 25", "a"},
            {"a size and bitrate asked", "portrait phone, HEVC", ".mp4", "-s 1280x720 -b:v 1600k -r 25", ""},
            {"damaged", "damaged in the middle", ".avi", "", ""},
            {"damaged", "damaged in the middle", ".rm", "", ""},
        };
        for (const auto& r : rows)
            QTest::addRow("%s: %s to %s", r[0], r[1], r[2])
                << arg(r[1]) << arg(r[2]) << arg(r[3]).split(' ', Qt::SkipEmptyParts) << arg(r[4]);
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QString, format);
        QFETCH(QStringList, options);
        QFETCH(QString, copied);
        const QString src = m_inputs[input], out = m_dir.filePath(QTest::currentDataTag() + format);
        const Seen& in = m_seen[input];
        QStringList args{"-i", src};
        for (const QString& option : options)
            args << (option == "copy" ? QString::fromStdString(protocol::copy_request().front()) : option);
        int code = -1;
        const QString log = run(args << out, code);
        QVERIFY2(code == 0 && log.endsWith("zo_finished\n"), qPrintable(log));

        const bool damaged = input.startsWith("damaged");
        const bool sized = options.contains("-s");
        const Seen seen = look(out, damaged || options.contains("-r") ? QString() : src, in);
        QVERIFY2(seen.errors.isEmpty(), qPrintable(seen.errors));
        // A cover picture is no video: a song stays a song.
        QCOMPARE(seen.video, in.video);
        QCOMPARE(seen.audio, in.audio);
        QVERIFY2(qAbs(seen.duration - in.duration) <= qMax(0.03 * in.duration, 0.15),
                 qPrintable(QString("%1 s from %2 s").arg(seen.duration).arg(in.duration)));
        if (in.video) {
            QVERIFY2(qAbs(seen.shown / in.shown - 1) < 0.02, qPrintable(QString("shown %1x%2 at %3, source %4")
                                                                            .arg(seen.width)
                                                                            .arg(seen.height)
                                                                            .arg(seen.shown)
                                                                            .arg(in.shown)));
            if (!damaged && !options.contains("-r"))
                QVERIFY2(seen.psnr >= (format.startsWith(".rm") ? kRealBar : kBar),
                         qPrintable(QString("PSNR %1 dB").arg(seen.psnr)));
        }
        if (in.video && in.audio)
            QVERIFY2(qAbs((seen.sound - seen.picture) - (in.sound - in.picture)) <= 0.06,
                     qPrintable(QString("sound at %1 s, picture at %2 s").arg(seen.sound).arg(seen.picture)));
        if (sized) {
            // The box turns with the picture: 1280x720 asked of a portrait recording gives 720x1280.
            const QStringList box = options[options.indexOf("-s") + 1].split('x');
            QCOMPARE(qMax(seen.width, seen.height), box[0].toInt());
            const qint64 asked = options[options.indexOf("-b:v") + 1].chopped(1).toLongLong() * 1000;
            if (!copied.contains('v'))
                QVERIFY2(qAbs(double(seen.bitrate) / asked - 1) <= 0.25, qPrintable(QString::number(seen.bitrate)));
        }
        for (const char* kind : {"v", "a"}) {
            if ((kind[0] == 'v' ? in.video : in.audio) && options.contains("copy"))
                QVERIFY2((packets(src, kind) == packets(out, kind)) == copied.contains(kind), kind);
        }
    }

    // A file cut off before its index: no conversion can come of it. The user is told why, in the
    // transcoder's log and by the player, and nothing is left that looks like a result; a later
    // conversion to the same name that works clears the note.
    void failure()
    {
        const QString src = m_dir.filePath("cut.mp4"), out = m_dir.filePath("cut_zo.avi");
        QVERIFY(testmedia::write_file(src, testmedia::read_file(m_inputs["odd size, busy"]).left(30000)));
        QVERIFY(testmedia::write_file(out, "an earlier run's file"));
        int code = -1;
        const QString log = run({"-i", src, out}, code);
        QVERIFY(code != 0 && !log.contains("zo_finished"));
        const QStringList said = log.split('\n').filter("FFmpeg.exe: the conversion failed: moov atom not found");
        QVERIFY2(said.size() == 1, qPrintable(log));
        QVERIFY(!QFile::exists(out));
        QCOMPARE(protocol::read_failure_note(out.toStdString()).value_or(""), std::string("moov atom not found"));

        // The player's engine is shown the message instead of the file; here it writes down what it got.
        const QString record = m_dir.filePath("engine.txt");
        const QString engine = testmedia::write_script(m_dir.filePath("engine.sh"),
                                                       QString("printf '%s\\n' \"$@\" > '%1'\n").arg(record).toUtf8());
        const testmedia::Ran played = testmedia::run(QCoreApplication::applicationDirPath() + "/ZaReridi.exe",
                                                     {"-play", out}, 30000, {"DAVAZ_FFPLAY=" + engine});
        QVERIFY2(played.err.contains("moov atom not found"), qPrintable(played.err));
        const QStringList shown = QString::fromUtf8(testmedia::read_file(record)).split('\n');
        QCOMPARE(shown.mid(shown.indexOf("lavfi") - 1, 1), QStringList{"-f"});
        // What the player would show is a picture the stock ffmpeg can make, of a text with the reason.
        const QString picture = shown.value(shown.indexOf("lavfi") + 1);
        QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", picture, "-frames:v", "1", "-f", "null", "-"}));
        const QString text = picture.section("textfile='", 1).section('\'', 0, 0);
        QVERIFY(QString::fromUtf8(testmedia::read_file(text)).contains("moov atom not found"));

        QVERIFY(run({"-i", m_inputs["odd size, busy"], out}, code).endsWith("zo_finished\n"));
        QVERIFY(!protocol::read_failure_note(out.toStdString()));
    }
};

QTEST_GUILESS_MAIN(TestConversion)
#include "test_conversion.moc"
