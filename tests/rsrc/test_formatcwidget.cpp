// The conversion window: its settings, its row actions and real runs through
// the transcoder, its pauses on the test's clock.

#include "faults.h"
#include "modalboxes.h"
#include "protocol/conversion.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "testclock.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

const int kRunTimeout = 180000;
const QString kEnded = "提示|转码已经结束!|确定";

} // namespace

class TestFormatCWidget : public QObject
{
    Q_OBJECT
    QTemporaryDir m_media;
    QString m_short[2], m_long;
    TestHost m_host;
    TestClock m_clock;
    std::unique_ptr<QTemporaryDir> m_out;
    faults::Disk m_disk; // over the export folder
    std::unique_ptr<ModalBoxes> m_boxes;
    std::unique_ptr<FormatCWidget> m_window;
    qint64 m_ticks = 0;

    template<typename T>
    T* child(const char* name) const
    {
        return m_window->findChild<T*>(name);
    }
    HTableWidgetEx* table() const { return child<HTableWidgetEx>("tableWidget"); }
    QPushButton* start() const { return child<QPushButton>("pb_start_stop"); }
    QString out(const QString& name) const { return m_out->filePath(name); }
    // Fills the table and chooses the output; `size` is only offered for .mp4.
    void prepare(const QStringList& files, const QString& size, const QString& format = ".mp4")
    {
        for (const QString& file : files)
            table()->addFilesToTable(file);
        auto* formats = child<QComboBox>("comb_format");
        formats->setCurrentIndex(formats->findText(format));
        auto* sizes = child<QComboBox>("comb_size");
        sizes->setCurrentIndex(sizes->findText(size));
    }
    void wait_for_row(int row) { QTRY_VERIFY_WITH_TIMEOUT(table()->look_button(row)->isEnabled(), kRunTimeout); }
    void wait_for_progress(int row) { QTRY_VERIFY_WITH_TIMEOUT(table()->progress_bar(row)->value() > 0, kRunTimeout); }
    // The running row's time left and the queue's, in seconds, once the estimate has settled.
    QPair<int, int> time_left(int row)
    {
        QProgressBar* bar = table()->progress_bar(row);
        const QString prefix = "%p%  剩余 ";
        if (!QTest::qWaitFor([&] { return bar->format().startsWith(prefix); }, kRunTimeout))
            return {-1, -1};
        const auto seconds = [](const QString& text) { return QTime(0, 0).secsTo(QTime::fromString(text, "mm:ss")); };
        const QString queue = child<QLabel>("lb_time_left")->text();
        return {seconds(bar->format().mid(prefix.size())), queue.startsWith("全部剩余 ") ? seconds(queue.mid(5)) : -1};
    }

private slots:
    void initTestCase()
    {
        testenv::isolate_host_home();
        // A second per report: the time left settles after a few, however fast the machine.
        m_clock.now = [this] { return m_ticks += 1000; };
        for (int i = 0; i < 2; ++i)
            QVERIFY(!(m_short[i] = testmedia::make_clip(m_media.filePath(QString("clip%1.mp4").arg(i)), 2)).isEmpty());
        // Long enough that a conversion to 1080P is still running when a test stops it.
        QVERIFY(!(m_long = testmedia::make_clip(m_media.filePath("long.mp4"), 10)).isEmpty());
    }
    void init()
    {
        m_out = std::make_unique<QTemporaryDir>();
        m_clock.pending.clear();
        m_boxes = std::make_unique<ModalBoxes>();
        m_window = std::make_unique<FormatCWidget>();
        child<QLineEdit>("lineEdit_export_dir")->setText(m_out->path());
        m_window->show();
    }
    void cleanup()
    {
        m_window.reset();
        m_boxes.reset();
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_out->path()).isEmpty(), 30000);
        m_disk.unmount();
        m_out.reset();
    }

    void settings_are_kept()
    {
        prepare({}, "720P", ".flv");
        child<QCheckBox>("checkBox_lossless")->setChecked(true);
        child<QToolButton>("tb_close")->click();
        QVERIFY(!m_window->isVisible());
        EConfig* cfg = m_host.config();
        QCOMPARE(cfg->read("cfg_format_ext_index").toInt(), 8);
        QCOMPARE(cfg->read("cfg_format_save_path").toString(), m_out->path());

        m_window = std::make_unique<FormatCWidget>();
        QCOMPARE(child<QComboBox>("comb_format")->currentText(), QString(".flv"));
        QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), m_out->path());
        QVERIFY(child<QCheckBox>("checkBox_lossless")->isChecked());
        QVERIFY(!child<QCheckBox>("checkBox_markfailed")->isChecked());

        // A stored folder that is no longer usable leaves the home folder.
        m_window.reset();
        cfg->write("cfg_format_save_path", out("gone"));
        m_window = std::make_unique<FormatCWidget>();
        QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), QDir::homePath());
    }

    // The transcoder's command line for the window's choices; the options add to it only when chosen.
    void command_lines_data()
    {
        QTest::addColumn<QString>("choices"); // format, size, then "custom", "lossless"
        QTest::addColumn<QString>("args");
        const char* const rows[][3] = {
            {"not .mp4: input and output", ".avi 720P custom", "-i S O"},
            {"original size", ".mp4 原始大小", "-i S O"},
            {"a size", ".mp4 720P", "-i S -r 25 -s 1280x720 -b:v 1600k O"},
            {"custom bitrate and rate", ".mp4 原始大小 custom", "-i S -r 30 -b:v 1200k O"},
            {"lossless, right before the output", ".mkv 原始大小 lossless", "-i S COPY O"},
            {"lossless with a size", ".mp4 360P lossless", "-i S -r 25 -s 480x360 -b:v 800k COPY O"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }
    void command_lines()
    {
        QFETCH(QString, choices);
        QFETCH(QString, args);
        const QStringList c = choices.split(' ');
        prepare({}, c[1], c[0]);
        child<QCheckBox>("checkBox_selfbitrate")->setChecked(c.contains("custom"));
        child<QSpinBox>("spinBox_bitrate")->setValue(1200);
        child<QSpinBox>("spinBox_fps")->setValue(30);
        child<QCheckBox>("checkBox_lossless")->setChecked(c.contains("lossless"));
        const QString copy = QString::fromStdString(protocol::copy_request().front());
        QCOMPARE(ConWorker::build_arguments(m_window->job_param("S", "O")).join(' '), args.replace("COPY", copy));
    }

    // New rows, then the clear button: its question, both answers.
    void clear()
    {
        prepare({m_short[0], m_short[1]}, "720P");
        // A new row: its name, its source, its bar at 0, the remove button and the look button not yet usable.
        QCOMPARE(table()->item(0, HTableWidgetEx::ColName)->text(), QString("clip0.mp4"));
        QCOMPARE(table()->source_item(0)->text(), m_short[0]);
        QCOMPARE(table()->progress_bar(0)->value(), 0);
        auto* remove = qobject_cast<QPushButton*>(table()->cellWidget(0, HTableWidgetEx::ColRemove));
        QPushButton* look = table()->look_button(0);
        QVERIFY(remove->isEnabled() && remove->text().isEmpty());
        QVERIFY(!look->isEnabled() && look->text().isEmpty());
        // The pictures come from the plug-in's own bundle.
        QVERIFY(!QIcon(":/images/remove.png").availableSizes().isEmpty());
        QCOMPARE(remove->icon().pixmap(32).toImage(), QIcon(":/images/remove.png").pixmap(32).toImage());
        QCOMPARE(look->icon().pixmap(48).toImage(), QIcon(":/images/movie_48.png").pixmap(48).toImage());

        for (const char* answer : {"取消", "清空"}) {
            m_boxes->answer(answer);
            child<QPushButton>("pb_clear")->click();
            QCOMPARE(m_boxes->last().seen(), QString("询问|是否清空列表 ?|清空 取消"));
            QCOMPARE(table()->rowCount(), QString(answer) == "取消" ? 2 : 0);
        }
        start()->click(); // an empty table does not start
        QVERIFY(!m_window->is_working());
        QCOMPARE(m_boxes->last().seen(), QString("提示|请先添加视频到列表!|确定"));
    }

    void queue_converts_one_after_another()
    {
        prepare({m_short[0], m_short[1]}, "360P");
        start()->click();
        QCOMPARE(start()->text(), QString("停止转码"));
        // Closing the window only hides it: the run goes on.
        child<QToolButton>("tb_close")->click();
        QVERIFY(m_window->is_working());

        wait_for_row(0);
        // Nothing starts before the pause is over.
        QCOMPARE(m_clock.count(), 1);
        QCOMPARE(table()->progress_bar(1)->value(), 0);
        QVERIFY(!table()->look_button(1)->isEnabled());
        QCOMPARE(m_clock.pass(), 1000);
        wait_for_row(1);
        QCOMPARE(m_boxes->count(), 0);
        QCOMPARE(m_clock.pass(), 1000);

        QCOMPARE(m_boxes->count(), 1);
        QCOMPARE(m_boxes->last().seen(), kEnded);
        QCOMPARE(start()->text(), QString("开始转码"));
        QVERIFY(!m_window->is_working());
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(table()->progress_bar(row)->value(), table()->progress_bar(row)->maximum());
            QCOMPARE(table()->progress_bar(row)->text(), QString("100%"));
            QCOMPARE(table()->look_button(row)->toolTip(), out(QString("clip%1_zo.mp4").arg(row)));
            QCOMPARE(testmedia::probe(out(QString("clip%1_zo.mp4").arg(row))), QString("480x360 2s"));
        }

        // Every bar is full: a new run ends at once.
        start()->click();
        QCOMPARE(m_boxes->count(), 2);
        QCOMPARE(m_boxes->last().seen(), kEnded);

        // Look hands the converted file to the player, whose engine here writes down what it got.
        const QString record = out("played.txt");
        const QString engine =
            testmedia::write_script(out("engine.sh"), QString("echo \"$@\" > '%1'\n").arg(record).toUtf8());
        qputenv("DAVAZ_FFPLAY", engine.toUtf8());
        QMetaObject::invokeMethod(table()->look_button(1), "click");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, 30000);
        qunsetenv("DAVAZ_FFPLAY");
        // ZaReridi.exe took "-play" and the converted file, or it would not have started the engine.
        const QString played = QString::fromUtf8(testmedia::read_file(record)).trimmed();
        QVERIFY2(played.contains("-window_title clip1_zo.mp4") && played.endsWith(out("clip1_zo.mp4")),
                 qPrintable(played));
    }

    void stop_and_restart_inside_the_pause()
    {
        prepare({m_short[0], m_long}, "原始大小");
        start()->click();
        wait_for_row(0);
        QCOMPARE(m_clock.count(), 1);

        // Stopped during the pause: the finished file is no partial output.
        start()->click();
        QCOMPARE(start()->text(), QString("开始转码"));
        QCOMPARE(m_clock.count(), 1);
        // Restarted before the old pause is over: it picks up the second row.
        start()->click();
        wait_for_progress(1);
        // The old run's pause ends inside the new run and must not touch it.
        m_clock.pass();
        QVERIFY(m_window->is_working());
        wait_for_row(1);
        m_clock.pass();
        QCOMPARE(m_boxes->last().seen(), kEnded);
        QVERIFY(m_clock.count() == 0);
        QCOMPARE(testmedia::probe(out("clip0_zo.mp4")), QString("320x240 2s"));
        QCOMPARE(testmedia::probe(out("long_zo.mp4")), QString("320x240 10s"));
    }

    void stop_in_the_middle_removes_partial_output()
    {
        prepare({m_long}, "1080P");
        start()->click();
        wait_for_progress(0);
        // The last file's rest is all the queue has left: the file is not counted twice.
        const QPair<int, int> left = time_left(0);
        QVERIFY(left.first >= 0);
        QCOMPARE(left.second, left.first);

        start()->click();
        QVERIFY(!m_window->is_working());
        // A stopped row tells no time left any more.
        QCOMPARE(table()->progress_bar(0)->format(), QString("%p%"));
        QCOMPARE(child<QLabel>("lb_time_left")->text(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out("long_zo.mp4")).isEmpty(), 30000);
        const int kept = table()->progress_bar(0)->value();
        QVERIFY(kept > 0 && kept < table()->progress_bar(0)->maximum());
        // The partial output goes one second later, not at once.
        QVERIFY(QFile::exists(out("long_zo.mp4")));
        QCOMPARE(m_clock.count(), 1);
        QCOMPARE(m_clock.pass(), 1000);
        QVERIFY(!QFile::exists(out("long_zo.mp4")));
        QCOMPARE(table()->progress_bar(0)->value(), kept);
        QVERIFY(!table()->look_button(0)->isEnabled());
    }

    void removing_the_running_row_asks_first()
    {
        prepare({m_short[0], m_long, m_short[1]}, "1080P");
        // The first row counts as converted, so the run starts on the long clip.
        table()->progress_bar(0)->setValue(100);
        start()->click();
        wait_for_progress(1);
        // The queue's time left holds the row below and the pause before it.
        const QPair<int, int> left = time_left(1);
        QVERIFY2(left.first >= 0 && left.second >= left.first + 1,
                 qPrintable(QString("%1 %2").arg(left.first).arg(left.second)));
        QCOMPARE(table()->progress_bar(1)->maximum(), 10); // the range stays the duration

        // A row above goes without a question; the running row stays attached to its job.
        auto remove_first = [this] { QMetaObject::invokeMethod(table()->cellWidget(0, 5), "click"); };
        remove_first();
        QCOMPARE(m_boxes->count(), 0);
        QCOMPARE(table()->rowCount(), 2);

        m_boxes->answer("取消");
        remove_first();
        QCOMPARE(m_boxes->last().seen(),
                 QString("询问|当前行标示的视频,正在转码中...\n是否停止转码并移除该行?|停止并移除 取消"));
        QCOMPARE(table()->rowCount(), 2);
        QVERIFY(m_window->is_working());

        m_boxes->answer("停止并移除");
        remove_first();
        QCOMPARE(table()->rowCount(), 1);
        QCOMPARE(table()->source_item(0)->text(), m_short[1]);
        QVERIFY(!m_window->is_working());
        QCOMPARE(m_boxes->count(), 2); // no end-of-run message
    }

    void window_destroyed_during_a_run()
    {
        // 1080P keeps the transcoder busy long after its first record.
        prepare({m_long}, "1080P");
        start()->click();
        wait_for_progress(0);

        // The transcoder runs on to its end and finishes the file.
        m_window.reset();
        QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out("long_zo.mp4")).isEmpty(), kRunTimeout);
        // 1080P is a box: the 4:3 picture keeps its shape in it.
        QCOMPARE(testmedia::probe(out("long_zo.mp4")), QString("1440x1080 10s"));

        // A new window starts with no run of its own and can run one.
        m_window = std::make_unique<FormatCWidget>();
        QVERIFY(!m_window->is_working());
        child<QLineEdit>("lineEdit_export_dir")->setText(m_out->path());
        prepare({m_short[0]}, "原始大小");
        start()->click();
        wait_for_row(0);
        QCOMPARE(m_clock.pass(), 1000);
        QVERIFY(m_clock.count() == 0);
        QCOMPARE(m_boxes->last().seen(), kEnded);
    }

    // A failed conversion counts as done; a transcoder that never starts holds the run until stopped.
    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("marked"); // the option that marks failed conversions
        QTest::newRow("transcoder missing") << "missing" << false;
        QTest::newRow("transcoder killed mid-conversion") << "kill" << false;
        QTest::newRow("transcoder killed, failures marked") << "kill" << true;
        QTest::newRow("export folder unwritable") << "ro" << false;
        QTest::newRow("disk fills up, failures marked") << "size=256k" << true;
    }
    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(bool, marked);
        child<QCheckBox>("checkBox_markfailed")->setChecked(marked);
        std::optional<faults::ToolsFolder> none;
        if (fault == "missing")
            none.emplace();
        if (fault.startsWith("size") || fault == "ro") {
            if (!m_disk.mount(m_out->path(), fault))
                QSKIP("mounting a small disk is not allowed here");
            testmedia::write_file(out("notes.txt"), "the user's own");
        }
        const faults::Files before = faults::files({m_media.path(), m_out->path()});
        prepare({m_long}, "1080P");
        start()->click();
        if (fault == "missing") {
            // By the time a second start of the missing transcoder has failed, the job's has.
            QProcess marker;
            QSignalSpy failed(&marker, &QProcess::errorOccurred);
            marker.start(none->path("FFmpeg.exe"));
            QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, kRunTimeout);
            QVERIFY(m_window->is_working() && table()->progress_bar(0)->value() == 0);
            start()->click();
            QVERIFY(!m_window->is_working());
            QCOMPARE(m_clock.pass(), 1000);
        } else {
            if (fault == "kill") {
                wait_for_progress(0);
                QVERIFY(time_left(0).first >= 0);
                QCOMPARE(faults::kill_matching("FFmpeg.exe -i " + m_long), 1); // its ffmpeg must follow it
            }
            if (marked) {
                // Said in the row, nothing to play, and the next run tries it again.
                QTRY_COMPARE_WITH_TIMEOUT(table()->progress_bar(0)->text(), QString("转换失败"), kRunTimeout);
                QVERIFY(!table()->look_button(0)->isEnabled());
                QVERIFY(table()->progress_bar(0)->value() < table()->progress_bar(0)->maximum());
            } else {
                wait_for_row(0);
                QCOMPARE(table()->progress_bar(0)->value(), table()->progress_bar(0)->maximum());
                QCOMPARE(table()->progress_bar(0)->text(), QString("100%"));
            }
            QCOMPARE(m_clock.pass(), 1000);
            QCOMPARE(m_boxes->last().seen(), kEnded);
        }
        QCOMPARE(m_boxes->count(), fault == "missing" ? 0 : 1);
        QCOMPARE(start()->text(), QString("开始转码"));
        QCOMPARE(faults::touched(before, {out("long_zo.mp4")}), QStringList());
    }
};

QTEST_MAIN(TestFormatCWidget)
#include "test_formatcwidget.moc"
