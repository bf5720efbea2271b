#include "mp4rpwidget.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "protocol/contract.h"
#include "protocol/repair.h"
#include "rsrc/NamePipe/namepipe.h"
#include "rsrc/processwidget.h"
#include "rsrc/repairstate.h"
#include "rsrc/toolframe.h"
#include "transcode/localfiles.h"
#include "transcode/mediaprobe.h"
#include "transcode/toolprocess.h"
#include "ui_mp4rpwidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <cstdio>

namespace {

QString engine_path()
{
    return tool_path("Vidmend.exe");
}

} // namespace

Mp4RPWidget::Mp4RPWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Mp4RPWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, true);
}

Mp4RPWidget::~Mp4RPWidget()
{
    // The server first: its thread may still be handing a report to the dialog.
    delete m_service;
    delete m_pwidget;
    delete ui;
}

ProcessWidget* Mp4RPWidget::pwidget()
{
    return m_pwidget;
}

QString Mp4RPWidget::get_outmp4(const QString& failed_mp4)
{
    const QFileInfo info(failed_mp4);
    return QStringLiteral("%1/%2_zo_fixed.mp4").arg(info.absolutePath(), info.baseName());
}

void Mp4RPWidget::write_file(const QString& okay, const QString& failed, int fps, const QString& out)
{
    const QString job = temp_file(protocol::job_file).path;
    if (job.isEmpty())
        return;
    protocol::write_job_file(QFile::encodeName(job).toStdString(),
                             {okay.toStdString(), failed.toStdString(), out.toStdString(), fps});
}

void Mp4RPWidget::listen_progress(const char* data, int len, std::string& reply, void* user)
{
    auto* self = static_cast<Mp4RPWidget*>(user);
    const protocol::RepairReport report = protocol::read_repair_report(data, len);
    if (self->m_pwidget)
        self->m_pwidget->set_progress(report.pro, report.total,
                                      repair_state_text(QString::fromStdString(report.state)));
    if (report.pro >= report.total)
        self->m_finished = true;
    if (self->m_stop)
        reply = protocol::reply_end;
}

void Mp4RPWidget::slot_error(QProcess::ProcessError error)
{
    qDebug() << " -------------------------------------- " << int(error);
}

void Mp4RPWidget::slot_readData() {}

void Mp4RPWidget::slot_finished() {}

void Mp4RPWidget::slot_start(QString okay_mp4, QString failed_mp4, int fps)
{
    m_outmp4 = get_outmp4(failed_mp4);
    if (ECommon* common = host::common())
        common->removeFile(m_outmp4);

    if (m_process) {
        m_process->close();
        m_process->deleteLater();
    }
    m_process = toolprocess::make(this);
    connect(m_process, &QProcess::readyRead, this, &Mp4RPWidget::slot_readData);
    connect(m_process, &QProcess::finished, this, &Mp4RPWidget::slot_finished);
    connect(m_process, &QProcess::errorOccurred, this, &Mp4RPWidget::slot_error);
    const QStringList arguments{okay_mp4, failed_mp4, QString::number(fps), m_outmp4};
    qDebug() << arguments;
    toolprocess::start(m_process, "Vidmend.exe", arguments);
}

void Mp4RPWidget::slot_start_ex(QString okay_mp4, QString failed_mp4, int fps)
{
    m_outmp4 = get_outmp4(failed_mp4);
    if (ECommon* common = host::common())
        common->removeFile(m_outmp4);
    write_file(okay_mp4, failed_mp4, fps, m_outmp4);
    // The engine finds its job in the job file and reports over the pipe.
    platform::start_detached(engine_path());
}

void Mp4RPWidget::slot_show_result()
{
    if (m_outmp4.isEmpty() || !m_finished) {
        m_stop = true; // the engine hears the end at its next report
        return;
    }
    platform::show_in_file_manager(m_outmp4);
}

void Mp4RPWidget::on_tb_close_clicked()
{
    close();
}

void Mp4RPWidget::on_tb_min_clicked()
{
    showMinimized();
}

void Mp4RPWidget::on_pb_start_clicked()
{
    m_finished = false;
    const QString failed = ui->lineEdit_failedmp4->text();
    const QString okay = ui->lineEdit_okaymp4->text();
    if (failed.isEmpty()) {
        msgbox::information(nullptr, tr("提示"), tr("请设置损坏mp4视频"), tr("确定"));
        return;
    }
    if (okay.isEmpty()) {
        msgbox::information(nullptr, tr("提示"), tr("请设置正常参考mp4视频"), tr("确定"));
        return;
    }
    MediaInfo info;
    if (probe_media_file(failed.toUtf8().constData(), &info)) {
        msgbox::information(nullptr, tr("提示"), tr("%1 正常，无需修复").arg(failed), tr("确定"));
        return;
    }
    info = MediaInfo();
    if (!probe_media_file(okay.toUtf8().constData(), &info)) {
        msgbox::information(nullptr, tr("提示"), tr("%1 不合法").arg(okay), tr("确定"));
        return;
    }
    // The job file and the pipe live there; another account must not be able to reach them.
    const QString folderProblem = temp_file(protocol::job_file).problem;
    if (!folderProblem.isEmpty()) {
        msgbox::information(nullptr, tr("提示"), folderProblem, tr("确定"));
        return;
    }

    if (!m_pwidget) {
        m_pwidget = new ProcessWidget(nullptr);
        connect(m_pwidget, &ProcessWidget::sg_finished, this, &Mp4RPWidget::slot_show_result);
    }
    m_pwidget->init();
    m_pwidget->show();
    m_stop = false;

    // Replacing the server drops a client the old one may still serve.
    delete m_service;
    m_service = nullptr;
    open_pipe(okay, failed, info.fps, ++m_job, 1);
}

void Mp4RPWidget::open_pipe(const QString& okay, const QString& failed, int fps, quint64 job, int attempt)
{
    // A later start took over, or the user closed the dialog meanwhile.
    if (job != m_job || m_stop)
        return;
    auto* service = new ServicePipe(protocol::pipe_name, protocol::pipe_buffer, &Mp4RPWidget::listen_progress, this);
    if (service->listening()) {
        m_service = service;
        // Only now: the engine's first report must find this server, not the name's last holder.
        slot_start_ex(okay, failed, fps);
        return;
    }
    delete service;
    if (attempt >= kPipeAttempts) {
        std::fputs("@@ repair not started: the pipe's name stays taken\n", stderr);
        std::fflush(stderr);
        m_pwidget->set_state(tr("修复通道被占用，未能开始修复，请稍后重试"));
        return;
    }
    platform::Clock::current().after(kPipeRetryMs, this, [=] { open_pipe(okay, failed, fps, job, attempt + 1); });
}

void Mp4RPWidget::on_pb_failed_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("打开损坏的MP4文件"), QString(),
                                                      tr("Movie (%1)").arg(QStringLiteral("*.mp4")));
    ui->lineEdit_failedmp4->setText(path);
}

void Mp4RPWidget::on_pb_okay_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("打开正常参考MP4文件"), QString(),
                                                      tr("Movie (%1)").arg(QStringLiteral("*.mp4")));
    ui->lineEdit_okaymp4->setText(path);
}
