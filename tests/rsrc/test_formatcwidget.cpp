// The conversion window: its choices, its settings and real runs through the transcoder.

#include "modalboxes.h"
#include "rsrc/formatcwidget/formatcwidget.h"
#include "testhost.h"
#include "testmedia.h"
#include "widgets/htablewidgetex.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
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

QSize probe_size(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height", "-of",
                        "csv=p=0:s=x", path});
    p.waitForFinished(30000);
    const QStringList parts = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split('x');
    return parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : QSize();
}

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
    void mp4_only_controls();
    void settings_are_kept();
    void start_with_empty_table();
    void queue_converts_one_after_another();
    void stop_in_the_middle_removes_partial_output();
    void removing_the_running_row_asks_first();

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
    QProgressBar* bar(int row) const { return qobject_cast<QProgressBar*>(table()->cellWidget(row, 4)); }
    QPushButton* look(int row) const { return qobject_cast<QPushButton*>(table()->cellWidget(row, 6)); }
    void new_window();
    void choose(const QString& format, const QString& size);

    QTemporaryDir m_media;
    QString m_short[3];
    QString m_long;
    std::unique_ptr<TestHost> m_host;
    std::unique_ptr<FormatCWidget> m_window;
    std::unique_ptr<QTemporaryDir> m_out;
};

void TestFormatCWidget::initTestCase()
{
    testenv::isolate_host_home();
    for (int i = 0; i < 3; ++i) {
        m_short[i] = testmedia::make_clip(m_media.filePath(QString("clip%1.mp4").arg(i)), 2);
        QVERIFY(!m_short[i].isEmpty());
    }
    // Long and large enough that a conversion to 1080P is still running when a test stops it.
    m_long = testmedia::make_clip(m_media.filePath("long.mp4"), 30, 640, 480);
    QVERIFY(!m_long.isEmpty());
}

void TestFormatCWidget::init()
{
    m_host = std::make_unique<TestHost>();
    m_out = std::make_unique<QTemporaryDir>();
    new_window();
}

void TestFormatCWidget::cleanup()
{
    m_window.reset();
    m_host.reset();
    m_out.reset();
}

void TestFormatCWidget::new_window()
{
    m_window.reset();
    m_window = std::make_unique<FormatCWidget>();
    child<QLineEdit>("lineEdit_export_dir")->setText(m_out->path());
    m_window->show();
}

void TestFormatCWidget::choose(const QString& format, const QString& size)
{
    auto* formats = child<QComboBox>("comb_format");
    formats->setCurrentIndex(formats->findText(format));
    auto* sizes = child<QComboBox>("comb_size");
    sizes->setCurrentIndex(sizes->findText(size));
}

void TestFormatCWidget::job_parameters_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("custom");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<int>("fps");
    QTest::addColumn<bool>("useParams");
    QTest::newRow("mp4 720P") << ".mp4"
                              << "720P" << false << 1280 << 720 << 1600 << 25 << true;
    QTest::newRow("mp4 original size") << ".mp4"
                                       << "原始大小" << false << 0 << 0 << 0 << 25 << true;
    QTest::newRow("mp4 custom 1200/30") << ".mp4"
                                        << "720P" << true << 1280 << 720 << 1200 << 30 << true;
    QTest::newRow("avi ignores the rest") << ".avi"
                                          << "720P" << false << 1280 << 720 << 1600 << 25 << false;
}

void TestFormatCWidget::job_parameters()
{
    QFETCH(QString, format);
    QFETCH(QString, size);
    QFETCH(bool, custom);
    choose(".mp4", size); // the size box is only enabled for .mp4
    child<QCheckBox>("checkBox_selfbitrate")->setChecked(custom);
    child<QSpinBox>("spinBox_bitrate")->setValue(1200);
    child<QSpinBox>("spinBox_fps")->setValue(30);
    choose(format, size);

    QCOMPARE(FormatCWidget::get_save_path("E:/out", "D:/v/a.b.mp4", ".avi"), QString("E:/out/a.b_zo.avi"));
    const CWParam p = m_window->job_param("/v/a.b.mp4", "/o/a.b_zo" + format);
    QCOMPARE(p.size_index, child<QComboBox>("comb_size")->findText(size));
    QCOMPARE(p.src_path, QString("/v/a.b.mp4"));
    QCOMPARE(p.dst_path, "/o/a.b_zo" + format);
    QTEST(p.width, "width");
    QTEST(p.height, "height");
    QTEST(p.bitrate, "bitrate");
    QTEST(p.fps, "fps");
    QTEST(p.use_params, "useParams");
}

void TestFormatCWidget::mp4_only_controls()
{
    const char* const controls[] = {"comb_size", "checkBox_selfbitrate", "spinBox_bitrate", "spinBox_fps"};
    choose(".mkv", "720P");
    for (const char* name : controls)
        QVERIFY2(!child<QWidget>(name)->isEnabled(), name);
    choose(".mp4", "720P");
    for (const char* name : controls)
        QVERIFY2(child<QWidget>(name)->isEnabled(), name);
    QVERIFY(child<QSpinBox>("spinBox_bitrate")->isHidden());
    child<QCheckBox>("checkBox_selfbitrate")->setChecked(true);
    QVERIFY(!child<QWidget>("label_fps")->isHidden());
}

void TestFormatCWidget::settings_are_kept()
{
    choose(".flv", "720P");
    child<QToolButton>("tb_close")->click();
    QVERIFY(!m_window->isVisible());
    EConfig* cfg = m_host->config();
    QCOMPARE(cfg->read("cfg_format_ext_index").toInt(), 8);
    QCOMPARE(cfg->read("cfg_format_save_path").toString(), m_out->path());

    m_window.reset();
    m_window = std::make_unique<FormatCWidget>();
    QCOMPARE(child<QComboBox>("comb_format")->currentText(), QString(".flv"));
    QVERIFY(!child<QComboBox>("comb_size")->isEnabled());
    QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), m_out->path());
    QCOMPARE(child<QPushButton>("pb_start_stop")->text(), QString("开始转换"));

    // A stored folder that is no longer usable leaves the home folder.
    m_window.reset();
    cfg->write("cfg_format_save_path", m_out->filePath("gone"));
    m_window = std::make_unique<FormatCWidget>();
    QCOMPARE(child<QLineEdit>("lineEdit_export_dir")->text(), QDir::homePath());
}

void TestFormatCWidget::start_with_empty_table()
{
    ModalBoxes boxes;
    child<QPushButton>("pb_start_stop")->click();
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QString("提示"));
    QCOMPARE(boxes.last().text, QString("请先添加视频到列表!"));
    QCOMPARE(boxes.last().buttons, QStringList{"确定"});
    QCOMPARE(child<QPushButton>("pb_start_stop")->text(), QString("开始转换"));
}

void TestFormatCWidget::queue_converts_one_after_another()
{
    for (const QString& clip : m_short)
        table()->addFilesToTable(clip);
    QCOMPARE(table()->rowCount(), 3);
    choose(".mp4", "360P");

    ModalBoxes boxes;
    auto* start = child<QPushButton>("pb_start_stop");
    start->click();
    QCOMPARE(start->text(), QString("停止转码"));
    // Closing the window only hides it: the run goes on.
    child<QToolButton>("tb_close")->click();
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->is_working());

    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, kRunTimeout);
    QCOMPARE(boxes.last().title, QString("提示"));
    QCOMPARE(boxes.last().text, QString("转码已经结束!"));
    QCOMPARE(boxes.last().buttons, QStringList{"确定"});
    QTRY_COMPARE(start->text(), QString("开始转码"));
    QVERIFY(!m_window->is_working());

    for (int row = 0; row < 3; ++row) {
        QCOMPARE(bar(row)->value(), bar(row)->maximum());
        QVERIFY(look(row)->isEnabled());
        const QString out = m_out->filePath(QString("clip%1_zo.mp4").arg(row));
        QCOMPARE(look(row)->toolTip(), out);
        QCOMPARE(probe_size(out), QSize(480, 360));
    }

    // Every bar is full: a new run ends at once.
    start->click();
    QTRY_COMPARE(boxes.count(), 2);
    QCOMPARE(boxes.last().text, QString("转码已经结束!"));
    QCOMPARE(start->text(), QString("开始转码"));
}

void TestFormatCWidget::stop_in_the_middle_removes_partial_output()
{
    table()->addFilesToTable(m_long);
    choose(".mp4", "1080P");
    const QString out = m_out->filePath("long_zo.mp4");

    auto* start = child<QPushButton>("pb_start_stop");
    start->click();
    QTRY_VERIFY_WITH_TIMEOUT(bar(0)->value() > 0, kRunTimeout);
    QVERIFY(QFile::exists(out));

    start->click();
    QVERIFY(!m_window->is_working());
    QCOMPARE(start->text(), QString("开始转码"));
    const int kept = bar(0)->value();
    QVERIFY(kept > 0 && kept < bar(0)->maximum());
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(out), 10000);
    QCOMPARE(bar(0)->value(), kept);
    QVERIFY(!look(0)->isEnabled());
    QVERIFY(testmedia::pids_matching(out).isEmpty());

    // The next run converts that file again, from its beginning.
    choose(".mp4", "原始大小");
    ModalBoxes boxes;
    start->click();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.count(), 1, kRunTimeout);
    QCOMPARE(boxes.last().text, QString("转码已经结束!"));
    QVERIFY(QFile::exists(out));
    QCOMPARE(probe_size(out), QSize(640, 480));
    QVERIFY(look(0)->isEnabled());
}

void TestFormatCWidget::removing_the_running_row_asks_first()
{
    table()->addFilesToTable(m_short[0]);
    table()->addFilesToTable(m_long);
    table()->addFilesToTable(m_short[1]);
    choose(".mp4", "1080P");
    const QString out = m_out->filePath("long_zo.mp4");

    // Mark the first row as converted so the run starts on the long clip.
    bar(0)->setValue(bar(0)->maximum());
    auto* start = child<QPushButton>("pb_start_stop");
    start->click();
    QTRY_VERIFY_WITH_TIMEOUT(bar(1)->value() > 0, kRunTimeout);

    // A row above goes without a question; the running row stays attached to its job.
    ModalBoxes boxes;
    QMetaObject::invokeMethod(table()->cellWidget(0, 5), "click");
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(table()->rowCount(), 2);
    QVERIFY(m_window->is_working());

    boxes.answer("取消");
    QMetaObject::invokeMethod(table()->cellWidget(0, 5), "click");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QString("询问"));
    QCOMPARE(boxes.last().text, QString("当前行标示的视频,正在转码中...\n是否停止转码并移除该行?"));
    QCOMPARE(boxes.last().buttons, QStringList({"停止并移除", "取消"}));
    QCOMPARE(table()->rowCount(), 2);
    QVERIFY(m_window->is_working());

    boxes.answer("停止并移除");
    QMetaObject::invokeMethod(table()->cellWidget(0, 5), "click");
    QCOMPARE(boxes.count(), 2);
    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(table()->item(0, 3)->text(), m_short[1]);
    QVERIFY(!m_window->is_working());
    QCOMPARE(start->text(), QString("开始转码"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(out), 10000);
    QCOMPARE(boxes.count(), 2); // no end-of-run message
}

QTEST_MAIN(TestFormatCWidget)
#include "test_formatcwidget.moc"
