// The capture window: real recordings from real rtmp and rtsp servers through
// FFmpeg.exe, its failure messages, its clock, the folder check and its settings.

#include "faults.h"
#include "modalboxes.h"
#include "rsrc/grablivewidget.h"
#include "rtmpserver.h"
#include "rtspserver.h"
#include "testhost.h"
#include "testmedia.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

const int kTimeout = 120000;

struct Probe
{
    bool video = false;
    double duration = 0;
    QByteArray errors; // what decoding the whole file complained about
};

Probe probe(const QString& path)
{
    Probe result;
    QProcess p;
    p.start("ffprobe",
            {"-v", "error", "-show_entries", "format=duration:stream=codec_type", "-of", "default=nw=1", path});
    p.waitForFinished(60000);
    const QString info = QString::fromUtf8(p.readAllStandardOutput());
    result.video = info.contains("codec_type=video");
    result.duration = QRegularExpression("duration=([0-9.]+)").match(info).captured(1).toDouble();
    // Every frame decoded; only the decoders' complaints count.
    p.start("ffprobe", {"-v", "error", "-show_entries", "frame=pict_type", "-of", "csv", path});
    p.waitForFinished(60000);
    result.errors = p.readAllStandardError() + (p.exitCode() != 0 ? "exit code" : "");
    return result;
}

const QRegularExpression kTimeStamp("^\\d{4}\\.\\d\\d\\.\\d\\d-\\d\\d\\.\\d\\d\\.\\d\\d$");

} // namespace

class TestGrabLiveWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void settings();
    void clock_text_data();
    void clock_text();
    void record_data();
    void record();
    void failures_data();
    void failures();
    void failure_inside_a_stop();
    void stop_while_idle();
    void folder_check_data();
    void folder_check();
    void faults_data();
    void faults();

private:
    template<typename T>
    T* child(const char* name) const
    {
        T* found = m_window->findChild<T*>(name);
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    void new_window();
    bool is_idle() const
    {
        return child<QPushButton>("pushButton_start")->isEnabled() &&
               !child<QPushButton>("pushButton_stop")->isEnabled();
    }
    QString box_texts() const;

    QTemporaryDir m_media;
    RtmpServer m_rtmp;
    RtspServer m_rtsp_av, m_rtsp_v;
    QProcess m_publishers[2];
    QString m_standin; // an ffmpeg that only prints two failure phrases in one line
    std::unique_ptr<TestHost> m_host;
    std::unique_ptr<ModalBoxes> m_boxes;
    std::unique_ptr<QTemporaryDir> m_out;
    faults::Disk m_disk; // over the save folder
    std::unique_ptr<GrabLiveWidget> m_window;
    QList<unsigned long> m_sleeps;
    QList<bool> m_ended_by_itself; // per stop: the transcoder had ended when the wait was over
};

void TestGrabLiveWidget::initTestCase()
{
    testenv::isolate_host_home();
    if (faults::in_copy())
        return; // it runs one case without FFmpeg.exe beside it
    // A stream that never comes is given up after three seconds.
    qputenv("DAVAZ_READ_TIMEOUT_MS", "3000");

    // A key frame every second, as live encoders send them.
    const QString av = m_media.filePath("av.mp4");
    QVERIFY(testmedia::ffmpeg(QString("-f lavfi -i testsrc2=size=320x240:rate=25:duration=10 -f lavfi -i "
                                      "sine=frequency=440:duration=10 -c:v libx264 -preset ultrafast -g 25 -pix_fmt "
                                      "yuv420p -c:a aac -shortest")
                                  .split(' ')
                              << av));
    const QString v = m_media.filePath("v.mp4");
    QVERIFY(testmedia::ffmpeg({"-i", av, "-an", "-c", "copy", v}));
    QVERIFY(m_rtmp.start());
    const QString clips[2] = {av, v};
    const char* names[2] = {"av", "v"};
    for (int i = 0; i < 2; ++i) {
        m_publishers[i].setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_publishers[i].start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-stream_loop", "-1",
                                         "-i", clips[i], "-c", "copy", "-f", "flv", m_rtmp.url(names[i])});
    }
    QVERIFY2(m_rtsp_av.start(av, true), qPrintable(m_rtsp_av.log()));
    QVERIFY2(m_rtsp_v.start(v, false), qPrintable(m_rtsp_v.log()));
    for (const char* name : names)
        QTRY_VERIFY2_WITH_TIMEOUT(m_rtmp.log().contains(QString("publish: name='%1'").arg(name)),
                                  qPrintable(m_rtmp.log()), 60000);

    m_standin = m_media.filePath("two-phrases");
    QFile standin(m_standin);
    QVERIFY(standin.open(QIODevice::WriteOnly));
    standin.write("#!/bin/sh\nprintf 'x failed to connect socket y Could not write header z\\n' >&2\nexec sleep 60\n");
    standin.close();
    standin.setPermissions(standin.permissions() | QFileDevice::ExeOwner);
}

void TestGrabLiveWidget::cleanupTestCase()
{
    for (QProcess& publisher : m_publishers) {
        publisher.kill();
        publisher.waitForFinished();
    }
    m_rtmp.stop();
    m_rtsp_av.stop();
    m_rtsp_v.stop();
}

void TestGrabLiveWidget::init()
{
    m_host = std::make_unique<TestHost>();
    m_boxes = std::make_unique<ModalBoxes>();
    m_out = std::make_unique<QTemporaryDir>();
    m_sleeps.clear();
    m_ended_by_itself.clear();
    new_window();
}

void TestGrabLiveWidget::cleanup()
{
    m_window.reset();
    // No transcoder outlives its test.
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_out->path()).isEmpty(), 30000);
    m_disk.unmount();
    m_boxes.reset();
    m_host.reset();
    m_out.reset();
    QFile::remove(GrabLiveWidget::stop_request_path());
}

void TestGrabLiveWidget::new_window()
{
    m_window.reset();
    m_window = std::make_unique<GrabLiveWidget>();
    // The stop sequence's second is spent waiting for the transcoder to end by
    // itself, which is what the second is for.
    m_window->set_sleeper([this](unsigned long ms) {
        m_sleeps << ms;
        bool ended = true;
        for (QProcess* process : m_window->findChildren<QProcess*>()) {
            if (process->state() != QProcess::NotRunning)
                ended = process->waitForFinished(30000) && ended;
        }
        m_ended_by_itself << ended;
    });
    m_window->show();
}

QString TestGrabLiveWidget::box_texts() const
{
    QStringList texts;
    for (const ModalBoxes::Box& box : m_boxes->boxes())
        texts << box.text;
    return texts.join(" | ");
}

void TestGrabLiveWidget::settings()
{
    // A new window offers the defaults: this test process's store starts empty and this is its first case.
    QCOMPARE(child<QLineEdit>("lineEdit_encode_ip")->text(), QString(GrabLiveWidget::default_address));
    QCOMPARE(child<QLineEdit>("lineEdit_savepath")->text(), QDir::homePath());
    QVERIFY(kTimeStamp.match(child<QLineEdit>("lineEdit_file_name")->text()).hasMatch());
    QCOMPARE(child<QComboBox>("comboBox")->currentText(), QString(".avi"));
    QVERIFY(child<QPushButton>("pushButton_stop")->isEnabled()); // every widget starts enabled

    // Saved as typed when the window closes, read by the next one.
    child<QLineEdit>("lineEdit_encode_ip")->setText("  rtmp://typed.example/live/x  ");
    child<QLineEdit>("lineEdit_savepath")->setText("/typed/folder");
    m_window->close();
    QCOMPARE(m_host->config()->read("grablivewidget/ip").toString(), QString("  rtmp://typed.example/live/x  "));
    // A stop request left behind would end the next window's first capture at once.
    QFile stale(GrabLiveWidget::stop_request_path());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    new_window();
    QVERIFY(!QFile::exists(GrabLiveWidget::stop_request_path()));
    QCOMPARE(child<QLineEdit>("lineEdit_encode_ip")->text(), QString("  rtmp://typed.example/live/x  "));
    QCOMPARE(child<QLineEdit>("lineEdit_savepath")->text(), QString("/typed/folder"));

    // And saved again when the window goes.
    child<QLineEdit>("lineEdit_savepath")->setText("/later/folder");
    m_window.reset();
    QCOMPARE(m_host->config()->read("grablivewidget/dir").toString(), QString("/later/folder"));
}

void TestGrabLiveWidget::clock_text_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << 0 << "00:00:00";
    QTest::newRow("an hour, two minutes, five seconds") << 3725 << "01:02:05";
    QTest::newRow("last second of the day") << 86399 << "23:59:59";
    QTest::newRow("24 hours shows nothing") << 86400 << "";
    QTest::newRow("beyond") << 90061 << "";
}

void TestGrabLiveWidget::clock_text()
{
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(GrabLiveWidget::clock_text(seconds), text);
}

void TestGrabLiveWidget::record_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("audio");
    QTest::addColumn<QString>("ext");
    QTest::addColumn<QString>("end"); // "stop", or "stop hidden": closed while recording
    for (const char* server : {"rtmp", "rtsp"}) {
        for (bool audio : {true, false}) {
            for (const char* ext : {".mp4", ".avi"}) {
                QTest::addRow("%s %s to %s", server, audio ? "with audio" : "video only", ext)
                    << server << audio << ext << (audio && QString(ext) == ".mp4" ? "stop hidden" : "stop");
            }
        }
    }
}

void TestGrabLiveWidget::record()
{
    QFETCH(QString, server);
    QFETCH(bool, audio);
    QFETCH(QString, ext);
    QFETCH(QString, end);
    const QString url = server == "rtmp" ? m_rtmp.url(audio ? "av" : "v") : (audio ? m_rtsp_av : m_rtsp_v).url();
    child<QLineEdit>("lineEdit_encode_ip")->setText(url);
    child<QLineEdit>("lineEdit_savepath")->setText(m_out->path());
    child<QComboBox>("comboBox")->setCurrentText(ext);
    const QString name = child<QLineEdit>("lineEdit_file_name")->text();
    const QString file = m_out->filePath(name + ext);
    child<QPushButton>("pushButton_start")->click();
    QVERIFY(!child<QPushButton>("pushButton_start")->isEnabled() && child<QPushButton>("pushButton_stop")->isEnabled());
    QVERIFY(!child<QLineEdit>("lineEdit_file_name")->isEnabled() && child<QComboBox>("comboBox")->isEnabled());
    if (end == "stop hidden") // the recording and the clock go on while the window is hidden
        m_window->close();

    // The clock counts; two seconds or more are recorded, less what a loaded machine takes to start.
    QTRY_VERIFY2_WITH_TIMEOUT(m_window->elapsed_seconds() >= 4, qPrintable(box_texts()), kTimeout);
    m_window->show();
    child<QPushButton>("pushButton_stop")->click();

    QVERIFY2(m_boxes->count() == 0, qPrintable(box_texts()));
    QCOMPARE(m_sleeps, QList<unsigned long>{1000});
    QCOMPARE(m_ended_by_itself, QList<bool>{true});
    QVERIFY(QFile::exists(GrabLiveWidget::stop_request_path()) && is_idle());
    // A fresh name, so the next capture does not reuse this one.
    const QString next = child<QLineEdit>("lineEdit_file_name")->text();
    QVERIFY(kTimeStamp.match(next).hasMatch() && next != name);

    const Probe made = probe(file);
    QVERIFY(made.video);
    QVERIFY2(made.duration >= 2.0 && made.duration <= 6.0, qPrintable(QString::number(made.duration)));
    QVERIFY2(made.errors.isEmpty(), made.errors.constData());
}

void TestGrabLiveWidget::failures_data()
{
    // %free: a port where nothing listens; %rtmp: the rtmp server. stops: how many stop sequences ran.
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("standin"); // FFmpeg.exe runs an ffmpeg that prints two phrases in one line
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("stops");
    QTest::newRow("address of exactly 10 characters") << "  rtmp://abc  " << false << "当前输入串流地址不合法" << 0;
    QTest::newRow("unknown protocol, blanks around")
        << "  foo://127.0.0.1/x  " << false << "抓流失败，不识别协议，请检查！" << 1;
    QTest::newRow("nothing listens") << "rtmp://127.0.0.1:%free/live/x" << false << "抓流失败，连接服务器失败！" << 1;
    QTest::newRow("stream never published")
        << "%rtmp/live/nobody" << false << "抓流失败，Rtmp地址不存在，请检查！" << 1;
    QTest::newRow("no such stream") << "/nowhere/at/all.flv" << false << "抓流失败，不识别流地址，请检查！" << 1;
    QTest::newRow("two phrases: the first in table order, one stop")
        << "rtmp://127.0.0.1:%free/live/x" << true << "抓流失败，视频格式不支持！" << 1;
}

void TestGrabLiveWidget::failures()
{
    QFETCH(QString, address);
    QFETCH(bool, standin);
    QFETCH(QString, message);
    QFETCH(int, stops);
    address.replace("%free", QString::number(testmedia::free_port()))
        .replace("%rtmp", QString("rtmp://127.0.0.1:%1").arg(m_rtmp.port()));
    if (standin)
        qputenv("DAVAZ_FFMPEG", m_standin.toUtf8());
    auto unset = qScopeGuard([] { qunsetenv("DAVAZ_FFMPEG"); });

    child<QLineEdit>("lineEdit_encode_ip")->setText(address);
    child<QLineEdit>("lineEdit_savepath")->setText(m_out->path());
    child<QLineEdit>("lineEdit_file_name")->clear();
    child<QPushButton>("pushButton_start")->click();
    // Whatever else the transcoder said before it ended shows nothing more.
    QTRY_VERIFY_WITH_TIMEOUT(m_boxes->count() > 0 && m_window->findChildren<QProcess*>().isEmpty(), kTimeout);

    QCOMPARE(box_texts(), message);
    QCOMPARE(m_boxes->last().title, QString("提示"));
    QVERIFY(stops == 0 || m_boxes->last().buttons == QStringList{"确定"});
    QCOMPARE(m_sleeps.size(), stops);
    QVERIFY(is_idle() || stops == 0);
    // An empty name is filled in before the address is looked at.
    QVERIFY(kTimeStamp.match(child<QLineEdit>("lineEdit_file_name")->text()).hasMatch());
}

void TestGrabLiveWidget::failure_inside_a_stop()
{
    // The first failure's box is open (its own event loop runs) when the
    // transcoder dies: the second failure stops the capture inside the first.
    QList<QString> texts;
    const msgbox::Hook previous = msgbox::set_hook([&](QMessageBox& box) {
        texts << box.text();
        if (texts.size() == 1) {
            QProcess* process = m_window->findChild<QProcess*>();
            QVERIFY(process && process->state() == QProcess::Running);
            ::kill(pid_t(process->processId()), SIGKILL);
            QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 2, kTimeout);
        }
        box.buttons().value(0)->click();
    });
    auto restore = qScopeGuard([&] { msgbox::set_hook(previous); });
    qputenv("DAVAZ_FFMPEG", m_standin.toUtf8());
    auto unset = qScopeGuard([] { qunsetenv("DAVAZ_FFMPEG"); });

    child<QLineEdit>("lineEdit_encode_ip")->setText(QString("rtmp://127.0.0.1:%1/live/x").arg(testmedia::free_port()));
    child<QLineEdit>("lineEdit_savepath")->setText(m_out->path());
    child<QPushButton>("pushButton_start")->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_sleeps.size(), 2, kTimeout);

    QCOMPARE(texts, (QList<QString>{"抓流失败，视频格式不支持！", "子进程启动崩溃，请尝试以管理员权限启动"}));
    QVERIFY(is_idle());
    QTRY_VERIFY(m_window->findChildren<QProcess*>().isEmpty());
}

void TestGrabLiveWidget::stop_while_idle()
{
    QVERIFY(!QFile::exists(GrabLiveWidget::stop_request_path()));
    child<QPushButton>("pushButton_stop")->click();
    QVERIFY(QFile::exists(GrabLiveWidget::stop_request_path()));
    QCOMPARE(m_sleeps, QList<unsigned long>{1000});
    QVERIFY(is_idle());
    QCOMPARE(m_boxes->count(), 0);
    // Gone with the window, so that no later capture finds it.
    m_window.reset();
    QVERIFY(!QFile::exists(GrabLiveWidget::stop_request_path()));
}

void TestGrabLiveWidget::folder_check_data()
{
    QTest::addColumn<QString>("folder"); // "missing", "read only" or "writable", each but the first with a 1.txt
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing folder") << "missing" << false << "存储路径无效, 请重新选择 '文件夹' 路径!";
    QTest::newRow("no write permission") << "read only" << false << "当前路径没有读写权限,请以管理员权限运行软件 \n %1";
    QTest::newRow("writable, with a 1.txt of the user's") << "writable" << true << "";
}

void TestGrabLiveWidget::folder_check()
{
    QFETCH(QString, folder);
    QFETCH(bool, accepted);
    QFETCH(QString, message);

    // Under /tmp, which every user may pass through.
    QTemporaryDir base("/tmp/davaz-folder-XXXXXX");
    const auto pass = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                      QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(base.path(), pass | QFileDevice::WriteOwner));
    const QString dir = base.filePath("target");
    if (folder != "missing") {
        QVERIFY(QDir().mkdir(dir));
        QFile user(dir + "/1.txt");
        QVERIFY(user.open(QIODevice::WriteOnly));
        user.write("the user's own notes");
        user.close();
        if (folder == "read only")
            QVERIFY(QFile::setPermissions(dir, pass));
    }

    // Root may write anywhere; the check then runs as nobody.
    const bool as_nobody = folder == "read only" && ::geteuid() == 0;
    if (as_nobody)
        QVERIFY(::seteuid(65534) == 0);
    const bool result = m_window->checkReadWrite(dir);
    if (as_nobody)
        QVERIFY(::seteuid(0) == 0);

    QCOMPARE(result, accepted);
    QCOMPARE(box_texts(), message.arg(dir));
    if (folder != "missing") {
        QFile user(dir + "/1.txt");
        QVERIFY(user.open(QIODevice::ReadOnly));
        QCOMPARE(user.readAll(), QByteArray("the user's own notes"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"1.txt"});
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

void TestGrabLiveWidget::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message"); // none: the window records on until the user stops it
    QTest::addColumn<double>("kept");     // seconds the file still plays
    QTest::newRow("transcoder missing") << "missing"
                                        << "启动子进程读取视频流错误，请尝试以管理员权限启动" << 0.0;
    // As when the machine goes down: its ffmpeg dies with it, and what is on disk still plays.
    QTest::newRow("transcoder killed mid-capture") << "kill"
                                                   << "子进程启动崩溃，请尝试以管理员权限启动" << 2.0;
    QTest::newRow("disk fills up") << "size=256k"
                                   << "" << 1.0;
    // The server goes for good: this row comes last.
    QTest::newRow("rtmp server stopped during a capture") << "server"
                                                          << "抓流失败，Rtmp地址不存在，请检查！" << 2.0;
}

void TestGrabLiveWidget::faults()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QFETCH(double, kept);
    if (fault == "missing" && !faults::in_copy())
        return faults::run_row_in_copy();
    if (fault.startsWith("size") && !m_disk.mount(m_out->path(), fault))
        QSKIP("mounting a small disk is not allowed here");
    QVERIFY(testmedia::write_file(m_out->filePath("notes.txt"), "the user's own"));
    const faults::Files before = faults::files({m_out->path(), m_media.path()});
    child<QLineEdit>("lineEdit_encode_ip")->setText(m_rtmp.url("av"));
    child<QLineEdit>("lineEdit_savepath")->setText(m_out->path());
    child<QComboBox>("comboBox")->setCurrentText(".mp4");
    const QString file = m_out->filePath(child<QLineEdit>("lineEdit_file_name")->text() + ".mp4");
    for (int attempt = 1; attempt <= (fault == "missing" ? 2 : 1); ++attempt) {
        child<QPushButton>("pushButton_start")->click();
        if (fault == "kill" || fault == "server") {
            QTRY_VERIFY2_WITH_TIMEOUT(m_window->elapsed_seconds() >= 4, qPrintable(box_texts()), kTimeout);
            if (fault == "kill")
                QCOMPARE(faults::kill_matching("FFmpeg.exe -i " + m_rtmp.url("av")), 1);
            else
                m_rtmp.stop();
        }
        if (message.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(m_window->findChild<QProcess*>()->state() == QProcess::NotRunning, kTimeout);
            QVERIFY(!is_idle());
            child<QPushButton>("pushButton_stop")->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_boxes->count() == attempt - message.isEmpty() && is_idle(), kTimeout);
        QCOMPARE(box_texts(), QStringList(attempt, message).join(" | "));
        QCOMPARE(m_sleeps.size(), attempt);
        QTRY_VERIFY(m_window->findChildren<QProcess*>().isEmpty());
    }
    const Probe made = probe(file);
    QVERIFY2(kept == 0 || (made.video && made.duration >= kept), qPrintable(QString::number(made.duration)));
    QCOMPARE(faults::touched(before, {file}), QStringList());
}

QTEST_MAIN(TestGrabLiveWidget)
#include "test_grablivewidget.moc"
