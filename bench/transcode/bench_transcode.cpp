// Throughput of reading the transcoder's progress records, and the cost of
// probing a local file in-process compared with starting ffprobe.

#include "testmedia.h"
#include "transcode/mediaprobe.h"
#include "transcode/transcoderoutput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QList<QByteArray> sample_records()
{
    QList<QByteArray> records;
    for (int i = 0; i < 1000; ++i) {
        const int s = i * 7;
        records << QStringLiteral("zo_progress|frame= %1 fps= %2 size= %3kB|time=%4:%5:%6.%7 bitrate= %8kbits/s\n")
                       .arg(i * 25)
                       .arg(24.5 + i % 7, 0, 'f', 2)
                       .arg(i * 311)
                       .arg(s / 3600, 2, 10, QLatin1Char('0'))
                       .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                       .arg(s % 60, 2, 10, QLatin1Char('0'))
                       .arg(i % 100, 2, 10, QLatin1Char('0'))
                       .arg(600.0 + i % 500, 0, 'f', 1)
                       .toUtf8();
    }
    return records;
}

enum class Stage { Classify, Scan, Position };

struct Rate
{
    double wall; // records per second of elapsed time
    double cpu;  // records per second of this thread's CPU time (the box may be busy)
};

double thread_cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Runs `count` records through the stages a consumer uses, up to `last`.
Rate records_per_second(const QList<QByteArray>& records, int count, Stage last)
{
    const QList<QByteArray> phrases{"Could not write header", "failed to connect socket",
                                    "failed to read RTMP packet header"};
    ProgressFields fields;
    qint64 checksum = 0;
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = thread_cpu_seconds();
    for (int i = 0; i < count; ++i) {
        const QByteArray& text = records.at(i % records.size());
        if (classify_chunk(text, phrases).kind != ChunkKind::Progress || last == Stage::Classify) {
            ++checksum;
            continue;
        }
        if (scan_progress_record(text, fields) >= 3)
            checksum += fields.frame;
        if (last == Stage::Position)
            checksum += position_seconds(fields.time).value_or(0);
    }
    const double cpu = thread_cpu_seconds() - cpuStart;
    const double wall = timer.nsecsElapsed() / 1e9;
    if (checksum == 42)
        std::puts(""); // keeps the loop's work observable
    return {count / wall, count / cpu};
}

void print_rate(const char* what, Rate rate)
{
    std::printf("  %-44s %10.0f records/s wall, %10.0f records/s CPU\n", what, rate.wall, rate.cpu);
}

double median_ms(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

void drop_messages(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = 3000000;
    const QList<QByteArray> records = sample_records();

    std::printf("progress records, %d each:\n", count);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    print_rate("classification", records_per_second(records, count, Stage::Classify));
    print_rate("classification + scan, debug output off", records_per_second(records, count, Stage::Scan));
    print_rate("classification + scan + position", records_per_second(records, count, Stage::Position));
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(drop_messages);
    print_rate("classification + scan, debug lines built", records_per_second(records, count, Stage::Scan));
    qInstallMessageHandler(nullptr);

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
    return 0;
}
