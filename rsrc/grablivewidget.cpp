#include "grablivewidget.h"

#include "platform/contract.h"
#include "platform/platform.h"
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
#include <QTemporaryFile>
#include <QTime>
#include <QTimerEvent>
#include <QUrl>

#include <utility>

namespace {

// The transcoder's failure phrases, in the order they are looked for, and what the user is told.
struct Failure
{
    const char* phrase;
    const char* message;
};

const Failure kFailures[] = {
    {"Could not write header", "抓流失败，视频格式不支持！"},
    {"failed to connect socket", "抓流失败，连接服务器失败！"},
    {"failed to read RTMP packet header", "抓流失败，Rtmp地址不存在，请检查！"},
    {"Protocol not found", "抓流失败，不识别协议，请检查！"},
    {"No such file or directory", "抓流失败，不识别流地址，请检查！"},
};

QList<QByteArray> failure_phrases()
{
    QList<QByteArray> list;
    for (const Failure& failure : kFailures)
        list << QByteArray(failure.phrase);
    return list;
}

QString process_error_text(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return QStringLiteral("启动子进程读取视频流错误，请尝试以管理员权限启动");
    case QProcess::Crashed:
        return QStringLiteral("子进程启动崩溃，请尝试以管理员权限启动");
    case QProcess::Timedout:
        return QStringLiteral("启动子进程超时，请尝试以管理员权限启动");
    case QProcess::ReadError:
    case QProcess::WriteError:
        return QStringLiteral("子进程读写错误，请尝试以管理员权限启动");
    case QProcess::UnknownError:
        break;
    }
    return QStringLiteral("未知错误，请尝试以管理员权限启动");
}

QString time_stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd-hh.mm.ss"));
}

const char* const kKeyAddress = "grablivewidget/ip";
const char* const kKeyFolder = "grablivewidget/dir";

} // namespace

const char* const GrabLiveWidget::default_address = "rtmp://ns8.indexforce.com/home/mystream";

GrabLiveWidget::GrabLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(nullptr)
    , m_timer_id(0)
    , m_elapsed(0)
    , m_job(this, failure_phrases())
{
    ui = new Ui::GrabLiveWidget;
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, true);

    ui->lineEdit_encode_ip->setPlaceholderText(tr("rtmp:// 或 rtsp://"));
    ui->lineEdit_encode_ip->setText(QString::fromUtf8(default_address));
    ui->lineEdit_savepath->setText(QDir::homePath());
    ui->lcdNumber->display(QStringLiteral("00:00:00"));
    ui->lineEdit_file_name->setText(time_stamp());
    create_delete_file(false);
    read_cfg();
    m_job.set_sleeper(platform::sleep_ms);
    connect(&m_job, &TranscoderJob::sg_phrase, this, &GrabLiveWidget::slot_phrase);
    connect(&m_job, &TranscoderJob::sg_error, this, &GrabLiveWidget::slot_error);
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

void GrabLiveWidget::set_sleeper(Sleeper sleeper)
{
    m_job.set_sleeper(sleeper ? std::move(sleeper) : Sleeper(platform::sleep_ms));
}

void GrabLiveWidget::read_cfg()
{
    host::read_text(kKeyAddress, ui->lineEdit_encode_ip);
    host::read_text(kKeyFolder, ui->lineEdit_savepath);
}

void GrabLiveWidget::write_cfg()
{
    host::write_text(kKeyAddress, ui->lineEdit_encode_ip);
    host::write_text(kKeyFolder, ui->lineEdit_savepath);
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

    const QStringList args{QStringLiteral("-i"), url, QStringLiteral("-vcodec"), QStringLiteral("copy"), out};
    qDebug() << args;
    stopProcess();
    m_job.start(args);
    // A start that failed at once has been reported and stopped already.
    return m_job.running();
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
    const QString folderProblem = temp_file(contract::stop_file).problem;
    if (!folderProblem.isEmpty()) {
        msgbox::information(this, tr("提示"), folderProblem, tr("确定"));
        return;
    }
    // A request left by an earlier stop would end the new capture at once.
    create_delete_file(false);
    if (!startProcess())
        return;
    refresh_ui(true);
    m_elapsed = 0;
    if (m_timer_id != 0) {
        killTimer(m_timer_id);
        m_timer_id = 0;
    }
    m_timer_id = startTimer(1000);
}

void GrabLiveWidget::on_pushButton_stop_clicked()
{
    // The transcoder gets a second to finish the file by itself.
    m_job.finish_then_stop(1000);
    if (m_timer_id != 0) {
        killTimer(m_timer_id);
        m_timer_id = 0;
    }
    refresh_ui(false);
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
}

void GrabLiveWidget::slot_timer()
{
    ui->lcdNumber->display(clock_text(m_elapsed));
}

void GrabLiveWidget::slot_phrase(int index)
{
    // Progress records and the finish marker show nothing here: the clock
    // comes from the window's own timer, and only the user ends a capture.
    msgbox::information(this, tr("提示"), tr(kFailures[index].message), tr("确定"));
    on_pushButton_stop_clicked();
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
