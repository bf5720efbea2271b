#pragma once

#include "transcode/pushsession.h"
#include "widgets/destinationlist.h"
#include "widgets/fl_playlist.h"

#include <QProcess>
#include <QString>
#include <QWidget>

namespace Ui {
class VideoLiveWidget;
}

// The live push window: pushes the videos of its play list, one after
// another and without re-encoding, to an rtmp address. The push's rules
// (its command line, reconnects and the entries handed on) are its
// session's; the window checks the address and shows what the session reports.
class VideoLiveWidget : public QWidget, public PlayListOwner, private PushList
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
    const QProcess* process() const { return m_session.process(); }
    // A dropped push waits to be tried again (reconnect on drop is on).
    bool reconnecting() const { return m_session.waiting(); }
    int refresh_timer_id() const { return m_timer_id; }

    // The trimmed address, then "/" and the trimmed key when the key is not blank
    // (for SRT the key is the stream id).
    static QString compose_address(const QString& url, const QString& key);
    // rtmp, rtmps, or SRT as the caller, 10 characters at least.
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
    // The list as the session reads it.
    QStringList entries() const override;
    QString marked() const override;
    void progress_record();
    void failed(const QString& message);
    void finished();
    void entry_gone(const QString& path);
    void entry_skipped(const QString& path, const QString& why);
    void destination_state(int row);

    Ui::VideoLiveWidget* ui;
    FL_PlayList* m_list = nullptr;
    DestinationList* m_dests = nullptr; // a push to several destinations at once
    QString m_rtmp;
    // The push: its transcoder and its rules.
    PushSession m_session;
    int m_timer_id = 0;
};
