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
    const ChunkClass c = classify_chunk(text, {"Could not write header", "failed to connect socket"});
    if (c.kind == ChunkKind::Progress) {
        ProgressFields fields;
        if (scan_progress_record(text, fields) >= 3)
            (void)position_seconds(fields.time);
    }
    return 0;
}
