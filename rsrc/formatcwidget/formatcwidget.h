#pragma once

#include <QWidget>

namespace Ui {
class FormatCWidget;
}

class FormatCWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FormatCWidget(QWidget* parent = nullptr);
    ~FormatCWidget() override;

private slots:
    void on_tb_min_clicked();
    void on_tb_close_clicked();

private:
    Ui::FormatCWidget* ui;
};
