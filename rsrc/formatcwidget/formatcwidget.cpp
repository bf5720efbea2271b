#include "formatcwidget.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "rsrc/toolframe.h"
#include "transcode/localfiles.h"
#include "ui_formatcwidget.h"
#include "widgets/hostaccess.h"
#include "widgets/hpushbutton.h"
#include "widgets/htablewidgetex.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QProgressBar>

namespace {

struct OutputSize
{
    const char* text;
    int width;
    int height;
    int bitrate; // kbit/s
};

const OutputSize kSizes[] = {
    {QT_TRANSLATE_NOOP("FormatCWidget", "原始大小"), 0, 0, 0},
    {"1080P", 1920, 1080, 3000},
    {"720P", 1280, 720, 1600},
    {"480P", 720, 480, 1000},
    {"360P", 480, 360, 800},
};

// Through the translation function, as the window compares its choice with tr(".mp4").
const char* const kFormats[] = {QT_TRANSLATE_NOOP("FormatCWidget", ".mp4"),  QT_TRANSLATE_NOOP("FormatCWidget", ".avi"),
                                QT_TRANSLATE_NOOP("FormatCWidget", ".rmvb"), QT_TRANSLATE_NOOP("FormatCWidget", ".mkv"),
                                QT_TRANSLATE_NOOP("FormatCWidget", ".rm"),   QT_TRANSLATE_NOOP("FormatCWidget", ".mpg"),
                                QT_TRANSLATE_NOOP("FormatCWidget", ".3gp"),  QT_TRANSLATE_NOOP("FormatCWidget", ".wmv"),
                                QT_TRANSLATE_NOOP("FormatCWidget", ".flv")};

// A row whose conversion gave no file, with the option to mark it.
const char* const kFailed = QT_TRANSLATE_NOOP("FormatCWidget", "转换失败");

// How long working out the waiting files' durations may hold up one progress report.
const qint64 kProbeBudgetMs = 20;
// The pause between two files, in seconds.
const double kPauseSeconds = 1.0;

// The run is shared by the whole program, which holds one conversion window.
struct RunState
{
    bool stopped = false;
    HTableWidgetEx* table = nullptr;
    QTableWidgetItem* item = nullptr; // column 3 of the running row
    int row = 0;
    QProgressBar* bar = nullptr;
    ConWorker* job = nullptr;
    bool job_ended = false; // the job's transcoder has reported its end
    quint64 id = 0;         // which run this is; 0 while none runs
};

RunState g_run;
quint64 g_last_run_id = 0;

void clear_run_state()
{
    g_run = RunState{};
}

// The running row, looked up again from its item since rows above may have gone.
int current_row()
{
    if (g_run.item && g_run.table && g_run.item->tableWidget() == g_run.table)
        return g_run.item->row();
    return g_run.row;
}

} // namespace

FormatCWidget::FormatCWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::FormatCWidget)
    , m_eta([] { return platform::Clock::current().now_ms(); })
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
    m_delete_path.clear();
    init_ui();
    read_cfg();
}

FormatCWidget::~FormatCWidget()
{
    write_cfg();
    // A running job is left to finish on its own: it no longer reports to
    // anyone and goes away when its transcoder has ended.
    if (g_run.table == ui->tableWidget) {
        if (g_run.job)
            g_run.job->release_when_done();
        clear_run_state();
    }
    delete ui;
}

void FormatCWidget::after(int ms, std::function<void()> step)
{
    platform::Clock::current().after(ms, this, std::move(step));
}

bool FormatCWidget::is_working() const
{
    return g_run.job != nullptr;
}

QString FormatCWidget::get_save_path(const QString& dir, const QString& src, const QString& ext)
{
    return dir + QStringLiteral("/") + QFileInfo(src).completeBaseName() + QStringLiteral("_zo") + ext;
}

void FormatCWidget::init_ui()
{
    connect(ui->tableWidget, &HTableWidgetEx::sig_look_row, this, &FormatCWidget::slot_look_row);
    connect(ui->tableWidget, &HTableWidgetEx::sig_remove_row, this, &FormatCWidget::slot_remove_row);
    clear_run_state();

    for (const char* format : kFormats)
        ui->comb_format->addItem(tr(format));
    connect(ui->comb_format, &QComboBox::currentIndexChanged, this,
            [this] { slot_comb_size(ui->comb_format->currentText()); });

    for (const auto& size : kSizes)
        ui->comb_size->addItem(tr(size.text));

    ui->lineEdit_export_dir->setText(QDir::homePath());
    ui->spinBox_bitrate->hide();
    ui->spinBox_fps->hide();
    ui->label_vbitrate->hide();
    ui->label_fps->hide();
    ui->spinBox_bitrate->setRange(200, 10000);
    ui->spinBox_bitrate->setValue(2000);
    connect(ui->checkBox_selfbitrate, &QCheckBox::toggled, this, &FormatCWidget::slot_refresh_define);
}

void FormatCWidget::read_cfg()
{
    EConfig* cfg = host::config();
    if (!cfg)
        return;
    const QVariant dir = cfg->read("cfg_format_save_path");
    if (!dir.isNull() && host::common()->checkPathIsOk(dir.toString()))
        ui->lineEdit_export_dir->setText(dir.toString());
    const QVariant index = cfg->read("cfg_format_ext_index");
    if (!index.isNull())
        ui->comb_format->setCurrentIndex(index.toInt());
    ui->checkBox_lossless->setChecked(cfg->read("cfg_format_lossless").toBool());
    ui->checkBox_markfailed->setChecked(cfg->read("cfg_format_mark_failed").toBool());
}

void FormatCWidget::write_cfg()
{
    EConfig* cfg = host::config();
    if (!cfg)
        return;
    cfg->write("cfg_format_save_path", ui->lineEdit_export_dir->text());
    cfg->write("cfg_format_ext_index", ui->comb_format->currentIndex());
    cfg->write("cfg_format_lossless", ui->checkBox_lossless->isChecked());
    cfg->write("cfg_format_mark_failed", ui->checkBox_markfailed->isChecked());
}

void FormatCWidget::slot_comb_size(QString text)
{
    // Size, bitrate and frame rate apply to ".mp4" only.
    const bool on = text == tr(".mp4");
    ui->comb_size->setEnabled(on);
    ui->checkBox_selfbitrate->setEnabled(on);
    ui->spinBox_bitrate->setEnabled(on);
    ui->spinBox_fps->setEnabled(on);
}

void FormatCWidget::slot_refresh_define(bool checked)
{
    ui->label_vbitrate->setVisible(checked);
    ui->label_fps->setVisible(checked);
    ui->spinBox_bitrate->setVisible(checked);
    ui->spinBox_fps->setVisible(checked);
}

void FormatCWidget::on_pb_add_clicked()
{
    QString start = QDir::homePath();
    if (EConfig* cfg = host::config()) {
        const QVariant stored = cfg->read("cfg_video_format_indir");
        if (!stored.isNull())
            start = stored.toString();
    }
    const QStringList files = QFileDialog::getOpenFileNames(
        this, tr("打开视频文件"), start, tr("Movie (%1)").arg(QString::fromLatin1(HTableWidgetEx::media_filter)));
    if (files.isEmpty())
        return;
    if (EConfig* cfg = host::config())
        cfg->write("cfg_video_format_indir", files.first());
    for (const QString& file : files)
        ui->tableWidget->addFilesToTable(file);
}

void FormatCWidget::on_pb_clear_clicked()
{
    const int answer = msgbox::question(this, tr("询问"), tr("是否清空列表 ?"), {tr("清空"), tr("取消")}, 1, 1);
    if (answer != 0)
        return;
    convert_end(false);
    ui->tableWidget->removeAllRows();
}

void FormatCWidget::on_pb_changedir_clicked()
{
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("选择存储路径"), QString(), QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        ui->lineEdit_export_dir->setText(dir);
}

void FormatCWidget::on_pb_opendir_clicked()
{
    platform::open_folder(ui->lineEdit_export_dir->text());
}

void FormatCWidget::on_tb_close_clicked()
{
    write_cfg();
    close();
}

void FormatCWidget::on_tb_min_clicked()
{
    showMinimized();
}

void FormatCWidget::on_pb_start_stop_clicked()
{
    if (ui->tableWidget->rowCount() == 0) {
        msgbox::information(this, tr("提示"), tr("请先添加视频到列表!"), tr("确定"));
        return;
    }
    if (is_working()) {
        convert_end(false);
        return;
    }
    ui->pb_start_stop->setText(tr("停止转码"));
    convert_begin();
}

void FormatCWidget::convert_begin()
{
    clear_run_state();
    g_run.table = ui->tableWidget;
    g_run.id = ++g_last_run_id;
    m_eta.reset();
    m_durations.clear();
    convert_next();
}

void FormatCWidget::slot_convert_next()
{
    convert_next();
}

void FormatCWidget::convert_next()
{
    // The run may have ended during the pause before this call.
    if (!g_run.table)
        return;
    HTableWidgetEx* table = g_run.table;
    int row = 0;
    if (g_run.item && g_run.item->tableWidget() == table)
        row = g_run.item->row() + 1;

    // Rows whose bar is full were converted before.
    const int rows = table->rowCount();
    for (; row < rows; ++row) {
        QProgressBar* bar = table->progress_bar(row);
        if (!bar || bar->value() < bar->maximum())
            break;
    }
    g_run.row = row;

    if (g_run.job) {
        g_run.job->stop();
        delete g_run.job;
        g_run.job = nullptr;
        g_run.job_ended = false;
    }

    if (row < rows)
        convert_ing();
    else
        convert_end(true);
}

void FormatCWidget::convert_ing()
{
    HTableWidgetEx* table = g_run.table;
    const int row = g_run.row;
    if (g_run.stopped || !table || row < 0 || row >= table->rowCount())
        return;
    QProgressBar* bar = table->progress_bar(row);
    if (bar && bar->value() >= bar->maximum())
        return;
    QTableWidgetItem* item = table->source_item(row);
    if (!item)
        return;

    g_run.item = item;
    QPushButton* look = table->look_button(row);
    if (look)
        look->setEnabled(false);

    QString dir = ui->lineEdit_export_dir->text();
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    const QString src = item->text();
    const QString ext = ui->comb_format->currentText();
    const QString out = get_save_path(dir, src, ext);
    if (look)
        look->setToolTip(out);
    g_run.bar = bar;

    // The partial output of a stopped job must not be removed under the new job's feet.
    if (!m_delete_path.isEmpty() && QFileInfo(m_delete_path) == QFileInfo(out))
        slot_delay_delete();

    const CWParam param = job_param(src, out);
    g_run.job = new ConWorker(param);
    g_run.job_ended = false;
    connect(g_run.job, &ConWorker::sg_progress, this, &FormatCWidget::slot_convert_statu);
    connect(g_run.job, &ConWorker::sg_finished, this, &FormatCWidget::slot_convert_finished);
    m_eta.begin_file(double(g_run.job->total()));
    show_time_left();
    g_run.job->start();
}

CWParam FormatCWidget::job_param(const QString& src, const QString& out) const
{
    const int index = ui->comb_size->currentIndex();
    const OutputSize& size = kSizes[qBound(0, index, int(std::size(kSizes)) - 1)];
    CWParam param;
    param.size_index = index;
    param.src_path = src;
    param.dst_path = out;
    param.width = size.width;
    param.height = size.height;
    param.bitrate = size.bitrate;
    param.fps = 25;
    param.use_params = ui->comb_format->currentText() == tr(".mp4");
    if (ui->checkBox_selfbitrate->isChecked()) {
        param.bitrate = ui->spinBox_bitrate->value();
        param.fps = ui->spinBox_fps->value();
    }
    param.copy_streams = ui->checkBox_lossless->isChecked();
    return param;
}

void FormatCWidget::slot_convert_statu(int total, int current)
{
    if (!g_run.bar)
        return;
    g_run.bar->setRange(0, total);
    g_run.bar->setValue(current);
    m_eta.update(g_run.job ? g_run.job->position() : double(current));
    show_time_left();
}

void FormatCWidget::show_time_left()
{
    if (!g_run.table)
        return;
    if (g_run.bar) {
        const std::optional<qint64> left = m_eta.file_left();
        g_run.bar->setFormat(left ? tr("%p%  剩余 %1").arg(EtaEstimator::format(*left)) : QStringLiteral("%p%"));
    }
    // The files the run will still take, as convert_next() picks them.
    QStringList waiting;
    HTableWidgetEx* table = g_run.table;
    for (int row = current_row() + 1; row < table->rowCount(); ++row) {
        const QProgressBar* bar = table->progress_bar(row);
        const QTableWidgetItem* item = table->source_item(row);
        if (item && (!bar || bar->value() < bar->maximum()))
            waiting << item->text();
    }
    // A file of unknown length gives nothing to count down from.
    if (!g_run.job || g_run.job->total() <= 0) {
        ui->lb_time_left->clear();
        return;
    }
    const std::optional<double> later = m_durations.total(waiting, kProbeBudgetMs);
    const std::optional<qint64> queue =
        later ? m_eta.queue_left(*later, kPauseSeconds * double(waiting.size())) : std::nullopt;
    ui->lb_time_left->setText(queue ? tr("全部剩余 %1").arg(EtaEstimator::format(*queue)) : tr("全部剩余 计算中…"));
}

void FormatCWidget::clear_time_left()
{
    if (g_run.bar)
        g_run.bar->setFormat(QStringLiteral("%p%"));
    ui->lb_time_left->clear();
}

void FormatCWidget::slot_convert_finished(int code)
{
    qDebug() << "finished ..." << code;
    g_run.job_ended = true;
    // With the option, a conversion that gave no file says so and offers nothing to play; the
    // bar stays short of full, so the next run tries it again.
    const bool failed = ui->checkBox_markfailed->isChecked() && g_run.job && !g_run.job->succeeded();
    if (g_run.table) {
        if (QPushButton* look = g_run.table->look_button(current_row())) {
            look->setEnabled(!failed);
            if (g_run.bar) {
                g_run.bar->setFormat(failed ? tr(kFailed) : QStringLiteral("%p%"));
                g_run.bar->setRange(0, 100);
                g_run.bar->setValue(failed ? 0 : 100);
            }
        }
    }
    // A failed conversion counts as done too: the run moves on, unless it has
    // ended (or another has begun) by the time the pause is over.
    const quint64 run = g_run.id;
    after(1000, [this, run] {
        if (run == g_run.id)
            slot_convert_next();
    });
}

void FormatCWidget::convert_end(bool finished)
{
    if (!finished && g_run.job && !g_run.job_ended) {
        // The stopped job's partial output goes a second later, once its
        // transcoder has let go of it; a later run's files are not touched.
        const QString partial = g_run.job->save_path();
        if (!m_delete_path.isEmpty())
            slot_delay_delete(); // an older stop's file: its transcoder is long gone
        m_delete_path = partial;
        after(1000, [this, partial] {
            if (m_delete_path == partial)
                slot_delay_delete();
        });
    }
    write_cfg();
    clear_time_left();
    g_run.stopped = true;
    if (g_run.job) {
        g_run.job->stop();
        delete g_run.job;
        g_run.job = nullptr;
    }
    clear_run_state();
    g_run.stopped = true;
    if (finished)
        msgbox::information(this, tr("提示"), tr("转码已经结束!"), tr("确定"));
    ui->pb_start_stop->setText(tr("开始转码"));
}

void FormatCWidget::slot_delay_delete()
{
    if (m_delete_path.isEmpty())
        return;
    if (ECommon* common = host::common())
        common->removeFile(m_delete_path);
    qDebug() << "delete file: " << m_delete_path;
    m_delete_path.clear();
}

void FormatCWidget::slot_remove_row(int row)
{
    if (is_working() && row == current_row()) {
        const int answer =
            msgbox::question(this, tr("询问"), tr("当前行标示的视频,正在转码中...\n是否停止转码并移除该行?"),
                             {tr("停止并移除"), tr("取消")}, 0, 1);
        if (answer != 0)
            return;
        convert_end(false);
    }
    ui->tableWidget->removeRow(row);
}

void FormatCWidget::slot_look_row(int row)
{
    QPushButton* look = ui->tableWidget->look_button(row);
    if (!look) {
        qWarning() << "look: no button in row" << row;
        return;
    }
    const QString out = look->toolTip();
    if (out.isEmpty()) {
        qWarning() << "look: row" << row << "has no output yet";
        return;
    }
    platform::start_detached(tool_path("ZaReridi.exe"), {QStringLiteral("-play"), out});
}
