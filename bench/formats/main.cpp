// Each format the conversion window offers, made by FFmpeg.exe from a busy
// 1080p source, against the same conversion by plain ffmpeg with its own
// defaults, in one run: the picture's PSNR against the source, the file's
// size, the time. Then the lossless option on a long H.264 file against an
// encode of it, and whether its video packets come out bit for bit.
//
// bench_formats [busy-seconds] [long-minutes]   (defaults 5 and 10)

#include "figure.h"
#include "protocol/conversion.h"
#include "testmedia.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const char* const kFormats[] = {".mp4", ".avi", ".rmvb", ".mkv", ".rm", ".mpg", ".3gp", ".wmv", ".flv"};

struct Made
{
    bool ok = false;
    double seconds = 0, psnr = 0, mbytes = 0;
};

// The picture against the source's, brought to its size, each against the source's picture at its time.
double psnr(const QString& out, const QString& source)
{
    const QString log = testmedia::run("ffmpeg",
                                       {"-hide_banner", "-nostdin", "-i", out, "-i", source, "-lavfi",
                                        "[0:v]setpts=PTS-STARTPTS,scale=1920:1080,setsar=1,format=yuv420p[a];"
                                        "[1:v]settb=AVTB,setpts=PTS-STARTPTS-0.45/(25*TB),format=yuv420p[b];"
                                        "[a][b]psnr",
                                        "-f", "null", "-"},
                                       -1)
                            .err;
    return QRegularExpression("average:([0-9.]+)").match(log).captured(1).toDouble();
}

Made make(const QString& program, const QStringList& args, const QString& source)
{
    Made made;
    QElapsedTimer timer;
    timer.start();
    const testmedia::Ran ran = testmedia::run(program, args, -1);
    made.seconds = timer.elapsed() / 1000.0;
    made.ok = ran.code == 0 && QFileInfo(args.last()).size() > 0;
    if (made.ok) {
        made.mbytes = QFileInfo(args.last()).size() / 1e6;
        made.psnr = psnr(args.last(), source);
    }
    return made;
}

QString told(const Made& m)
{
    return m.ok
               ? QString("%1 dB, %2 MB, %3 s").arg(m.psnr, 0, 'f', 1).arg(m.mbytes, 0, 'f', 2).arg(m.seconds, 0, 'f', 1)
               : QString("no file");
}

// Each video packet's size and checksum.
QStringList video_packets(const QString& path)
{
    return testmedia::run("ffmpeg", {"-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy", "-f", "framemd5", "-"},
                          -1)
        .out.split('\n')
        .filter(QRegularExpression("^\\d"))
        .replaceInStrings(QRegularExpression("^([^,]*,){4}"), "");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QString(argv[1]).toInt()) : 5;
    const int minutes = argc > 2 ? std::max(1, QString(argv[2]).toInt()) : 10;
    const QString exe = QCoreApplication::applicationDirPath() + "/FFmpeg.exe";
    QTemporaryDir dir;
    const QString src = dir.filePath("busy.mp4");
    std::printf("making %d s of a busy 1080p picture (fine detail all over, moving, a little sensor noise)...\n",
                seconds);
    std::fflush(stdout);
    if (!testmedia::ffmpeg({"-f",
                            "lavfi",
                            "-i",
                            QString("sierpinski=s=1920x1080:r=25:type=carpet[c];testsrc2=s=1920x1080:r=25:d=%1[t];"
                                    "[c][t]blend=all_mode=average:shortest=1,noise=alls=3:allf=t")
                                .arg(seconds),
                            "-f",
                            "lavfi",
                            "-i",
                            QString("sine=f=440:d=%1").arg(seconds),
                            "-ac",
                            "2",
                            "-c:v",
                            "libx264",
                            "-crf",
                            "14",
                            "-preset",
                            "fast",
                            "-pix_fmt",
                            "yuv420p",
                            "-c:a",
                            "aac",
                            "-b:a",
                            "256k",
                            src},
                           -1)) {
        std::fprintf(stderr, "cannot make the source\n");
        return 1;
    }

    std::printf("%-6s | %-28s | %-28s\n", "format", "FFmpeg.exe", "plain ffmpeg, its defaults");
    for (const char* format : kFormats) {
        const QString ext(format);
        const Made ours = make(exe, {"-i", src, dir.filePath("ours" + ext)}, src);
        const Made plain =
            make("ffmpeg", {"-y", "-hide_banner", "-loglevel", "error", "-i", src, dir.filePath("plain" + ext)}, src);
        std::printf("%-6s | %-28s | %-28s\n", format, qPrintable(told(ours)), qPrintable(told(plain)));
        std::fflush(stdout);
        figure(qPrintable(QString("busy 1080p to %1: PSNR, size (against plain ffmpeg)").arg(ext)),
               qPrintable(ours.ok ? QString("%1 dB, %2 MB").arg(ours.psnr, 0, 'f', 1).arg(ours.mbytes, 0, 'f', 1)
                                  : QString("no file")),
               ">= 34 dB",
               qPrintable(QString("%1 s of 1920x1080 at 25 fps, %2 Mbit/s; plain ffmpeg: %3")
                              .arg(seconds)
                              .arg(ours.mbytes * 8 / seconds, 0, 'f', 1)
                              .arg(told(plain))));
    }

    std::printf("\nmaking %d minutes of H.264 and AAC, 640x360...\n", minutes);
    std::fflush(stdout);
    const QString longer = dir.filePath("long.mp4");
    if (!testmedia::ffmpeg({"-f", "lavfi", "-i",
                            QString("testsrc2=s=640x360:r=25:d=%1,noise=alls=3:allf=t").arg(minutes * 60), "-f",
                            "lavfi", "-i", QString("sine=f=440:d=%1").arg(minutes * 60), "-c:v", "libx264", "-preset",
                            "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", longer},
                           -1)) {
        std::fprintf(stderr, "cannot make the long file\n");
        return 1;
    }
    const QString copy = QString::fromStdString(protocol::copy_request().front());
    const Made copied = make(exe, {"-i", longer, copy, dir.filePath("copied.mkv")}, longer);
    const Made encoded = make(exe, {"-i", longer, dir.filePath("encoded.mkv")}, longer);
    const bool same = copied.ok && video_packets(longer) == video_packets(dir.filePath("copied.mkv"));
    std::printf(".mp4 to .mkv: lossless %.1f s, encoded %.1f s; video packets %s\n", copied.seconds, encoded.seconds,
                same ? "bit-identical" : "differ");
    figure("lossless .mp4 to .mkv of a long H.264 file, against an encode",
           qPrintable(QString("%1 s / %2 s").arg(copied.seconds, 0, 'f', 1).arg(encoded.seconds, 0, 'f', 1)),
           "a small fraction",
           qPrintable(QString("%1 min 640x360; %2% of the encode's time; video packets %3")
                          .arg(minutes)
                          .arg(100 * copied.seconds / encoded.seconds, 0, 'f', 1)
                          .arg(same ? "bit-identical" : "differ")));
    return 0;
}
