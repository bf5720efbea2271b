#include "videolivewidget.h"

#include "protocol/command.h"
#include "protocol/transcoder.h"
#include "rsrc/toolframe.h"
#include "ui_videolivewidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QDebug>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QTimerEvent>

#include <algorithm>
#include <cmath>

namespace {

const char* const kUrlKey = "cfg_video_live_rtmp";
const char* const kKeyKey = "cfg_video_rtmp_key";
const char* const kReconnectKey = "cfg_video_live_reconnect";
const char* const kSeamlessKey = "cfg_video_live_seamless";
// Texts of the one-connection push, beside the window's other texts.
const char* const kLeftOut = QT_TRANSLATE_NOOP("VideoLiveWidget", "已跳过无法推送的视频：%1");
const char* const kLeftOutWhy = QT_TRANSLATE_NOOP("VideoLiveWidget", "无法以FLV推送：%1");
// The transcoder's failures the push looks for, and what the user is told.
const FailureText kFailures[] = {
    {protocol::Outcome::UnsupportedFormat, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，视频格式不支持！")},
    {protocol::Outcome::ConnectFailed, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，连接服务器失败！")},
    {protocol::Outcome::NoStream, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，Rtmp地址不存在或被占用，请检查！")},
};

} // namespace

VideoLiveWidget::VideoLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::VideoLiveWidget)
    , m_job(this, outcomes_of(kFailures))
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
    m_list = ui->listWidget;
    m_list->set_owner(this);
    ui->le_rtmp_url->setText(QStringLiteral("rtmp://"));
    ui->le_rtmp_key->setEchoMode(QLineEdit::Password);
    read_cfg();
    connect(&m_job, &TranscoderJob::sg_output, this, &VideoLiveWidget::slot_readData);
    connect(&m_job, &TranscoderJob::sg_error, this, &VideoLiveWidget::slot_error);
    connect(&m_job, &TranscoderJob::sg_progress, this, &VideoLiveWidget::progress_record);
    connect(&m_job, &TranscoderJob::sg_phrase, this, &VideoLiveWidget::error_phrase);
    connect(&m_job, &TranscoderJob::sg_finish_marker, this, &VideoLiveWidget::finish_marker);
    connect(&m_job, &TranscoderJob::sg_ended, this, &VideoLiveWidget::transcoder_ended);
    connect(&m_job, &TranscoderJob::sg_entry_record, this, &VideoLiveWidget::entry_record);
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
    if (EConfig* cfg = host::config()) {
        ui->checkBox_reconnect->setChecked(cfg->read(kReconnectKey).toBool());
        ui->checkBox_seamless->setChecked(cfg->read(kSeamlessKey).toBool());
    }
}

void VideoLiveWidget::write_cfg()
{
    // As typed: blanks around the texts are kept.
    host::write_text(kUrlKey, ui->le_rtmp_url);
    host::write_text(kKeyKey, ui->le_rtmp_key);
    if (EConfig* cfg = host::config()) {
        cfg->write(kReconnectKey, ui->checkBox_reconnect->isChecked());
        cfg->write(kSeamlessKey, ui->checkBox_seamless->isChecked());
    }
}

void VideoLiveWidget::refresh_ui()
{
    // A push waiting to reconnect is still on: stop cancels the wait.
    const bool on = m_job.running() || m_job.waiting();
    ui->pb_start_stop->setText(on ? tr("停止") : tr("开始"));
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

    // A new entry: nothing of the last one's drops carries over.
    m_path = path;
    m_reached = 0;
    m_pushed = false;
    m_backoff.reset();
    start_push(path, 0);
}

void VideoLiveWidget::start_push(const QString& path, double from)
{
    // The whole list over this one connection: the transcoder asks for each next entry.
    m_seamless = ui->checkBox_seamless->isChecked();
    if (m_seamless) {
        m_handed = QStringList{path};
        m_left_out = 0;
        m_last_left_out = -1;
    }
    // Resuming: the input is read from the key frame at or before the position.
    const QStringList args = TranscoderJob::arguments(
        protocol::write_push({path.toStdString(), m_rtmp.toStdString(), std::llround(from * 1000), m_seamless}));
    m_from = from;
    qDebug() << args;
    // Two pushes never run at once: the running one ends before the next starts.
    stop();
    m_job.start(args);
    refresh_ui();
}

void VideoLiveWidget::stop()
{
    if (m_job.waiting())
        ui->lb_state->setText(tr("连接断开，已停止重连"));
    m_job.stop();
}

bool VideoLiveWidget::may_reconnect() const
{
    return ui->checkBox_reconnect->isChecked() && m_pushed;
}

void VideoLiveWidget::wait_to_reconnect()
{
    const int ms = m_backoff.next_ms();
    ui->lb_state->setText(tr("连接断开，%1秒后重连…").arg(ms / 1000));
    m_job.retry_after(ms, [this] { reconnect(); });
    refresh_ui();
}

void VideoLiveWidget::reconnect()
{
    // A file that went meanwhile is the list's business: it says so and drops the entry.
    if (!QFileInfo::exists(m_path)) {
        QListWidgetItem* entry = m_list->current_movie();
        if (entry && entry->data(FL_PlayList::PathRole).toString() == m_path)
            m_list->slot_itemDoubleClicked(entry);
        else
            ui->lb_state->setText(tr("连接断开，已停止重连"));
        refresh_ui();
        return;
    }
    ui->lb_state->setText(tr("正在重连…"));
    start_push(m_path, m_reached);
}

void VideoLiveWidget::progress_record(int pieces)
{
    if (pieces < 3)
        return;
    const ProgressFields& fields = m_job.fields();
    // Got going (again): the next drop waits the shortest time, and resumes from here.
    m_pushed = true;
    m_backoff.reset();
    if (const std::optional<qint64> ms = position_ms(fields.time))
        m_reached = std::max(m_reached, m_from + double(*ms) / 1000.0);
    ui->lb_state->setText(tr("时间：%1   fps:%2  上传：%3kbits/s")
                              .arg(QString::fromUtf8(fields.time), QString::number(double(fields.fps), 'g', 6),
                                   QString::number(double(fields.bitrate), 'g', 6)));
}

void VideoLiveWidget::error_phrase(protocol::Outcome outcome)
{
    // A server gone away is tried again once a push had got going; what no
    // retry can mend still gets its box.
    if (outcome == protocol::Outcome::ConnectFailed && may_reconnect()) {
        wait_to_reconnect();
        return;
    }
    // The box runs its own event loop: more output may arrive meanwhile, and
    // the transcoder's end then is this failure's, no drop to reconnect.
    {
        const QScopedValueRollback<bool> reporting(m_reporting, true);
        msgbox::information(this, tr("提示"), tr(text_for(kFailures, outcome)), tr("确定"));
    }
    stop();
}

void VideoLiveWidget::finish_marker()
{
    stop();
    ui->lb_state->setText(tr("串流完成"));
    // Over one connection the transcoder ends only when the list had nothing more to give.
    if (!m_seamless)
        m_list->play_pre_next(true);
}

void VideoLiveWidget::entry_record(const QByteArray& line)
{
    if (!m_seamless)
        return;
    const protocol::EntryRecord record = protocol::read_entry(std::string_view(line.constData(), size_t(line.size())));
    if (record.state == protocol::EntryState::None || record.entry >= m_handed.size() + 1)
        return;
    switch (record.state) {
    case protocol::EntryState::Want:
        // The entry before went out unless it was just left out.
        if (m_last_left_out != record.entry - 1)
            m_left_out = 0;
        if (record.entry == m_handed.size())
            answer_transcoder(next_entry());
        break;
    case protocol::EntryState::On: {
        // The entry goes out now: the list marks it, and a drop resumes it.
        m_path = m_handed.value(int(record.entry));
        if (record.entry > 0) {
            m_from = 0;
            m_reached = 0;
        }
        if (QListWidgetItem* entry = m_list->isMovieAlreadAdded(m_path))
            m_list->highlight_item(entry);
        break;
    }
    case protocol::EntryState::Skipped: {
        const QString path = m_handed.value(int(record.entry));
        ++m_left_out;
        m_last_left_out = record.entry;
        if (QListWidgetItem* entry = m_list->isMovieAlreadAdded(path))
            m_list->mark_unpushable(entry, tr(kLeftOutWhy).arg(QString::fromStdString(record.why)));
        ui->lb_state->setText(tr(kLeftOut).arg(QFileInfo(path).fileName()));
        break;
    }
    case protocol::EntryState::None:
        break;
    }
}

QListWidgetItem* VideoLiveWidget::next_entry()
{
    // After the last one handed, as the list stands now (entries may have
    // been added, removed or moved meanwhile); the first after the last.
    QListWidgetItem* last = m_list->isMovieAlreadAdded(m_handed.last());
    if (!last)
        last = m_list->current_movie();
    int row = last ? m_list->row(last) : -1;
    // A list whose every entry was left out in a row has nothing to push.
    if (m_left_out >= m_list->count())
        return nullptr;
    for (int tried = 0; tried < m_list->count(); ++tried) {
        row = row + 1 >= m_list->count() ? 0 : row + 1;
        QListWidgetItem* entry = m_list->item(row);
        if (entry && QFileInfo::exists(entry->data(FL_PlayList::PathRole).toString()))
            return entry;
    }
    return nullptr;
}

void VideoLiveWidget::answer_transcoder(QListWidgetItem* entry)
{
    const QString path = entry ? entry->data(FL_PlayList::PathRole).toString() : QString();
    qDebug() << "next entry for the transcoder" << path;
    if (entry)
        m_handed << path;
    m_job.write_input(protocol::write_answer(path.toStdString()));
}

void VideoLiveWidget::transcoder_ended(int exitCode, bool marker)
{
    // Without the option a transcoder that ended by itself leaves the window pushing until the user stops it.
    if (!marker && !m_reporting && may_reconnect()) {
        qDebug() << "live push dropped, exit code" << exitCode;
        wait_to_reconnect();
    }
}

// Nothing happens without a process; the job tells the chunk apart and reports it.
void VideoLiveWidget::slot_readData()
{
    m_job.read_output();
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
    if (m_job.running() || m_job.waiting()) {
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
