#include "demo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QWidget>

#include <cstdio>

Demo::Demo(HostApp* host, Options options, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_options(std::move(options))
{}

QWidget* Demo::top_level(const QString& name)
{
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows)
        if (w->objectName() == name)
            return w;
    return nullptr;
}

void Demo::save_shot(QWidget* widget, const QString& name)
{
    if (!widget)
        return;
    QDir().mkpath(m_options.screenshots);
    const QString file = QDir(m_options.screenshots).absoluteFilePath(name + QStringLiteral(".png"));
    if (widget->grab().save(file))
        std::printf("demo: screenshot: %s\n", qPrintable(file));
    std::fflush(stdout);
}

QString Demo::text(const char* context, const char* source)
{
    return QCoreApplication::translate(context, source);
}

QString Demo::lead(const char* context, const char* source)
{
    const QString whole = text(context, source);
    return whole.left(whole.indexOf(QLatin1String("%1")));
}

void Demo::finish(int code, const QString& message)
{
    if (!message.isEmpty())
        std::fprintf(stderr, "demo: %s\n", qPrintable(message));
    emit sg_done(code);
}
