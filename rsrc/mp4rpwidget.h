#pragma once

#include <QWidget>

namespace Ui {
class Mp4RPWidget;
}

class Mp4RPWidget : public QWidget
{
    Q_OBJECT
public:
    explicit Mp4RPWidget(QWidget* parent = nullptr);
    ~Mp4RPWidget() override;

private slots:
    void on_tb_min_clicked();
    void on_tb_close_clicked();

private:
    Ui::Mp4RPWidget* ui;
};
