#include "pushsession.h"

#include "platform/clock.h"
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
    {protocol::Outcome::Untrusted, QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，服务器证书未通过验证！")},
};
// What became of one destination of several, in a word.
const FailureText kDestinationFailures[] = {
    {protocol::Outcome::UnsupportedFormat, QT_TRANSLATE_NOOP("VideoLiveWidget", "格式不支持")},
    {protocol::Outcome::ConnectFailed, QT_TRANSLATE_NOOP("VideoLiveWidget", "连接服务器失败")},
    {protocol::Outcome::NoStream, QT_TRANSLATE_NOOP("VideoLiveWidget", "地址不存在或被占用")},
    {protocol::Outcome::UnknownProtocol, QT_TRANSLATE_NOOP("VideoLiveWidget", "地址不支持")},
    {protocol::Outcome::UnknownAddress, QT_TRANSLATE_NOOP("VideoLiveWidget", "地址不支持")},
    {protocol::Outcome::Untrusted, QT_TRANSLATE_NOOP("VideoLiveWidget", "服务器证书未通过验证")},
};
const char* const kDestinationLost = QT_TRANSLATE_NOOP("VideoLiveWidget", "连接断开");
const char* const kAllFailed = QT_TRANSLATE_NOOP("VideoLiveWidget", "直播失败，所有推流地址都无法推送！");

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
    connect(&m_job, &TranscoderJob::sg_dest_record, this, &PushSession::dest_record);
    connect(&m_job, &TranscoderJob::sg_error, this, &PushSession::sg_error);
}

QString PushSession::failure_text(protocol::Outcome outcome)
{
    return QCoreApplication::translate("VideoLiveWidget", text_for(kFailures, outcome));
}

void PushSession::start(const QString& path, const QString& address, bool whole_list)
{
    start(path, QList<PushDestination>{PushDestination{address}}, whole_list);
}

void PushSession::start(const QString& path, const QList<PushDestination>& destinations, bool whole_list)
{
    // A new entry: nothing of the last one's drops carries over.
    m_destination = PushDestination{destinations.value(0).address, destinations.value(0).any_certificate};
    m_destinations.clear();
    for (const PushDestination& destination : destinations) {
        if (destinations.size() > 1)
            m_destinations << PushDestination{destination.address, destination.any_certificate};
    }
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
    protocol::PushCommand command;
    command.file = m_path.toStdString();
    command.address = m_destination.address.toStdString();
    command.from_ms = from_ms;
    command.list = m_whole_list;
    command.any_certificate = m_destination.any_certificate;
    for (qsizetype i = 1; i < m_destinations.size(); ++i)
        command.also.push_back({m_destinations[i].address.toStdString(), m_destinations[i].any_certificate});
    const QStringList args = TranscoderJob::arguments(protocol::write_push(command));
    qDebug() << args;
    ++m_run;
    for (qsizetype i = 0; i < m_destinations.size(); ++i) {
        m_destinations[i].state = PushDestination::State::Connecting;
        emit sg_destination(int(i));
    }
    // Two pushes never run at once: the running one ends before the next starts.
    m_job.start(args);
}

void PushSession::stop()
{
    ++m_run;
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

void PushSession::dest_record(const QByteArray& line)
{
    const protocol::DestRecord record = protocol::read_dest(std::string_view(line.constData(), size_t(line.size())));
    if (record.state == protocol::DestState::None || record.destination >= m_destinations.size())
        return;
    const int index = record.destination;
    PushDestination& destination = m_destinations[index];
    if (record.state == protocol::DestState::On) {
        destination.on_air = true;
        destination.backoff.reset();
        destination.state = PushDestination::State::OnAir;
        emit sg_destination(index);
        return;
    }
    // As one push alone: a destination that was on air is tried again when
    // it is lost or its server cannot be reached; what no retry mends is told.
    const bool lost = !record.outcome || *record.outcome == protocol::Outcome::ConnectFailed;
    if (destination.on_air && lost) {
        wait_to_send_again(index);
        return;
    }
    destination.state = PushDestination::State::Failed;
    destination.why = QCoreApplication::translate(
        "VideoLiveWidget", record.outcome ? text_for(kDestinationFailures, *record.outcome) : kDestinationLost);
    emit sg_destination(index);
    // The push goes on while any destination may still get its stream.
    if (std::all_of(m_destinations.begin(), m_destinations.end(),
                    [](const PushDestination& d) { return d.state == PushDestination::State::Failed; })) {
        const QScopedValueRollback<bool> reporting(m_reporting, true);
        emit sg_failed(QCoreApplication::translate("VideoLiveWidget", kAllFailed));
    }
}

void PushSession::wait_to_send_again(int index)
{
    PushDestination& destination = m_destinations[index];
    const int ms = destination.backoff.next_ms();
    destination.state = PushDestination::State::Waiting;
    destination.wait_s = ms / 1000;
    emit sg_destination(index);
    platform::Clock::current().after(ms, this, [this, index, run = m_run] {
        if (run != m_run || !running())
            return;
        m_destinations[index].state = PushDestination::State::Connecting;
        emit sg_destination(index);
        m_job.write_input(protocol::write_again(index));
    });
}
