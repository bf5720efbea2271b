#pragma once

#include "transcode/retrydelay.h"
#include "transcode/transcoderjob.h"
#include "widgets/fl_playlist.h"

#include <QProcess>
#include <QString>
#include <QWidget>

namespace Ui {
class VideoLiveWidget;
}

// The live push window: pushes the videos of its play list, one after
// another and without re-encoding, to an rtmp address.
class VideoLiveWidget : public QWidget, public PlayListOwner
{
    Q_OBJECT
public:
    explicit VideoLiveWidget(QWidget* parent = nullptr);
    ~VideoLiveWidget() override;

    // Saves the fields, checks the address and pushes the file.
    void do_live(const QString& path) override;
    // Ends the running push, if any; the button follows at the next tick.
    void stop();

    void read_cfg();
    void write_cfg();
    void refresh_ui();

    // The address of the last started push.
    QString push_address() const { return m_rtmp; }
    const QProcess* process() const { return m_job.process(); }
    // A dropped push waits to be tried again (reconnect on drop is on).
    bool reconnecting() const { return m_job.waiting(); }
    int refresh_timer_id() const { return m_timer_id; }

    // The trimmed address, then "/" and the trimmed key when the key is not blank.
    static QString compose_address(const QString& url, const QString& key);
    static bool is_valid_address(const QString& address);

protected:
    void timerEvent(QTimerEvent* e) override;

private slots:
    void slot_error(QProcess::ProcessError errId);
    void slot_readData();
    void on_tb_min_clicked();
    void on_tb_close_clicked();
    void on_pb_add_clicked();
    void on_pb_clear_clicked();
    void on_pb_start_stop_clicked();

private:
    // What the transcoder's output says: a progress record, an error phrase, the finish marker; and its end.
    void progress_record(int pieces);
    void error_phrase(protocol::Outcome outcome);
    void finish_marker();
    void transcoder_ended(int exitCode, bool marker);
    // Starts the transcoder on the push address with `path` read from `from` seconds on.
    void start_push(const QString& path, double from);
    // A push that had got going and dropped is tried again, when the option is on.
    bool may_reconnect() const;
    void wait_to_reconnect();
    void reconnect();
    // A push of the whole list over one connection: the transcoder's records.
    void entry_record(const QByteArray& line);
    // The entry to hand the transcoder after the last one handed; null when none can go.
    QListWidgetItem* next_entry();
    void answer_transcoder(QListWidgetItem* entry);

    Ui::VideoLiveWidget* ui;
    FL_PlayList* m_list = nullptr;
    QString m_rtmp;
    // The push: its process and the progress fields.
    TranscoderJob m_job;
    int m_timer_id = 0;
    // The entry being pushed: where this push of it began, how far its pushes
    // got, whether one reported progress; and the waits between reconnects.
    QString m_path;
    double m_from = 0;
    double m_reached = 0;
    bool m_pushed = false;
    bool m_reporting = false; // a failure's box is open
    RetryDelay m_backoff;
    // One connection for the list: this push's entries in the order handed to
    // the transcoder (its entry numbers), and how many in a row it left out.
    bool m_seamless = false;
    QStringList m_handed;
    int m_left_out = 0;
    long long m_last_left_out = -1;
};
