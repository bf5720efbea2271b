#include "videolivewidget.h"

#include "rsrc/toolframe.h"
#include "ui_videolivewidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QDebug>
#include <QTimerEvent>

namespace {

const char* const kUrlKey = "cfg_video_live_rtmp";
const char* const kKeyKey = "cfg_video_rtmp_key";

// In the order they are looked for: the first one found in a chunk decides.
const QList<QByteArray> kPhrases = {
    QByteArrayLiteral("Could not write header"),
    QByteArrayLiteral("failed to connect socket"),
    QByteArrayLiteral("failed to read RTMP packet header"),
};
const char* const kPhraseMessages[] = {
    QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，视频格式不支持！"),
    QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，连接服务器失败！"),
    QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，Rtmp地址不存在或被占用，请检查！"),
};

} // namespace

VideoLiveWidget::VideoLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::VideoLiveWidget)
    , m_job(this, kPhrases)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
    m_list = ui->listWidget;
    m_list->set_owner(this);
    ui->le_rtmp_url->setText(QStringLiteral("rtmp://"));
    ui->le_rtmp_key->setEchoMode(QLineEdit::Password);
    read_cfg();
    connect(&m_job, &TranscoderJob::sg_error, this, &VideoLiveWidget::slot_error);
    connect(&m_job, &TranscoderJob::sg_progress, this, &VideoLiveWidget::slot_progress);
    connect(&m_job, &TranscoderJob::sg_phrase, this, &VideoLiveWidget::slot_phrase);
    connect(&m_job, &TranscoderJob::sg_finish_marker, this, &VideoLiveWidget::slot_finish_marker);
    m_timer_id = startTimer(1000);
}

VideoLiveWidget::~VideoLiveWidget()
{
    m_list->exportPlayList();
    write_cfg();
    // The job ends its transcoder at once as it goes, right after the form.
    delete ui;
}

QString VideoLiveWidget::compose_address(const QString& url, const QString& key)
{
    QString address = url.trimmed();
    const QString trimmedKey = key.trimmed();
    if (!trimmedKey.isEmpty())
        address += QLatin1Char('/') + trimmedKey;
    return address;
}

bool VideoLiveWidget::is_valid_address(const QString& address)
{
    return address.startsWith(QLatin1String("rtmp://")) && address.size() >= 10;
}

void VideoLiveWidget::read_cfg()
{
    host::read_text(kUrlKey, ui->le_rtmp_url);
    host::read_text(kKeyKey, ui->le_rtmp_key);
}

void VideoLiveWidget::write_cfg()
{
    // As typed: blanks around the texts are kept.
    host::write_text(kUrlKey, ui->le_rtmp_url);
    host::write_text(kKeyKey, ui->le_rtmp_key);
}

void VideoLiveWidget::refresh_ui()
{
    ui->pb_start_stop->setText(m_job.running() ? QStringLiteral("停止") : QStringLiteral("开始"));
}

void VideoLiveWidget::timerEvent(QTimerEvent* e)
{
    if (e->timerId() == m_timer_id)
        refresh_ui();
}

void VideoLiveWidget::do_live(const QString& path)
{
    // Saved first, so the texts are kept as typed even when refused below.
    write_cfg();
    m_rtmp = compose_address(ui->le_rtmp_url->text(), ui->le_rtmp_key->text());
    if (!is_valid_address(m_rtmp)) {
        msgbox::information(this, tr("提示"), tr("请正确填入rtmp串流地址！！"), tr("确定"));
        return;
    }

    const QStringList args{QStringLiteral("-re"),
                           QStringLiteral("-i"),
                           QString::fromUtf8(path.toUtf8()),
                           QStringLiteral("-c"),
                           QStringLiteral("copy"),
                           QStringLiteral("-f"),
                           QStringLiteral("flv"),
                           m_rtmp};
    qDebug() << args;
    // Two pushes never run at once: the running one ends before the next starts.
    stop();
    m_job.start(args);
    refresh_ui();
}

void VideoLiveWidget::stop()
{
    m_job.stop();
}

void VideoLiveWidget::slot_progress(int pieces)
{
    if (pieces < 3)
        return;
    const ProgressFields& fields = m_job.fields();
    ui->lb_state->setText(tr("时间：%1   fps:%2  上传：%3kbits/s")
                              .arg(QString::fromUtf8(fields.time), QString::number(double(fields.fps), 'g', 6),
                                   QString::number(double(fields.bitrate), 'g', 6)));
}

void VideoLiveWidget::slot_phrase(int index)
{
    // The box runs its own event loop: more output may arrive meanwhile.
    msgbox::information(this, tr("提示"), tr(kPhraseMessages[index]), tr("确定"));
    stop();
}

void VideoLiveWidget::slot_finish_marker()
{
    stop();
    ui->lb_state->setText(tr("串流完成"));
    m_list->play_pre_next(true);
}

void VideoLiveWidget::slot_error(QProcess::ProcessError errId)
{
    qDebug() << "live push process error" << int(errId);
}

void VideoLiveWidget::on_tb_min_clicked()
{
    showMinimized();
}

void VideoLiveWidget::on_tb_close_clicked()
{
    close();
}

void VideoLiveWidget::on_pb_add_clicked()
{
    m_list->add_movieItems();
}

void VideoLiveWidget::on_pb_clear_clicked()
{
    // A running push goes on.
    m_list->clearPlayList();
}

void VideoLiveWidget::on_pb_start_stop_clicked()
{
    if (m_job.running()) {
        stop();
        refresh_ui();
        return;
    }
    QListWidgetItem* item = m_list->currentItem();
    if (!item)
        item = m_list->item(0);
    if (!item) {
        msgbox::information(this, tr("提示"), tr("请先添加视频到直播列表！"), tr("确定"));
        return;
    }
    m_list->slot_itemDoubleClicked(item);
}
