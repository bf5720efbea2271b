// Live push through the window to a real rtmp server: how soon the state label
// shows the first progress record after start, and how long a 10-second clip
// takes to push (it is read in real time, so about 10 s is the goal). Then,
// with reconnect on drop, the server goes away for 5 s during a push: how
// soon after its return a reader sees the stream again, and where the push
// resumed against where it had got to.

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
    auto* list = window.findChild<FL_PlayList*>("listWidget");
    list->clearPlayList();
    list->add_movieItem(long_clip, false);
    QList<double> seen, after_step, earlier;
    for (int run = 0; run < 3; ++run) {
        const Outage r = push_through_an_outage(window, server, QString("outage%1").arg(run));
        std::printf("run %d: reached %.2f s; after the server's return: attempt at %.0f ms, a reader saw the stream at "
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

    if (boxes.count() > 0)
        std::printf("note: the window showed %d message(s), the last \"%s\"\n", boxes.count(),
                    qPrintable(boxes.last().text));
    return 0;
}
