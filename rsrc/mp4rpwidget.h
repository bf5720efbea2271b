#pragma once

#include <QProcess>
#include <QString>
#include <QWidget>

#include <atomic>
#include <string>

class ProcessWidget;
class ServicePipe;

namespace Ui {
class Mp4RPWidget;
}

// Repairs a damaged MP4 with the help of a sound reference video recorded with
// the same settings. The window repairs nothing itself: it checks both inputs,
// writes the job file, starts the repair executable and follows its reports
// over the pipe in the progress dialog.
class Mp4RPWidget : public QWidget
{
    Q_OBJECT
public:
    explicit Mp4RPWidget(QWidget* parent = nullptr);
    ~Mp4RPWidget() override;

    ProcessWidget* pwidget();
    // "<folder>/<name up to its first dot>_zo_fixed.mp4"
    static QString get_outmp4(const QString& failed_mp4);
    // The job file the repair executable reads; nothing happens if it cannot be opened.
    static void write_file(const QString& okay, const QString& failed, int fps, const QString& out);
    // Pipe callback, on the pipe's receiving thread; `user` is the window.
    static void listen_progress(const char* data, int len, std::string& reply, void* user);

    // While another program holds the pipe's name, a start tries again this
    // often, this many times in all, before it says so in the dialog.
    static constexpr int kPipeRetryMs = 100;
    static constexpr int kPipeAttempts = 50;

private slots:
    void slot_error(QProcess::ProcessError error);
    void slot_readData();
    void slot_finished();
    void slot_start(QString okay_mp4, QString failed_mp4, int fps);
    void slot_start_ex(QString okay_mp4, QString failed_mp4, int fps);
    void slot_show_result();
    void on_tb_close_clicked();
    void on_tb_min_clicked();
    void on_pb_start_clicked();
    void on_pb_failed_clicked();
    void on_pb_okay_clicked();

private:
    // Takes the pipe's name for start `job`, then starts the engine; while the
    // name is held elsewhere, tries again later.
    void open_pipe(const QString& okay, const QString& failed, int fps, quint64 job, int attempt);

    Ui::Mp4RPWidget* ui;
    ProcessWidget* m_pwidget = nullptr;
    QString m_outmp4;
    ServicePipe* m_service = nullptr;
    QProcess* m_process = nullptr;
    // Shared with the pipe's thread without a lock: the GUI thread clears
    // m_finished and alone writes m_stop.
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_stop{false};
    quint64 m_job = 0; // counts starts, so a try of an earlier one gives up
};
