// FFmpeg.exe converting what users have into every format the conversion
// window offers, each output looked at as a user would: it decodes cleanly,
// holds the input's streams, lasts as long, is shown the same way round and
// shape, its sound is in step and its picture close to the source's.

#include "protocol/conversion.h"
#include "testmedia.h"

#include <QtTest>

namespace {

// dB, against these short clips.
const double kBar = 36;
const char* const kFormats[] = {".mp4", ".avi", ".rmvb", ".mkv", ".rm", ".mpg", ".3gp", ".wmv", ".flv"};
// Pictures black and sound silent for their first half second, then a pattern and a tone.
const QString kBlack = ",drawbox=c=black:t=fill:enable='lt(t,0.5)'";
const QString kPattern = "testsrc2=s=%1:r=%2:d=2,noise=alls=3:allf=t" + kBlack;
// Fine detail all over, which a default bitrate blurs.
const QString kBusy =
    "sierpinski=s=%1:r=%2:type=carpet[c];testsrc2=s=%1:r=%2:d=2[t];[c][t]blend=all_mode=average:shortest=1" + kBlack;
const QString kTone = "sine=f=440:sample_rate=%1:d=2,volume=enable='lt(t,0.5)':volume=0,aformat=channel_layouts=%2";

const QStringList kProbe{"-v",
                         "error",
                         "-of",
                         "json",
                         "-show_entries",
                         "stream=codec_type,width,height,sample_aspect_ratio,bit_rate:stream_side_data=rotation:"
                         "stream_disposition=attached_pic:format=duration"};

struct Input
{
    const char* name;
    const char* file;
    const char* size; // and rate; none: sound only
    const char* sound;
    const char* options;
};
// Made at test time, as a camera, a phone, a web site, a studio, a TV card would.
const Input kInputs[] = {
    {"odd size, busy", "odd.mp4", "854x480:25", "44100:stereo", "busy -c:v libx264 -crf 12 -pix_fmt yuv420p -c:a aac"},
    {"portrait phone, HEVC", "phone.mp4", "320x180:30", "48000:stereo", "turn -c:v libx265 -tag:v hvc1 -c:a aac"},
    {"web download, HEVC 10-bit and Opus", "web.mkv", "320x180:24", "48000:stereo",
     "-c:v libx265 -pix_fmt yuv420p10le -c:a libopus"},
    {"variable frame rate", "vfr.mp4", "320x240:30", "48000:mono",
     "-vf select='not(eq(mod(n\\,4)\\,1))',settb=1/90000,setpts='PTS+mod(N*7\\,5)*90' -fps_mode vfr "
     "-video_track_timescale 90000 -c:v libx264 -c:a aac"},
    {"5.1 movie", "movie.mkv", "320x240:24", "48000:5.1", "-c:v libx264 -c:a ac3"},
    {"15 fps camera, 8 kHz mono", "camera.avi", "320x240:15", "8000:mono", "-c:v mjpeg -q:v 3 -c:a pcm_s16le"},
    {"song with a cover", "song.mp3", "", "44100:stereo",
     "cover -c:a libmp3lame -c:v mjpeg -disposition:v attached_pic"},
    {"voice memo", "memo.wma", "", "16000:mono", "-c:a wmav2"},
    {"interlaced TV recording", "tv.mpg", "720x576:50", "48000:stereo",
     "-vf interlace,setsar=64/45 -c:v mpeg2video -q:v 3 -flags +ilme+ildct -c:a mp2"},
};
// Converted only where a row below asks: a picture many times over RealMedia's packet size.
const Input kMoreInputs[] = {
    {"full HD, busy", "fullhd.mp4", "1920x1080:25", "48000:stereo",
     "busy -c:v libx264 -crf 12 -preset veryfast -c:a aac"},
};

// What a user gets from a file.
// shown: the picture's width against its height, turned upright; picture, sound: when they begin after the black
// and silent start; psnr: against the source.
struct Seen
{
    bool video = false, audio = false;
    int width = 0, height = 0;
    double duration = 0, shown = 0, bitrate = 0, picture = -1, sound = -1, psnr = -1;
    QString errors;
};

// Decodes `path` whole, as a player would, and against `source` (its picture brought to the same size).
Seen look(const QString& path, const QString& source = {}, const Seen& original = {})
{
    Seen seen;
    const QJsonObject json =
        QJsonDocument::fromJson(testmedia::run("ffprobe", kProbe + QStringList{path}).out.toUtf8()).object();
    seen.duration = json["format"]["duration"].toString().toDouble();
    for (const QJsonValue s : json["streams"].toArray()) {
        seen.audio = seen.audio || s["codec_type"] == "audio";
        if (s["codec_type"] != "video" || s["disposition"]["attached_pic"].toInt())
            continue;
        const QStringList sar = s["sample_aspect_ratio"].toString("1:1").split(':');
        const double ratio = sar.value(1).toDouble() > 0 ? sar[0].toDouble() / sar[1].toDouble() : 1.0;
        const bool turned = qAbs(s["side_data_list"][0]["rotation"].toInt()) == 90;
        seen.video = true;
        seen.width = s[turned ? "height" : "width"].toInt();
        seen.height = s[turned ? "width" : "height"].toInt();
        seen.shown = turned ? seen.width / (seen.height * ratio) : seen.width * ratio / seen.height;
        seen.bitrate = s["bit_rate"].toString().toDouble();
    }
    QStringList graph, args{"-hide_banner", "-nostdin", "-nostats", "-loglevel", "level+info", "-i", path};
    const bool against = seen.video && !source.isEmpty();
    if (seen.video)
        graph << QString(against ? "[0:v]split[c]," : "[0:v]") + "blackdetect=d=0.1:pix_th=0.1[vo]";
    if (seen.audio)
        graph << "[0:a:0]silencedetect=n=-40dB:d=0.1[ao]";
    if (against) {
        // Each picture against the source's at its time, or the one just after when a few milliseconds nearer (the
        // time stamps of a format may round); a few rows or columns may be cut off the edges.
        const QString size = QString("%1:%2").arg(seen.width).arg(seen.height);
        const bool cut = qAbs(original.width - seen.width) < 8 && qAbs(original.height - seen.height) < 8;
        graph << "[c]setpts=PTS-STARTPTS,setsar=1,format=yuv420p[o]"
              << "[1:v]settb=AVTB,setpts=PTS-STARTPTS-0.008/TB,yadif=deint=interlaced," +
                     (cut ? "crop=" + size + ":0:0" : "scale=" + size) + ",setsar=1,format=yuv420p[s]"
              << "[o][s]psnr[po]";
        args << "-i" << source;
    }
    args << "-filter_complex" << graph.join(';');
    for (const QString& out : QStringList{"[vo]", "[ao]", "[po]"})
        args << (graph.join(';').contains(out) ? QStringList{"-map", out} : QStringList());
    const QString log = testmedia::run("ffmpeg", args + QString("-f null -").split(' ')).err;
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

// Each packet's size and checksum of the first stream of `kind` (not the side data: a decoder's hints).
QStringList packets(const QString& path, const char* kind)
{
    const QString stream = QString("0:%1:0").arg(kind);
    return testmedia::run("ffmpeg", {"-v", "error", "-i", path, "-map", stream, "-c", "copy", "-f", "framemd5", "-"})
        .out.split('\n')
        .filter(QRegularExpression("^\\d"))
        .replaceInStrings(QRegularExpression("^([^,]*,){4}|, S=.*"), "");
}

int run(const QStringList& args, QString* log = nullptr)
{
    const testmedia::Ran ran = testmedia::run(QCoreApplication::applicationDirPath() + "/FFmpeg.exe", args);
    if (log)
        *log = ran.out + ran.err;
    return ran.code;
}

} // namespace

class TestConversion : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QHash<QString, QString> m_inputs; // row name to file
    QHash<QString, Seen> m_seen;

private slots:
    void initTestCase()
    {
        QList<Input> inputs(std::begin(kInputs), std::end(kInputs));
        inputs.append(QList<Input>(std::begin(kMoreInputs), std::end(kMoreInputs)));
        for (const Input& input : inputs) {
            QStringList made, options = QString(input.options).split(' ');
            const QStringList size = QString(input.size).split(':'), sound = QString(input.sound).split(':');
            const bool busy = options.removeAll("busy"), turn = options.removeAll("turn");
            const auto lavfi = [&made](const QString& graph) { made += QStringList{"-f", "lavfi", "-i", graph}; };
            if (size.size() == 2)
                lavfi((busy ? kBusy : kPattern).arg(size[0], size[1]));
            lavfi(kTone.arg(sound[0], sound[1]));
            if (options.removeAll("cover"))
                lavfi("color=red:s=64x64:d=0.04");
            const QString file = m_dir.filePath(input.file), made_as = turn ? file + ".mp4" : file;
            QVERIFY2(testmedia::ffmpeg(made + options + QStringList{"-x265-params", "log-level=error", made_as}),
                     input.name);
            // A phone turns its recording with a display matrix, which an encoding run does not write.
            if (turn)
                QVERIFY(testmedia::ffmpeg({"-i", made_as, "-c", "copy", "-metadata:s:v", "rotate=90", file}));
            m_inputs[input.name] = file;
            m_seen[input.name] = look(file);
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
        for (const Input& input : kInputs) {
            for (const char* format : kFormats)
                QTest::addRow("%s to %s", input.name, format) << input.name << format << QStringList() << "";
        }
        const char* const rows[][5] = {
            {"lossless, H.264 and AAC", "odd size, busy", ".mkv", "copy", "va"},
            {"lossless, H.264 and AAC", "odd size, busy", ".flv", "copy", "va"},
            {"lossless, H.264 and AAC", "odd size, busy", ".mp4", "copy", "va"},
            {"lossless, HEVC and Opus", "web download, HEVC 10-bit and Opus", ".mkv", "copy", "va"},
            {"lossless, HEVC and Opus", "web download, HEVC 10-bit and Opus", ".mp4", "copy", "v"},
            {"lossless, neither fits", "web download, HEVC 10-bit and Opus", ".flv", "copy", ""},
            {"lossless, neither fits", "15 fps camera, 8 kHz mono", ".flv", "copy", ""},
            // Matroska as this ffmpeg writes it would lose the turn.
            {"lossless, turned", "portrait phone, HEVC", ".mkv", "copy", "a"},
            {"lossless, turned", "portrait phone, HEVC", ".mp4", "copy", "va"},
            {"lossless, 5.1 AC-3", "5.1 movie", ".flv", "copy", "v"},
            {"lossless, a size asked", "odd size, busy", ".mp4", "copy -s 480x360 -b:v 600k -r 25", "a"},
            {"a size and bitrate asked", "portrait phone, HEVC", ".mp4", "-s 1280x720 -b:v 1600k -r 25", ""},
            {"a size and bitrate asked", "odd size, busy", ".rmvb", "-s 640x360 -b:v 1600k -r 25", ""},
            {"a picture in many packets", "full HD, busy", ".rm", "", ""},
            {"damaged", "damaged in the middle", ".avi", "", ""},
            {"damaged", "damaged in the middle", ".rm", "", ""},
        };
        for (const auto& r : rows)
            QTest::addRow("%s: %s to %s", r[0], r[1], r[2])
                << r[1] << r[2] << QString(r[3]).split(' ', Qt::SkipEmptyParts) << r[4];
    }

    void convert()
    {
        QFETCH(QString, input);
        QFETCH(QString, format);
        QFETCH(QStringList, options);
        QFETCH(QString, copied);
        const QString src = m_inputs[input], out = m_dir.filePath(QTest::currentDataTag() + format);
        const Seen& in = m_seen[input];
        const QString copy = QString::fromStdString(protocol::copy_request().front());
        QString log;
        QVERIFY2(run(QStringList{"-i", src} + options.replaceInStrings("copy", copy) << out, &log) == 0 &&
                     log.endsWith("zo_finished\n"),
                 qPrintable(log));

        const bool damaged = input.startsWith("damaged"), retimed = options.contains("-r");
        const Seen seen = look(out, damaged || retimed ? QString() : src, in);
        QVERIFY2(seen.errors.isEmpty(), qPrintable(seen.errors));
        // A cover picture is no video: a song stays a song.
        QCOMPARE(seen.video, in.video);
        QCOMPARE(seen.audio, in.audio);
        QVERIFY2(qAbs(seen.duration - in.duration) <= qMax(0.03 * in.duration, 0.15),
                 qPrintable(QString("%1 s from %2 s").arg(seen.duration).arg(in.duration)));
        if (in.video)
            QVERIFY2(qAbs(seen.shown / in.shown - 1) < 0.02, qPrintable(QString::number(seen.shown)));
        if (in.video && !damaged && !retimed)
            QVERIFY2(seen.psnr >= kBar, qPrintable(QString::number(seen.psnr)));
        if (in.video && in.audio)
            QVERIFY2(qAbs((seen.sound - seen.picture) - (in.sound - in.picture)) <= 0.06,
                     qPrintable(QString("sound at %1 s, picture at %2 s").arg(seen.sound).arg(seen.picture)));
        if (options.contains("-s")) {
            // The box turns with the picture: 1280x720 asked of a portrait recording gives 720x1280.
            QCOMPARE(qMax(seen.width, seen.height), options[options.indexOf("-s") + 1].section('x', 0, 0).toInt());
            const double asked = options[options.indexOf("-b:v") + 1].chopped(1).toDouble() * 1000;
            QVERIFY2(qAbs(seen.bitrate / asked - 1) <= 0.25, qPrintable(QString::number(seen.bitrate)));
        }
        for (const char* kind : {"v", "a"}) {
            if ((kind[0] == 'v' ? in.video : in.audio) && options.contains(copy))
                QVERIFY2((packets(src, kind) == packets(out, kind)) == copied.contains(kind), kind);
        }
    }

    // A file cut off before its index: no conversion can come of it. The user is told why, in the transcoder's
    // log and by the player, and nothing is left that looks like a result; a later conversion to the same name
    // that works clears the note.
    void failure()
    {
        const QString src = m_dir.filePath("cut.mp4"), out = m_dir.filePath("cut_zo.avi");
        QVERIFY(testmedia::write_file(src, testmedia::read_file(m_inputs["odd size, busy"]).left(30000)));
        QVERIFY(testmedia::write_file(out, "an earlier run's file"));
        QString log;
        QVERIFY(run({"-i", src, out}, &log) != 0 && !log.contains("zo_finished"));
        QCOMPARE(log.count("FFmpeg.exe: the conversion failed: moov atom not found"), 1);
        QVERIFY(!QFile::exists(out));
        QCOMPARE(protocol::read_failure_note(out.toStdString()).value_or(""), std::string("moov atom not found"));

        // The player's engine is shown a picture of the message instead of the file; here it writes down its
        // arguments, and the stock ffmpeg makes that picture.
        const QString record = m_dir.filePath("engine.txt");
        const QString engine = testmedia::write_script(m_dir.filePath("engine.sh"),
                                                       QString("printf '%s\\n' \"$@\" > '%1'\n").arg(record).toUtf8());
        const testmedia::Ran played = testmedia::run(QCoreApplication::applicationDirPath() + "/ZaReridi.exe",
                                                     {"-play", out}, 30000, {"DAVAZ_FFPLAY=" + engine});
        QVERIFY2(played.err.contains("moov atom not found"), qPrintable(played.err));
        const QStringList shown = QString::fromUtf8(testmedia::read_file(record)).split('\n');
        const QString picture = shown.value(shown.indexOf("lavfi") + 1);
        QVERIFY(testmedia::ffmpeg({"-f", "lavfi", "-i", picture, "-frames:v", "1", "-f", "null", "-"}));
        QVERIFY(testmedia::read_file(picture.section("textfile='", 1).section('\'', 0, 0)).contains("moov atom"));

        QCOMPARE(run({"-i", m_inputs["odd size, busy"], out}), 0);
        QVERIFY(!protocol::read_failure_note(out.toStdString()));
    }
};

QTEST_GUILESS_MAIN(TestConversion)
#include "test_conversion.moc"
