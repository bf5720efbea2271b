#include "transcoderjob.h"

#include "platform/clock.h"
#include "protocol/command.h"
#include "protocol/transcoder.h"
#include "transcode/toolprocess.h"

#include <QFile>

#include <utility>

TranscoderJob::TranscoderJob(QObject* owner, std::vector<protocol::Outcome> wanted)
    : m_owner(owner)
    , m_wanted(std::move(wanted))
{}

TranscoderJob::~TranscoderJob()
{
    if (QProcess* process = std::exchange(m_process, nullptr)) {
        process->disconnect(this);
        process->close();
        delete process;
    }
}

void TranscoderJob::start(const QStringList& arguments)
{
    stop();
    m_marker = false;
    m_partial.clear();
    m_process = toolprocess::make(m_owner);
    connect(m_process, &QProcess::readyRead, this, &TranscoderJob::sg_output);
    connect(m_process, &QProcess::errorOccurred, this, &TranscoderJob::on_error);
    connect(m_process, &QProcess::finished, this, &TranscoderJob::on_finished);
    // A start that fails at once reports from inside start(), and the owner
    // may stop the job there: the pointer is not used after this call.
    toolprocess::start(m_process, "FFmpeg.exe", arguments);
}

void TranscoderJob::retry_after(int ms, std::function<void()> attempt)
{
    stop();
    m_waiting = true;
    const quint64 retry = m_retry;
    platform::Clock::current().after(ms, this, [this, retry, attempt = std::move(attempt)] {
        if (!m_waiting || retry != m_retry)
            return;
        m_waiting = false;
        attempt();
    });
}

void TranscoderJob::stop()
{
    m_waiting = false;
    ++m_retry;
    // Cleared first: whatever the process still says while it closes belongs
    // to a run that is over, and a nested stop finds nothing left to do.
    QProcess* process = std::exchange(m_process, nullptr);
    if (!process)
        return;
    process->disconnect(this);
    while (process->waitForReadyRead(0)) {
    }
    QByteArray rest = chunk_text(process->readAllStandardOutput());
    const QList<protocol::FileRecord> files = toolprocess::take_file_records(rest, &m_partial);
    process->close();
    if (m_depth > 0)
        m_retired << process;
    else
        process->deleteLater();
    report_files(files);
}

void TranscoderJob::finish_then_stop(unsigned long ms)
{
    set_stop_request(true);
    platform::Clock::current().sleep(ms);
    stop();
}

QString TranscoderJob::stop_request_path()
{
    return QFile::decodeName(QByteArray::fromStdString(protocol::stop_request_path()));
}

void TranscoderJob::set_stop_request(bool present)
{
    protocol::set_stop_request(present);
}

QStringList TranscoderJob::arguments(const std::vector<std::string>& args)
{
    QStringList list;
    for (const std::string& arg : args)
        list << QString::fromStdString(arg);
    return list;
}

void TranscoderJob::enter()
{
    ++m_depth;
}

void TranscoderJob::leave()
{
    if (--m_depth > 0)
        return;
    for (QProcess* process : std::exchange(m_retired, {}))
        process->deleteLater();
}

void TranscoderJob::read_output()
{
    if (!m_process)
        return;
    const toolprocess::Reading reading = toolprocess::read(*m_process, m_wanted, m_fields, &m_partial);
    enter();
    report_files(reading.files);
    if (reading.kind != ChunkKind::Progress) {
        for (const QByteArray& line : reading.text.split('\n')) {
            const std::string_view text(line.constData(), size_t(line.size()));
            if (protocol::is_entry_record(text) && m_process)
                emit sg_entry_record(line);
            else if (protocol::is_dest_record(text) && m_process)
                emit sg_dest_record(line);
        }
    }
    switch (reading.kind) {
    case ChunkKind::Progress:
        emit sg_progress(reading.pieces);
        break;
    case ChunkKind::ErrorPhrase:
        emit sg_phrase(reading.outcome);
        break;
    case ChunkKind::Finished:
        m_marker = true;
        emit sg_finish_marker();
        break;
    case ChunkKind::Other:
        break;
    }
    leave();
}

void TranscoderJob::report_files(const QList<protocol::FileRecord>& files)
{
    enter();
    for (const protocol::FileRecord& file : files) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(file.path));
        if (file.event == protocol::FileEvent::Next)
            emit sg_next_file(path);
        else
            emit sg_file_done(path);
    }
    leave();
}

void TranscoderJob::write_input(const std::string& bytes)
{
    if (m_process)
        m_process->write(bytes.data(), qint64(bytes.size()));
}

void TranscoderJob::on_error(QProcess::ProcessError error)
{
    enter();
    emit sg_error(error);
    leave();
}

void TranscoderJob::on_finished(int exitCode)
{
    enter();
    emit sg_ended(exitCode, m_marker);
    leave();
}
