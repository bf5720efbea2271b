#pragma once

#include "transcode/transcoderjob.h"

#include <QProcess>
#include <QString>
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

    // How the stop sequence waits for the transcoder (platform::sleep_ms
    // unless replaced); tests pass their own.
    using Sleeper = TranscoderJob::Sleeper;
    void set_sleeper(Sleeper sleeper);

    int elapsed_seconds() const { return m_elapsed; }

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
    // One of the transcoder's failure phrases, by its place in the table.
    void slot_phrase(int index);
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
    Ui::GrabLiveWidget* ui;
    int m_timer_id;
    int m_elapsed;
    // The capture: its process and its stop.
    TranscoderJob m_job;
};
