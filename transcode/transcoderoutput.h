#pragma once

#include "protocol/transcoder.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

class QProcess;

// The transcoder's output as the windows read it, through the protocol
// library's reader: progress records, error phrases and the finish marker.
// Each window says which outcomes it looks for and decides what to do with
// each kind of chunk.

using ProgressFields = protocol::ProgressFields;
using ChunkKind = protocol::ChunkKind;

// The chunk's bytes up to its first zero byte.
QByteArray chunk_text(const QByteArray& chunk);

// Tells a chunk text apart (protocol::classify).
protocol::Chunk classify_chunk(const QByteArray& text, const std::vector<protocol::Outcome>& wanted);

// Scans a progress record into `fields` (protocol::read_progress), its
// malformed UTF-8 replaced first, and logs the fields.
int scan_progress_record(const QByteArray& text, ProgressFields& fields);

// Whole seconds of an hh:mm:ss.z time text; nothing for an invalid time of day.
std::optional<qint64> position_seconds(const char* timeText);
// The same with its fraction, in milliseconds.
std::optional<qint64> position_ms(const char* timeText);
