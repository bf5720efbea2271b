// The conversion window: its choices, its settings, its row actions and real
// runs through the transcoder. Its pauses run on a stand-in clock that the
// test advances, so every timing rule is checked without waiting for it.

#include "modalboxes.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

const int kRunTimeout = 180000;

// Width, height and duration in whole seconds, as ffprobe reads them.
QString probe(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height:format=duration",
                        "-of", "csv=p=0:s=x", path});
    p.waitForFinished(30000);
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split('\n');
    return lines.size() == 2 ? QString("%1 %2s").arg(lines[0]).arg(qRound(lines[1].toDouble())) : QString();
}

// The window's pauses, held until the test lets them pass.
struct Pauses
{
    struct Pending
    {
        int ms;
        QPointer<QObject> context;
        std::function<void()> step;
    };
    QList<Pending> pending;
    FormatCWidget::Delay previous;

    Pauses()
    {
        previous = FormatCWidget::set_delay([this](int ms, QObject* context, std::function<void()> step) {
            pending << Pending{ms, context, std::move(step)};
        });
    }
    ~Pauses() { FormatCWidget::set_delay(std::move(previous)); }

    QList<int> lengths() const
    {
        QList<int> ms;
        for (const Pending& p : pending)
            ms << p.ms;
        return ms;
    }
    // Lets the oldest pause pass, as the clock would after its length.
    void pass()
    {
        QVERIFY(!pending.isEmpty());
        const Pending p = pending.takeFirst();
        if (p.context)
            p.step();
    }
};

} // namespace

class TestFormatCWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void job_parameters_data();
    void job_parameters();
    void settings_are_kept();
    void new_row_shape();
    void clear_and_look_data();
    void clear_and_look();
    void queue_converts_one_after_another();
    void stop_and_restart_inside_the_pause();
    void stop_in_the_middle_removes_partial_output();
    void removing_the_running_row_asks_first();
    void window_destroyed_during_a_run();

private:
    template<typename T>
    T* child(const char* name) const
    {
        T* found = m_window->findChild<T*>(name);
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    HTableWidgetEx* table() const { return child<HTableWidgetEx>("tableWidget"); }
    QPushButton* start() const { return child<QPushButton>("pb_start_stop"); }
    void choose(const QString& format, const QString& size);
    // Starts the run and waits until the job of `row` has reported its end.
    void wait_for_row(int row);

    QTemporaryDir m_media;
    QString m_short[2];
    QString m_long;
    std::unique_ptr<TestHost> m_host;
    std::unique_ptr<FormatCWidget> m_window;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<Pauses> m_pauses;
    std::unique_ptr<ModalBoxes> m_boxes;
};

void TestFormatCWidget::initTestCase()
{
    testenv::isolate_host_home();
    for (int i = 0; i < 2; ++i) {
        m_short[i] = testmedia::make_clip(m_media.filePath(QString("clip%1.mp4").arg(i)), 2);
        QVERIFY(!m_short[i].isEmpty());
    }
    // Long enough that a conversion to 1080P is still running when a test stops it.
    m_long = testmedia::make_clip(m_media.filePath("long.mp4"), 10);
    QVERIFY(!m_long.isEmpty());
}

void TestFormatCWidget::init()
{
    m_host = std::make_unique<TestHost>();
    m_out = std::make_unique<QTemporaryDir>();
    m_pauses = std::make_unique<Pauses>();
    m_boxes = std::make_unique<ModalBoxes>();
    m_window = std::make_unique<FormatCWidget>();
    child<QLineEdit>("lineEdit_export_dir")->setText(m_out->path());
    m_window->show();
}

void TestFormatCWidget::cleanup()
{
    m_window.reset();
    m_boxes.reset();
    m_pauses.reset();
    m_host.reset();
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(m_out->path()).isEmpty(), 30000);
    m_out.reset();
}

void TestFormatCWidget::choose(const QString& format, const QString& size)
{
    auto* formats = child<QComboBox>("comb_format");
    formats->setCurrentIndex(formats->findText(format));
    auto* sizes = child<QComboBox>("comb_size");
    sizes->setCurrentIndex(sizes->findText(size));
}

void TestFormatCWidget::wait_for_row(int row)
{
    QTRY_VERIFY_WITH_TIMEOUT(table()->look_button(row)->isEnabled(), kRunTimeout);
}

void TestFormatCWidget::job_parameters_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<QList<int>>("expected"); // width, height, bitrate, fps, use_params
    QTest::newRow("mp4 720P") << ".mp4"
                              << "720P" << false << QList<int>{1280, 720, 1600, 25, 1};
    QTest::newRow("mp4 original size") << ".mp4"
                                       << "原始大小" << false << QList<int>{0, 0, 0, 25, 1};
    QTest::newRow("mp4 custom 1200/30") << ".mp4"
                                        << "720P" << true << QList<int>{1280, 720, 1200, 30, 1};
    QTest::newRow("avi ignores the rest") << ".avi"
                                          << "720P" << false << QList<int>{1280, 720, 1600, 25, 0};
}

void TestFormatCWidget::job_parameters()
{
    QFETCH(QString, format);
    QFETCH(QString, size);
    QFETCH(bool, custom);
    QFETCH(QList<int>, expected);
    choose(".mp4", size); // the size box is only enabled for .mp4
    child<QCheckBox>("checkBox_selfbitrate")->setChecked(custom);
    child<QSpinBox>("spinBox_bitrate")->setValue(1200);
    child<QSpinBox>("spinBox_fps")->setValue(30);
    choose(format, size);
    QCOMPARE(child<QComboBox>("comb_size")->isEnabled(), format == ".mp4");

    QCOMPARE(FormatCWidget::get_save_path("E:/out", "D:/v/a.b.mp4", ".avi"), QString("E:/out/a.b_zo.avi"));
    const CWParam p = m_window->job_param("/v/a.b.mp4", "/o/a.b_zo" + format);
    QCOMPARE(p.size_index, child<QComboBox>("comb_size")->findText(size));
    QCOMPARE((QList<int>{p.width, p.height, p.bitrate, p.fps, p.use_params}), expected);
}

void TestFormatCWidget::settings_are_kept()
{
    choose(".flv", "720P");
    child<QToolButton>("tb_close")->click();
    QVERIFY(!m_window->isVisible());
    EConfig* cfg = m_host->config();
    QCOMPARE(cfg->read("cfg_format_ext_index").toInt(), 8);
    QCOMPARE(cfg->read("cfg_format_save_path").toString(), m_out->path());

    m_window = std::make_unique<FormatCWidget>();
    QCOMPARE(child<QComboBox>("comb_format")->currentText(), QString(".flv"));
    QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), m_out->path());
    QCOMPARE(start()->text(), QString("开始转换"));

    // A stored folder that is no longer usable leaves the home folder.
    m_window.reset();
    cfg->write("cfg_format_save_path", m_out->filePath("gone"));
    m_window = std::make_unique<FormatCWidget>();
    QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), QDir::homePath());
}

void TestFormatCWidget::new_row_shape()
{
    table()->addFilesToTable(m_short[0]);
    QCOMPARE(table()->rowCount(), 1);
    for (int column = 0; column < HTableWidgetEx::ColumnCount; ++column)
        QCOMPARE(table()->item(0, column)->type(), column);
    QCOMPARE(table()->item(0, HTableWidgetEx::ColName)->text(), QString("clip0.mp4"));
    QCOMPARE(table()->source_item(0)->text(), m_short[0]);
    QCOMPARE(table()->progress_bar(0)->value(), 0);
    auto* remove = qobject_cast<QPushButton*>(table()->cellWidget(0, HTableWidgetEx::ColRemove));
    QPushButton* look = table()->look_button(0);
    QVERIFY(remove->isEnabled() && remove->text().isEmpty());
    QVERIFY(!look->isEnabled() && look->text().isEmpty());
    // The pictures come from the plug-in's own bundle.
    QCOMPARE(remove->icon().pixmap(32).toImage(), QIcon(":/images/remove.png").pixmap(32).toImage());
    QCOMPARE(look->icon().pixmap(48).toImage(), QIcon(":/images/movie_48.png").pixmap(48).toImage());
    QVERIFY(!QIcon(":/images/remove.png").availableSizes().isEmpty());
}

void TestFormatCWidget::clear_and_look_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("rowsAfter");
    QTest::newRow("empty table, start") << "start" << 0;
    QTest::newRow("clear, cancelled") << "取消" << 2;
    QTest::newRow("clear, confirmed") << "清空" << 0;
    QTest::newRow("look at a converted row") << "look" << 2;
}

void TestFormatCWidget::clear_and_look()
{
    QFETCH(QString, action);
    QFETCH(int, rowsAfter);
    if (action == "start") {
        start()->click();
        QCOMPARE(start()->text(), QString("开始转换"));
        QCOMPARE(m_boxes->last().title, QString("提示"));
        QCOMPARE(m_boxes->last().text, QString("请先添加视频到列表!"));
        QCOMPARE(m_boxes->last().buttons, QStringList{"确定"});
        return;
    }
    table()->addFilesToTable(m_short[0]);
    table()->addFilesToTable(m_short[1]);
    if (action == "look") {
        // The player hands the file to an engine that writes down what it got.
        const QString record = m_out->filePath("played.txt");
        const QString engine = m_out->filePath("engine.sh");
        QFile script(engine);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QString("#!/bin/sh\necho \"$@\" > '%1'\n").arg(record).toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        qputenv("DAVAZ_FFPLAY", engine.toUtf8());
        choose(".mp4", "原始大小");
        start()->click();
        wait_for_row(0);
        QMetaObject::invokeMethod(table()->look_button(0), "click");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, 30000);
        QFile played(record);
        QVERIFY(played.open(QIODevice::ReadOnly));
        // ZaReridi.exe took "-play" and the converted file, or it would not have started the engine.
        QVERIFY(QString::fromUtf8(played.readAll()).trimmed().endsWith(m_out->filePath("clip0_zo.mp4")));
        qunsetenv("DAVAZ_FFPLAY");
        start()->click(); // stop the run during its pause
    } else {
        m_boxes->answer(action);
        child<QPushButton>("pb_clear")->click();
        QCOMPARE(m_boxes->last().title, QString("询问"));
        QCOMPARE(m_boxes->last().text, QString("是否清空列表 ?"));
        QCOMPARE(m_boxes->last().buttons, QStringList({"清空", "取消"}));
    }
    QCOMPARE(table()->rowCount(), rowsAfter);
}

void TestFormatCWidget::queue_converts_one_after_another()
{
    for (const QString& clip : m_short)
        table()->addFilesToTable(clip);
    choose(".mp4", "360P");
    start()->click();
    QCOMPARE(start()->text(), QString("停止转码"));
    // Closing the window only hides it: the run goes on.
    child<QToolButton>("tb_close")->click();
    QVERIFY(m_window->is_working());

    wait_for_row(0);
    QCOMPARE(m_pauses->lengths(), QList<int>{1000});
    // Nothing starts before the pause is over.
    QCOMPARE(table()->progress_bar(1)->value(), 0);
    QVERIFY(!table()->look_button(1)->isEnabled());
    m_pauses->pass();
    wait_for_row(1);
    QCOMPARE(m_boxes->count(), 0);
    m_pauses->pass();

    QCOMPARE(m_boxes->count(), 1);
    QCOMPARE(m_boxes->last().text, QString("转码已经结束!"));
    QCOMPARE(start()->text(), QString("开始转码"));
    QVERIFY(!m_window->is_working());
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(table()->progress_bar(row)->value(), table()->progress_bar(row)->maximum());
        const QString out = m_out->filePath(QString("clip%1_zo.mp4").arg(row));
        QCOMPARE(table()->look_button(row)->toolTip(), out);
        QCOMPARE(probe(out), QString("480x360 2s"));
    }

    // Every bar is full: a new run ends at once.
    start()->click();
    QCOMPARE(m_boxes->count(), 2);
    QCOMPARE(m_boxes->last().text, QString("转码已经结束!"));
}

void TestFormatCWidget::stop_and_restart_inside_the_pause()
{
    table()->addFilesToTable(m_short[0]);
    table()->addFilesToTable(m_long);
    choose(".mp4", "原始大小");
    start()->click();
    wait_for_row(0);
    QCOMPARE(m_pauses->pending.size(), 1);

    // Stopped during the pause: the finished file is no partial output.
    start()->click();
    QCOMPARE(start()->text(), QString("开始转码"));
    QCOMPARE(m_pauses->pending.size(), 1);
    // Restarted before the old pause is over: it picks up the second row.
    start()->click();
    QTRY_VERIFY_WITH_TIMEOUT(table()->progress_bar(1)->value() > 0, kRunTimeout);
    // The old run's pause ends inside the new run and must not touch it.
    m_pauses->pass();
    QVERIFY(m_window->is_working());
    wait_for_row(1);
    m_pauses->pass();
    QCOMPARE(m_boxes->last().text, QString("转码已经结束!"));
    QVERIFY(m_pauses->pending.isEmpty());
    QCOMPARE(probe(m_out->filePath("clip0_zo.mp4")), QString("320x240 2s"));
    QCOMPARE(probe(m_out->filePath("long_zo.mp4")), QString("320x240 10s"));
}

void TestFormatCWidget::stop_in_the_middle_removes_partial_output()
{
    table()->addFilesToTable(m_long);
    choose(".mp4", "1080P");
    const QString out = m_out->filePath("long_zo.mp4");
    start()->click();
    QTRY_VERIFY_WITH_TIMEOUT(table()->progress_bar(0)->value() > 0, kRunTimeout);

    start()->click();
    QVERIFY(!m_window->is_working());
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out).isEmpty(), 30000);
    const int kept = table()->progress_bar(0)->value();
    QVERIFY(kept > 0 && kept < table()->progress_bar(0)->maximum());
    // The partial output goes one second later, not at once.
    QVERIFY(QFile::exists(out));
    QCOMPARE(m_pauses->lengths(), QList<int>{1000});
    m_pauses->pass();
    QVERIFY(!QFile::exists(out));
    QCOMPARE(table()->progress_bar(0)->value(), kept);
    QVERIFY(!table()->look_button(0)->isEnabled());
}

void TestFormatCWidget::removing_the_running_row_asks_first()
{
    table()->addFilesToTable(m_short[0]);
    table()->addFilesToTable(m_long);
    table()->addFilesToTable(m_short[1]);
    choose(".mp4", "1080P");
    // The first row counts as converted, so the run starts on the long clip.
    table()->progress_bar(0)->setValue(100);
    start()->click();
    QTRY_VERIFY_WITH_TIMEOUT(table()->progress_bar(1)->value() > 0, kRunTimeout);

    // A row above goes without a question; the running row stays attached to its job.
    auto remove_first = [this] { QMetaObject::invokeMethod(table()->cellWidget(0, 5), "click"); };
    remove_first();
    QCOMPARE(m_boxes->count(), 0);
    QCOMPARE(table()->rowCount(), 2);

    m_boxes->answer("取消");
    remove_first();
    QCOMPARE(m_boxes->last().title, QString("询问"));
    QCOMPARE(m_boxes->last().text, QString("当前行标示的视频,正在转码中...\n是否停止转码并移除该行?"));
    QCOMPARE(m_boxes->last().buttons, QStringList({"停止并移除", "取消"}));
    QCOMPARE(table()->rowCount(), 2);
    QVERIFY(m_window->is_working());

    m_boxes->answer("停止并移除");
    remove_first();
    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(table()->source_item(0)->text(), m_short[1]);
    QVERIFY(!m_window->is_working());
    QCOMPARE(m_boxes->count(), 2); // no end-of-run message
}

void TestFormatCWidget::window_destroyed_during_a_run()
{
    table()->addFilesToTable(m_long);
    choose(".mp4", "原始大小");
    const QString out = m_out->filePath("long_zo.mp4");
    start()->click();
    QTRY_VERIFY_WITH_TIMEOUT(table()->progress_bar(0)->value() > 0, kRunTimeout);

    // The transcoder runs on to its end and finishes the file.
    m_window.reset();
    QTRY_VERIFY_WITH_TIMEOUT(testmedia::pids_matching(out).isEmpty(), kRunTimeout);
    QCOMPARE(probe(out), QString("320x240 10s"));

    // A new window starts with no run of its own and can run one.
    m_window = std::make_unique<FormatCWidget>();
    QVERIFY(!m_window->is_working());
    child<QLineEdit>("lineEdit_export_dir")->setText(m_out->path());
    table()->addFilesToTable(m_short[0]);
    start()->click();
    wait_for_row(0);
    QVERIFY(m_pauses->pending.size() == 1);
    m_pauses->pass();
    QCOMPARE(m_boxes->last().text, QString("转码已经结束!"));
}

QTEST_MAIN(TestFormatCWidget)
#include "test_formatcwidget.moc"
