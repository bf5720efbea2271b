#include "transcoderoutput.h"

#include <QCoreApplication>

QByteArray chunk_text(const QByteArray& chunk)
{
    const int zero = chunk.indexOf('\0');
    return zero < 0 ? chunk : chunk.left(zero);
}

ChunkClass classify_chunk(const QByteArray&, const QList<QByteArray>&)
{
    return {}; // placeholder
}

int scan_progress_record(const QByteArray&, ProgressFields&)
{
    return 0; // placeholder
}

std::optional<qint64> position_seconds(const char*)
{
    return std::nullopt; // placeholder
}

QString transcoder_path()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/FFmpeg.exe");
}
