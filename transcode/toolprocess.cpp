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

QList<protocol::FileRecord> take_file_records(QByteArray& chunk, QByteArray* partial)
{
    if (partial) {
        chunk.prepend(*partial);
        partial->clear();
    }
    QList<protocol::FileRecord> files;
    QByteArray rest;
    qsizetype at = 0;
    while (at < chunk.size()) {
        const qsizetype end = chunk.indexOf('\n', at);
        const QByteArray line = chunk.mid(at, end < 0 ? -1 : end - at);
        const std::string_view view(line.constData(), size_t(line.size()));
        if (!protocol::is_file_record(view)) {
            rest += chunk.mid(at, end < 0 ? -1 : end + 1 - at);
        } else if (end >= 0) {
            files << *protocol::read_file_record(view);
        } else if (partial) {
            *partial = line;
        }
        if (end < 0)
            break;
        at = end + 1;
    }
    chunk = rest;
    return files;
}

Reading read(QProcess& process, const std::vector<protocol::Outcome>& wanted, ProgressFields& fields,
             QByteArray* partial)
{
    const QByteArray chunk = process.readAllStandardOutput();
    qDebug().noquote().nospace() << '"' << QString::fromUtf8(chunk) << '"';
    QByteArray text = chunk_text(chunk);
    QList<protocol::FileRecord> files = take_file_records(text, partial);
    const protocol::Chunk found = classify_chunk(text, wanted);
    Reading reading{found.kind, found.outcome, 0, text, files};
    if (found.kind == ChunkKind::Progress)
        reading.pieces = scan_progress_record(text, fields);
    return reading;
}

} // namespace toolprocess
