#include "formatcwidget.h"

#include "toolframe.h"
#include "widgets/htablewidgetex.h"
#include "ui_formatcwidget.h"

FormatCWidget::FormatCWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::FormatCWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::ToolWindow, false);
}

FormatCWidget::~FormatCWidget()
{
    delete ui;
}

void FormatCWidget::on_tb_min_clicked()
{
    showMinimized();
}

void FormatCWidget::on_tb_close_clicked()
{
    close();
}
