// Live push through the window to a real rtmp server: how soon the state label
// shows the first progress record after start, and how long a 10-second clip
// takes to push (it is read in real time, so about 10 s is the goal). Then,
// with reconnect on drop, the server goes away for 5 s during a push: how
// soon after its return a reader sees the stream again, and where the push
// resumed against where it had got to. Last, a list of two entries (another
// picture size, B-frames, sound that outlasts the pictures) pushed once round
// and back to the first, one connection for the list ("无缝推流") against one
// per entry, to a reader that started first: the gap it sees at an entry's
// boundary and at the loop back, the publishes the server saw, and whether
// the reader stayed connected. Then over one connection an entry without
// sound before one with: the sound of each entry in the recording.

#include "figure.h"
#include "modalboxes.h"
#include "rsrc/videolivewidget.h"
#include "rtmpserver.h"
#include "testhost.h"
#include "testmedia.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

const QString kProgress = QStringLiteral("时间：");

struct Timing
{
    double first_ms = -1; // the first progress record in the state label
    double done_ms = -1;  // `done` held
};

// Times a push from pressing start until the state label satisfies `done`,
// looking at the label every millisecond; then stops the push.
Timing time_push(VideoLiveWidget& window, const QString& stream, const std::function<bool(const QString&)>& done)
{
    window.findChild<QLineEdit*>("le_rtmp_key")->setText(stream);
    auto* state = window.findChild<QLabel*>("lb_state");
    state->setText(QString());
    auto* button = window.findChild<QPushButton*>("pb_start_stop");

    Timing timing;
    QElapsedTimer timer;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const QString text = state->text();
        if (timing.first_ms < 0 && text.startsWith(kProgress))
            timing.first_ms = timer.nsecsElapsed() / 1e6;
        if (done(text)) {
            timing.done_ms = timer.nsecsElapsed() / 1e6;
            loop.quit();
        }
    });
    timer.start();
    button->click();
    poll.start(1);
    loop.exec();
    button->click(); // stop
    return timing;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// Polls `done` every 10 ms for up to `ms`; the milliseconds of `clock` when it first held, or -1.
double until(const QElapsedTimer& clock, qint64 ms, const std::function<bool()>& done)
{
    const qint64 end = clock.elapsed() + ms;
    while (clock.elapsed() < end) {
        if (done())
            return clock.nsecsElapsed() / 1e6;
        QEventLoop loop;
        QTimer::singleShot(10, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return -1;
}

double label_seconds(const QString& state)
{
    const QRegularExpressionMatch m = QRegularExpression("^时间：(\\d\\d):(\\d\\d):(\\d\\d\\.\\d\\d)").match(state);
    return m.hasMatch() ? m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toDouble() : -1;
}

struct Outage
{
    double step_ms = -1; // the first attempt after the server's return, after that return
    double seen_ms = -1; // a reader got a picture, after the return
    double reached = -1; // position reached before the drop, s
    double resumed = -1; // position the push went on from, s
};

// A push with reconnect on drop; the server goes away for 5 s once it has pushed 4 s.
Outage push_through_an_outage(VideoLiveWidget& window, RtmpServer& server, const QString& stream)
{
    Outage run;
    window.findChild<QLineEdit*>("le_rtmp_key")->setText(stream);
    window.findChild<QCheckBox*>("checkBox_reconnect")->setChecked(true);
    auto* state = window.findChild<QLabel*>("lb_state");
    auto* button = window.findChild<QPushButton*>("pb_start_stop");
    QElapsedTimer clock;
    clock.start();
    button->click();
    if (until(clock, 60000, [&] { return label_seconds(state->text()) >= 4; }) < 0)
        return run;
    run.reached = label_seconds(state->text());
    server.stop();
    until(clock, 5000, [] { return false; });
    server.restart();
    clock.restart();
    run.step_ms = until(clock, 60000, [&] {
        return state->text() == QStringLiteral("正在重连…") || label_seconds(state->text()) >= 0;
    });
    if (const QProcess* process = window.process()) {
        const QStringList args = process->arguments();
        if (args.contains("-ss"))
            run.resumed = args.value(args.indexOf("-ss") + 1).toDouble();
    }
    // A reader that keeps asking until it gets a picture; one that came while
    // nothing was published may wait on, so it is given up after a second.
    run.seen_ms = until(clock, 60000, [&] {
        QProcess reader;
        reader.start("ffmpeg", {"-v", "error", "-rw_timeout", "1000000", "-analyzeduration", "100000", "-i",
                                server.url(stream), "-frames:v", "1", "-f", "null", "-"});
        if (!reader.waitForFinished(1000)) {
            reader.kill();
            reader.waitForFinished();
            return false;
        }
        return reader.exitStatus() == QProcess::NormalExit && reader.exitCode() == 0;
    });
    button->click();
    window.findChild<QCheckBox*>("checkBox_reconnect")->setChecked(false);
    return run;
}

constexpr double kNone = -1e9;

struct ListRun
{
    double ordinary_ms = kNone;       // from the last picture shown of an entry to the first of the next
    double wrap_ms = kNone;           // the same from the last entry back to the first
    int pictures = 0, boundaries = 0; // in the reader's recording
    int publishes = 0;
    bool connected = false; // the reader was still reading when the push stopped
};

// The pictures' display times (ms) where the picture size changes: the
// boundaries between the two entries, each as "from width": step.
void boundary_steps(const QString& recording, ListRun& run)
{
    const testmedia::Ran frames = testmedia::run("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries",
                                                             "frame=pts,width", "-of", "csv=p=0", recording});
    QList<QPair<double, int>> shown; // pts, width
    for (const QString& line : frames.out.split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(',');
        if (f.size() >= 2 && !f[0].trimmed().isEmpty() && !f[1].trimmed().isEmpty())
            shown << qMakePair(f[0].toDouble(), f[1].toInt());
    }
    // In the order decoded and shown; a step back is time that went back.
    run.pictures = int(shown.size());
    for (int i = 1; i < shown.size(); ++i) {
        if (shown[i].second == shown[i - 1].second)
            continue;
        ++run.boundaries;
        double& step = shown[i].second > shown[i - 1].second ? run.ordinary_ms : run.wrap_ms;
        const double now = shown[i].first - shown[i - 1].first;
        step = step == kNone ? now : std::max(step, now);
    }
}

ListRun push_a_list(VideoLiveWidget& window, RtmpServer& server, const QString& stream, bool seamless,
                    const QString& folder)
{
    ListRun run;
    window.findChild<QCheckBox*>("checkBox_seamless")->setChecked(seamless);
    window.findChild<QLineEdit*>("le_rtmp_key")->setText(stream);
    auto* list = window.findChild<FL_PlayList*>("listWidget");
    const QString recording = folder + "/" + stream + ".flv";
    QProcess reader;
    reader.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-rw_timeout", "60000000", "-i", server.url(stream),
                            "-c", "copy", "-f", "flv", recording});
    QElapsedTimer clock;
    clock.start();
    until(clock, 60000, [&] { return server.log().contains(QString("play: name='%1'").arg(stream)); });
    window.findChild<QPushButton*>("pb_start_stop")->click();
    // The first entry, the second, the first again and a second of it.
    QList<int> marked;
    until(clock, 120000, [&] {
        const int row = list->row(list->current_movie());
        if (marked.isEmpty() || marked.last() != row)
            marked << row;
        return marked.size() >= 3;
    });
    until(clock, 2000, [] { return false; });
    run.connected = reader.state() == QProcess::Running;
    reader.write("q");
    if (!reader.waitForFinished(30000))
        reader.kill();
    window.findChild<QPushButton*>("pb_start_stop")->click();
    window.findChild<QCheckBox*>("checkBox_seamless")->setChecked(false);
    run.publishes = server.log().count(QString("publish: name='%1'").arg(stream));
    boundary_steps(recording, run);
    return run;
}

// Per entry of a list pushed over one connection (a run of one picture
// size in the recording): whether a tone sounds in it (past its first 0.3 s,
// where the sound of the entry before may run on), and where one starts
// near its beginning, how long after its first picture ("yes, +23 ms").
QStringList sound_per_entry(const QString& recording)
{
    const QList<QPair<double, int>> spans = testmedia::picture_sizes(recording);
    const QList<QPair<double, double>> levels = testmedia::sound_levels(recording);
    QStringList entries;
    for (int e = 0; e < spans.size(); ++e) {
        const double from = spans[e].first, to = e + 1 < spans.size() ? spans[e + 1].first : 1e9;
        int loud = 0, all = 0;
        QString onset;
        for (int i = 0; i < levels.size(); ++i) {
            const auto& [at, peak] = levels[i];
            if (onset.isEmpty() && peak > -40 && at > from - 0.05 && at < from + 0.3 && i > 0 &&
                levels[i - 1].second <= -40)
                onset = QString(", %1%2 ms").arg(at >= from ? "+" : "").arg((at - from) * 1000, 0, 'f', 0);
            if (at > from + 0.3 && at < to - 0.1) {
                ++all;
                loud += peak > -40;
            }
        }
        entries << QString("%1: %2%3").arg(spans[e].second).arg(all > 0 && loud * 2 > all ? "yes" : "no", onset);
    }
    return entries;
}

QString shown_ms(double ms)
{
    return ms == kNone ? QStringLiteral("none seen") : QString("%1 ms").arg(ms, 0, 'f', 0);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    testenv::isolate_host_home();
    TestHost host;
    ModalBoxes boxes;

    QTemporaryDir media;
    const QString clip = testmedia::make_clip(media.filePath("clip10.mp4"), 10);
    RtmpServer server;
    if (clip.isEmpty() || !server.start()) {
        std::fprintf(stderr, "cannot make the clip or start the rtmp server\n");
        return 1;
    }

    VideoLiveWidget window;
    window.findChild<QLineEdit*>("le_rtmp_url")->setText(QString("rtmp://127.0.0.1:%1/live").arg(server.port()));
    window.findChild<FL_PlayList*>("listWidget")->add_movieItem(clip, false);

    auto* list = window.findChild<FL_PlayList*>("listWidget");
    // "bench_livepush list": the list alone.
    const bool list_only = argc > 1 && QString(argv[1]) == "list";
    if (!list_only) {
        QList<double> first;
        for (int run = 0; run < 5; ++run) {
            first << time_push(window, QString("first%1").arg(run), [](const QString& text) {
                         return text.startsWith(kProgress);
                     }).done_ms;
            std::printf("run %d: first progress record in the state label after %.0f ms\n", run + 1, first.last());
            std::fflush(stdout);
        }
        std::printf("start to first progress record: median of 5 = %.0f ms\n", median(first));

        QList<double> whole, streaming;
        for (int run = 0; run < 3; ++run) {
            const Timing timing = time_push(window, QString("whole%1").arg(run),
                                            [](const QString& text) { return text == QStringLiteral("串流完成"); });
            whole << timing.done_ms / 1000.0;
            streaming << (timing.done_ms - timing.first_ms) / 1000.0;
            std::printf("run %d: 10 s clip pushed in %.2f s (%+.1f%%), %.2f s of it after the first progress record\n",
                        run + 1, whole.last(), (whole.last() / 10.0 - 1.0) * 100.0, streaming.last());
            std::fflush(stdout);
        }
        const double m = median(whole);
        std::printf("10 s clip, start to \"串流完成\": median of 3 = %.2f s, %+.1f%% against its duration "
                    "(%.2f s from the first progress record)\n",
                    m, (m / 10.0 - 1.0) * 100.0, median(streaming));
        figure("live push: start to the first progress record in the window",
               qPrintable(QString("%1 ms").arg(median(first), 0, 'f', 0)), "-", "median of 5");
        figure("live push of a 10 s clip, start to \"串流完成\"", qPrintable(QString("%1 s").arg(m, 0, 'f', 2)),
               "10 s + a few %",
               qPrintable(QString("median of 3, %1%; %2 s from the first record")
                              .arg((m / 10.0 - 1.0) * 100.0, 0, 'f', 1)
                              .arg(median(streaming), 0, 'f', 2)));

        std::printf("\npush with reconnect on drop, the server down for 5 s:\n");
        const QString long_clip = testmedia::make_clip(media.filePath("clip40.mp4"), 40);
        list->clearPlayList();
        list->add_movieItem(long_clip, false);
        QList<double> seen, after_step, earlier;
        for (int run = 0; run < 3; ++run) {
            const Outage r = push_through_an_outage(window, server, QString("outage%1").arg(run));
            std::printf(
                "run %d: reached %.2f s; after the server's return: attempt at %.0f ms, a reader saw the stream at "
                "%.0f ms; resumed from %.2f s\n",
                run + 1, r.reached, r.step_ms, r.seen_ms, r.resumed);
            std::fflush(stdout);
            if (r.seen_ms < 0 || r.step_ms < 0)
                continue;
            seen << r.seen_ms / 1000.0;
            after_step << (r.seen_ms - r.step_ms) / 1000.0;
            earlier << r.reached - r.resumed;
        }
        figure("push reconnect, server down 5 s: its return to a reader seeing the stream",
               qPrintable(QString("%1 s").arg(median(seen), 0, 'f', 2)), "<= 3 s after the back-off step",
               qPrintable(QString("median of %1; %2 s after the attempt that got through (waits 2 s, 4 s)")
                              .arg(seen.size())
                              .arg(median(after_step), 0, 'f', 2)));
        figure("push reconnect: position resumed against position reached",
               qPrintable(QString("%1 s earlier").arg(median(earlier), 0, 'f', 2)), "a few seconds earlier at most",
               "sought to the position reached; the input is read from the key frame at or before it (1 s apart here)");
    }

    std::printf("\na list of two entries pushed round and back to the first, with a reader from the start:\n");
    const QString small = media.filePath("small.mp4"), big = media.filePath("big.mp4");
    testmedia::ffmpeg({"-f",      "lavfi",    "-i",        "testsrc2=size=320x240:rate=25:duration=3",
                       "-f",      "lavfi",    "-i",        "sine=frequency=440:duration=3",
                       "-c:a",    "aac",      "-shortest", "-c:v",
                       "libx264", "-preset",  "ultrafast", "-g",
                       "25",      "-pix_fmt", "yuv420p",   small});
    testmedia::ffmpeg({"-f",       "lavfi",   "-i",      "testsrc2=size=640x360:rate=25:duration=3",
                       "-f",       "lavfi",   "-i",      "sine=frequency=300:duration=3.2:sample_rate=48000",
                       "-ac",      "2",       "-c:a",    "aac",
                       "-c:v",     "libx264", "-preset", "ultrafast",
                       "-bf",      "3",       "-g",      "25",
                       "-pix_fmt", "yuv420p", big});
    list->clearPlayList();
    list->add_movieItem(small, false);
    list->add_movieItem(big, false);
    for (const bool seamless : {true, false}) {
        const ListRun r = push_a_list(window, server, seamless ? "one" : "each", seamless, media.path());
        const QString how = seamless ? "one connection (\"无缝推流\")" : "one connection per entry";
        std::printf("%s: boundary %s, loop back %s, %d publish(es), reader %s; it recorded %d pictures, %d "
                    "boundaries\n",
                    qPrintable(how), qPrintable(shown_ms(r.ordinary_ms)), qPrintable(shown_ms(r.wrap_ms)), r.publishes,
                    r.connected ? "still connected" : "gone", r.pictures, r.boundaries);
        std::fflush(stdout);
        figure(qPrintable("push of a list, " + how + ": picture to picture at a boundary / at the loop back"),
               qPrintable(shown_ms(r.ordinary_ms) + " / " + shown_ms(r.wrap_ms)),
               seamless ? "<= 40 ms frame + 23 ms priming" : "-",
               qPrintable(QString("25 fps (a frame is 40 ms); %1 publish(es) seen by the server; the reader %2, "
                                  "recorded %3 pictures and %4 boundaries")
                              .arg(r.publishes)
                              .arg(r.connected ? "stayed connected" : "lost the stream")
                              .arg(r.pictures)
                              .arg(r.boundaries)));
    }

    // An entry without sound first, longer than the publisher looks ahead for streams: the sound of the
    // next still reaches the reader, beside its pictures.
    std::printf("\na list of an entry without sound (6 s) and one with, over one connection:\n");
    const QString quiet = testmedia::make_clip(media.filePath("quiet.mp4"), 6, 320, 240, "25", false);
    list->clearPlayList();
    list->add_movieItem(quiet, false);
    list->add_movieItem(big, false);
    const ListRun mixed = push_a_list(window, server, "mixed", true, media.path());
    const QStringList sound = sound_per_entry(media.filePath("mixed.flv"));
    std::printf("entries as recorded (width: sound, its start after the first picture): %s; reader %s\n",
                qPrintable(sound.join(", ")), mixed.connected ? "still connected" : "gone");
    figure("push of a list, one connection: sound per entry, without / with / without again",
           qPrintable(sound.join(", ")),
           "no, yes, no; the tone from its first picture, give or take a sound frame (23 ms)",
           "320 wide: 6 s without sound, sent with silence; 640 wide: 3 s with a tone from its first picture "
           "(the tone's start after the entry's first picture, in the recording)");

    if (boxes.count() > 0)
        std::printf("note: the window showed %d message(s), the last \"%s\"\n", boxes.count(),
                    qPrintable(boxes.last().text));
    return 0;
}
