#pragma once

#include "platform/contract.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

class QProcess;

// What the transcoder's output means to the tools that run it: progress
// records, error phrases and the finish marker. Each tool supplies only its own
// phrase table and decides what to do with each kind of chunk.

// The five progress fields; a field a later scan does not match keeps its value.
struct ProgressFields
{
    qint32 frame = 0;
    float fps = 0.0f;
    qint64 size = 0;                      // kB
    char time[contract::time_field] = {}; // hh:mm:ss.cc, always zero-terminated
    float bitrate = 0.0f;                 // kbit/s
};

enum class ChunkKind { Progress, ErrorPhrase, Finished, Other };

struct ChunkClass
{
    ChunkKind kind = ChunkKind::Other;
    int phrase = -1; // index into the consumer's phrase table for ErrorPhrase
};

// The chunk's bytes up to its first zero byte.
QByteArray chunk_text(const QByteArray& chunk);

// Reads everything the transcoder has written so far (both channels are
// merged), logs it in double quotes and returns its chunk text.
QByteArray take_chunk_text(QProcess& process);

// Classifies a chunk text: a progress record when it begins with the progress
// marker, else the first of `phrases` found anywhere, else the finish marker
// when it occurs anywhere, else other.
ChunkClass classify_chunk(const QByteArray& text, const QList<QByteArray>& phrases);

// Scans a progress record into `fields`; returns the number of "|" pieces
// (fewer than three: nothing was scanned). A time token too long for the
// field is cut to 63 bytes.
int scan_progress_record(const QByteArray& text, ProgressFields& fields);

// Whole seconds of an hh:mm:ss.z time text; nothing for an invalid time of day.
std::optional<qint64> position_seconds(const char* timeText);
// The same with its fraction, in milliseconds.
std::optional<qint64> position_ms(const char* timeText);

// Where the transcoder lies: "FFmpeg.exe" in the tools' folder.
QString transcoder_path();
