#include "videolivewidget.h"

#include "rsrc/toolframe.h"
#include "ui_videolivewidget.h"
#include "widgets/hostaccess.h"
#include "widgets/messagebox.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimerEvent>
#include <QUrl>
#include <QUrlQuery>

namespace {

const char* const kUrlKey = "cfg_video_live_rtmp";
const char* const kKeyKey = "cfg_video_rtmp_key";
const char* const kReconnectKey = "cfg_video_live_reconnect";
const char* const kSeamlessKey = "cfg_video_live_seamless";
const char* const kSelfSignedKey = "cfg_video_live_selfsigned";
const char* const kMultiKey = "cfg_video_live_multi";
const char* const kDestinationsKey = "cfg_video_live_destinations";
// Texts of the one-connection push, beside the window's other texts.
const char* const kLeftOut = QT_TRANSLATE_NOOP("VideoLiveWidget", "已跳过无法推送的视频：%1");
const char* const kLeftOutWhy = QT_TRANSLATE_NOOP("VideoLiveWidget", "无法以FLV推送：%1");
const char* const kGaveUp = QT_TRANSLATE_NOOP("VideoLiveWidget", "连接断开，已停止重连");
// Texts of the push to several destinations: an address refused, and each destination's state.
const char* const kBadDestination = QT_TRANSLATE_NOOP("VideoLiveWidget", "请正确填入推流地址：%1");
const char* const kConnecting = QT_TRANSLATE_NOOP("VideoLiveWidget", "连接中…");
const char* const kOnAir = QT_TRANSLATE_NOOP("VideoLiveWidget", "推流中");
const char* const kWaiting = QT_TRANSLATE_NOOP("VideoLiveWidget", "%1秒后重连…");
const char* const kFailed = QT_TRANSLATE_NOOP("VideoLiveWidget", "失败：%1");

} // namespace

VideoLiveWidget::VideoLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::VideoLiveWidget)
    , m_session(this, *this)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
    m_list = ui->listWidget;
    m_list->set_owner(this);
    ui->le_rtmp_url->setText(QStringLiteral("rtmp://"));
    ui->le_rtmp_key->setEchoMode(QLineEdit::Password);
    read_cfg();
    m_session.set_reconnect(ui->checkBox_reconnect->isChecked());
    connect(ui->checkBox_reconnect, &QCheckBox::toggled, &m_session, &PushSession::set_reconnect);
    connect(&m_session, &PushSession::sg_error, this, &VideoLiveWidget::slot_error);
    connect(&m_session, &PushSession::sg_progress, this, &VideoLiveWidget::progress_record);
    connect(&m_session, &PushSession::sg_failed, this, &VideoLiveWidget::failed);
    connect(&m_session, &PushSession::sg_finished, this, &VideoLiveWidget::finished);
    connect(&m_session, &PushSession::sg_entry_gone, this, &VideoLiveWidget::entry_gone);
    connect(&m_session, &PushSession::sg_entry_skipped, this, &VideoLiveWidget::entry_skipped);
    connect(&m_session, &PushSession::sg_waiting, this, [this](int seconds) {
        ui->lb_state->setText(tr("连接断开，%1秒后重连…").arg(seconds));
        refresh_ui();
    });
    connect(&m_session, &PushSession::sg_reconnecting, this, [this] { ui->lb_state->setText(tr("正在重连…")); });
    // The entry going out now is the one the list marks.
    connect(&m_session, &PushSession::sg_entry_on, this, [this](const QString& path) {
        if (QListWidgetItem* entry = m_list->isMovieAlreadAdded(path))
            m_list->highlight_item(entry);
    });
    m_dests = ui->tableWidget_destinations;
    ui->groupBox_destinations->setVisible(ui->checkBox_multi->isChecked());
    connect(ui->checkBox_multi, &QCheckBox::toggled, ui->groupBox_destinations, &QWidget::setVisible);
    connect(ui->pb_dest_add, &QPushButton::clicked, m_dests, [this] { m_dests->add_destination(); });
    connect(ui->pb_dest_remove, &QPushButton::clicked, m_dests, &DestinationList::remove_selected);
    // The list's first row is the address above.
    const auto main_changed = [this] {
        m_dests->set_main({ui->le_rtmp_url->text(), ui->le_rtmp_key->text(), ui->checkBox_selfsigned->isChecked()});
    };
    main_changed();
    connect(ui->le_rtmp_url, &QLineEdit::textChanged, this, main_changed);
    connect(ui->le_rtmp_key, &QLineEdit::textChanged, this, main_changed);
    connect(ui->checkBox_selfsigned, &QCheckBox::toggled, this, main_changed);
    connect(&m_session, &PushSession::sg_destination, this, &VideoLiveWidget::destination_state);
    m_timer_id = startTimer(1000);
}

VideoLiveWidget::~VideoLiveWidget()
{
    m_list->exportPlayList();
    write_cfg();
    // The session ends its transcoder at once as it goes, right after the form.
    delete ui;
}

QString VideoLiveWidget::compose_address(const QString& url, const QString& key)
{
    QString address = url.trimmed();
    const QString trimmedKey = key.trimmed();
    if (trimmedKey.isEmpty())
        return address;
    // SRT names the stream by its stream id.
    if (address.startsWith(QLatin1String("srt://")))
        return address + (address.contains('?') ? "&" : "?") + "streamid=" + QUrl::toPercentEncoding(trimmedKey);
    return address + QLatin1Char('/') + trimmedKey;
}

bool VideoLiveWidget::is_valid_address(const QString& address)
{
    if (address.size() < 10)
        return false;
    if (address.startsWith(QLatin1String("rtmp://")) || address.startsWith(QLatin1String("rtmps://")))
        return true;
    // SRT as the caller: the server is the one that listens.
    const QString mode = QUrlQuery(QUrl(address)).queryItemValue("mode");
    return address.startsWith(QLatin1String("srt://")) && (mode.isEmpty() || mode == "caller");
}

void VideoLiveWidget::read_cfg()
{
    host::read_text(kUrlKey, ui->le_rtmp_url);
    host::read_text(kKeyKey, ui->le_rtmp_key);
    if (EConfig* cfg = host::config()) {
        ui->checkBox_reconnect->setChecked(cfg->read(kReconnectKey).toBool());
        ui->checkBox_seamless->setChecked(cfg->read(kSeamlessKey).toBool());
        ui->checkBox_selfsigned->setChecked(cfg->read(kSelfSignedKey).toBool());
        ui->checkBox_multi->setChecked(cfg->read(kMultiKey).toBool());
        ui->tableWidget_destinations->set_setting(cfg->read(kDestinationsKey).toStringList());
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
        cfg->write(kSelfSignedKey, ui->checkBox_selfsigned->isChecked());
        cfg->write(kMultiKey, ui->checkBox_multi->isChecked());
        cfg->write(kDestinationsKey, ui->tableWidget_destinations->setting());
    }
}

void VideoLiveWidget::refresh_ui()
{
    // A push waiting to reconnect is still on: stop cancels the wait.
    const bool on = m_session.running() || m_session.waiting();
    ui->pb_start_stop->setText(on ? tr("停止") : tr("开始"));
    // The destinations are edited while no push runs.
    ui->tableWidget_destinations->set_locked(on);
    ui->pb_dest_add->setEnabled(!on);
    ui->pb_dest_remove->setEnabled(!on);
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
    QList<PushDestination> destinations{PushDestination(m_rtmp, ui->checkBox_selfsigned->isChecked())};
    for (const DestinationList::Destination& more :
         ui->checkBox_multi->isChecked() ? m_dests->extras() : QList<DestinationList::Destination>()) {
        destinations << PushDestination(compose_address(more.url, more.key), more.any_certificate);
        if (!is_valid_address(destinations.last().address)) {
            msgbox::information(this, tr("提示"), tr(kBadDestination).arg(more.url.trimmed()), tr("确定"));
            return;
        }
    }
    // Two pushes never run at once: the running one ends before the next starts.
    stop();
    m_session.start(path, destinations, ui->checkBox_seamless->isChecked());
    refresh_ui();
}

void VideoLiveWidget::destination_state(int row)
{
    const PushDestination& destination = m_session.destinations().value(row);
    using State = PushDestination::State;
    const QString text = destination.state == State::OnAir     ? tr(kOnAir)
                         : destination.state == State::Waiting ? tr(kWaiting).arg(destination.wait_s)
                         : destination.state == State::Failed  ? tr(kFailed).arg(destination.why)
                                                               : tr(kConnecting);
    m_dests->set_state(row, text);
}

void VideoLiveWidget::stop()
{
    if (m_session.waiting())
        ui->lb_state->setText(tr(kGaveUp));
    m_session.stop();
}

QStringList VideoLiveWidget::entries() const
{
    QStringList paths;
    for (int row = 0; row < m_list->count(); ++row)
        paths << m_list->item(row)->data(FL_PlayList::PathRole).toString();
    return paths;
}

QString VideoLiveWidget::marked() const
{
    const QListWidgetItem* entry = m_list->current_movie();
    return entry ? entry->data(FL_PlayList::PathRole).toString() : QString();
}

void VideoLiveWidget::progress_record()
{
    const ProgressFields& fields = m_session.fields();
    ui->lb_state->setText(tr("时间：%1   fps:%2  上传：%3kbits/s")
                              .arg(QString::fromUtf8(fields.time), QString::number(double(fields.fps), 'g', 6),
                                   QString::number(double(fields.bitrate), 'g', 6)));
}

void VideoLiveWidget::failed(const QString& message)
{
    msgbox::information(this, tr("提示"), message, tr("确定"));
    stop();
}

void VideoLiveWidget::finished()
{
    ui->lb_state->setText(tr("串流完成"));
    // Over one connection the transcoder ends only when the list had nothing more to give.
    if (!m_session.whole_list())
        m_list->play_pre_next(true);
}

void VideoLiveWidget::entry_gone(const QString& path)
{
    // The list says so and drops the entry, when it is still the one marked.
    QListWidgetItem* entry = m_list->current_movie();
    if (entry && entry->data(FL_PlayList::PathRole).toString() == path)
        m_list->slot_itemDoubleClicked(entry);
    else
        ui->lb_state->setText(tr(kGaveUp));
    refresh_ui();
}

void VideoLiveWidget::entry_skipped(const QString& path, const QString& why)
{
    if (QListWidgetItem* entry = m_list->isMovieAlreadAdded(path))
        m_list->mark_unpushable(entry, tr(kLeftOutWhy).arg(why));
    ui->lb_state->setText(tr(kLeftOut).arg(QFileInfo(path).fileName()));
}

// The session reads the transcoder's output as it comes; this reads what is there.
void VideoLiveWidget::slot_readData()
{
    m_session.read_output();
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
    if (m_session.running() || m_session.waiting()) {
        stop();
        for (int row = 0; row < m_dests->rowCount(); ++row)
            m_dests->set_state(row, {});
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
