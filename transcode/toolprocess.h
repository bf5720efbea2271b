#pragma once

#include "transcode/transcoderoutput.h"

#include <QList>
#include <QStringList>

#include <vector>

class QObject;
class QProcess;

// What every job that runs one of the executables does alike, written once:
// the conversion job, the live windows' transcoder job and the repair
// window's own start. Each keeps its own process pointer, connections,
// signals and stop sequence, which differ by design.
namespace toolprocess {

// A process for the owner's next run: a Qt child of `owner`, with the
// executable's standard error merged into its output.
QProcess* make(QObject* owner);

// Starts `tool` ("FFmpeg.exe", "Vidmend.exe") from the tools' folder with
// `arguments`, read-write. Not awaited: a failure to start arrives as the
// process's errorOccurred.
void start(QProcess* process, const char* tool, const QStringList& arguments);

// What one read of the transcoder's output held.
struct Reading
{
    ChunkKind kind = ChunkKind::Other;
    protocol::Outcome outcome = protocol::Outcome::UnsupportedFormat; // for an error phrase
    int pieces = 0;  // of a progress record; below three nothing was scanned
    QByteArray text; // the chunk text, for records a job looks for besides
    // The file records the chunk held (protocol::read_file_record), taken
    // out of `text` first so that a name never reads as a phrase.
    QList<protocol::FileRecord> files;
};

// Reads everything the transcoder has written so far as one chunk, logs it,
// tells it apart, looking for the `wanted` error outcomes, and scans a
// progress record into `fields`, which keep their values from one record to
// the next.
// `partial`, when given, holds a file record cut off at the end of a chunk
// (a long path can take more than one read) until the rest arrives.
Reading read(QProcess& process, const std::vector<protocol::Outcome>& wanted, ProgressFields& fields,
             QByteArray* partial = nullptr);

// Takes the complete file records out of `chunk`; an incomplete one at its
// end moves to `partial` when that is given.
QList<protocol::FileRecord> take_file_records(QByteArray& chunk, QByteArray* partial);

} // namespace toolprocess
