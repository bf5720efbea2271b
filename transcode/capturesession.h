#pragma once

#include "transcode/retrydelay.h"
#include "transcode/transcoderjob.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// One capture of a network stream into files, below the window that shows
// it: the transcoder's command line, the files it completes and their
// numbers, a stream that drops while it records (the file so far finished,
// a wait that grows while the stream stays away, the next numbered file),
// and the words for what went wrong. The window starts and stops it, and
// shows what it reports.
class CaptureSession : public QObject
{
    Q_OBJECT
public:
    // What a capture records, as at its start.
    struct Settings
    {
        QString source;          // the stream's address, trimmed
        QString output;          // the path of its first file
        int segment_minutes = 0; // cut into files of this many minutes (of the windows' clock); 0: one file
    };
    // How a capture ended, for what the user is told.
    enum class Ending { NotCapturing, NothingArrived, Recorded };

    // The transcoder is a Qt child of `owner` (the window).
    explicit CaptureSession(QObject* owner);

    // Stops a transcoder still running and starts the capture. False when
    // it failed at once (reported already as sg_error).
    bool start(const Settings& settings);
    // Ends the transcoder at once, if one runs.
    void stop();
    // The stop sequence: asks the transcoder to finish its file through the
    // stop request, gives it `ms` on the windows' clock, then ends it; a file
    // it made but never wrote to goes.
    Ending finish(unsigned long ms = 1000);
    // Reads what the transcoder has written; it reads by itself as well.
    void read_output();

    // A dropped stream is tried again (the window's option); read at each drop.
    void set_reconnect(bool on) { m_reconnect = on; }
    // The free space of the save folder below which a capture does not
    // start, or stops: 200 MB unless a test sets its own.
    qint64 disk_margin() const { return m_disk_margin; }
    void set_disk_margin(qint64 bytes) { m_disk_margin = bytes; }
    bool disk_low(const QString& folder) const;
    // What the user is told when the disk is too full to begin, or when it stopped the capture.
    QString disk_text(bool stopped) const;

    bool capturing() const { return m_capturing; }
    // This attempt has recorded something: the recording's time runs.
    bool recording() const { return m_attempt_recorded; }
    bool running() const { return m_job.running(); }
    // A dropped stream waits to be tried again.
    bool waiting() const { return m_job.waiting(); }
    // The file the capture records into now (the first of its attempt when cut into files).
    QString current_file() const { return m_file; }
    // The files of this capture the transcoder has completed, in order.
    QStringList recorded_files() const { return m_files; }
    // File `number` of the capture whose first file is `output`: the name itself, then name_2, name_3...
    static QString numbered_file(const QString& output, int number);

    // Why no capture can be finished gently (the private folder of the stop request is refused); empty when one can.
    static QString folder_problem();
    // What the user is told about a failure, in the capture window's words.
    static QString failure_text(protocol::Outcome outcome);
    static QString process_error_text(QProcess::ProcessError error);

signals:
    // The stream dropped while recording: the file so far is finished and it is tried again.
    void sg_dropped();
    // Each attempt's first progress that shows something recorded: recording into `file`, which already holds
    // `written_ms`; `resumed` after a drop.
    void sg_recording(const QString& file, bool resumed, qint64 written_ms);
    // Each later progress of that attempt: its file holds `written_ms`.
    void sg_written(qint64 written_ms);
    // The source's pictures changed in a way the file could not hold: the capture goes on in the next file, `file`.
    void sg_next_file(const QString& file);
    // A failure the user is to hear of (failure_text); the window tells it and stops the capture.
    void sg_failed(const QString& message);
    void sg_error(QProcess::ProcessError error);
    // The transcoder ended by itself and nothing is recorded any more.
    void sg_ended();

private:
    QStringList arguments(int number) const;
    void run(int number);
    void progress_record();
    void error_phrase(protocol::Outcome outcome);
    void transcoder_ended(int exitCode, bool marker);
    // A stream that had been recording dropped, and the option is on.
    bool may_reconnect() const;
    void stream_dropped();
    void reconnect();

    TranscoderJob m_job;
    Settings m_settings;
    bool m_reconnect = false;
    qint64 m_disk_margin = 200LL * 1024 * 1024;
    bool m_capturing = false;
    QString m_file;
    int m_attempt = 0;       // of this capture: the first records from the start, later ones after a drop
    int m_number = 1;        // the first file of the current attempt
    QStringList m_files;     // completed, as the transcoder reported them
    int m_attempt_files = 0; // of them, by the current attempt
    bool m_recorded = false; // some attempt of this capture reported progress
    bool m_attempt_recorded = false;
    bool m_dropping = false;
    // The waits between attempts after a drop, from the shortest after each recording attempt.
    RetryDelay m_backoff = RetryDelay::capture();
};
