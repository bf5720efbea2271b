#include "capturesession.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "protocol/command.h"
#include "protocol/contract.h"
#include "transcode/localfiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>

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

const char* const kDiskLow = QT_TRANSLATE_NOOP("GrabLiveWidget", "保存位置的磁盘剩余空间不足%1MB，无法开始录制！");
const char* const kDiskFull =
    QT_TRANSLATE_NOOP("GrabLiveWidget", "保存位置的磁盘剩余空间不足%1MB，录制已停止，已录下的内容保存完好。");

// The capture window's words: its catalogue context.
QString words(const char* text)
{
    return QCoreApplication::translate("GrabLiveWidget", text);
}

} // namespace

CaptureSession::CaptureSession(QObject* owner)
    : m_job(owner, outcomes_of(kFailures))
{
    connect(&m_job, &TranscoderJob::sg_output, this, &CaptureSession::read_output);
    connect(&m_job, &TranscoderJob::sg_progress, this, &CaptureSession::progress_record);
    connect(&m_job, &TranscoderJob::sg_phrase, this, &CaptureSession::error_phrase);
    connect(&m_job, &TranscoderJob::sg_ended, this, &CaptureSession::transcoder_ended);
    connect(&m_job, &TranscoderJob::sg_error, this, &CaptureSession::sg_error);
    connect(&m_job, &TranscoderJob::sg_file_done, this, [this](const QString& path) {
        m_files << path;
        ++m_attempt_files;
    });
    connect(&m_job, &TranscoderJob::sg_next_file, this, [this](const QString& path) {
        m_file = path;
        emit sg_next_file(path);
    });
}

QString CaptureSession::folder_problem()
{
    return temp_file(protocol::stop_file).problem;
}

QString CaptureSession::failure_text(protocol::Outcome outcome)
{
    return words(text_for(kFailures, outcome));
}

QString CaptureSession::process_error_text(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return words(QT_TRANSLATE_NOOP("GrabLiveWidget", "启动子进程读取视频流错误，请尝试以管理员权限启动"));
    case QProcess::Crashed:
        return words(QT_TRANSLATE_NOOP("GrabLiveWidget", "子进程启动崩溃，请尝试以管理员权限启动"));
    case QProcess::Timedout:
        return words(QT_TRANSLATE_NOOP("GrabLiveWidget", "启动子进程超时，请尝试以管理员权限启动"));
    case QProcess::ReadError:
    case QProcess::WriteError:
        return words(QT_TRANSLATE_NOOP("GrabLiveWidget", "子进程读写错误，请尝试以管理员权限启动"));
    case QProcess::UnknownError:
        break;
    }
    return words(QT_TRANSLATE_NOOP("GrabLiveWidget", "未知错误，请尝试以管理员权限启动"));
}

QString CaptureSession::numbered_file(const QString& output, int number)
{
    return QFile::decodeName(
        QByteArray::fromStdString(protocol::recording_file(QFile::encodeName(output).toStdString(), number)));
}

bool CaptureSession::disk_low(const QString& folder) const
{
    const qint64 free = platform::free_bytes(folder);
    return free >= 0 && free < m_disk_margin;
}

QString CaptureSession::disk_text(bool stopped) const
{
    return words(stopped ? kDiskFull : kDiskLow).arg(m_disk_margin / (1024 * 1024));
}

bool CaptureSession::start(const Settings& settings)
{
    stop();
    m_settings = settings;
    m_capturing = true;
    m_files.clear();
    m_recorded = false;
    m_attempt = 0;
    m_backoff.reset();
    run(1);
    // A start that failed at once has been reported and stopped already.
    return m_job.running();
}

QStringList CaptureSession::arguments(int number) const
{
    const qint64 minute = platform::Clock::current().minute_s();
    return TranscoderJob::arguments(
        protocol::write_capture({m_settings.source.toStdString(), m_settings.output.toStdString(),
                                 m_settings.segment_minutes * minute, number}));
}

void CaptureSession::run(int number)
{
    ++m_attempt;
    m_number = number;
    m_file = numbered_file(m_settings.output, number);
    m_attempt_recorded = false;
    m_attempt_files = 0;
    // A request left by an earlier stop would end this attempt at once.
    TranscoderJob::set_stop_request(false);
    const QStringList args = arguments(number);
    qDebug() << args;
    m_job.start(args);
}

void CaptureSession::stop()
{
    m_job.stop();
}

CaptureSession::Ending CaptureSession::finish(unsigned long ms)
{
    m_job.finish_then_stop(ms);
    if (!std::exchange(m_capturing, false))
        return Ending::NotCapturing;
    // A file the transcoder made but never wrote to tells the user nothing: it goes.
    const QFileInfo file(m_file);
    const bool kept = file.exists() && file.size() > 0;
    if (file.exists() && !kept)
        QFile::remove(m_file);
    return kept || m_recorded ? Ending::Recorded : Ending::NothingArrived;
}

void CaptureSession::read_output()
{
    m_job.read_output();
}

bool CaptureSession::may_reconnect() const
{
    return m_capturing && m_recorded && m_reconnect;
}

void CaptureSession::progress_record()
{
    // A record before the first frame (ffmpeg reports as it begins) has nothing recorded yet.
    const std::optional<qint64> at = position_ms(m_job.fields().time);
    if (m_job.fields().frame <= 0 && at.value_or(0) <= 0)
        return;
    m_recorded = true;
    const bool first = !std::exchange(m_attempt_recorded, true);
    if (!m_capturing)
        return;
    if (!first) {
        emit sg_written(at.value_or(0));
        return;
    }
    // Recording (again): the next drop waits the shortest time.
    m_backoff.reset();
    emit sg_recording(m_file, m_attempt > 1, at.value_or(0));
}

void CaptureSession::error_phrase(protocol::Outcome outcome)
{
    if (may_reconnect()) {
        stream_dropped();
        return;
    }
    // Progress records and the finish marker end nothing: only the user ends a capture.
    emit sg_failed(failure_text(outcome));
}

void CaptureSession::transcoder_ended(int exitCode, bool marker)
{
    qDebug() << "capture transcoder ended" << exitCode << marker;
    // A playlist read to its end is the end of the stream; one that stopped growing ends in failure.
    const bool complete = protocol::source_kind(m_settings.source.toStdString()) == protocol::SourceKind::Playlist &&
                          exitCode == 0 && marker;
    if (may_reconnect() && !complete)
        stream_dropped();
    else
        emit sg_ended();
}

void CaptureSession::stream_dropped()
{
    // While the transcoder finishes the file, its end may be heard: that is this drop, not another.
    if (m_dropping)
        return;
    const QScopedValueRollback<bool> dropping(m_dropping, true);
    // The file so far is finished as a stop finishes it, when the transcoder has not done that itself.
    if (m_job.running() && m_job.process()->state() != QProcess::NotRunning && m_attempt_recorded)
        m_job.finish_then_stop(1000);
    const QFileInfo file(m_file);
    if (file.exists() && file.size() == 0)
        QFile::remove(m_file);
    emit sg_dropped();
    m_job.retry_after(m_backoff.next_ms(), [this] { reconnect(); });
}

void CaptureSession::reconnect()
{
    // The files the attempt completed keep their numbers; the next attempt records into the one after.
    // One that recorded but was ended before it could say so keeps its number too.
    int number = m_number + m_attempt_files;
    if (m_attempt_recorded && m_attempt_files == 0)
        ++number;
    run(number);
}
