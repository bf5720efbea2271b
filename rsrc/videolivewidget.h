#pragma once

#include <QWidget>

namespace Ui {
class VideoLiveWidget;
}

class VideoLiveWidget : public QWidget
{
    Q_OBJECT
public:
    explicit VideoLiveWidget(QWidget* parent = nullptr);
    ~VideoLiveWidget() override;

private slots:
    void on_tb_min_clicked();
    void on_tb_close_clicked();

private:
    Ui::VideoLiveWidget* ui;
};
