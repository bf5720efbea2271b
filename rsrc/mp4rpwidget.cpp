#include "mp4rpwidget.h"

#include "rsrc/toolframe.h"
#include "ui_mp4rpwidget.h"

Mp4RPWidget::Mp4RPWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Mp4RPWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, true);
}

Mp4RPWidget::~Mp4RPWidget()
{
    delete ui;
}

void Mp4RPWidget::on_tb_min_clicked()
{
    showMinimized();
}

void Mp4RPWidget::on_tb_close_clicked()
{
    close();
}
