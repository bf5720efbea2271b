// Live push through the window to a real rtmp server: how soon the state label
// shows the first progress record after start, and how long a 10-second clip
// takes to push (it is read in real time, so about 10 s is the goal).

#include "figure.h"
#include "modalboxes.h"
#include "rsrc/videolivewidget.h"
#include "rtmpserver.h"
#include "testhost.h"
#include "testmedia.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
    return values.at(values.size() / 2);
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
    if (boxes.count() > 0)
        std::printf("note: the window showed %d message(s), the last \"%s\"\n", boxes.count(),
                    qPrintable(boxes.last().text));
    return 0;
}
