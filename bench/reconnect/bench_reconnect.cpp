// The live windows against a real rtmp server that goes away and comes back:
// how soon a push with reconnect on drop is seen on the server again and
// where it resumes; how many frames a capture with reconnect on drop loses
// beyond the outage; and how many a capture in files loses between files.
//
// Frames are told apart by their pictures: the published clip is decoded
// once, and every frame of a recording is found in it.

#include "figure.h"
#include "modalboxes.h"
#include "rsrc/grablivewidget.h"
#include "rsrc/videolivewidget.h"
#include "rtmpserver.h"
#include "testhost.h"
#include "testmedia.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const int kRate = 25;
const int kLoop = 10 * kRate; // frames of the published clip

QElapsedTimer g_clock;

double now()
{
    return double(g_clock.nsecsElapsed()) / 1e9;
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Polls `done` every 10 ms for up to `seconds`; the time it first held, or -1.
double until(const std::function<bool()>& done, double seconds = 90)
{
    const double end = now() + seconds;
    while (now() < end) {
        if (done())
            return now();
        spin(10);
    }
    return -1;
}

// One hash per video frame, in file order, of the pictures scaled down.
QList<QByteArray> frame_hashes(const QString& file)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", file, "-an", "-vf", "scale=160:120,format=gray", "-f", "rawvideo", "-"});
    p.waitForFinished(120000);
    const QByteArray all = p.readAllStandardOutput();
    QList<QByteArray> hashes;
    for (qsizetype at = 0; at + 160 * 120 <= all.size(); at += 160 * 120)
        hashes << QCryptographicHash::hash(all.mid(at, 160 * 120), QCryptographicHash::Md5);
    return hashes;
}

double label_seconds(const QString& state)
{
    const QRegularExpressionMatch m = QRegularExpression("^时间：(\\d\\d):(\\d\\d):(\\d\\d\\.\\d\\d)").match(state);
    return m.hasMatch() ? m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toDouble() : -1;
}

// A publisher of the clip, started once the server is up; when the server took it, in seconds.
double publish(RtmpServer& server, const QString& clip, const QString& stream)
{
    const int before = int(server.log().count(QString("publish: name='%1'").arg(stream)));
    server.publish(clip, stream);
    return until([&] { return server.log().count(QString("publish: name='%1'").arg(stream)) > before; }, 30);
}

struct PushRun
{
    double step = -1;    // the first attempt after the server's return, s after the return
    double seen = -1;    // a reader saw the stream, s after the return
    double reached = -1; // position reached before the drop
    double resumed = -1; // position the push went on from
};

PushRun push_through_an_outage(RtmpServer& server, const QString& clip, const QString& stream)
{
    PushRun run;
    VideoLiveWidget window;
    window.findChild<QLineEdit*>("le_rtmp_url")->setText(QString("rtmp://127.0.0.1:%1/live").arg(server.port()));
    window.findChild<QLineEdit*>("le_rtmp_key")->setText(stream);
    window.findChild<QCheckBox*>("checkBox_reconnect")->setChecked(true);
    window.findChild<FL_PlayList*>("listWidget")->add_movieItem(clip, false);
    auto* state = window.findChild<QLabel*>("lb_state");
    window.findChild<QPushButton*>("pb_start_stop")->click();
    if (until([&] { return label_seconds(state->text()) >= 4; }) < 0)
        return run;
    run.reached = label_seconds(state->text());
    server.stop();
    spin(5000);
    server.restart();
    const double back = now();
    // Attempts show "正在重连…" until they get going or fail.
    run.step = until([&] { return state->text() == QStringLiteral("正在重连…") || label_seconds(state->text()) >= 0; });
    if (run.step >= 0)
        run.step -= back;
    if (const QProcess* process = window.process()) {
        const QStringList args = process->arguments();
        if (args.indexOf("-ss") >= 0)
            run.resumed = args.value(args.indexOf("-ss") + 1).toDouble();
    }
    // A reader that keeps asking until it gets a picture. One that came while
    // nothing was published may wait on; it is given up after a second.
    run.seen = until(
        [&] {
            QProcess reader;
            reader.start("ffmpeg", {"-v", "error", "-rw_timeout", "1000000", "-analyzeduration", "100000", "-i",
                                    server.url(stream), "-frames:v", "1", "-f", "null", "-"});
            if (!reader.waitForFinished(1000)) {
                reader.kill();
                reader.waitForFinished();
                return false;
            }
            return reader.exitCode() == 0 && reader.exitStatus() == QProcess::NormalExit;
        },
        60);
    if (run.seen >= 0)
        run.seen -= back;
    window.findChild<QPushButton*>("pb_start_stop")->click();
    return run;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

// Where a recorded frame lies in the clip: its index in one pass, -1 when not found.
int index_in(const QHash<QByteArray, int>& clip, const QByteArray& hash)
{
    return clip.value(hash, -1);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testenv::isolate_host_home();
    TestHost host;
    ModalBoxes boxes;
    g_clock.start();

    QTemporaryDir dir;
    const QString clip = dir.filePath("live.mp4"), long_clip = dir.filePath("long.mp4");
    std::printf("making the clips...\n");
    std::fflush(stdout);
    for (const auto& [path, seconds] : {std::pair{clip, 10}, std::pair{long_clip, 40}}) {
        const QString source = QString("testsrc2=size=320x240:rate=%1:duration=%2").arg(kRate).arg(seconds);
        if (!testmedia::ffmpeg({"-f",        "lavfi",
                                "-i",        source,
                                "-f",        "lavfi",
                                "-i",        QString("sine=frequency=440:duration=%1").arg(seconds),
                                "-c:v",      "libx264",
                                "-preset",   "ultrafast",
                                "-g",        QString::number(kRate),
                                "-pix_fmt",  "yuv420p",
                                "-c:a",      "aac",
                                "-shortest", path})) {
            std::fprintf(stderr, "cannot make the clips\n");
            return 1;
        }
    }
    QHash<QByteArray, int> reference;
    const QList<QByteArray> clip_frames = frame_hashes(clip);
    for (int i = 0; i < clip_frames.size(); ++i)
        reference.insert(clip_frames[i], i);
    if (reference.size() != kLoop) {
        std::fprintf(stderr, "the clip's frames are not all different (%lld of %d)\n", qlonglong(reference.size()),
                     kLoop);
        return 1;
    }
    RtmpServer server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot start the rtmp server\n");
        return 1;
    }

    // Push: the server goes away for 5 s during a push with reconnect on drop.
    std::printf("\npush with reconnect on drop, the server down for 5 s:\n");
    QList<double> seen, after_step, resumed_gap;
    for (int run = 0; run < 3; ++run) {
        const PushRun r = push_through_an_outage(server, long_clip, QString("push%1").arg(run));
        std::printf(
            "  run %d: reached %.2f s; after the server's return: attempt at %.2f s, a reader saw the stream at "
            "%.2f s; resumed from %.2f s\n",
            run + 1, r.reached, r.step, r.seen, r.resumed);
        std::fflush(stdout);
        if (r.seen < 0 || r.step < 0)
            continue;
        seen << r.seen;
        after_step << r.seen - r.step;
        resumed_gap << r.reached - r.resumed;
    }
    figure("push reconnect, server down 5 s: its return to a reader seeing the stream",
           qPrintable(QString("%1 s").arg(median(seen), 0, 'f', 2)), "<= 3 s after the back-off step",
           qPrintable(QString("median of %1; %2 s after the attempt that got through (waits 2 s, 4 s)")
                          .arg(seen.size())
                          .arg(median(after_step), 0, 'f', 2)));
    figure("push reconnect: position resumed against position reached",
           qPrintable(QString("%1 s earlier").arg(median(resumed_gap), 0, 'f', 2)), "a few seconds earlier at most",
           "sought to the position reached; the input is read from the key frame at or before it (1 s apart here)");

    // Capture: the server (and with it the stream) goes away for 5 s during a recording.
    std::printf("\ncapture with reconnect on drop, the server down for 5 s:\n");
    QTemporaryDir out;
    {
        const double published = publish(server, clip, "cap");
        GrabLiveWidget window;
        window.findChild<QLineEdit*>("lineEdit_encode_ip")->setText(server.url("cap"));
        window.findChild<QLineEdit*>("lineEdit_savepath")->setText(out.path());
        window.findChild<QComboBox*>("comboBox")->setCurrentText(".mp4");
        window.findChild<QLineEdit*>("lineEdit_file_name")->setText("cap");
        window.findChild<QCheckBox*>("checkBox_reconnect")->setChecked(true);
        auto* state = window.findChild<QLabel*>("lb_state");
        window.findChild<QPushButton*>("pushButton_start")->click();
        spin(8000);
        const double down = now();
        server.stop();
        spin(5000);
        server.restart();
        const double republished = publish(server, clip, "cap");
        const double resumed = until([&] { return state->text().startsWith(QStringLiteral("已重连")); });
        spin(5000);
        window.findChild<QPushButton*>("pushButton_stop")->click();

        const QList<QByteArray> first = frame_hashes(out.filePath("cap.mp4")),
                                second = frame_hashes(out.filePath("cap_2.mp4"));
        if (first.isEmpty() || second.isEmpty() || resumed < 0) {
            std::fprintf(stderr, "the capture did not record into two files\n");
        } else {
            // The frame the publisher sent at a moment, counted from its start (it sends in real time).
            const auto sent = [](double since) { return since * kRate; };
            const int last = index_in(reference, first.last()), next = index_in(reference, second.first());
            // Whole passes of the clip before the last frame of the first file.
            const double passes = std::round((sent(down - published) - last) / kLoop);
            const double before = sent(down - published) - (passes * kLoop + last);
            const double passes2 = std::round((sent(resumed - republished) - next) / kLoop);
            const double after = passes2 * kLoop + next;
            std::printf(
                "  first file %lld frames, up to frame %d of the clip; second file %lld frames, from frame %d\n",
                qlonglong(first.size()), last, qlonglong(second.size()), next);
            std::printf("  outage %.2f s (server down to the stream published again); lost beyond it: %.0f frames "
                        "before the drop, %.0f after the stream was back (recording again %.2f s after)\n",
                        republished - down, before, after, resumed - republished);
            figure("capture reconnect: frames lost beyond the outage",
                   qPrintable(QString("%1 frames").arg(before + after, 0, 'f', 0)), "only the outage",
                   qPrintable(QString("%1 before the drop, %2 after the stream was back (retry every 3 s, then the "
                                      "new file's first key frame); outage %3 s")
                                  .arg(before, 0, 'f', 0)
                                  .arg(after, 0, 'f', 0)
                                  .arg(republished - down, 0, 'f', 1)));
        }
    }

    // Capture in files of 4 s: what goes missing between one file and the next.
    std::printf("\ncapture of 20 s in files of 4 s:\n");
    {
        QTemporaryDir parts;
        publish(server, clip, "seg");
        GrabLiveWidget::set_segment_unit(1);
        GrabLiveWidget window;
        window.findChild<QLineEdit*>("lineEdit_encode_ip")->setText(server.url("seg"));
        window.findChild<QLineEdit*>("lineEdit_savepath")->setText(parts.path());
        window.findChild<QComboBox*>("comboBox")->setCurrentText(".mp4");
        window.findChild<QLineEdit*>("lineEdit_file_name")->setText("seg");
        window.findChild<QCheckBox*>("checkBox_segment")->setChecked(true);
        window.findChild<QSpinBox*>("spinBox_segment")->setValue(4);
        window.findChild<QPushButton*>("pushButton_start")->click();
        spin(20000);
        window.findChild<QPushButton*>("pushButton_stop")->click();

        QStringList files{"seg.mp4"};
        for (int n = 2; QFile::exists(parts.filePath(QString("seg_%1.mp4").arg(n))); ++n)
            files << QString("seg_%1.mp4").arg(n);
        int lost = 0, boundaries = 0, frames = 0;
        int previous = -1;
        for (const QString& file : files) {
            const QList<QByteArray> hashes = frame_hashes(parts.filePath(file));
            frames += int(hashes.size());
            if (hashes.isEmpty())
                continue;
            const int first = index_in(reference, hashes.first()), last = index_in(reference, hashes.last());
            if (previous >= 0) {
                const int gap = ((first - previous - 1) % kLoop + kLoop) % kLoop;
                lost += gap;
                ++boundaries;
                std::printf("  %s begins with frame %d, the file before ended with %d: %d lost\n", qPrintable(file),
                            first, previous, gap);
            }
            previous = last;
        }
        figure("capture in files: frames lost at the boundaries", qPrintable(QString::number(lost)), "0",
               qPrintable(QString("%1 boundaries of 4 s files, %2 frames in %3 files")
                              .arg(boundaries)
                              .arg(frames)
                              .arg(files.size())));
    }
    if (boxes.count() > 0)
        std::printf("note: %d message box(es), the last \"%s\"\n", boxes.count(), qPrintable(boxes.last().text));
    return 0;
}
