// How good the conversion window's time left is: a queue of a long clip and
// two short ones converted to ".mp4" "720P"; the row's and the queue's
// estimates read when the long clip is 10% done, against the time the rest
// really took.
//
// bench_eta [long-seconds]   (default 120: the long clip's length)

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
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

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

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    testenv::isolate_host_home();
    TestHost host;
    const int long_seconds = argc > 1 ? std::max(20, QString(argv[1]).toInt()) : 120;

    QTemporaryDir media, out;
    std::printf("making a %d s and two 20 s 640x480 clips...\n", long_seconds);
    std::fflush(stdout);
    const QStringList clips{testmedia::make_clip(media.filePath("long.mp4"), long_seconds, 640, 480),
                            testmedia::make_clip(media.filePath("a.mp4"), 20, 640, 480),
                            testmedia::make_clip(media.filePath("b.mp4"), 20, 640, 480)};
    if (clips.contains(QString())) {
        std::fprintf(stderr, "cannot make the clips\n");
        return 1;
    }

    FormatCWidget window;
    window.findChild<QLineEdit*>("lineEdit_export_dir")->setText(out.path());
    auto* table = window.findChild<HTableWidgetEx*>("tableWidget");
    for (const QString& clip : clips)
        table->addFilesToTable(clip);
    auto* formats = window.findChild<QComboBox*>("comb_format");
    formats->setCurrentIndex(formats->findText(".mp4"));
    auto* sizes = window.findChild<QComboBox*>("comb_size");
    sizes->setCurrentIndex(sizes->findText("720P"));
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
        std::fprintf(stderr, "no estimate was shown at a tenth of the long clip\n");
        return 1;
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
    return 0;
}
