// The live push window: its fields and settings, and real pushes to a real rtmp server.

#include "faults.h"
#include "modalboxes.h"
#include "protocol/command.h"
#include "rsrc/videolivewidget.h"
#include "rtmpserver.h"
#include "testclock.h"
#include "testhost.h"
#include "testmedia.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

const int kPushTimeout = 60000;

// Notes the state label and the marked row whenever the window makes a
// transcoder, its only child that is not a widget (still being built, so no cast).
struct StartWatch : QObject
{
    QStringList labels;
    QList<int> rows;
    bool eventFilter(QObject* window, QEvent* event) override
    {
        if (event->type() == QEvent::ChildAdded && !static_cast<QChildEvent*>(event)->child()->isWidgetType()) {
            labels << window->findChild<QLabel*>("lb_state")->text();
            auto* list = window->findChild<FL_PlayList*>();
            rows << list->row(list->current_movie());
        }
        return false;
    }
};

// The seconds of the state label's progress time; -1 when it shows none.
double label_seconds(const QString& state)
{
    const QRegularExpressionMatch m = QRegularExpression("^时间：(\\d\\d):(\\d\\d):(\\d\\d\\.\\d\\d)").match(state);
    return m.hasMatch() ? m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 + m.captured(3).toDouble() : -1;
}

} // namespace

class TestVideoLiveWidget : public QObject
{
    Q_OBJECT
    QTemporaryDir m_media;
    QString m_clip[2], m_hevc;
    RtmpServer m_server;
    TestHost m_host;
    TestClock m_clock;
    std::unique_ptr<ModalBoxes> m_boxes;
    std::unique_ptr<VideoLiveWidget> m_window;

    FL_PlayList* list() const { return m_window->findChild<FL_PlayList*>("listWidget"); }
    QLineEdit* edit(const char* name) const { return m_window->findChild<QLineEdit*>(name); }
    QPushButton* button() const { return m_window->findChild<QPushButton*>("pb_start_stop"); }
    QCheckBox* option(const char* name) const { return m_window->findChild<QCheckBox*>(name); }
    QString state() const { return m_window->findChild<QLabel*>("lb_state")->text(); }
    QString live() const { return QString("rtmp://127.0.0.1:%1/live").arg(m_server.port()); }
    QPoint centre_of(int row) const { return list()->visualItemRect(list()->item(row)).center(); }
    bool no_push_left() const { return testmedia::pids_matching("FFmpeg.exe -re -i " + m_media.path()).isEmpty(); }
    // Whether a reader on the server sees the stream `key` (in H.264).
    bool server_shows_h264(const QString& key)
    {
        QProcess reader;
        reader.start("ffprobe", {"-v", "error", "-rw_timeout", "20000000", "-show_entries", "stream=codec_name", "-of",
                                 "csv=p=0", m_server.url(key)});
        return QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, kPushTimeout) &&
               reader.readAllStandardOutput().contains("h264");
    }
    void list_up(const QString& url, const QString& key, const QStringList& entries)
    {
        edit("le_rtmp_url")->setText(url);
        edit("le_rtmp_key")->setText(key);
        for (const QString& entry : entries)
            list()->add_movieItem(entry, false);
    }
    // Two entries listed, the first pushed by the start button.
    void start(const QString& url, const QString& key, const QString& first)
    {
        list_up(url, key, {first, m_clip[1]});
        button()->click();
    }

private slots:
    void initTestCase()
    {
        testenv::isolate_host_home();
        // The second is long enough to be still pushing when a fault strikes.
        for (int i = 0; i < 2; ++i)
            QVERIFY(!(m_clip[i] = testmedia::make_clip(m_media.filePath(QString("clip%1.mp4").arg(i)), 3 + 17 * i))
                         .isEmpty());
        m_hevc = testmedia::make_recording(m_media.filePath("hevc.mp4"), 2, testmedia::Recording{"hevc", "25", 0, {}});
        QVERIFY(!m_hevc.isEmpty() && m_server.start(true));
    }
    void init()
    {
        m_clock.pending.clear();
        QFile::remove(FL_PlayList::save_path());
        m_boxes = std::make_unique<ModalBoxes>();
        m_window = std::make_unique<VideoLiveWidget>();
        m_window->show();
    }
    void cleanup()
    {
        // The options go back off in the store, for the tests after.
        option("checkBox_reconnect")->setChecked(false);
        option("checkBox_seamless")->setChecked(false);
        option("checkBox_multi")->setChecked(false);
        m_window.reset();
        m_boxes.reset();
        // No transcoder (nor the ffmpeg it runs) outlives its window.
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_media.path()).isEmpty(), 20000);
    }

    void defaults_and_an_empty_list()
    {
        QCOMPARE(edit("le_rtmp_url")->text() + "|" + edit("le_rtmp_key")->text(), QString("rtmp://|"));
        QVERIFY(edit("le_rtmp_url")->toolTip().contains("rtmps://") &&
                edit("le_rtmp_url")->toolTip().contains("srt://"));
        button()->click();
        QCOMPARE(m_boxes->last().seen(), QString("提示|请先添加视频到直播列表！|确定"));
    }

    void address_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("pushed"); // the output's options and the output; empty: refused
        const char* const rows[][4] = {
            {"key appended with a slash", "rtmp://h/app", "k1", "-f flv rtmp://h/app/k1"},
            {"blank key adds nothing", "rtmp://h/app", "  ", "-f flv rtmp://h/app"},
            {"blanks trimmed, kept in settings", "  rtmp://h/app ", " k1 ", "-f flv rtmp://h/app/k1"},
            {"only the scheme and a 2-character key", "rtmp://", "ab", "-f flv rtmp:///ab"},
            {"9 characters refused", "rtmp://ab", "", ""},
            {"capital scheme refused", "RTMP://h/app", "k1", ""},
            {"rtmps, its certificate checked", "rtmps://h/app", "k1", "-f flv -tls_verify 1 rtmps://h/app/k1"},
            {"SRT as the caller, the key its stream id", "srt://h:9000", "k/1",
             "-f mpegts srt://h:9000?streamid=k%2F1"},
            {"SRT as the listener refused", "srt://h:9000?mode=listener", "", ""},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3]);
    }
    void address()
    {
        QFETCH(QString, url);
        QFETCH(QString, key);
        QFETCH(QString, pushed);
        edit("le_rtmp_url")->setText(url);
        edit("le_rtmp_key")->setText(key);
        m_window->do_live(m_clip[0]);
        // Saved as typed at every start, also when refused.
        QCOMPARE(m_host.config()->read("cfg_video_live_rtmp").toString(), url);
        QCOMPARE(m_host.config()->read("cfg_video_rtmp_key").toString(), key);
        QCOMPARE(m_boxes->last().text, QString(pushed.isEmpty() ? "请正确填入rtmp串流地址！！" : ""));
        const QStringList args = m_window->process() ? m_window->process()->arguments() : QStringList();
        const QStringList expected = QStringList{"-re", "-i", m_clip[0], "-c", "copy"} + pushed.split(' ');
        QCOMPARE(args, pushed.isEmpty() ? QStringList() : expected);
        m_window.reset(); // the next window shows them as typed
        m_window = std::make_unique<VideoLiveWidget>();
        QCOMPARE(edit("le_rtmp_url")->text() + "|" + edit("le_rtmp_key")->text(), url + "|" + key);
    }

    // The entry selected, then the one double-clicked, which takes over; the end of a push moves on.
    void push_goes_through_the_list()
    {
        StartWatch watch;
        m_window->installEventFilter(&watch);
        list_up(live(), "through", {m_clip[0], m_clip[1]});
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, centre_of(1));
        button()->click();
        QCOMPARE(m_window->process()->arguments().value(2), m_clip[1]);
        QCOMPARE(button()->text(), QString("停止"));
        QTRY_VERIFY_WITH_TIMEOUT(state().startsWith("时间："), kPushTimeout);
        const QRegularExpression label("^时间：\\d\\d:\\d\\d:\\d\\d\\.\\d\\d   fps:[\\d.]+  上传：[\\d.]+kbits/s$");
        QVERIFY2(label.match(state()).hasMatch(), qPrintable(state()));

        QVERIFY2(server_shows_h264("through"), qPrintable(m_server.log()));

        const QString running = QString("/proc/%1").arg(m_window->process()->processId());
        // A double-click as the user makes it: a click, then the second press.
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, centre_of(0));
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, centre_of(0));
        QCOMPARE(m_window->process()->arguments().value(2), m_clip[0]);
        QVERIFY(!QFile::exists(running));

        // The end of that push starts the next entry by itself.
        QTRY_VERIFY_WITH_TIMEOUT(watch.rows.size() >= 3, kPushTimeout);
        QCOMPARE(watch.rows.mid(0, 3), QList<int>({1, 0, 1}));
        QCOMPARE(watch.labels.value(0), QString("直播状态"));
        QCOMPARE(watch.labels.value(2), QString("串流完成"));

        QVERIFY(m_window->process()->state() != QProcess::NotRunning);
        button()->click(); // stop: the transcoder ends at once
        QVERIFY(!m_window->process());
        QCOMPARE(button()->text(), QString("开始"));
        // A child the transcoder had just forked still carries its command line for a moment.
        QTRY_VERIFY_WITH_TIMEOUT(no_push_left(), kPushTimeout);
    }

    void bad_address_leaves_the_push_running()
    {
        start(live(), "bad", m_clip[0]);
        const QProcess* running = m_window->process();
        QVERIFY(running);
        edit("le_rtmp_url")->setText("rtmp:/127.0.0.1/live");
        list()->slot_itemDoubleClicked(list()->item(1));
        QCOMPARE(m_boxes->last().text, QString("请正确填入rtmp串流地址！！"));
        QCOMPARE(m_window->process(), running);
        QCOMPARE(list()->current_movie(), list()->item(1));
    }

    // A failed push says why and stops at once; a transcoder that ends without its
    // marker or a known phrase says nothing, the window pushing on until stopped.
    void failures_data()
    {
        QTest::addColumn<QString>("url");
        // "hevc": an HEVC clip; "missing": no FFmpeg.exe; "kill": the transcoder killed mid-push; "server": the
        // server stopped mid-push.
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // none: the window pushes on
        // Reconnect on drop is on: a push that never got going, and what no retry can mend, still fail at once.
        QTest::addColumn<bool>("reconnect");
        const QString nowhere = QString("rtmp://127.0.0.1:%1/live").arg(testmedia::free_port());
        const char* const rows[][4] = {
            {"nothing listens, reconnect on", "nowhere", "", "直播失败，连接服务器失败！"},
            {"server refuses the address, reconnect on", "nosuchapp", "", "直播失败，Rtmp地址不存在或被占用，请检查！"},
            {"HEVC cannot go into FLV, reconnect on", "live", "hevc", "直播失败，视频格式不支持！"},
            {"transcoder missing", "live", "missing", ""},
            {"transcoder killed mid-push", "live", "kill", ""},
            {"rtmp server stopped during a push", "live", "server", ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << (r[1] == QString("nowhere") ? nowhere : live().replace("/live", QString("/") + r[1]))
                                << QString(r[2]) << QString(r[3]) << QString(r[0]).endsWith("reconnect on");
    }
    void failures()
    {
        QFETCH(QString, url);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(bool, reconnect);
        std::optional<faults::ToolsFolder> none;
        if (fault == "missing")
            none.emplace();
        option("checkBox_reconnect")->setChecked(reconnect);
        const faults::Files before = faults::files({m_media.path()});
        const QString clip = fault == "hevc" ? m_hevc : m_clip[1];
        start(url, "failures", clip);
        if (fault == "kill" || fault == "server") {
            QTRY_VERIFY_WITH_TIMEOUT(state().startsWith("时间："), kPushTimeout);
            if (fault == "kill") // its ffmpeg must follow it
                QCOMPARE(faults::kill_matching("FFmpeg.exe -re -i " + clip), 1);
            else
                m_server.stop();
        }
        if (message.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_window->process()->state(), QProcess::NotRunning, kPushTimeout);
            QTimerEvent tick(m_window->refresh_timer_id());
            QApplication::sendEvent(m_window.get(), &tick);
            QCOMPARE(button()->text(), QString("停止"));
            button()->click();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(m_boxes->count(), 1, kPushTimeout);
            QCOMPARE(m_boxes->last().seen(), "提示|" + message + "|确定");
            // The warning mark was there before the push was tried.
            QTRY_COMPARE_WITH_TIMEOUT(list()->item(0)->toolTip().contains("视频编码 hevc"), fault == "hevc",
                                      kPushTimeout);
        }
        QVERIFY(!m_window->process());
        QTRY_VERIFY_WITH_TIMEOUT(no_push_left(), kPushTimeout);
        QCOMPARE(list()->current_movie(), list()->item(0));
        QTRY_COMPARE_WITH_TIMEOUT(button()->text(), QString("开始"), kPushTimeout);
        QCOMPARE(m_boxes->count(), message.isEmpty() ? 0 : 1);
        QVERIFY(m_clock.pending.isEmpty());
        QCOMPARE(faults::touched(before, {}), QStringList());
        QVERIFY(fault != "server" || m_server.restart());
    }

    // Reconnect on drop, as the window shows it: the wait in the state line with the button still "停止", then the
    // same entry from where it had got to; stop ends a wait; an entry whose file went meanwhile is the list's to drop.
    // (The waits' lengths and the positions are the session's rules, tested with it.)
    void reconnect_on_drop_data()
    {
        QTest::addColumn<bool>("gone");
        QTest::newRow("the server comes back") << false;
        QTest::newRow("the entry's file went meanwhile") << true;
    }
    void reconnect_on_drop()
    {
        QFETCH(bool, gone);
        const QString copy = m_media.filePath("copy.mp4");
        QFile::remove(copy);
        QVERIFY(QFile::copy(m_clip[1], copy));
        QVERIFY(!option("checkBox_reconnect")->isChecked()); // off by default
        option("checkBox_reconnect")->setChecked(true);
        start(live(), "back", copy);
        QTRY_VERIFY_WITH_TIMEOUT(label_seconds(state()) >= 2, kPushTimeout);
        const double reached = label_seconds(state());
        m_server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(m_window->reconnecting(), kPushTimeout);
        QCOMPARE(state() + "|" + button()->text(), QString("连接断开，2秒后重连…|停止"));
        QVERIFY(!m_window->process() && (!gone || QFile::remove(copy)) && m_server.restart());
        QCOMPARE(m_clock.pass(), 2000);
        if (gone) {
            QCOMPARE(m_boxes->last().seen(), QString("提示|该视频文件已经被移动或删除,\n该列表项无效!|确定"));
            QVERIFY(list()->count() == 1 && !m_window->process() && !m_window->reconnecting());
            QTRY_COMPARE_WITH_TIMEOUT(button()->text(), QString("开始"), kPushTimeout);
            return;
        }
        QCOMPARE(state(), QString("正在重连…"));
        const QStringList args = m_window->process()->arguments();
        QVERIFY2(args.value(1) == "-ss" && args.value(2).toDouble() >= reached && args.value(4) == copy,
                 qPrintable(args.join(' ')));
        QTRY_VERIFY_WITH_TIMEOUT(state().startsWith("时间："), kPushTimeout);
        QVERIFY2(server_shows_h264("back"), qPrintable(m_server.log()));

        m_server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(m_window->reconnecting(), kPushTimeout);
        button()->click();
        QVERIFY(!m_window->reconnecting() && !m_window->process());
        QCOMPARE(state() + "|" + button()->text(), QString("连接断开，已停止重连|开始"));
        m_clock.pass(); // the cancelled wait runs out: nothing starts
        QVERIFY(!m_window->process() && m_boxes->count() == 0 && m_server.restart());
        m_window.reset();
        m_window = std::make_unique<VideoLiveWidget>();
        QVERIFY(option("checkBox_reconnect")->isChecked());
    }

    // The whole list over one connection ("无缝推流"): one publish (one transcoder) for entries of two sizes, the
    // one FLV cannot carry marked and passed over, and the list marking each entry as it goes out, the first again
    // after the last. (What a reader receives is FFmpeg.exe's, tested with it.)
    void one_connection_for_the_list()
    {
        const QString big = testmedia::make_clip(m_media.filePath("big.mp4"), 3, 640, 360);
        QVERIFY(!big.isEmpty() && !option("checkBox_seamless")->isChecked()); // off by default
        option("checkBox_seamless")->setChecked(true);
        list_up(live(), "seamless", {m_clip[0], m_hevc, big});
        button()->click();
        std::vector<std::string> args;
        for (const QString& arg : m_window->process()->arguments())
            args.push_back(arg.toStdString());
        QVERIFY(protocol::take_own_options(args).list && args.back() == (live() + "/seamless").toStdString());
        QList<int> marked;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const int row = list()->row(list()->current_movie());
                if (marked.isEmpty() || marked.last() != row)
                    marked << row;
                return marked.size() >= 3;
            }(),
            kPushTimeout);
        QCOMPARE(marked, QList<int>({0, 2, 0}));
        QTRY_VERIFY_WITH_TIMEOUT(label_seconds(state()) >= 1, kPushTimeout);
        button()->click();
        QVERIFY(!m_window->process() && m_boxes->count() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(no_push_left(), kPushTimeout);
        QCOMPARE(m_server.log().count("publish: name='seamless'"), 1);
        QVERIFY2(
            list()->item(1)->data(FL_PlayList::FlvProblemRole).toStringList().join('|').contains("无法以FLV推送："),
            qPrintable(list()->item(1)->toolTip()));
        m_window->write_cfg();
        QVERIFY(m_host.config()->read("cfg_video_live_seamless").toBool());
    }

    // Several destinations ("多路推流"): an address that cannot be pushed to is refused before anything; each shows its
    // own state, edited only while stopped and kept with the settings: one on air throughout, one whose server went
    // away back on its own after its wait, one whose certificate was refused.
    void several_destinations()
    {
        auto* table = m_window->findChild<DestinationList*>("tableWidget_destinations");
        auto* add = m_window->findChild<QPushButton*>("pb_dest_add");
        const auto states = [table] {
            QStringList all;
            for (int row = 0; row < table->rowCount(); ++row)
                all << table->item(row, DestinationList::ColState)->text();
            return all.join('|');
        };
        QVERIFY(!option("checkBox_multi")->isChecked() && !table->isVisibleTo(m_window.get())); // off by default
        option("checkBox_multi")->setChecked(true);
        option("checkBox_reconnect")->setChecked(true);
        RtmpServer b;
        QVERIFY(b.start());
        list_up(live(), "many", {m_clip[1]});
        add->click();
        table->item(1, DestinationList::ColAddress)->setText("rtmp:/x");
        button()->click();
        QCOMPARE(m_boxes->last().text + QString::number(!m_window->process()), QString("请正确填入推流地址：rtmp:/x1"));
        table->item(1, DestinationList::ColAddress)->setText(QString("rtmp://127.0.0.1:%1/live").arg(b.port()));
        table->item(1, DestinationList::ColKey)->setText("many");
        add->click();
        table->item(2, DestinationList::ColAddress)->setText(m_server.tls_url("many"));
        button()->click();
        const QString refused = "失败：服务器证书未通过验证";
        QTRY_COMPARE_WITH_TIMEOUT(states(), "推流中|推流中|" + refused, kPushTimeout);
        QVERIFY(!add->isEnabled() && !(table->item(1, DestinationList::ColKey)->flags() & Qt::ItemIsEditable));
        b.stop();
        QTRY_COMPARE_WITH_TIMEOUT(states(), "推流中|2秒后重连…|" + refused, kPushTimeout);
        QVERIFY(b.restart());
        QCOMPARE(m_clock.pass(), 2000);
        QTRY_COMPARE_WITH_TIMEOUT(states(), "推流中|推流中|" + refused, kPushTimeout);
        QCOMPARE(b.log().count("publish: name='many'"), 2);
        QCOMPARE(m_boxes->count(), 1);
        button()->click();
        QCOMPARE(states() + button()->text(), QString("||开始"));
        m_window.reset(); // the next window has them as they were
        m_window = std::make_unique<VideoLiveWidget>();
        table = m_window->findChild<DestinationList*>("tableWidget_destinations");
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->extras().value(1).url + table->extras().value(0).key, m_server.tls_url("many") + "many");
        QVERIFY(option("checkBox_multi")->isChecked() && table->isVisibleTo(m_window.get()));
    }
};

QTEST_MAIN(TestVideoLiveWidget)
#include "test_videolivewidget.moc"
