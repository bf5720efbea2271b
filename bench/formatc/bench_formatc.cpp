// A queue of three 30-second 640x480 clips converted to ".mp4" "720P" through
// the conversion window, against the same three conversions by plain ffmpeg.

#include "figure.h"
#include "modalboxes.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
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

double window_run(const QStringList& clips, const QString& outDir)
{
    FormatCWidget window;
    window.findChild<QLineEdit*>("lineEdit_export_dir")->setText(outDir);
    auto* table = window.findChild<HTableWidgetEx*>("tableWidget");
    for (const QString& clip : clips)
        table->addFilesToTable(clip);
    auto* formats = window.findChild<QComboBox*>("comb_format");
    formats->setCurrentIndex(formats->findText(".mp4"));
    auto* sizes = window.findChild<QComboBox*>("comb_size");
    sizes->setCurrentIndex(sizes->findText("720P"));

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
    figure("conversion window / plain ffmpeg beyond the 1 s pauses, 3 files",
           qPrintable(QString::number(overheads.at(overheads.size() / 2), 'f', 3)), "<= 1.05",
           qPrintable(QString("median of %1 paired runs; with the pauses %2")
                          .arg(runs)
                          .arg(ratios.at(ratios.size() / 2), 0, 'f', 3)));
    std::printf("median ratio %.3f, median ratio beyond the one-second pauses %.3f\n", ratios.at(ratios.size() / 2),
                overheads.at(overheads.size() / 2));
    return 0;
}
