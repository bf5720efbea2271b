#include "conworker.h"

#include "protocol/conversion.h"
#include "transcode/mediaprobe.h"
#include "transcode/toolprocess.h"

#include <QProcess>

ConWorker::ConWorker(const CWParam& param)
    : m_param(param)
{
    // An input the probe cannot read leaves the total at 0; the job still runs.
    MediaInfo info;
    if (probe_media_file(m_param.src_path.toUtf8().constData(), &info))
        m_total = info.duration;
}

ConWorker::~ConWorker()
{
    stop();
}

void ConWorker::start()
{
    if (m_process) {
        // The old child ends when its object goes; its end must not reach
        // this job, which by then belongs to the new child.
        disconnect(m_process, nullptr, this, nullptr);
        m_process->deleteLater();
        m_process = nullptr;
    }

    m_process = toolprocess::make(this);
    connect(m_process, &QProcess::readyRead, this, &ConWorker::slot_readData);
    connect(m_process, &QProcess::finished, this, &ConWorker::sg_finished);
    connect(m_process, &QProcess::finished, this, &ConWorker::slot_stop);

    m_param.dst_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    toolprocess::start(m_process, "FFmpeg.exe", build_arguments(m_param));
}

void ConWorker::stop()
{
    end_process(false);
}

void ConWorker::end_process(bool reportEnd)
{
    // close() waits for the child and delivers its finished() on the spot,
    // which comes back here through slot_stop(); clearing the pointer first
    // makes that nested call a no-op.
    QProcess* process = m_process;
    if (!process)
        return;
    m_process = nullptr;

    disconnect(process, &QProcess::readyRead, this, &ConWorker::slot_readData);
    if (!reportEnd)
        disconnect(process, &QProcess::finished, this, &ConWorker::sg_finished);
    if (process->isOpen()) {
        process->close();
        process->deleteLater();
    }
}

void ConWorker::release_when_done()
{
    disconnect(this, &ConWorker::sg_progress, nullptr, nullptr);
    disconnect(this, &ConWorker::sg_finished, nullptr, nullptr);
    if (!m_process || m_process->state() == QProcess::NotRunning) {
        deleteLater();
        return;
    }
    connect(m_process, &QProcess::finished, this, &QObject::deleteLater);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            deleteLater();
    });
}

QString ConWorker::save_path() const
{
    return m_param.dst_path;
}

double ConWorker::position() const
{
    const std::optional<qint64> ms = position_ms(m_fields.time);
    return ms ? double(*ms) / 1000.0 : double(m_current);
}

QStringList ConWorker::build_arguments(const CWParam& param)
{
    QStringList args{QStringLiteral("-i"), param.src_path};
    if (param.use_params) {
        // A size always travels with a bitrate, and the rate only with either.
        if (param.size_index != 0) {
            args << QStringLiteral("-r") << QStringLiteral("%1").arg(param.fps) << QStringLiteral("-s")
                 << QStringLiteral("%1x%2").arg(param.width).arg(param.height) << QStringLiteral("-b:v")
                 << QStringLiteral("%1k").arg(param.bitrate);
        } else if (param.bitrate != 0) {
            args << QStringLiteral("-r") << QStringLiteral("%1").arg(param.fps) << QStringLiteral("-b:v")
                 << QStringLiteral("%1k").arg(param.bitrate);
        }
    }
    if (param.copy_streams) {
        for (const std::string& arg : protocol::copy_request())
            args << QString::fromStdString(arg);
    }
    args << param.dst_path;
    return args;
}

void ConWorker::slot_readData()
{
    if (!m_process || !m_process->isOpen())
        return;
    const toolprocess::Reading reading = toolprocess::read(*m_process, {}, m_fields);
    switch (reading.kind) {
    case ChunkKind::Progress:
        if (reading.pieces < 3)
            break;
        if (const std::optional<qint64> position = position_seconds(m_fields.time)) {
            m_current = *position;
            emit sg_progress(int(m_total), int(m_current));
        }
        break;
    case ChunkKind::Finished:
        m_succeeded = true;
        emit sg_progress(int(m_total), int(m_total));
        // The child's end still reaches the window as sg_finished.
        end_process(true);
        break;
    case ChunkKind::ErrorPhrase:
    case ChunkKind::Other:
        break;
    }
}

void ConWorker::slot_stop()
{
    stop();
}
