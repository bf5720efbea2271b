#pragma once

#include "transcode/transcoderoutput.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>
#include <vector>

// A window's text for a transcoder failure it looks for.
struct FailureText
{
    protocol::Outcome outcome;
    const char* message; // untranslated; the window translates it
};

// The outcomes a window's table looks for, and its text for one of them.
template<size_t N>
std::vector<protocol::Outcome> outcomes_of(const FailureText (&table)[N])
{
    std::vector<protocol::Outcome> list;
    for (const FailureText& failure : table)
        list.push_back(failure.outcome);
    return list;
}
template<size_t N>
const char* text_for(const FailureText (&table)[N], protocol::Outcome outcome)
{
    for (const FailureText& failure : table) {
        if (failure.outcome == outcome)
            return failure.message;
    }
    return "";
}

// One transcoder child at a time, run the way the live windows run it: started
// with an argument list, its output read chunk by chunk and told apart
// (progress record, one of the owner's error phrases, finish marker), its end
// and its failures passed on, and stopped. The process is a Qt child of the
// owner. It is never deleted under one of its own signals, even when a slot of
// the owner runs a message box (a nested event loop) and stops the job there.
class TranscoderJob : public QObject
{
    Q_OBJECT
public:
    // `wanted`: the error outcomes the owner looks for.
    TranscoderJob(QObject* owner, std::vector<protocol::Outcome> wanted);
    // Ends a running transcoder at once; nothing more is reported.
    ~TranscoderJob() override;

    // Stops a running transcoder, then starts a new one. Not awaited: a
    // failure to start arrives as sg_error.
    void start(const QStringList& arguments);
    // Closes the process, which ends the child and waits for it, and lets it
    // go; nothing it does from then on is reported. Does nothing when idle.
    // The files it reported completed before that, unread yet, are reported
    // first: a capture's next file must not take the number of one of them.
    void stop();
    // The capture's stop: asks the transcoder to finish its file through the
    // stop request, gives it `ms` to end by itself (on the windows' clock), then stops.
    void finish_then_stop(unsigned long ms);

    // Runs `attempt` after `ms` on the windows' clock, unless the job is stopped or started meanwhile;
    // a window tries a dropped stream again this way. A running transcoder is
    // stopped first.
    void retry_after(int ms, std::function<void()> attempt);
    // A retry is pending.
    bool waiting() const { return m_waiting; }

    // Reads what the transcoder has written and reports it (the signals
    // below). The owner calls it from its own slot on sg_output.
    void read_output();
    // Writes to the transcoder's standard input (a list push's answers).
    void write_input(const std::string& bytes);

    QProcess* process() const { return m_process; }
    bool running() const { return m_process != nullptr; }
    // What the progress records said; never reset, so a new run starts with the last values.
    const ProgressFields& fields() const { return m_fields; }

    // The stop request in the user's temporary folder; empty when that folder is refused.
    static QString stop_request_path();
    // Makes (an existing request is left as it is) or removes the stop request.
    static void set_stop_request(bool present);
    // A command line of the protocol's as the process takes it.
    static QStringList arguments(const std::vector<std::string>& args);

signals:
    // The transcoder has written something: the owner reads it with read_output().
    void sg_output();
    // A progress record, scanned into fields(); below three pieces nothing was scanned.
    void sg_progress(int pieces);
    // The first of the owner's error phrases in a chunk, by what it means.
    void sg_phrase(protocol::Outcome outcome);
    void sg_finish_marker();
    // A line of the transcoder's own about the entry of a list it is on (a
    // push over one connection), without its line break.
    void sg_entry_record(const QByteArray& line);
    // A line of the transcoder's own about one destination of a push to several, without its line break.
    void sg_dest_record(const QByteArray& line);
    // The transcoder has completed a file of a recording, named by its full path.
    void sg_file_done(const QString& path);
    // A recording goes on in the next of its files, named by its full path: the source's pictures changed.
    void sg_next_file(const QString& path);
    // The child ended by itself, not by stop(); `marker` tells whether it printed the finish marker.
    void sg_ended(int exitCode, bool marker);
    void sg_error(QProcess::ProcessError error);

private:
    void on_error(QProcess::ProcessError error);
    void on_finished(int exitCode);
    // Around every signal the process causes: a process stopped meanwhile is
    // let go only once the outermost of them has returned.
    void enter();
    void leave();
    void report_files(const QList<protocol::FileRecord>& files);

    QObject* m_owner;
    std::vector<protocol::Outcome> m_wanted;
    QProcess* m_process = nullptr;
    ProgressFields m_fields;
    bool m_marker = false;
    QByteArray m_partial; // a file record not complete yet
    int m_depth = 0;
    QList<QProcess*> m_retired;
    bool m_waiting = false;
    quint64 m_retry = 0; // which retry is pending; a stop or a start makes it stale
};
