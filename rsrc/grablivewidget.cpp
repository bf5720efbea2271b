#include "grablivewidget.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "protocol/command.h"
#include "protocol/contract.h"
#include "protocol/transcoder.h"
#include "rsrc/toolframe.h"
#include "transcode/localfiles.h"
#include "ui_grablivewidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTime>
#include <QTimerEvent>
#include <QUrl>

#include <utility>

namespace {

// The transcoder's failures the capture looks for, and what the user is told.
const FailureText kFailures[] = {
    {protocol::Outcome::UnsupportedFormat, QT_TRANSLATE_NOOP("GrabLiveWidget", "抓流失败，视频格式不支持！")},
    {protocol::Outcome::ConnectFailed, QT_TRANSLATE_NOOP("GrabLiveWidget", "抓流失败，连接服务器失败！")},
    {protocol::Outcome::NoStream, QT_TRANSLATE_NOOP("GrabLiveWidget", "抓流失败，Rtmp地址不存在，请检查！")},
    {protocol::Outcome::UnknownProtocol, QT_TRANSLATE_NOOP("GrabLiveWidget", "抓流失败，不识别协议，请检查！")},
    {protocol::Outcome::UnknownAddress, QT_TRANSLATE_NOOP("GrabLiveWidget", "抓流失败，不识别流地址，请检查！")},
};

QString process_error_text(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return GrabLiveWidget::tr("启动子进程读取视频流错误，请尝试以管理员权限启动");
    case QProcess::Crashed:
        return GrabLiveWidget::tr("子进程启动崩溃，请尝试以管理员权限启动");
    case QProcess::Timedout:
        return GrabLiveWidget::tr("启动子进程超时，请尝试以管理员权限启动");
    case QProcess::ReadError:
    case QProcess::WriteError:
        return GrabLiveWidget::tr("子进程读写错误，请尝试以管理员权限启动");
    case QProcess::UnknownError:
        break;
    }
    return GrabLiveWidget::tr("未知错误，请尝试以管理员权限启动");
}

QString time_stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd-hh.mm.ss"));
}

const char* const kKeyAddress = "grablivewidget/ip";
const char* const kKeyFolder = "grablivewidget/dir";
const char* const kKeyReconnect = "cfg_grab_reconnect";
const char* const kKeySegment = "cfg_grab_segment";
const char* const kKeySegmentLength = "cfg_grab_segment_minutes";

// Texts of the options, beside the window's other texts.
const char* const kDropped = QT_TRANSLATE_NOOP("GrabLiveWidget", "流已断开，重连中…");
const char* const kResumed = QT_TRANSLATE_NOOP("GrabLiveWidget", "已重连，正在录制：%1");
const char* const kNothingArrived = QT_TRANSLATE_NOOP("GrabLiveWidget", "没有收到任何数据，未生成录像文件");
const char* const kDiskLow = QT_TRANSLATE_NOOP("GrabLiveWidget", "保存位置的磁盘剩余空间不足%1MB，无法开始录制！");
const char* const kDiskFull =
    QT_TRANSLATE_NOOP("GrabLiveWidget", "保存位置的磁盘剩余空间不足%1MB，录制已停止，已录下的内容保存完好。");

const char* const kAddressKinds = QT_TRANSLATE_NOOP(
    "GrabLiveWidget", "可录制的地址：rtmp://…、rtsp://…、HLS 播放列表 http(s)://….m3u8、srt://…、http(s)://….flv");

// An HLS playlist: its transcoder ends well only when the playlist says it is complete.
bool is_playlist(const QString& url)
{
    const QUrl parsed(url);
    const QString scheme = parsed.scheme().toLower();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           parsed.path().endsWith(QLatin1String(".m3u8"), Qt::CaseInsensitive);
}

} // namespace

const char* const GrabLiveWidget::default_address = "rtmp://ns8.indexforce.com/home/mystream";

GrabLiveWidget::GrabLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(nullptr)
    , m_timer_id(0)
    , m_elapsed(0)
    , m_job(this, outcomes_of(kFailures))
{
    ui = new Ui::GrabLiveWidget;
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, true);

    ui->lineEdit_encode_ip->setPlaceholderText(tr("rtmp:// 或 rtsp://"));
    ui->lineEdit_encode_ip->setToolTip(tr(kAddressKinds));
    ui->lineEdit_encode_ip->setText(QString::fromUtf8(default_address));
    ui->lineEdit_savepath->setText(QDir::homePath());
    ui->lcdNumber->display(QStringLiteral("00:00:00"));
    ui->lineEdit_file_name->setText(time_stamp());
    create_delete_file(false);
    read_cfg();
    connect(&m_job, &TranscoderJob::sg_phrase, this, &GrabLiveWidget::error_phrase);
    connect(&m_job, &TranscoderJob::sg_output, this, &GrabLiveWidget::slot_readData);
    connect(&m_job, &TranscoderJob::sg_error, this, &GrabLiveWidget::slot_error);
    connect(&m_job, &TranscoderJob::sg_progress, this, &GrabLiveWidget::progress_record);
    connect(&m_job, &TranscoderJob::sg_ended, this, &GrabLiveWidget::transcoder_ended);
    connect(&m_job, &TranscoderJob::sg_file_done, this, &GrabLiveWidget::file_done);
    ui->spinBox_segment->setEnabled(ui->checkBox_segment->isChecked());
    connect(ui->checkBox_segment, &QCheckBox::toggled, ui->spinBox_segment, &QWidget::setEnabled);
}

GrabLiveWidget::~GrabLiveWidget()
{
    create_delete_file(false);
    write_cfg();
    // The process dies with the job, right after the form, and reports nothing more.
    delete ui;
}

QString GrabLiveWidget::stop_request_path()
{
    return TranscoderJob::stop_request_path();
}

QString GrabLiveWidget::clock_text(int seconds)
{
    const int hours = seconds / 3600;
    const int minutes = (seconds - hours * 3600) / 60;
    // No valid time of day from 24 hours on: its text is empty.
    return QTime(hours, minutes, seconds % 60, 0).toString(QStringLiteral("hh:mm:ss"));
}

void GrabLiveWidget::read_cfg()
{
    host::read_text(kKeyAddress, ui->lineEdit_encode_ip);
    host::read_text(kKeyFolder, ui->lineEdit_savepath);
    if (EConfig* cfg = host::config()) {
        ui->checkBox_reconnect->setChecked(cfg->read(kKeyReconnect).toBool());
        ui->checkBox_segment->setChecked(cfg->read(kKeySegment).toBool());
        const QVariant minutes = cfg->read(kKeySegmentLength);
        if (!minutes.isNull())
            ui->spinBox_segment->setValue(minutes.toInt());
    }
}

void GrabLiveWidget::write_cfg()
{
    host::write_text(kKeyAddress, ui->lineEdit_encode_ip);
    host::write_text(kKeyFolder, ui->lineEdit_savepath);
    if (EConfig* cfg = host::config()) {
        cfg->write(kKeyReconnect, ui->checkBox_reconnect->isChecked());
        cfg->write(kKeySegment, ui->checkBox_segment->isChecked());
        cfg->write(kKeySegmentLength, ui->spinBox_segment->value());
    }
}

QString GrabLiveWidget::rtmp_url()
{
    const QString url = ui->lineEdit_encode_ip->text().trimmed();
    if (url.size() <= 10) {
        msgbox::information_ok(this, tr("提示"), tr("当前输入串流地址不合法"));
        return QString();
    }
    return url;
}

QString GrabLiveWidget::out_file()
{
    if (ui->lineEdit_file_name->text().isEmpty())
        ui->lineEdit_file_name->setText(time_stamp());
    // In one pass, so that a '%' in the folder or the name stays as it is.
    const QString path = QStringLiteral("%1/%2%3").arg(ui->lineEdit_savepath->text(), ui->lineEdit_file_name->text(),
                                                       ui->comboBox->currentText());
    qDebug() << path;
    return path;
}

bool GrabLiveWidget::startProcess()
{
    // The file name is filled in even when the address then proves invalid.
    const QString out = out_file();
    const QString url = rtmp_url();
    if (out.isEmpty() || url.isEmpty())
        return false;
    // A recording that would fill the disk is not begun.
    if (disk_too_full()) {
        msgbox::information(this, tr("提示"), tr(kDiskLow).arg(m_disk_margin / (1024 * 1024)), tr("确定"));
        return false;
    }

    const QStringList args = capture_arguments(url, out, 1);
    qDebug() << args;
    stopProcess();
    m_capturing = true;
    m_url = url;
    m_out = m_file = out;
    m_number = 1;
    m_files.clear();
    m_attempt_files = 0;
    m_recorded = m_attempt_recorded = false;
    m_backoff.reset();
    m_job.start(args);
    // A start that failed at once has been reported and stopped already.
    return m_job.running();
}

QStringList GrabLiveWidget::capture_arguments(const QString& url, const QString& out, int number) const
{
    protocol::CaptureCommand command{url.toStdString(), out.toStdString()};
    if (ui->checkBox_segment->isChecked())
        command.segment_seconds = qint64(ui->spinBox_segment->value()) * platform::Clock::current().minute_s();
    command.file_number = number;
    return TranscoderJob::arguments(protocol::write_capture(command));
}

QString GrabLiveWidget::numbered_file(int number) const
{
    return QFile::decodeName(
        QByteArray::fromStdString(protocol::recording_file(QFile::encodeName(m_out).toStdString(), number)));
}

void GrabLiveWidget::file_done(const QString& path)
{
    m_files << path;
    ++m_attempt_files;
}

void GrabLiveWidget::stopProcess()
{
    m_job.stop();
}

void GrabLiveWidget::create_delete_file(bool create)
{
    TranscoderJob::set_stop_request(create);
}

void GrabLiveWidget::refresh_ui(bool running)
{
    ui->lineEdit_encode_ip->setEnabled(!running);
    ui->lineEdit_savepath->setEnabled(!running);
    ui->pushButton_browser->setEnabled(!running);
    ui->pushButton_open_dir->setEnabled(!running);
    ui->pushButton_start->setEnabled(!running);
    ui->pushButton_stop->setEnabled(running);
    ui->lineEdit_file_name->setEnabled(!running);
    if (!running)
        ui->lineEdit_file_name->setText(time_stamp());
}

bool GrabLiveWidget::checkReadWrite(const QString& dir)
{
    if (!QDir(dir).exists()) {
        msgbox::information(this, tr("提示"), tr("存储路径无效, 请重新选择 '文件夹' 路径!"), tr("确定"));
        return false;
    }
    // A probe of a name nobody uses, so that a file of the user's (a 1.txt,
    // say) is never opened, changed or removed.
    QTemporaryFile probe(dir + QStringLiteral("/1.txt.XXXXXX"));
    if (probe.open())
        return true;
    msgbox::information_ok(this, tr("提示"), tr("当前路径没有读写权限,请以管理员权限运行软件 \n %1").arg(dir));
    return false;
}

void GrabLiveWidget::connectWithMe(QString addr)
{
    QDesktopServices::openUrl(QUrl(addr));
}

void GrabLiveWidget::on_tb_close_clicked()
{
    close();
}

void GrabLiveWidget::on_tb_min_clicked()
{
    showMinimized();
}

void GrabLiveWidget::on_pushButton_start_clicked()
{
    // Without the folder of the stop request a capture could not be finished gently.
    const QString folderProblem = temp_file(protocol::stop_file).problem;
    if (!folderProblem.isEmpty()) {
        msgbox::information(this, tr("提示"), folderProblem, tr("确定"));
        return;
    }
    ui->lb_state->clear();
    // A request left by an earlier stop would end the new capture at once.
    create_delete_file(false);
    if (!startProcess())
        return;
    refresh_ui(true);
    m_elapsed = 0;
    start_clock();
}

void GrabLiveWidget::on_pushButton_stop_clicked()
{
    // The transcoder gets a second to finish the file by itself.
    m_job.finish_then_stop(1000);
    stop_clock();
    refresh_ui(false);
    if (!std::exchange(m_capturing, false))
        return;
    // A file the transcoder made but never wrote to tells the user nothing: it goes, and the window says why.
    QFileInfo file(m_file);
    if (!file.exists() || file.size() == 0) {
        if (file.exists())
            QFile::remove(m_file);
        if (!m_recorded) {
            ui->lb_state->setText(tr(kNothingArrived));
            return;
        }
    }
    ui->lb_state->clear();
}

void GrabLiveWidget::start_clock()
{
    if (m_timer_id != 0) {
        killTimer(m_timer_id);
        m_timer_id = 0;
    }
    m_timer_id = startTimer(1000);
}

void GrabLiveWidget::stop_clock()
{
    if (m_timer_id != 0) {
        killTimer(m_timer_id);
        m_timer_id = 0;
    }
}

bool GrabLiveWidget::disk_too_full() const
{
    const qint64 free = platform::free_bytes(ui->lineEdit_savepath->text());
    return free >= 0 && free < m_disk_margin;
}

bool GrabLiveWidget::may_reconnect() const
{
    return m_capturing && m_recorded && ui->checkBox_reconnect->isChecked();
}

void GrabLiveWidget::stream_dropped()
{
    stop_clock();
    // The file so far is finished as a stop finishes it, when the transcoder has not done that itself.
    if (m_job.running() && m_job.process()->state() != QProcess::NotRunning && m_attempt_recorded)
        m_job.finish_then_stop(1000);
    QFileInfo file(m_file);
    if (file.exists() && file.size() == 0)
        QFile::remove(m_file);
    ui->lb_state->setText(tr(kDropped));
    m_job.retry_after(m_backoff.next_ms(), [this] { reconnect(); });
}

void GrabLiveWidget::reconnect()
{
    // The files the attempt completed keep their numbers; the next attempt records into the one after.
    // One that recorded but was ended before it could say so keeps its number too.
    int number = m_number + m_attempt_files;
    if (m_attempt_recorded && m_attempt_files == 0)
        ++number;
    m_number = number;
    m_file = numbered_file(number);
    m_attempt_recorded = false;
    m_attempt_files = 0;
    create_delete_file(false);
    const QStringList args = capture_arguments(m_url, m_out, number);
    qDebug() << args;
    m_job.start(args);
}

void GrabLiveWidget::progress_record(int)
{
    m_recorded = true;
    if (std::exchange(m_attempt_recorded, true) || !m_capturing || m_timer_id != 0)
        return;
    // Recording again after a drop: the clock goes on from where it stopped.
    m_backoff.reset();
    start_clock();
    ui->lb_state->setText(tr(kResumed).arg(QFileInfo(m_file).fileName()));
}

void GrabLiveWidget::transcoder_ended(int exitCode, bool marker)
{
    qDebug() << "capture transcoder ended" << exitCode << marker;
    // A playlist read to its end is the end of the stream; one that stopped growing ends in failure.
    const bool complete = is_playlist(m_url) && exitCode == 0 && marker;
    if (may_reconnect() && !complete) {
        stream_dropped();
        return;
    }
    // Nothing is recorded any more: a clock that counted on would say otherwise.
    stop_clock();
}

void GrabLiveWidget::on_pushButton_open_dir_clicked()
{
    platform::open_folder(ui->lineEdit_savepath->text());
}

void GrabLiveWidget::on_pushButton_browser_clicked()
{
    const QString dir = QFileDialog::getExistingDirectory(this, tr("选择存储路径"), ui->lineEdit_savepath->text(),
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty() && checkReadWrite(dir))
        ui->lineEdit_savepath->setText(dir);
}

void GrabLiveWidget::timerEvent(QTimerEvent* event)
{
    if (m_timer_id == 0 || event->timerId() != m_timer_id)
        return;
    ++m_elapsed;
    QMetaObject::invokeMethod(this, "slot_timer", Qt::QueuedConnection);
    // Stopped while there is room left, so the file is complete rather than cut by a full disk.
    if (m_capturing && disk_too_full()) {
        on_pushButton_stop_clicked();
        msgbox::information(this, tr("提示"), tr(kDiskFull).arg(m_disk_margin / (1024 * 1024)), tr("确定"));
    }
}

void GrabLiveWidget::slot_timer()
{
    ui->lcdNumber->display(clock_text(m_elapsed));
}

void GrabLiveWidget::error_phrase(protocol::Outcome outcome)
{
    if (may_reconnect()) {
        stream_dropped();
        return;
    }
    // Progress records and the finish marker show nothing here: the clock
    // comes from the window's own timer, and only the user ends a capture.
    msgbox::information(this, tr("提示"), tr(text_for(kFailures, outcome)), tr("确定"));
    on_pushButton_stop_clicked();
}

// Nothing happens without a process; the job tells the chunk apart and reports it.
void GrabLiveWidget::slot_readData()
{
    m_job.read_output();
}

void GrabLiveWidget::slot_error(QProcess::ProcessError error)
{
    msgbox::information(this, tr("提示"), process_error_text(error), tr("确定"));
    on_pushButton_stop_clicked();
}

void GrabLiveWidget::closeEvent(QCloseEvent* event)
{
    write_cfg();
    QWidget::closeEvent(event);
}
