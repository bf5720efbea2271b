// A queue of three 30-second 640x480 clips converted to ".mp4" "720P" through
// the conversion window, against the same three conversions by plain ffmpeg.
// Then how good the window's time left is: a queue of a long clip and two
// short ones, the row's and the queue's estimates read when the long clip is
// 10% done, against the time the rest really took.
//
// bench_formatc [paired-runs] [long-seconds]   (defaults 3 and 120)

#include "figure.h"
#include "modalboxes.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

double plain_run(const QStringList& clips, const QString& outDir)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString& clip : clips) {
        QProcess p;
        p.start("ffmpeg", {"-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", clip, "-r", "25", "-s",
                           "1280x720", "-b:v", "1600k", outDir + "/" + QFileInfo(clip).completeBaseName() + ".mp4"});
        p.waitForFinished(-1);
    }
    return timer.elapsed() / 1000.0;
}

// The window with `clips` in its table, converting to ".mp4" "720P" into `outDir`.
HTableWidgetEx* prepare(FormatCWidget& window, const QStringList& clips, const QString& outDir)
{
    window.findChild<QLineEdit*>("lineEdit_export_dir")->setText(outDir);
    auto* table = window.findChild<HTableWidgetEx*>("tableWidget");
    for (const QString& clip : clips)
        table->addFilesToTable(clip);
    auto* formats = window.findChild<QComboBox*>("comb_format");
    formats->setCurrentIndex(formats->findText(".mp4"));
    auto* sizes = window.findChild<QComboBox*>("comb_size");
    sizes->setCurrentIndex(sizes->findText("720P"));
    return table;
}

double window_run(const QStringList& clips, const QString& outDir)
{
    FormatCWidget window;
    prepare(window, clips, outDir);

    ModalBoxes boxes;
    QElapsedTimer timer;
    timer.start();
    window.findChild<QPushButton*>("pb_start_stop")->click();
    // The end-of-run box is answered by ModalBoxes; its record marks the end.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (boxes.count() > 0)
            loop.quit();
    });
    poll.start(50);
    loop.exec();
    return timer.elapsed() / 1000.0;
}

// Seconds of an "mm:ss" or "h:mm:ss" text after `prefix`; -1 when there is none.
double seconds_after(const QString& text, const QString& prefix)
{
    if (!text.startsWith(prefix))
        return -1;
    const QStringList parts = text.mid(prefix.size()).split(':');
    double seconds = 0;
    for (const QString& part : parts)
        seconds = seconds * 60 + part.toDouble();
    return seconds;
}

struct Sample
{
    double at = -1;    // s since start
    double row = -1;   // the row's estimate, s
    double queue = -1; // the queue's estimate, s
};

// The queue's conversion, its estimates read at a tenth of its long first clip.
void eta_run(const QStringList& clips, int long_seconds)
{
    QTemporaryDir out;
    FormatCWidget window;
    HTableWidgetEx* table = prepare(window, clips, out.path());
    auto* label = window.findChild<QLabel*>("lb_time_left");
    QProgressBar* bar = table->progress_bar(0);

    ModalBoxes boxes;
    QElapsedTimer clock;
    Sample first_estimate, at_tenth;
    double first_done = -1, end = -1;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        const double now = clock.nsecsElapsed() / 1e9;
        const double row = seconds_after(bar->format(), "%p%  剩余 ");
        const double queue = seconds_after(label->text(), "全部剩余 ");
        if (first_estimate.at < 0 && row >= 0)
            first_estimate = {now, row, queue};
        // The first report at or past a tenth of the long clip.
        if (at_tenth.at < 0 && bar->maximum() > 0 && bar->value() * 10 >= bar->maximum() && row >= 0)
            at_tenth = {now, row, queue};
        if (first_done < 0 && table->look_button(0)->isEnabled())
            first_done = now;
        if (boxes.count() > 0) {
            end = now;
            loop.quit();
        }
    });
    clock.start();
    window.findChild<QPushButton*>("pb_start_stop")->click();
    poll.start(10);
    loop.exec();

    if (at_tenth.at < 0 || first_done < 0) {
        std::printf("no estimate was shown at a tenth of the long clip\n");
        return;
    }
    const double row_real = first_done - at_tenth.at, queue_real = end - at_tenth.at;
    const double row_error = (at_tenth.row - row_real) / row_real * 100,
                 queue_error = (at_tenth.queue - queue_real) / queue_real * 100;
    std::printf("first estimate %.1f s after start: row %.0f s, queue %.0f s\n", first_estimate.at, first_estimate.row,
                first_estimate.queue);
    std::printf("at 10%% of the long clip (%.1f s after start): row says %.0f s, took %.1f s (%+.1f%%); "
                "queue says %.0f s, took %.1f s (%+.1f%%)\n",
                at_tenth.at, at_tenth.row, row_real, row_error, at_tenth.queue, queue_real, queue_error);
    figure("conversion time left at 10% of a file: error against the real rest",
           qPrintable(QString("%1%").arg(row_error, 0, 'f', 1)), "within 10%",
           qPrintable(QString("%1 s clip to 720P: said %2 s, took %3 s; first shown %4 s after start")
                          .arg(long_seconds)
                          .arg(at_tenth.row, 0, 'f', 0)
                          .arg(row_real, 0, 'f', 1)
                          .arg(first_estimate.at, 0, 'f', 1)));
    figure("queue time left at that moment: error against the real rest",
           qPrintable(QString("%1%").arg(queue_error, 0, 'f', 1)), "within 10%",
           qPrintable(QString("with two 20 s clips after it: said %1 s, took %2 s")
                          .arg(at_tenth.queue, 0, 'f', 0)
                          .arg(queue_real, 0, 'f', 1)));
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    testenv::isolate_host_home();
    TestHost host;
    const int runs = argc > 1 ? QString(argv[1]).toInt() : 3;

    QTemporaryDir media;
    QStringList clips;
    for (int i = 0; i < 3; ++i) {
        const QString clip = testmedia::make_clip(media.filePath(QString("clip%1.mp4").arg(i)), 30, 640, 480);
        if (clip.isEmpty()) {
            std::fprintf(stderr, "cannot make the test clips\n");
            return 1;
        }
        clips << clip;
    }

    std::printf("three 30 s 640x480 clips -> .mp4 720P, %d paired runs\n", runs);
    QList<double> ratios, overheads;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir a, b;
        double plain, windowed;
        // Alternate the order so neither side always runs on a warm cache.
        if (run % 2 == 0) {
            plain = plain_run(clips, a.path());
            windowed = window_run(clips, b.path());
        } else {
            windowed = window_run(clips, b.path());
            plain = plain_run(clips, a.path());
        }
        const double ratio = windowed / plain;
        const double overhead = (windowed - 3.0) / plain; // one second's pause per file is by design
        ratios << ratio;
        overheads << overhead;
        std::printf("run %d: window %.2f s, plain %.2f s, ratio %.3f, beyond the pauses %.3f\n", run + 1, windowed,
                    plain, ratio, overhead);
        std::fflush(stdout);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(overheads.begin(), overheads.end());
    // 0 paired runs: the time left only.
    if (runs > 0) {
        figure("conversion window / plain ffmpeg beyond the 1 s pauses, 3 files",
               qPrintable(QString::number(overheads.at(overheads.size() / 2), 'f', 3)), "<= 1.05",
               qPrintable(QString("median of %1 paired runs; with the pauses %2")
                              .arg(runs)
                              .arg(ratios.at(ratios.size() / 2), 0, 'f', 3)));
        std::printf("median ratio %.3f, median ratio beyond the one-second pauses %.3f\n", ratios.at(ratios.size() / 2),
                    overheads.at(overheads.size() / 2));
    }

    const int long_seconds = argc > 2 ? std::max(20, QString(argv[2]).toInt()) : 120;
    std::printf("\ntime left: a %d s and two 20 s 640x480 clips -> .mp4 720P\n", long_seconds);
    std::fflush(stdout);
    const QStringList queue{testmedia::make_clip(media.filePath("long.mp4"), long_seconds, 640, 480),
                            testmedia::make_clip(media.filePath("a.mp4"), 20, 640, 480),
                            testmedia::make_clip(media.filePath("b.mp4"), 20, 640, 480)};
    if (queue.contains(QString())) {
        std::fprintf(stderr, "cannot make the clips\n");
        return 1;
    }
    eta_run(queue, long_seconds);
    return 0;
}
