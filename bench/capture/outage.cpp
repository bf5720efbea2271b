#include "outage.h"

#include "figure.h"
#include "modalboxes.h"
#include "platform/clock.h"
#include "rsrc/grablivewidget.h"
#include "rtmpserver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

const int kRate = 25;
const int kLoop = 10 * kRate; // frames of the published clip

double now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return double(clock.nsecsElapsed()) / 1e9;
}

void wait_ms(int ms)
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
        wait_ms(10);
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

// Each frame of the clip by its picture; empty when two pictures are alike.
QHash<QByteArray, int> clip_frames(const QString& clip)
{
    QHash<QByteArray, int> frames;
    const QList<QByteArray> hashes = frame_hashes(clip);
    for (int i = 0; i < hashes.size(); ++i)
        frames.insert(hashes[i], i);
    if (frames.size() != kLoop)
        frames.clear();
    return frames;
}

// A publisher of the clip; when the server took it, in seconds.
double publish(RtmpServer& server, const QString& clip, const QString& stream)
{
    const QString line = QString("publish: name='%1'").arg(stream);
    const qsizetype before = server.log().count(line);
    server.publish(clip, stream);
    return until([&] { return server.log().count(line) > before; }, 30);
}

// A capture window recording `stream` into FOLDER/NAME.mp4.
std::unique_ptr<GrabLiveWidget> capture_window(RtmpServer& server, const QString& stream, const QString& folder)
{
    auto window = std::make_unique<GrabLiveWidget>();
    window->findChild<QLineEdit*>("lineEdit_encode_ip")->setText(server.url(stream));
    window->findChild<QLineEdit*>("lineEdit_savepath")->setText(folder);
    window->findChild<QComboBox*>("comboBox")->setCurrentText(".mp4");
    window->findChild<QLineEdit*>("lineEdit_file_name")->setText(stream);
    return window;
}

} // namespace

void measure_reconnect(RtmpServer& server, const QString& clip)
{
    std::printf("\ncapture with reconnect on drop, the server down for 5 s:\n");
    ModalBoxes boxes;
    const QHash<QByteArray, int> reference = clip_frames(clip);
    QTemporaryDir out;
    const double published = publish(server, clip, "cap");
    const auto window = capture_window(server, "cap", out.path());
    window->findChild<QCheckBox*>("checkBox_reconnect")->setChecked(true);
    auto* state = window->findChild<QLabel*>("lb_state");
    window->findChild<QPushButton*>("pushButton_start")->click();
    wait_ms(8000);
    const double down = now();
    server.stop();
    wait_ms(5000);
    server.restart();
    const double republished = publish(server, clip, "cap");
    const double resumed = until([&] { return state->text().startsWith(QStringLiteral("已重连")); });
    wait_ms(5000);
    window->findChild<QPushButton*>("pushButton_stop")->click();

    const QList<QByteArray> first = frame_hashes(out.filePath("cap.mp4")),
                            second = frame_hashes(out.filePath("cap_2.mp4"));
    if (reference.isEmpty() || first.isEmpty() || second.isEmpty() || resumed < 0) {
        std::printf("  the capture did not record into two files\n");
        return;
    }
    // The publisher sends in real time, so a frame's place in what it sent tells when it was sent.
    const int last = reference.value(first.last(), -1), next = reference.value(second.first(), -1);
    const double sent_before = (down - published) * kRate;
    const double before = sent_before - (std::round((sent_before - last) / kLoop) * kLoop + last);
    const double sent_after = (resumed - republished) * kRate;
    const double after = std::round((sent_after - next) / kLoop) * kLoop + next;
    std::printf("  first file %lld frames, up to frame %d of the clip; second file %lld frames, from frame %d\n",
                qlonglong(first.size()), last, qlonglong(second.size()), next);
    std::printf("  outage %.2f s (server down to the stream published again); lost beyond it: %.0f frames before the "
                "drop, %.0f after the stream was back (recording again %.2f s after)\n",
                republished - down, before, after, resumed - republished);
    figure("capture reconnect: frames lost beyond the outage",
           qPrintable(QString("%1 frames").arg(before + after, 0, 'f', 0)), "only the outage",
           qPrintable(QString("%1 before the drop, %2 after the stream was back (the next 3 s retry, then the new "
                              "file's first key frame); outage %3 s")
                          .arg(before, 0, 'f', 0)
                          .arg(after, 0, 'f', 0)
                          .arg(republished - down, 0, 'f', 1)));
}

void measure_segments(RtmpServer& server, const QString& clip)
{
    std::printf("\ncapture of 20 s in files of 4 s:\n");
    ModalBoxes boxes;
    const QHash<QByteArray, int> reference = clip_frames(clip);
    QTemporaryDir parts;
    publish(server, clip, "seg");
    // A "minute" of the length field lasts a second here.
    struct SecondMinutes : platform::Clock
    {
        platform::Clock* previous = platform::Clock::replace(this);
        ~SecondMinutes() override { platform::Clock::replace(previous); }
        int minute_s() override { return 1; }
    };
    auto minutes = std::make_unique<SecondMinutes>();
    const auto window = capture_window(server, "seg", parts.path());
    window->findChild<QCheckBox*>("checkBox_segment")->setChecked(true);
    window->findChild<QSpinBox*>("spinBox_segment")->setValue(4);
    window->findChild<QPushButton*>("pushButton_start")->click();
    wait_ms(20000);
    window->findChild<QPushButton*>("pushButton_stop")->click();
    minutes.reset();

    QStringList files{"seg.mp4"};
    for (int n = 2; QFile::exists(parts.filePath(QString("seg_%1.mp4").arg(n))); ++n)
        files << QString("seg_%1.mp4").arg(n);
    int lost = 0, boundaries = 0, frames = 0, previous = -1;
    for (const QString& file : files) {
        const QList<QByteArray> hashes = frame_hashes(parts.filePath(file));
        frames += int(hashes.size());
        if (hashes.isEmpty() || reference.isEmpty())
            continue;
        const int first = reference.value(hashes.first(), -1);
        if (previous >= 0) {
            const int gap = ((first - previous - 1) % kLoop + kLoop) % kLoop;
            lost += gap;
            ++boundaries;
            std::printf("  %s begins with frame %d, the file before ended with %d: %d lost\n", qPrintable(file), first,
                        previous, gap);
        }
        previous = reference.value(hashes.last(), -1);
    }
    figure("capture in files: frames lost at the boundaries", qPrintable(QString::number(lost)), "0",
           qPrintable(QString("%1 boundaries of 4 s files, %2 frames in %3 files")
                          .arg(boundaries)
                          .arg(frames)
                          .arg(files.size())));
}
