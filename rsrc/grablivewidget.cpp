#include "grablivewidget.h"

#include "rsrc/toolframe.h"
#include "ui_grablivewidget.h"

GrabLiveWidget::GrabLiveWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::GrabLiveWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, true);
}

GrabLiveWidget::~GrabLiveWidget()
{
    delete ui;
}

void GrabLiveWidget::on_tb_min_clicked()
{
    showMinimized();
}

void GrabLiveWidget::on_tb_close_clicked()
{
    close();
}
