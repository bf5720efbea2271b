// The capture window: real recordings from real rtmp and rtsp servers through
// FFmpeg.exe, its failure messages, its clock, the folder check and its settings.
// What the recordings hold is FFmpeg.exe's, tested with it; the capture's rules
// (numbers, drops, waits) are its session's, tested with it.

#include "faults.h"
#include "modalboxes.h"
#include "protocol/command.h"
#include "rsrc/grablivewidget.h"
#include "rtmpserver.h"
#include "rtspserver.h"
#include "testclock.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

const int kTimeout = 120000;
const QString kNothingArrived = "没有收到任何数据，未生成录像文件";
const QString kDropped = "流已断开，重连中…";
const QRegularExpression kTimeStamp("^\\d{4}\\.\\d\\d\\.\\d\\d-\\d\\d\\.\\d\\d\\.\\d\\d$");

// What the decoders say about a file's frames; empty when every frame decodes.
// (A copy into the null muxer would complain of time stamps a player takes.)
QString frame_errors(const QString& file)
{
    const testmedia::Ran r =
        testmedia::run("ffprobe", {"-v", "error", "-show_entries", "frame=pict_type", "-of", "csv", file});
    return r.err + (r.code == 0 ? "" : "(failed)");
}

} // namespace

class TestGrabLiveWidget : public QObject
{
    Q_OBJECT
    QTemporaryDir m_media;
    RtmpServer m_rtmp;
    RtspServer m_rtsp_av, m_rtsp_v;
    QString m_standin; // an ffmpeg that only prints two failure phrases in one line
    TestClock m_clock;
    std::unique_ptr<TestHost> m_host;
    std::unique_ptr<ModalBoxes> m_boxes;
    std::unique_ptr<QTemporaryDir> m_out;
    faults::Disk m_disk; // over the save folder
    std::unique_ptr<GrabLiveWidget> m_window;
    QList<unsigned long> m_sleeps;
    QList<bool> m_ended_by_itself; // per stop: the transcoder had ended when the wait was over

    template<typename T>
    T* child(const char* name) const
    {
        return m_window->findChild<T*>(name);
    }
    QLineEdit* edit(const char* name) const { return child<QLineEdit>(name); }
    // Stops the capture; true when the window is then idle with no box shown.
    bool stop()
    {
        child<QPushButton>("pushButton_stop")->click();
        return is_idle() && m_boxes->count() == 0;
    }
    bool is_idle() const
    {
        return child<QPushButton>("pushButton_start")->isEnabled() &&
               !child<QPushButton>("pushButton_stop")->isEnabled();
    }
    QString box_texts() const { return m_boxes->texts().join(" | "); }
    QString state() const { return child<QLabel>("lb_state")->text(); }
    // The length of the files the window asked the transcoder for, read as the transcoder reads it.
    long long segment_asked() const
    {
        std::vector<std::string> args;
        for (const QString& arg : m_window->findChild<QProcess*>()->arguments())
            args.push_back(arg.toStdString());
        return protocol::take_own_options(args).segment_seconds;
    }
    // True once `file` has been written for `seconds` (ffmpeg makes it once it has
    // looked at the stream) and the window's clock has counted as many.
    bool recorded_for(const QString& file, int seconds)
    {
        if (!QTest::qWaitFor([&] { return QFile::exists(file); }, kTimeout))
            return false;
        QElapsedTimer writing;
        writing.start();
        return QTest::qWaitFor(
            [&] { return writing.elapsed() >= seconds * 1000 && m_window->elapsed_seconds() >= seconds; }, kTimeout);
    }
    void new_window()
    {
        m_window.reset();
        m_window = std::make_unique<GrabLiveWidget>();
        // The stop sequence's second is spent waiting for the transcoder to end by itself.
        m_clock.on_sleep = [this](unsigned long ms) {
            m_sleeps << ms;
            bool ended = true;
            for (QProcess* process : m_window->findChildren<QProcess*>()) {
                if (process->state() != QProcess::NotRunning)
                    ended = process->waitForFinished(30000) && ended;
            }
            m_ended_by_itself << ended;
        };
        m_window->show();
    }
    // Starts capturing `address` to `ext` in the test's folder; the file it records to.
    QString start(const QString& address, const QString& ext)
    {
        edit("lineEdit_encode_ip")->setText(address);
        edit("lineEdit_savepath")->setText(m_out->path());
        child<QComboBox>("comboBox")->setCurrentText(ext);
        child<QPushButton>("pushButton_start")->click();
        return m_out->filePath(edit("lineEdit_file_name")->text() + ext);
    }

private slots:
    void initTestCase()
    {
        testenv::isolate_host_home();
        // A stream that never comes is given up after three seconds.
        qputenv("DAVAZ_READ_TIMEOUT_MS", "3000");
        const QString av = testmedia::make_clip(m_media.filePath("av.mp4"), 10), v = m_media.filePath("v.mp4");
        QVERIFY(!av.isEmpty() && testmedia::ffmpeg({"-i", av, "-an", "-c", "copy", v}));
        QVERIFY(m_rtmp.start());
        QVERIFY2(m_rtmp.publish(av, "av"), qPrintable(m_rtmp.log()));
        QVERIFY2(m_rtsp_av.start(av, true), qPrintable(m_rtsp_av.log()));
        QVERIFY2(m_rtsp_v.start(v, false), qPrintable(m_rtsp_v.log()));
        m_standin = testmedia::write_script(m_media.filePath("two-phrases"),
                                            "printf 'x failed to connect socket y Could not write header z\\n' >&2\n"
                                            "exec sleep 60\n");
        QVERIFY(!m_standin.isEmpty());
    }
    void init()
    {
        m_host = std::make_unique<TestHost>();
        m_clock.pending.clear();
        m_boxes = std::make_unique<ModalBoxes>();
        m_out = std::make_unique<QTemporaryDir>();
        m_sleeps.clear();
        m_ended_by_itself.clear();
        new_window();
    }
    void cleanup()
    {
        m_window.reset();
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_out->path()).isEmpty(), 30000);
        m_disk.unmount();
        m_boxes.reset();
        m_host.reset();
        m_out.reset();
        QFile::remove(GrabLiveWidget::stop_request_path());
    }

    // Defaults, settings, and the stop request: made by a stop, removed by a new window and one that goes.
    void settings_and_stop_request()
    {
        // A new window offers the defaults: this test process's store starts empty and this is its first case.
        QCOMPARE(edit("lineEdit_encode_ip")->text(), QString(GrabLiveWidget::default_address));
        QCOMPARE(edit("lineEdit_savepath")->text(), QDir::homePath());
        QVERIFY(kTimeStamp.match(edit("lineEdit_file_name")->text()).hasMatch());
        QCOMPARE(child<QComboBox>("comboBox")->currentText(), QString(".avi"));
        QVERIFY(child<QPushButton>("pushButton_stop")->isEnabled()); // every widget starts enabled
        // The address field keeps its hint and names every kind of address in its tool tip.
        QCOMPARE(edit("lineEdit_encode_ip")->placeholderText(), QString("rtmp:// 或 rtsp://"));
        for (const char* kind : {"rtmp://", "rtsp://", ".m3u8", "srt://", ".flv"})
            QVERIFY(edit("lineEdit_encode_ip")->toolTip().contains(kind));

        // Stopping while idle makes the request, waits its second and stays idle.
        QVERIFY(stop() && QFile::exists(GrabLiveWidget::stop_request_path()));

        // Saved as typed when the window closes; the next removes the request, which would end its capture.
        edit("lineEdit_encode_ip")->setText("  rtmp://typed.example/live/x  ");
        edit("lineEdit_savepath")->setText("/typed/folder");
        m_window->close();
        QCOMPARE(m_host->config()->read("grablivewidget/ip").toString(), QString("  rtmp://typed.example/live/x  "));
        new_window();
        QVERIFY(!QFile::exists(GrabLiveWidget::stop_request_path()));
        QCOMPARE(edit("lineEdit_encode_ip")->text(), QString("  rtmp://typed.example/live/x  "));
        QCOMPARE(edit("lineEdit_savepath")->text(), QString("/typed/folder"));

        // And saved again when the window goes, which removes the request too.
        edit("lineEdit_savepath")->setText("/later/folder");
        stop();
        m_window.reset();
        QCOMPARE(m_host->config()->read("grablivewidget/dir").toString(), QString("/later/folder"));
        QVERIFY(!QFile::exists(GrabLiveWidget::stop_request_path()));
    }

    // The clock counts what the file already held when the transcoder reports, so that the two agree at the stop: a
    // stand-in transcoder whose first record says 2.5 s, or whose second, a moment after one at 0.25 s, says 2.6 s
    // (a source that sends the rest of its key picture's interval in a burst).
    void clock_counts_what_was_written_data()
    {
        QTest::addColumn<QByteArray>("records"); // centiseconds written, each record a moment after the last
        QTest::newRow("the first record") << QByteArray("250");
        QTest::newRow("a later record") << QByteArray("25 260");
    }
    void clock_counts_what_was_written()
    {
        QFETCH(QByteArray, records);
        faults::ToolsFolder tools;
        QByteArray script;
        for (const QByteArray& cs : records.split(' '))
            script += QByteArray("printf '%s\\n' '") +
                      protocol::write_progress({62, 25, 100, cs.toLongLong(), 800}).c_str() + "'\nsleep 0.3\n";
        QVERIFY(!testmedia::write_script(tools.path("FFmpeg.exe"), script + "exec sleep 60\n").isEmpty());
        start(QString("rtmp://127.0.0.1:%1/live/av").arg(m_rtmp.port()), ".mp4");
        // Counting from the first record alone it would show 1 s first, a second after it.
        QTRY_VERIFY_WITH_TIMEOUT(m_window->elapsed_seconds() > 0, kTimeout);
        QVERIFY2(m_window->elapsed_seconds() >= 2, qPrintable(QString::number(m_window->elapsed_seconds())));
        child<QPushButton>("pushButton_stop")->click();
    }

    // An hour, two minutes and five seconds; the last second of a day; 24 hours show nothing.
    void clock_text()
    {
        for (const auto& [seconds, text] : {std::pair{3725, "01:02:05"}, {86399, "23:59:59"}, {86400, ""}})
            QCOMPARE(GrabLiveWidget::clock_text(seconds), QString(text));
    }

    void record_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("ext");
        QTest::addColumn<bool>("hidden"); // the window is closed while it records
        QTest::addColumn<bool>("again");  // a second recording follows in the same window
        QTest::newRow("rtmp with audio to .mp4, window closed") << m_rtmp.url("av") << ".mp4" << true << false;
        QTest::newRow("rtmp with audio to .avi, twice") << m_rtmp.url("av") << ".avi" << false << true;
        QTest::newRow("rtsp with audio to .mp4, window closed") << m_rtsp_av.url() << ".mp4" << true << false;
        QTest::newRow("rtsp video only to .mp4, twice") << m_rtsp_v.url() << ".mp4" << false << true;
    }
    void record()
    {
        QFETCH(QString, url);
        QFETCH(QString, ext);
        QFETCH(bool, hidden);
        QFETCH(bool, again);
        const QString name = edit("lineEdit_file_name")->text();
        const QString file = start(url, ext);
        QVERIFY(!child<QPushButton>("pushButton_start")->isEnabled() &&
                child<QPushButton>("pushButton_stop")->isEnabled());
        QVERIFY(!edit("lineEdit_file_name")->isEnabled() && child<QComboBox>("comboBox")->isEnabled());
        if (hidden) // the recording and the clock go on while the window is hidden
            m_window->close();

        // The clock counts; about three seconds are recorded (what ffmpeg read while it looked at the stream too).
        QVERIFY2(recorded_for(file, 2), qPrintable(box_texts()));
        m_window->show();
        QVERIFY2(stop(), qPrintable(box_texts()));
        QCOMPARE(m_ended_by_itself, QList<bool>{true});
        QVERIFY(QFile::exists(GrabLiveWidget::stop_request_path()));
        // A fresh name, so the next capture does not reuse this one.
        const QString next = edit("lineEdit_file_name")->text();
        QVERIFY(kTimeStamp.match(next).hasMatch() && next != name);
        QCOMPARE(testmedia::unplayable(file, 2.0, 5.0) + frame_errors(file), QString());
        if (!again)
            return;

        // The next recording in the same window: a clock from zero, a file of its own, the old one left alone.
        const QByteArray first = testmedia::read_file(file);
        const QString second = start(url, ext);
        QCOMPARE(m_window->elapsed_seconds(), 0);
        QVERIFY(second != file);
        QVERIFY2(recorded_for(second, 2), qPrintable(box_texts()));
        stop();
        QCOMPARE(m_ended_by_itself, QList<bool>({true, true}));
        QCOMPARE(testmedia::unplayable(second, 2.0, 5.0), QString());
        QVERIFY(testmedia::read_file(file) == first);
        QVERIFY2(m_boxes->count() == 0, qPrintable(box_texts()));
    }

    // Each failure shows its message once, stops once and leaves the user's files alone.
    void faults_data()
    {
        QTest::addColumn<QString>("address"); // %free: a port where nothing listens; %rtmp: the rtmp server
        // What goes wrong: "standin": FFmpeg.exe runs an ffmpeg that prints two phrases in one line; "missing":
        // no FFmpeg.exe; "kill": it is killed outright mid-capture; "server": the server stops mid-capture;
        // "size=256k": a small disk under the save folder, filled up by the capture (the window's margin set aside).
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // none: the window records on until the user stops it
        QTest::addColumn<int>("stops");       // stop sequences run
        QTest::addColumn<double>("kept");     // seconds the file still plays
        const char* const rows[][6] = {
            {"address of exactly 10 characters", "  rtmp://abc  ", "", "当前输入串流地址不合法", "0", "0"},
            {"unknown protocol, blanks around", "  foo://127.0.0.1/x  ", "", "抓流失败，不识别协议，请检查！", "1",
             "0"},
            {"nothing listens", "rtmp://127.0.0.1:%free/live/x", "", "抓流失败，连接服务器失败！", "1", "0"},
            {"stream never published", "%rtmp/live/nobody", "", "抓流失败，Rtmp地址不存在，请检查！", "1", "0"},
            {"no such stream", "/nowhere/at/all.flv", "", "抓流失败，不识别流地址，请检查！", "1", "0"},
            {"two phrases: the first in table order, one stop", "rtmp://127.0.0.1:%free/live/x", "standin",
             "抓流失败，视频格式不支持！", "1", "0"},
            {"transcoder missing", "%rtmp/live/av", "missing", "启动子进程读取视频流错误，请尝试以管理员权限启动", "1",
             "0"},
            // As when the machine goes down: its ffmpeg dies with it, and what is on disk still plays.
            {"transcoder killed mid-capture", "%rtmp/live/av", "kill", "子进程启动崩溃，请尝试以管理员权限启动", "1",
             "2"},
            {"disk fills up", "%rtmp/live/av", "size=256k", "", "1", "1"},
            // The server goes; it comes back at the end of the row.
            {"rtmp server stopped during a capture", "%rtmp/live/av", "server", "抓流失败，Rtmp地址不存在，请检查！",
             "1", "2"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]) << QString(r[3]) << atoi(r[4]) << atof(r[5]);
    }
    void faults()
    {
        QFETCH(QString, address);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(int, stops);
        QFETCH(double, kept);
        std::optional<faults::ToolsFolder> none;
        if (fault == "missing")
            none.emplace();
        if (fault.startsWith("size") && !m_disk.mount(m_out->path(), fault))
            QSKIP("mounting a small disk is not allowed here");
        if (fault.startsWith("size"))
            m_window->set_disk_margin(0); // to see the disk fill up
        if (fault == "standin")
            qputenv("DAVAZ_FFMPEG", m_standin.toUtf8());
        auto unset = qScopeGuard([] { qunsetenv("DAVAZ_FFMPEG"); });
        QVERIFY(testmedia::write_file(m_out->filePath("notes.txt"), "the user's own"));
        const faults::Files before = faults::files({m_out->path(), m_media.path()});
        address.replace("%free", QString::number(testmedia::free_port()))
            .replace("%rtmp", QString("rtmp://127.0.0.1:%1").arg(m_rtmp.port()));
        // An empty name is filled in before the address is looked at.
        edit("lineEdit_file_name")->clear();
        const QString file = start(address, ".mp4");
        if (fault == "kill" || fault == "server") {
            QVERIFY2(recorded_for(file, 3), qPrintable(box_texts()));
            if (fault == "kill")
                QCOMPARE(faults::kill_matching("FFmpeg.exe -i " + address), 1);
            else
                m_rtmp.stop();
        }
        if (message.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(m_window->findChild<QProcess*>()->state() == QProcess::NotRunning, kTimeout);
            // The transcoder has ended: the clock keeps the recorded time and counts no more.
            QTRY_COMPARE_WITH_TIMEOUT(m_window->clock_timer_id(), 0, kTimeout);
            QVERIFY(!is_idle());
            stop();
        }
        // Whatever else the transcoder said before it ended shows nothing more.
        QTRY_VERIFY_WITH_TIMEOUT(
            m_boxes->count() == (message.isEmpty() ? 0 : 1) && m_window->findChildren<QProcess*>().isEmpty(), kTimeout);
        QCOMPARE(m_boxes->last().seen(),
                 message.isEmpty() ? "||" : QString("提示|%1|%2").arg(message, stops ? "确定" : "OK"));
        QCOMPARE(m_sleeps.size(), stops);
        QVERIFY(is_idle() || stops == 0);
        QVERIFY(kTimeStamp.match(edit("lineEdit_file_name")->text()).hasMatch());
        if (kept > 0)
            QCOMPARE(testmedia::unplayable(file, kept), QString());
        // A capture that got nothing leaves no empty file behind, and says so.
        QVERIFY(!QFile::exists(file) || QFileInfo(file).size() > 0);
        QCOMPARE(state(), kept > 0 || stops == 0 ? QString() : kNothingArrived);
        if (state() == kNothingArrived && fault.isEmpty()) // the next start clears it
            QCOMPARE((start(m_rtmp.url("av"), ".mp4"), state()), QString());
        QCOMPARE(faults::touched(before, {file}), QStringList());
        if (fault == "server")
            QVERIFY(m_rtmp.restart() && m_rtmp.publish(m_media.filePath("av.mp4"), "av"));
    }

    void failure_inside_a_stop()
    {
        // The transcoder dies while the first failure's box is open: the second stops inside the first.
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

        start(QString("rtmp://127.0.0.1:%1/live/x").arg(testmedia::free_port()), ".avi");
        QTRY_COMPARE_WITH_TIMEOUT(m_sleeps.size(), 2, kTimeout);

        QCOMPARE(texts, (QList<QString>{"抓流失败，视频格式不支持！", "子进程启动崩溃，请尝试以管理员权限启动"}));
        QVERIFY(is_idle());
        QTRY_VERIFY_WITH_TIMEOUT(m_window->findChildren<QProcess*>().isEmpty(), kTimeout);
    }

    // Reconnect on drop, as the window shows it: the clock stops, no box, the words for a drop and a resume, and
    // the clock goes on. (The waits, the numbers and the files are the session's rules, tested with it.)
    void reconnect_as_shown()
    {
        auto* option = child<QCheckBox>("checkBox_reconnect");
        QVERIFY(!option->isChecked()); // off by default
        option->setChecked(true);
        auto off = qScopeGuard([option] { option->setChecked(false); });
        const QString name = edit("lineEdit_file_name")->text();
        QVERIFY2(recorded_for(start(m_rtmp.url("av"), ".mp4"), 3), qPrintable(box_texts()));

        m_rtmp.stop();
        QTRY_VERIFY_WITH_TIMEOUT(m_window->reconnecting(), kTimeout);
        QCOMPARE(state(), kDropped);
        QCOMPARE(m_window->clock_timer_id(), 0);
        const int recorded = m_window->elapsed_seconds();
        QVERIFY(m_rtmp.restart() && m_rtmp.publish(m_media.filePath("av.mp4"), "av"));
        m_clock.pass();
        QTRY_COMPARE_WITH_TIMEOUT(state(), "已重连，正在录制：" + name + "_2.mp4", kTimeout);
        QVERIFY(m_window->clock_timer_id() != 0 && m_window->elapsed_seconds() >= recorded);
        QVERIFY(recorded_for(m_window->current_file(), 2));
        QVERIFY2(stop(), qPrintable(box_texts()));
        QCOMPARE(testmedia::unplayable(m_window->current_file(), 2), QString());
    }

    // What a user gets with no test seam: 30-minute segments (1800 s to the
    // transcoder), and no capture begun with less than 200 MB free.
    void real_defaults()
    {
        // Before any case changes the length, so the store holds the field's own value.
        child<QCheckBox>("checkBox_segment")->setChecked(true);
        auto off = qScopeGuard([this] { child<QCheckBox>("checkBox_segment")->setChecked(false); });
        QCOMPARE(child<QSpinBox>("spinBox_segment")->value(), 30);
        start(m_rtmp.url("av"), ".mp4");
        QCOMPARE(segment_asked(), 1800LL);
        stop();
        child<QCheckBox>("checkBox_segment")->setChecked(false);

        if (!m_disk.mount(m_out->path(), "size=24m"))
            QSKIP("mounting a small disk is not allowed here");
        const QString file = start(m_rtmp.url("av"), ".mp4");
        QCOMPARE(m_boxes->last().seen(), QString("提示|保存位置的磁盘剩余空间不足200MB，无法开始录制！|确定"));
        QVERIFY(is_idle() && !QFile::exists(file));
    }

    // Files of a set length: each complete from near zero, together as long as the recording.
    void segments_data()
    {
        QTest::addColumn<QString>("ext");
        QTest::newRow(".mp4") << ".mp4";
        QTest::newRow(".avi") << ".avi";
    }
    void segments()
    {
        QFETCH(QString, ext);
        // A "minute" of the length field lasts a second here.
        m_clock.minute = 1;
        auto unit = qScopeGuard([this] { m_clock.minute = 60; });
        child<QCheckBox>("checkBox_segment")->setChecked(true);
        child<QSpinBox>("spinBox_segment")->setValue(3);
        // Names the transcoder's records and its pattern must carry as they are.
        edit("lineEdit_file_name")->setText("录像 a|b%d");
        const QString name = edit("lineEdit_file_name")->text();
        const QString first = start(m_rtmp.url("av"), ext);
        QCOMPARE(segment_asked(), 3LL);
        QVERIFY2(recorded_for(first, 10), qPrintable(box_texts()));
        stop();
        QVERIFY(m_boxes->count() == 0);

        const QStringList files = QDir(m_out->path()).entryList(QDir::Files, QDir::Time | QDir::Reversed);
        QVERIFY2(files.size() >= 3 && files.first() == name + ext, qPrintable(files.join(' ')));
        double total = 0;
        QStringList reported;
        for (int i = 0; i < files.size(); ++i) {
            const QString file = m_out->filePath(files[i]);
            reported << file;
            QCOMPARE(files[i], i == 0 ? name + ext : QString("%1_%2%3").arg(name).arg(i + 1).arg(ext));
            QCOMPARE(testmedia::unplayable(file, i + 1 < files.size() ? 2.0 : 0.1) + frame_errors(file), QString());
            // Its first video time stamp and its duration.
            const QStringList timing = testmedia::probed(file, "stream=start_time:format=duration", "v:0");
            QVERIFY2(timing.value(0).toDouble() < 0.5, qPrintable(files[i]));
            total += timing.value(1).toDouble();
        }
        QCOMPARE(m_window->recorded_files(), reported);
        // Nothing lost between the files: they hold what one file would.
        QVERIFY2(total >= m_window->elapsed_seconds() - 1.5 && total <= m_window->elapsed_seconds() + 3.5,
                 qPrintable(QString("%1 s in files, %2 s recorded").arg(total).arg(m_window->elapsed_seconds())));
        m_window.reset();
        QVERIFY(m_host->config()->read("cfg_grab_segment").toBool());
        QCOMPARE(m_host->config()->read("cfg_grab_segment_minutes").toInt(), 3);
        m_host->config()->write("cfg_grab_segment", false);
    }

    // Free space runs low during a capture: it stops while there is room, and the file plays.
    void disk_runs_low()
    {
        if (!m_disk.mount(m_out->path(), "size=24m"))
            QSKIP("mounting a small disk is not allowed here");
        m_window->set_disk_margin(12LL << 20);
        const QString file = start(m_rtmp.url("av"), ".mp4");
        QVERIFY2(recorded_for(file, 2), qPrintable(box_texts()));
        // Something else fills the disk up to 8 MB short.
        const qint64 filler = QStorageInfo(m_out->path()).bytesAvailable() - (8LL << 20);
        QVERIFY(filler > 0 && testmedia::write_file(m_out->filePath("filler"), QByteArray(filler, 'x')));
        QTRY_VERIFY_WITH_TIMEOUT(m_boxes->count() == 1, kTimeout);
        QCOMPARE(m_boxes->last().seen(),
                 QString("提示|保存位置的磁盘剩余空间不足12MB，录制已停止，已录下的内容保存完好。|确定"));
        QVERIFY(is_idle() && m_sleeps.size() == 1);
        QCOMPARE(testmedia::unplayable(file, 1), QString());
    }

    void folder_check_data()
    {
        QTest::addColumn<QString>("folder"); // "missing", "read only" or "writable", each but the first with a 1.txt
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing folder") << "missing" << false << "存储路径无效, 请重新选择 '文件夹' 路径!";
        QTest::newRow("no write permission")
            << "read only" << false << "当前路径没有读写权限,请以管理员权限运行软件 \n %1";
        QTest::newRow("writable, with a 1.txt of the user's") << "writable" << true << "";
    }
    void folder_check()
    {
        QFETCH(QString, folder);
        QFETCH(bool, accepted);
        QFETCH(QString, message);

        // Under /tmp, which every user may pass through.
        QTemporaryDir base("/tmp/davaz-folder-XXXXXX");
        const auto pass = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                          QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        QVERIFY(QFile::setPermissions(base.path(), pass | QFileDevice::WriteOwner));
        const QString dir = base.filePath("target");
        if (folder != "missing")
            QVERIFY(testmedia::write_file(dir + "/1.txt", "the user's own notes"));
        if (folder == "read only")
            QVERIFY(QFile::setPermissions(dir, pass));

        // Root may write anywhere; the check then runs as nobody.
        const bool as_nobody = folder == "read only" && ::geteuid() == 0;
        if (as_nobody)
            QVERIFY(::seteuid(65534) == 0);
        const bool result = m_window->checkReadWrite(dir);
        if (as_nobody)
            QVERIFY(::seteuid(0) == 0);

        QCOMPARE(result, accepted);
        QCOMPARE(box_texts(), message.arg(dir));
        if (folder == "missing")
            return;
        QCOMPARE(testmedia::read_file(dir + "/1.txt"), QByteArray("the user's own notes"));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"1.txt"});
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
};

QTEST_MAIN(TestGrabLiveWidget)
#include "test_grablivewidget.moc"
