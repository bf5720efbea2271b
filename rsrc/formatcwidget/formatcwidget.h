#pragma once

#include "transcode/conworker.h"
#include "transcode/durationcache.h"
#include "transcode/etaestimator.h"

#include <QString>
#include <QWidget>

#include <functional>

namespace Ui {
class FormatCWidget;
}

// The format conversion window: converts the files of its table one after
// another, one conversion job at a time.
class FormatCWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FormatCWidget(QWidget* parent = nullptr);
    ~FormatCWidget() override;

    bool is_working() const;

    // dir + "/" + the complete base name of src + "_zo" + ext
    static QString get_save_path(const QString& dir, const QString& src, const QString& ext);

    // The job parameters for one file from the window's current choices.
    CWParam job_param(const QString& src, const QString& out) const;

private slots:
    void slot_comb_size(QString text);
    void slot_refresh_define(bool checked);
    void slot_delay_delete();
    void slot_convert_statu(int total, int current);
    void slot_convert_finished(int code);
    void slot_convert_next();
    void slot_remove_row(int row);
    void slot_look_row(int row);
    void on_tb_close_clicked();
    void on_tb_min_clicked();
    void on_pb_add_clicked();
    void on_pb_clear_clicked();
    void on_pb_changedir_clicked();
    void on_pb_opendir_clicked();
    void on_pb_start_stop_clicked();

private:
    void after(int ms, std::function<void()> step);
    void init_ui();
    void read_cfg();
    void write_cfg();
    void convert_begin();
    void convert_next();
    void convert_ing();
    void convert_end(bool finished);
    // The running row's time left in its bar, the queue's beside the start button.
    void show_time_left();
    void clear_time_left();

    Ui::FormatCWidget* ui;
    QString m_delete_path; // output of a stopped job, removed a second later
    EtaEstimator m_eta;
    DurationCache m_durations; // of the files still waiting
};
