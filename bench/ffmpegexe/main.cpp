// Wall time of a conversion through FFmpeg.exe against the same conversion by
// the plain ffmpeg, in pairs whose order alternates so that neither side
// always runs on a warm cache.

#include "figure.h"
#include "testmedia.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

struct Timing
{
    double wall = -1; // seconds; negative when the run failed
    double cpu = 0;   // user + system seconds of the program and its children
};

double children_cpu()
{
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Timing timed_run(const QString& program, const QStringList& args, const QByteArray& mustEndWith = QByteArray())
{
    Timing timing;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const double cpuBefore = children_cpu();
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return timing;
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    timing.cpu = children_cpu() - cpuBefore;
    if (mustEndWith.isEmpty() || process.readAll().endsWith(mustEndWith))
        timing.wall = wall;
    return timing;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    std::printf("making a 30 s 640x480 clip...\n");
    const QString src = testmedia::make_clip(dir.filePath("src.mp4"), 30, 640, 480);
    if (src.isEmpty()) {
        std::fprintf(stderr, "cannot make the clip\n");
        return 1;
    }

    const QStringList conversion{"-i", src, "-r", "25", "-s", "1280x720", "-b:v", "1600k"};
    const QString exe = QCoreApplication::applicationDirPath() + "/FFmpeg.exe";
    const int pairs = argc > 1 ? std::max(1, QString(argv[1]).toInt()) : 5;
    std::vector<double> ratios;
    for (int i = 0; i < pairs; ++i) {
        Timing through, plain;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (i % 2 == 0))
                through = timed_run(exe, conversion + QStringList{dir.filePath("through.mp4")}, "zo_finished\n");
            else
                plain = timed_run("ffmpeg", QStringList{"-y", "-hide_banner"} + conversion +
                                                QStringList{dir.filePath("plain.mp4")});
        }
        if (through.wall < 0 || plain.wall < 0) {
            std::fprintf(stderr, "pair %d: a conversion failed\n", i + 1);
            return 1;
        }
        ratios.push_back(through.wall / plain.wall);
        std::printf("pair %d (%s first): FFmpeg.exe %.2f s (cpu %.2f s), ffmpeg %.2f s (cpu %.2f s), ratio %.4f\n",
                    i + 1, i % 2 == 0 ? "FFmpeg.exe" : "ffmpeg", through.wall, through.cpu, plain.wall, plain.cpu,
                    ratios.back());
        std::fflush(stdout);
    }
    const std::vector<double> paired = ratios;
    std::sort(ratios.begin(), ratios.end());
    std::printf("median wall-time ratio FFmpeg.exe / ffmpeg: %.4f\n", ratios[ratios.size() / 2]);
    QStringList pairsText;
    for (double r : paired)
        pairsText << QString::number(r, 'f', 3);
    figure("conversion through FFmpeg.exe / plain ffmpeg, wall time",
           qPrintable(QString::number(ratios[ratios.size() / 2], 'f', 3)), "<= 1.03",
           qPrintable(QString("median of %1 pairs: %2").arg(pairs).arg(pairsText.join(", "))));
    return 0;
}
