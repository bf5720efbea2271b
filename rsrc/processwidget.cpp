#include "processwidget.h"

#include "rsrc/toolframe.h"
#include "ui_processwidget.h"

ProcessWidget::ProcessWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::ProcessWidget)
{
    ui->setupUi(this);
    toolframe::apply(this, toolframe::Kind::Dialog, false);
    ui->pb_progress->setValue(0);
}

ProcessWidget::~ProcessWidget()
{
    delete ui;
}

void ProcessWidget::init()
{
    ui->pb_progress->setValue(0);
    ui->pb_cancel->setText(tr("取消"));
}

void ProcessWidget::set_progress(qint64 pro, qint64 total, const QString& content)
{
    QMetaObject::invokeMethod(this, "slot_progress", Qt::QueuedConnection, Q_ARG(qint64, pro), Q_ARG(qint64, total),
                              Q_ARG(QString, content));
}

void ProcessWidget::set_state(const QString& text)
{
    ui->lb_state->setText(text);
}

bool ProcessWidget::close()
{
    emit sg_finished();
    return QWidget::close();
}

void ProcessWidget::slot_progress(qint64 pro, qint64 total, QString content)
{
    ui->pb_progress->setRange(0, static_cast<int>(total));
    ui->pb_progress->setValue(static_cast<int>(pro));
    if (!content.isEmpty() && content != QLatin1String("null"))
        ui->lb_state->setText(content + QStringLiteral(" ... "));
    if (pro >= total)
        ui->pb_cancel->setText(tr("完成"));
}

void ProcessWidget::on_pb_cancel_clicked()
{
    close();
}

void ProcessWidget::on_tb_close_clicked()
{
    close();
}
