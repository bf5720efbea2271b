#pragma once

#include <QWidget>

namespace Ui {
class ProcessWidget;
}

// Progress of a job that runs in another process. Reports may come from any thread.
class ProcessWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ProcessWidget(QWidget* parent = nullptr);
    ~ProcessWidget() override;

    void init();
    void set_progress(qint64 pro, qint64 total, const QString& content);
    // The state line as it is, from the GUI thread.
    void set_state(const QString& text);
    // Hides QWidget::close: the owner hears of every close through sg_finished.
    bool close();

signals:
    void sg_finished();

public slots:
    void slot_progress(qint64 pro, qint64 total, QString content);
    void on_pb_cancel_clicked();
    void on_tb_close_clicked();

private:
    Ui::ProcessWidget* ui;
};
