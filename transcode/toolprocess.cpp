#include "toolprocess.h"

#include "transcode/localfiles.h"

#include <QDebug>
#include <QProcess>

namespace toolprocess {

QProcess* make(QObject* owner)
{
    auto* process = new QProcess(owner);
    process->setProcessChannelMode(QProcess::MergedChannels);
    return process;
}

void start(QProcess* process, const char* tool, const QStringList& arguments)
{
    process->start(tool_path(tool), arguments, QIODevice::ReadWrite);
}

Reading read(QProcess& process, const std::vector<protocol::Outcome>& wanted, ProgressFields& fields)
{
    const QByteArray chunk = process.readAllStandardOutput();
    qDebug().noquote().nospace() << '"' << QString::fromUtf8(chunk) << '"';
    const QByteArray text = chunk_text(chunk);
    const protocol::Chunk found = classify_chunk(text, wanted);
    Reading reading{found.kind, found.outcome, 0, text};
    if (found.kind == ChunkKind::Progress)
        reading.pieces = scan_progress_record(text, fields);
    return reading;
}

} // namespace toolprocess
