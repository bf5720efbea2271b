#include "videolivewidget.h"

#include "rsrc/toolframe.h"
#include "ui_videolivewidget.h"

VideoLiveWidget::VideoLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::VideoLiveWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
}

VideoLiveWidget::~VideoLiveWidget()
{
    delete ui;
}

void VideoLiveWidget::on_tb_min_clicked()
{
    showMinimized();
}

void VideoLiveWidget::on_tb_close_clicked()
{
    close();
}
