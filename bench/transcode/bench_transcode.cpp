// The cost of probing a local file in-process compared with starting ffprobe.

#include "figure.h"
#include "testmedia.h"
#include "transcode/mediaprobe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median_ms(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString clip = testmedia::make_clip(dir.filePath("probe.mp4"), 10, 640, 360);
    if (clip.isEmpty()) {
        std::fprintf(stderr, "could not make the test clip\n");
        return 1;
    }
    const QByteArray path = clip.toUtf8();
    const int runs = 20;
    std::vector<double> inProcess, external;
    MediaInfo info;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        probe_media_file(path.constData(), &info);
        inProcess.push_back(timer.nsecsElapsed() / 1e6);
    }
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "format=duration:stream=avg_frame_rate",
                                                "-select_streams", "v:0", "-of", "csv=p=0", clip});
        probe.waitForFinished(60000);
        external.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::printf("probe of a 10 s 640x360 MP4 (duration %lld s, %d fps), median of %d runs:\n",
                static_cast<long long>(info.duration), info.fps, runs);
    std::printf("  in-process probe_media_file: %8.3f ms\n", median_ms(inProcess));
    std::printf("  ffprobe child process:       %8.3f ms\n", median_ms(external));
    figure(
        "media probe of a 10 s MP4, in process", qPrintable(QString("%1 ms").arg(median_ms(inProcess), 0, 'f', 1)), "-",
        qPrintable(QString("median of %1; ffprobe as a process %2 ms").arg(runs).arg(median_ms(external), 0, 'f', 0)));
    return 0;
}
