#pragma once

#include "transcode/retrydelay.h"
#include "transcode/transcoderjob.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace Ui {
class GrabLiveWidget;
}

// The stream capture window: records an rtmp or rtsp stream into a local
// ".avi" or ".mp4" file through the transcoder, with an elapsed-time clock.
// The capture job (process, phrases, stop request) lives here as well.
class GrabLiveWidget : public QWidget
{
    Q_OBJECT
public:
    explicit GrabLiveWidget(QWidget* parent = nullptr);
    ~GrabLiveWidget() override;

    // The address a new window offers: a public test stream.
    static const char* const default_address;
    // The stop request in the user's temporary folder (empty when that is refused):
    // while it exists the transcoder finishes and ends.
    static QString stop_request_path();
    // The elapsed seconds as "hh:mm:ss"; empty from 24 hours on.
    static QString clock_text(int seconds);

    // The free space of the save folder below which a capture does not
    // start, or stops: 200 MB unless a test sets its own.
    qint64 disk_margin() const { return m_disk_margin; }
    void set_disk_margin(qint64 bytes) { m_disk_margin = bytes; }

    int elapsed_seconds() const { return m_elapsed; }
    // The file the capture records into now (the first of its attempt when cut into files).
    QString current_file() const { return m_file; }
    // The files of this capture the transcoder has completed, in order.
    QStringList recorded_files() const { return m_files; }
    // A dropped stream waits to be tried again (reconnect on drop is on).
    bool reconnecting() const { return m_job.waiting(); }
    // The elapsed-time clock's timer; 0 while none runs.
    int clock_timer_id() const { return m_timer_id; }

    QString rtmp_url();
    QString out_file();
    bool startProcess();
    void stopProcess();
    void create_delete_file(bool create);
    void refresh_ui(bool running);
    bool checkReadWrite(const QString& dir);

private slots:
    void on_tb_close_clicked();
    void on_tb_min_clicked();
    void on_pushButton_start_clicked();
    void on_pushButton_stop_clicked();
    void on_pushButton_open_dir_clicked();
    void on_pushButton_browser_clicked();
    void slot_timer();
    void slot_readData();
    void slot_error(QProcess::ProcessError error);

public slots:
    // Opens an address with the desktop's default handler; nothing in the plug-in calls it.
    void connectWithMe(QString addr);

private slots:
    void write_cfg();
    void read_cfg();

protected:
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // One of the transcoder's failure phrases, by what it means.
    void error_phrase(protocol::Outcome outcome);
    void progress_record(int pieces);
    void transcoder_ended(int exitCode, bool marker);
    void file_done(const QString& path);
    // The transcoder's arguments for recording `url` into `out`, file number `number` of the capture.
    QStringList capture_arguments(const QString& url, const QString& out, int number) const;
    // File number `number` of this capture: the name itself, then name_2, name_3...
    // The transcoder applies the number; this is only for telling the user.
    QString numbered_file(int number) const;
    void start_clock();
    void stop_clock();
    bool disk_too_full() const;
    // A stream that had been recording dropped: the file so far is finished and it is tried again.
    bool may_reconnect() const;
    void stream_dropped();
    void reconnect();

    Ui::GrabLiveWidget* ui;
    int m_timer_id;
    int m_elapsed;
    qint64 m_disk_margin = 200LL * 1024 * 1024;
    // The capture: its process and its stop.
    TranscoderJob m_job;
    // What this capture records, as at its start: the address and the name of
    // its first file; its current file and the number the current attempt began with.
    bool m_capturing = false;
    QString m_url, m_out, m_file;
    int m_number = 1;
    QStringList m_files;     // completed, as the transcoder reported them
    int m_attempt_files = 0; // of them, by the current attempt
    bool m_recorded = false; // some attempt of this capture reported progress
    bool m_attempt_recorded = false;
    // The waits between attempts after a drop, from the shortest after each recording attempt.
    RetryDelay m_backoff = RetryDelay::capture();
};
