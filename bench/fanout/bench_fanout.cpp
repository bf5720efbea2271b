// A push to three destinations at once (two rtmp servers and rtmps through a
// TLS front) against the same push to one, run by FFmpeg.exe as the window
// runs it: the CPU time of the push (FFmpeg.exe and the ffmpeg it starts),
// then, with a reader on a healthy destination, the gap that reader sees
// while the second server restarts, and how soon the restarted destination
// is on air again once it is tried.

#include "figure.h"
#include "protocol/command.h"
#include "protocol/transcoder.h"
#include "rtmpserver.h"
#include "testmedia.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values[values.size() / 2];
}

// Runs the event loop until `done` holds or `ms` pass; whether it held.
bool wait_for(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

QStringList push_args(const QString& clip, const QStringList& to)
{
    protocol::PushCommand push;
    push.file = clip.toStdString();
    push.address = to.first().toStdString();
    push.any_certificate = to.first().startsWith("rtmps");
    for (const QString& more : to.mid(1))
        push.also.push_back({more.toStdString(), more.startsWith("rtmps")});
    QStringList args;
    for (const std::string& arg : protocol::write_push(push))
        args << QString::fromStdString(arg);
    return args;
}

// The CPU time (s) of a push run to its end: the shell's children's, FFmpeg.exe and what it waited for.
double push_cpu(const QString& clip, const QStringList& to)
{
    const QString exe = QCoreApplication::applicationDirPath() + "/FFmpeg.exe";
    const testmedia::Ran ran = testmedia::run(
        "bash", QStringList{"-c", "\"$0\" \"$@\" >/dev/null; times >&2", exe} + push_args(clip, to), 120000);
    // `times`: the shell's own line, then its children's: "0m1.234s 0m0.567s".
    const QStringList children = ran.err.trimmed().split('\n').last().split(' ');
    double total = 0;
    for (const QString& part : children)
        total += part.section('m', 0, 0).toDouble() * 60 + part.section('m', 1).chopped(1).toDouble();
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    RtmpServer a, b;
    if (!a.start(true) || !b.start()) {
        std::fprintf(stderr, "the rtmp servers did not start\n");
        return 1;
    }
    const QString clip = testmedia::make_clip(dir.filePath("clip.mp4"), 10, 1280, 720);
    const QString longer = testmedia::make_clip(dir.filePath("longer.mp4"), 30, 1280, 720);
    if (clip.isEmpty() || longer.isEmpty())
        return 1;

    // CPU time: one and three in turn, five times each (a tenth of a second either way is common on a busy machine).
    // Three plain rtmp ones as well, to tell the fan-out's own cost from TLS's.
    QList<double> one, three, plain;
    for (int round = 0; round < 5; ++round) {
        const QString key = QString("cpu%1").arg(round);
        one << push_cpu(clip, {a.url(key + "one")});
        three << push_cpu(clip, {a.url(key + "a"), b.url(key + "b"), a.tls_url(key + "tls")});
        plain << push_cpu(clip, {a.url(key + "pa"), b.url(key + "pb"), a.url(key + "pc")});
        std::printf("round %d: one %.2f s, three %.2f s, three without TLS %.2f s\n", round, one.last(), three.last(),
                    plain.last());
    }
    const double ratio = median(three) / median(one);
    figure("push to three destinations: CPU time against one", qPrintable(QString::asprintf("%.2f", ratio)), "<= 1.10",
           qPrintable(QString::asprintf("median of 5: %.2f s against %.2f s for a 10 s 720p clip; %.2f without TLS",
                                        median(three), median(one), median(plain) / median(one))));

    // A reader on the healthy destination a: when each picture arrives, and its time.
    QProcess reader;
    QElapsedTimer clock;
    clock.start();
    QList<QPair<qint64, double>> arrived; // wall ms, picture time s
    QByteArray heard;
    QObject::connect(&reader, &QProcess::readyReadStandardOutput, [&] {
        heard += reader.readAllStandardOutput();
        for (int end; (end = heard.indexOf('\n')) >= 0; heard.remove(0, end + 1)) {
            const QList<QByteArray> fields = heard.left(end).split(',');
            if (fields.size() > 3 && !heard.startsWith('#'))
                arrived << qMakePair(clock.elapsed(), fields[2].trimmed().toDouble() / 1000);
        }
    });
    reader.start("ffmpeg", {"-v", "error", "-i", a.url("gap"), "-map", "0:v", "-c", "copy", "-copytb", "1", "-f",
                            "framecrc", "-flush_packets", "1", "-"});
    if (!wait_for([&] { return a.log().contains("play: name='gap'"); }, 30000))
        return 1;
    QProcess push;
    QByteArray said;
    qint64 on_again = -1;
    QObject::connect(&push, &QProcess::readyReadStandardOutput, [&] {
        said += push.readAllStandardOutput();
        for (int end; (end = said.indexOf('\n')) >= 0; said.remove(0, end + 1)) {
            const protocol::DestRecord record = protocol::read_dest(said.left(end).toStdString());
            if (record.destination == 1 && record.state == protocol::DestState::On && clock.isValid())
                on_again = clock.elapsed();
        }
    });
    push.start(QCoreApplication::applicationDirPath() + "/FFmpeg.exe",
               push_args(longer, {a.url("gap"), b.url("gap"), a.tls_url("gap")}));
    wait_for([] { return false; }, 8000);
    const qint64 stopped = clock.elapsed();
    b.stop();
    wait_for([] { return false; }, 3000);
    b.restart();
    on_again = -1;
    const qint64 tried = clock.elapsed();
    push.write(protocol::write_again(1).c_str());
    wait_for([&] { return on_again >= 0; }, 20000);
    const qint64 back = clock.elapsed();
    wait_for([] { return false; }, 3000);
    push.kill();
    push.waitForFinished();
    reader.kill();
    reader.waitForFinished();

    // The largest steps between pictures in a row, in arrival and in picture time, over a stretch as long before the
    // stop (the reader's own jitter) and from the stop until the restarted one was on air again.
    const auto steps = [&](qint64 from, qint64 to) {
        double wall = 0, shown = 0;
        for (int i = 1; i < arrived.size(); ++i) {
            if (arrived[i].first < from || arrived[i].first > to)
                continue;
            wall = std::max(wall, double(arrived[i].first - arrived[i - 1].first));
            shown = std::max(shown, (arrived[i].second - arrived[i - 1].second) * 1000);
        }
        return qMakePair(wall, shown);
    };
    const auto during = steps(stopped, back + 500);
    const auto before = steps(stopped - (back + 500 - stopped), stopped);
    figure("push to three: a healthy destination's reader while another restarts, largest step",
           qPrintable(QString::asprintf("%.0f ms", during.second)), "one frame (40 ms)",
           qPrintable(QString::asprintf("between pictures' times; in arrival %.0f ms, %.0f ms as long before the "
                                        "stop; %lld pictures seen",
                                        during.first, before.first, qlonglong(arrived.size()))));
    figure("push to three: a restarted destination tried again to on air",
           on_again >= 0 ? qPrintable(QString::asprintf("%lld ms", qlonglong(on_again - tried))) : "never", "-",
           "server back, then tried again (the window tries after its back-off wait: 2 s, then 4 s, ...)");
    return 0;
}
