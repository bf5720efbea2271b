#include "launcher.h"

#include "hostapp.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

Launcher::Launcher(HostApp* host, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("DavazLauncher"));
    setWindowTitle(tr("DaVaz 视频工具箱"));
    auto* layout = new QVBoxLayout(this);
    auto* caption = new QLabel(tr("DaVaz 视频工具箱"), this);
    caption->setAlignment(Qt::AlignCenter);
    QFont big = caption->font();
    big.setPointSize(big.pointSize() + 4);
    caption->setFont(big);
    layout->addWidget(caption);

    const struct
    {
        const char* name;
        const char* text;
        const char* msg;
    } tools[] = {
        {"pb_tool_repair", QT_TR_NOOP("mp4文件修复"), "msg_show_mp4wd"},
        {"pb_tool_live", QT_TR_NOOP("直播视频"), "msg_show_movielive"},
        {"pb_tool_convert", QT_TR_NOOP("格式转换"), "msg_show_tranformat"},
        {"pb_tool_grab", QT_TR_NOOP("串流存盘"), "msg_show_grablive"},
    };
    for (const auto& tool : tools) {
        auto* button = new QPushButton(tr(tool.text), this);
        button->setObjectName(QString::fromLatin1(tool.name));
        button->setMinimumHeight(36);
        const QString msg = QString::fromLatin1(tool.msg);
        connect(button, &QPushButton::clicked, this, [host, msg] { host->send(msg); });
        layout->addWidget(button);
    }
    resize(280, 240);
}

void Launcher::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    emit sg_closed();
}
