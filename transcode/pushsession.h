#pragma once

#include "transcode/retrydelay.h"
#include "transcode/transcoderjob.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The play list as a push sees it, as it stands whenever asked: the user may
// add, remove and move entries during a push.
class PushList
{
public:
    virtual ~PushList() = default;
    // The entries' paths in the list's order.
    virtual QStringList entries() const = 0;
    // The entry the list marks as being pushed; empty when none.
    virtual QString marked() const = 0;
};

// Where a push goes, and how its connection fares: the waits before it is
// tried again after a drop, shortest again once it has got going.
struct PushDestination
{
    PushDestination() = default;
    PushDestination(QString to, bool any = false)
        : address(std::move(to))
        , any_certificate(any)
    {}

    QString address;
    bool any_certificate = false; // an rtmps server's certificate is taken unchecked (the user said so)
    RetryDelay backoff = RetryDelay::push();
    bool on_air = false; // it got going once since its entry was started: a drop is tried again
    // Of a push to several destinations at once, this one's state now.
    enum class State { Connecting, OnAir, Waiting, Failed };
    State state = State::Connecting;
    int wait_s = 0; // Waiting: tried again in so many seconds
    QString why;    // Failed: what went wrong, in the window's words
};

// The push of a play list's entries to an rtmp address, below the window
// that shows it: the transcoder's command line, a drop of a push that had got
// going (the wait, growing while the server stays away, and the entry
// resumed from the position it had reached), the entries handed to the
// transcoder when the whole list goes over one connection, and the words for
// what went wrong. The window starts and stops it, moves the list on when an
// entry is done, and shows what it reports.
class PushSession : public QObject
{
    Q_OBJECT
public:
    // The transcoder is a Qt child of `owner` (the window); `list` is read whenever an entry is to be handed on.
    PushSession(QObject* owner, const PushList& list);

    // Stops a running push and pushes `path` to `address` from its start;
    // with `whole_list` the transcoder goes on with the entries after it over the one connection.
    void start(const QString& path, const QString& address, bool whole_list);
    // The same to each of `destinations` at once (the first one's address is
    // the push's), each over a connection of its own, which is tried again by
    // itself once it has been on air; the push fails when every one has failed.
    void start(const QString& path, const QList<PushDestination>& destinations, bool whole_list);
    // Ends the push (and a wait to reconnect) at once.
    void stop();
    // Reads what the transcoder has written; it reads by itself as well.
    void read_output();

    // A push that dropped after it had got going is tried again (the window's option); read at each drop.
    void set_reconnect(bool on) { m_reconnect = on; }

    bool running() const { return m_job.running(); }
    bool waiting() const { return m_job.waiting(); }
    bool whole_list() const { return m_whole_list; }
    const QProcess* process() const { return m_job.process(); }
    // What the progress records said (the position is the entry's own).
    const ProgressFields& fields() const { return m_job.fields(); }
    const PushDestination& destination() const { return m_destination; }
    // Of a push to several destinations (none otherwise), in the order given.
    const QList<PushDestination>& destinations() const { return m_destinations; }
    // The entry being pushed and where in it, in milliseconds, the push has got to.
    QString entry() const { return m_path; }
    qint64 reached_ms() const { return m_reached_ms; }

    // What the user is told about a failure, in the push window's words.
    static QString failure_text(protocol::Outcome outcome);

signals:
    // A progress record: fields() holds it.
    void sg_progress();
    // The transcoder is done: the entry was pushed whole (over one connection: the list had no more).
    void sg_finished();
    // A failure the user is to hear of; the window tells it and stops the push.
    void sg_failed(const QString& message);
    void sg_error(QProcess::ProcessError error);
    // The push dropped; it is tried again in `seconds`.
    void sg_waiting(int seconds);
    // It is tried again now.
    void sg_reconnecting();
    // The entry's file went while the push waited to reconnect: nothing is tried again.
    void sg_entry_gone(const QString& path);
    // Over one connection: the transcoder is on the entry `path` now, or left it out.
    void sg_entry_on(const QString& path);
    void sg_entry_skipped(const QString& path, const QString& why);
    // Destination `index` of a push to several has a new state.
    void sg_destination(int index);

private:
    void run(qint64 from_ms);
    void progress_record(int pieces);
    void error_phrase(protocol::Outcome outcome);
    void finish_marker();
    void transcoder_ended(int exitCode, bool marker);
    bool may_reconnect() const;
    void wait_to_reconnect();
    void reconnect();
    void entry_record(const QByteArray& line);
    // The entry to hand the transcoder after the last one handed; empty when none can go.
    QString next_entry() const;
    void dest_record(const QByteArray& line);
    void wait_to_send_again(int index);

    TranscoderJob m_job;
    const PushList& m_list;
    PushDestination m_destination;
    QList<PushDestination> m_destinations; // several at once; empty for one
    quint64 m_run = 0;                     // a destination's wait belongs to the run it began in
    bool m_reconnect = false;
    bool m_reporting = false; // a failure is being told: the transcoder's end is that failure's
    // The entry being pushed: where this run of it began, how far its runs got.
    QString m_path;
    qint64 m_from_ms = 0;
    qint64 m_reached_ms = 0;
    // One connection for the list: this run's entries in the order handed to
    // the transcoder (its entry numbers), and how many in a row it left out.
    bool m_whole_list = false;
    QStringList m_handed;
    int m_left_out = 0;
    long long m_last_left_out = -1;
};
