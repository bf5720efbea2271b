#include "pushsession.h"

#include "protocol/command.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

// The transcoder's failures the push looks for, and what the user is told.
const FailureText kFailures[] = {
    {protocol::Outcome::UnsupportedFormat, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，视频格式不支持！")},
    {protocol::Outcome::ConnectFailed, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，连接服务器失败！")},
    {protocol::Outcome::NoStream, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，Rtmp地址不存在或被占用，请检查！")},
};

} // namespace

PushSession::PushSession(QObject* owner, const PushList& list)
    : m_job(owner, outcomes_of(kFailures))
    , m_list(list)
{
    connect(&m_job, &TranscoderJob::sg_output, this, &PushSession::read_output);
    connect(&m_job, &TranscoderJob::sg_progress, this, &PushSession::progress_record);
    connect(&m_job, &TranscoderJob::sg_phrase, this, &PushSession::error_phrase);
    connect(&m_job, &TranscoderJob::sg_finish_marker, this, &PushSession::finish_marker);
    connect(&m_job, &TranscoderJob::sg_ended, this, &PushSession::transcoder_ended);
    connect(&m_job, &TranscoderJob::sg_entry_record, this, &PushSession::entry_record);
    connect(&m_job, &TranscoderJob::sg_error, this, &PushSession::sg_error);
}

QString PushSession::failure_text(protocol::Outcome outcome)
{
    return QCoreApplication::translate("VideoLiveWidget", text_for(kFailures, outcome));
}

void PushSession::start(const QString& path, const QString& address, bool whole_list)
{
    // A new entry: nothing of the last one's drops carries over.
    m_destination = PushDestination{address};
    m_whole_list = whole_list;
    m_path = path;
    m_reached_ms = 0;
    run(0);
}

void PushSession::run(qint64 from_ms)
{
    m_from_ms = from_ms;
    if (m_whole_list) {
        m_handed = QStringList{m_path};
        m_left_out = 0;
        m_last_left_out = -1;
    }
    // Resuming: the input is read from the key frame at or before the position.
    const QStringList args = TranscoderJob::arguments(
        protocol::write_push({m_path.toStdString(), m_destination.address.toStdString(), from_ms, m_whole_list}));
    qDebug() << args;
    // Two pushes never run at once: the running one ends before the next starts.
    m_job.start(args);
}

void PushSession::stop()
{
    m_job.stop();
}

void PushSession::read_output()
{
    m_job.read_output();
}

void PushSession::progress_record(int pieces)
{
    if (pieces < 3)
        return;
    // Got going (again): the next drop waits the shortest time, and resumes from here.
    m_destination.on_air = true;
    m_destination.backoff.reset();
    if (const std::optional<qint64> ms = position_ms(fields().time))
        m_reached_ms = std::max(m_reached_ms, m_from_ms + *ms);
    emit sg_progress();
}

void PushSession::error_phrase(protocol::Outcome outcome)
{
    // A server gone away is tried again once a push had got going; what no
    // retry can mend is told.
    if (outcome == protocol::Outcome::ConnectFailed && may_reconnect()) {
        wait_to_reconnect();
        return;
    }
    // Telling it may run a message box, whose event loop lets more output in:
    // the transcoder's end then is this failure's, no drop to reconnect.
    const QScopedValueRollback<bool> reporting(m_reporting, true);
    emit sg_failed(failure_text(outcome));
}

void PushSession::finish_marker()
{
    stop();
    emit sg_finished();
}

void PushSession::transcoder_ended(int exitCode, bool marker)
{
    // Without the option a transcoder that ended by itself leaves the push on until the user stops it.
    if (!marker && !m_reporting && may_reconnect()) {
        qDebug() << "live push dropped, exit code" << exitCode;
        wait_to_reconnect();
    }
}

bool PushSession::may_reconnect() const
{
    return m_reconnect && m_destination.on_air;
}

void PushSession::wait_to_reconnect()
{
    const int ms = m_destination.backoff.next_ms();
    m_job.retry_after(ms, [this] { reconnect(); });
    emit sg_waiting(ms / 1000);
}

void PushSession::reconnect()
{
    if (!QFileInfo::exists(m_path)) {
        emit sg_entry_gone(m_path);
        return;
    }
    emit sg_reconnecting();
    run(m_reached_ms);
}

void PushSession::entry_record(const QByteArray& line)
{
    if (!m_whole_list)
        return;
    const protocol::EntryRecord record = protocol::read_entry(std::string_view(line.constData(), size_t(line.size())));
    if (record.state == protocol::EntryState::None || record.entry >= m_handed.size() + 1)
        return;
    switch (record.state) {
    case protocol::EntryState::Want: {
        // The entry before went out unless it was just left out.
        if (m_last_left_out != record.entry - 1)
            m_left_out = 0;
        if (record.entry != m_handed.size())
            break;
        const QString next = next_entry();
        qDebug() << "next entry for the transcoder" << next;
        if (!next.isEmpty())
            m_handed << next;
        m_job.write_input(protocol::write_answer(next.toStdString()));
        break;
    }
    case protocol::EntryState::On:
        // The entry goes out now: a drop resumes it.
        m_path = m_handed.value(int(record.entry));
        if (record.entry > 0)
            m_from_ms = m_reached_ms = 0;
        emit sg_entry_on(m_path);
        break;
    case protocol::EntryState::Skipped:
        ++m_left_out;
        m_last_left_out = record.entry;
        emit sg_entry_skipped(m_handed.value(int(record.entry)), QString::fromStdString(record.why));
        break;
    case protocol::EntryState::None:
        break;
    }
}

QString PushSession::next_entry() const
{
    // After the last one handed, as the list stands now (entries may have
    // been added, removed or moved meanwhile); the first after the last.
    const QStringList entries = m_list.entries();
    qsizetype row = entries.indexOf(m_handed.last());
    if (row < 0)
        row = entries.indexOf(m_list.marked());
    // A list whose every entry was left out in a row has nothing to push.
    if (m_left_out >= entries.size())
        return {};
    for (qsizetype tried = 0; tried < entries.size(); ++tried) {
        row = row + 1 >= entries.size() ? 0 : row + 1;
        if (QFileInfo::exists(entries[row]))
            return entries[row];
    }
    return {};
}
