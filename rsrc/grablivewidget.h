#pragma once

#include <QWidget>

namespace Ui {
class GrabLiveWidget;
}

class GrabLiveWidget : public QWidget
{
    Q_OBJECT
public:
    explicit GrabLiveWidget(QWidget* parent = nullptr);
    ~GrabLiveWidget() override;

private slots:
    void on_tb_min_clicked();
    void on_tb_close_clicked();

private:
    Ui::GrabLiveWidget* ui;
};
