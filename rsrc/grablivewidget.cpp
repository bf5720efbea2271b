#include "grablivewidget.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "rsrc/toolframe.h"
#include "ui_grablivewidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTime>
#include <QTimerEvent>
#include <QUrl>

#include <utility>

namespace {

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
const char* const kNextFile = QT_TRANSLATE_NOOP("GrabLiveWidget", "画面尺寸已改变，继续录制到新文件：%1");

const char* const kAddressKinds = QT_TRANSLATE_NOOP(
    "GrabLiveWidget", "可录制的地址：rtmp://…、rtsp://…、HLS 播放列表 http(s)://….m3u8、srt://…、http(s)://….flv");

} // namespace

const char* const GrabLiveWidget::default_address = "rtmp://ns8.indexforce.com/home/mystream";

GrabLiveWidget::GrabLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::GrabLiveWidget)
    , m_timer_id(0)
    , m_elapsed(0)
    , m_session(this)
{
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
    m_session.set_reconnect(ui->checkBox_reconnect->isChecked());
    connect(ui->checkBox_reconnect, &QCheckBox::toggled, &m_session, &CaptureSession::set_reconnect);
    connect(&m_session, &CaptureSession::sg_error, this, &GrabLiveWidget::slot_error);
    connect(&m_session, &CaptureSession::sg_failed, this, &GrabLiveWidget::failed);
    connect(&m_session, &CaptureSession::sg_ended, this, &GrabLiveWidget::stop_clock);
    connect(&m_session, &CaptureSession::sg_dropped, this, [this] {
        stop_clock();
        ui->lb_state->setText(tr(kDropped));
    });
    // The clock counts from the first picture recorded; after a drop it goes on from where it stopped.
    connect(&m_session, &CaptureSession::sg_recording, this,
            [this](const QString& file, bool resumed, qint64 written_ms) {
                start_clock(written_ms);
                if (resumed)
                    ui->lb_state->setText(tr(kResumed).arg(QFileInfo(file).fileName()));
            });
    connect(&m_session, &CaptureSession::sg_written, this, &GrabLiveWidget::follow_file);
    connect(&m_session, &CaptureSession::sg_next_file, this,
            [this](const QString& file) { ui->lb_state->setText(tr(kNextFile).arg(QFileInfo(file).fileName())); });
    ui->spinBox_segment->setEnabled(ui->checkBox_segment->isChecked());
    connect(ui->checkBox_segment, &QCheckBox::toggled, ui->spinBox_segment, &QWidget::setEnabled);
}

GrabLiveWidget::~GrabLiveWidget()
{
    create_delete_file(false);
    write_cfg();
    // The process dies with the session, right after the form, and reports nothing more.
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
    if (m_session.disk_low(ui->lineEdit_savepath->text())) {
        msgbox::information(this, tr("提示"), m_session.disk_text(false), tr("确定"));
        return false;
    }
    return m_session.start({url, out, ui->checkBox_segment->isChecked() ? ui->spinBox_segment->value() : 0});
}

void GrabLiveWidget::stopProcess()
{
    m_session.stop();
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
    if (const QString problem = CaptureSession::folder_problem(); !problem.isEmpty())
        return msgbox::information(this, tr("提示"), problem, tr("确定"));
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
    const CaptureSession::Ending ending = m_session.finish(1000);
    stop_clock();
    refresh_ui(false);
    // A capture that got nothing says so: it left no file behind.
    if (ending != CaptureSession::Ending::NotCapturing)
        ui->lb_state->setText(ending == CaptureSession::Ending::NothingArrived ? tr(kNothingArrived) : QString());
}

void GrabLiveWidget::start_clock(qint64 written_ms)
{
    // What the file held when the clock heard of it counts: the clock and the file agree.
    m_file_base_ms = qint64(m_elapsed) * 1000;
    set_clock(m_file_base_ms + written_ms);
}

void GrabLiveWidget::set_clock(qint64 ms)
{
    stop_clock();
    m_elapsed = int(ms / 1000);
    m_tick_ms = int(1000 - ms % 1000);
    m_clock_ms = ms;
    m_clock_since_ms = platform::Clock::current().now_ms();
    m_timer_id = startTimer(m_tick_ms, Qt::PreciseTimer);
}

void GrabLiveWidget::follow_file(qint64 written_ms)
{
    // A source that sends the rest of a key picture's interval in a burst puts the file ahead of a clock that counts
    // from the first record: the clock catches up.
    constexpr qint64 k_ahead_ms = 50;
    const qint64 file_ms = m_file_base_ms + written_ms;
    if (m_timer_id == 0 || file_ms <= m_clock_ms + platform::Clock::current().now_ms() - m_clock_since_ms + k_ahead_ms)
        return;
    const int shown = m_elapsed;
    set_clock(file_ms);
    if (m_elapsed != shown)
        slot_timer();
}

void GrabLiveWidget::stop_clock()
{
    if (m_timer_id != 0)
        killTimer(std::exchange(m_timer_id, 0));
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
    if (std::exchange(m_tick_ms, 1000) != 1000) {
        killTimer(m_timer_id);
        m_timer_id = startTimer(1000, Qt::PreciseTimer);
    }
    // Nothing is counted while the capture waits for the stream's first picture.
    if (m_session.recording()) {
        ++m_elapsed;
        m_clock_ms = qint64(m_elapsed) * 1000;
        m_clock_since_ms = platform::Clock::current().now_ms();
        QMetaObject::invokeMethod(this, "slot_timer", Qt::QueuedConnection);
    }
    // Stopped while there is room left, so the file is complete rather than cut by a full disk.
    if (m_session.capturing() && m_session.disk_low(ui->lineEdit_savepath->text())) {
        on_pushButton_stop_clicked();
        msgbox::information(this, tr("提示"), m_session.disk_text(true), tr("确定"));
    }
}

void GrabLiveWidget::slot_timer()
{
    ui->lcdNumber->display(clock_text(m_elapsed));
}

void GrabLiveWidget::failed(const QString& message)
{
    msgbox::information(this, tr("提示"), message, tr("确定"));
    on_pushButton_stop_clicked();
}

// The session reads the transcoder's output as it comes; this reads what is there.
void GrabLiveWidget::slot_readData()
{
    m_session.read_output();
}

void GrabLiveWidget::slot_error(QProcess::ProcessError error)
{
    failed(CaptureSession::process_error_text(error));
}

void GrabLiveWidget::closeEvent(QCloseEvent* event)
{
    write_cfg();
    QWidget::closeEvent(event);
}
