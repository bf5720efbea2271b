// The plug-in's reading of the transcoder's output: any bytes in one chunk.

#include "transcode/transcoderoutput.h"

#include <QByteArray>
#include <QLoggingCategory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        return true;
    }();
    (void)quiet;
    const QByteArray text = chunk_text(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const protocol::Chunk c =
        protocol::classify(std::string_view(text.constData(), size_t(text.size())),
                           {protocol::Outcome::UnsupportedFormat, protocol::Outcome::ConnectFailed});
    if (c.kind == protocol::ChunkKind::Progress) {
        protocol::ProgressFields fields;
        if (scan_progress_record(text, fields) >= 3)
            (void)position_seconds(fields.time);
    }
    return 0;
}
