#pragma once

#include "transcode/capturesession.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace Ui {
class GrabLiveWidget;
}

// The stream capture window: records an rtmp or rtsp stream into a local
// ".avi" or ".mp4" file through the transcoder, with an elapsed-time clock.
// The capture's rules (its command line, files, drops and words) are its
// session's; the window gathers its fields and shows what the session reports.
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
    qint64 disk_margin() const { return m_session.disk_margin(); }
    void set_disk_margin(qint64 bytes) { m_session.set_disk_margin(bytes); }

    int elapsed_seconds() const { return m_elapsed; }
    // The file the capture records into now (the first of its attempt when cut into files).
    QString current_file() const { return m_session.current_file(); }
    // The files of this capture the transcoder has completed, in order.
    QStringList recorded_files() const { return m_session.recorded_files(); }
    // A dropped stream waits to be tried again (reconnect on drop is on).
    bool reconnecting() const { return m_session.waiting(); }
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
    void failed(const QString& message);
    void start_clock(qint64 written_ms = 0);
    // Shows `ms` and ticks on from there.
    void set_clock(qint64 ms);
    void follow_file(qint64 written_ms);
    void stop_clock();

    Ui::GrabLiveWidget* ui;
    int m_timer_id;
    int m_elapsed;
    int m_tick_ms = 1000;      // until the clock's next tick
    qint64 m_file_base_ms = 0; // the clock when this attempt's file began
    qint64 m_clock_ms = 0;     // the clock, to the millisecond, at m_clock_since_ms
    qint64 m_clock_since_ms = 0;
    // The capture: its transcoder and its rules.
    CaptureSession m_session;
};
